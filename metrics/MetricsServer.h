#pragma once
// Serves the metrics of a registry and a health check over HTTP on one local address:
//     GET /metrics   the registry in the text exposition format: 200
//     GET /healthz   one line of text: 200 when the health check says healthy, else 503
// Another path gets 404, another method than GET or HEAD gets 405.
//
// libmicrohttpd serves every connection on one thread of the server's own. A scraper can
// hold up nothing but that thread, and not for long: at most kConnectionLimit
// connections at a time (more wait in the listen queue of kListenBacklog, beyond which
// the system refuses them), each closed after kConnectionTimeout without progress, each
// with kConnectionMemory for its request line and headers (a longer request, or one that
// is not HTTP, gets an error and is closed); request bodies are never kept. So a slow,
// broken or hostile client never delays lockhub's requests and cannot make memory grow.
//
// Threads: Start and destruction on the owner's thread. The registry is rendered and the
// health check called on the server's thread; neither may block.
// Ownership: the server owns its listening socket, its connections and its thread; it
// borrows the registry, which must outlive it.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "metrics/MetricsSettings.h"
#include "metrics/Registry.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace Mux::Metrics {

class MetricsServer {
public:
    static constexpr unsigned kConnectionLimit = 16;
    static constexpr std::chrono::seconds kConnectionTimeout{5};
    static constexpr size_t kConnectionMemory = 16 * 1024;
    static constexpr int kListenBacklog = 16;

    struct Health {
        bool healthy;
        std::string text;  // one line, without its end
    };
    using HealthCheck = std::function<Health()>;

    // Listens on the settings' address and port (port 0: one the system picks) and serves.
    // Null, with the reason in reason, when it cannot listen there.
    static std::unique_ptr<MetricsServer> Start(const Settings& settings, const Registry& registry,
                                                HealthCheck health, std::string& reason);
    // Stops the thread and closes every connection and the listening socket.
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    int Port() const { return port_; }

private:
    friend struct RequestHandler;

    MetricsServer(const Registry& registry, HealthCheck health, int port);

    // The answer to one whole request (server thread); false closes the connection.
    bool Respond(MHD_Connection* connection, const std::string& path, const std::string& method);

    const Registry& registry_;
    const HealthCheck health_;
    const int port_;
    MHD_Daemon* daemon_ = nullptr;
};

}  // namespace Mux::Metrics
