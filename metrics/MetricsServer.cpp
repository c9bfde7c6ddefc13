#include "metrics/MetricsServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>


namespace Mux::Metrics {
namespace {

constexpr const char* kMetricsType = "text/plain; version=0.0.4; charset=utf-8";
constexpr const char* kTextType = "text/plain; charset=utf-8";

// A listening TCP socket on address:port, or -1 with the reason.
int Listen(const Settings& settings, int& port, std::string& reason) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(settings.port));
    if (::inet_pton(AF_INET, settings.address.c_str(), &address.sin_addr) != 1) {
        reason = "\"" + settings.address + "\" is not an IPv4 address";
        return -1;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        reason = std::strerror(errno);
        return -1;
    }
    const int on = 1;
    socklen_t length = sizeof address;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, MetricsServer::kListenBacklog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        reason = std::strerror(errno);
        ::close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

}  // namespace

// libmicrohttpd's handler of each request, called on the server's thread.
struct RequestHandler {
    static MHD_Result Handle(void* server, MHD_Connection* connection, const char* url,
                             const char* method, const char*, const char*, size_t* uploadSize,
                             void** requestState);
};

MHD_Result RequestHandler::Handle(void* server, MHD_Connection* connection, const char* url,
                                  const char* method, const char*, const char*, size_t* uploadSize,
                                  void** requestState) {
    static int announced;
    auto respond = [&] {
        return static_cast<MetricsServer*>(server)->Respond(connection, url, method) ? MHD_YES
                                                                                     : MHD_NO;
    };
    const bool readOnly = std::strcmp(method, MHD_HTTP_METHOD_GET) == 0 ||
                          std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
    if (*requestState == nullptr) {
        *requestState = &announced;
        // Other methods are refused before their body is read; a GET is answered on the
        // next call, once whatever body it came with has been skipped.
        return readOnly ? MHD_YES : respond();
    }
    if (*uploadSize != 0) {
        *uploadSize = 0;
        return MHD_YES;
    }
    return respond();
}

std::unique_ptr<MetricsServer> MetricsServer::Start(const Settings& settings,
                                                    const Registry& registry, HealthCheck health,
                                                    std::string& reason) {
    int port = 0;
    const int fd = Listen(settings, port, reason);
    if (fd < 0) {
        return nullptr;
    }
    std::unique_ptr<MetricsServer> server(new MetricsServer(registry, std::move(health), port));
    server->daemon_ = MHD_start_daemon(
        MHD_USE_AUTO_INTERNAL_THREAD, 0, nullptr, nullptr, &RequestHandler::Handle, server.get(),
        MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_CONNECTION_LIMIT, kConnectionLimit,
        MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(kConnectionTimeout.count()),
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory, MHD_OPTION_END);
    if (server->daemon_ == nullptr) {
        reason = "the HTTP server could not start";
        ::close(fd);
        return nullptr;
    }
    return server;
}

MetricsServer::MetricsServer(const Registry& registry, HealthCheck health, int port)
    : registry_(registry), health_(std::move(health)), port_(port) {}

MetricsServer::~MetricsServer() {
    if (daemon_ != nullptr) {
        MHD_stop_daemon(daemon_);
    }
}

bool MetricsServer::Respond(MHD_Connection* connection, const std::string& path,
                            const std::string& method) {
    unsigned status = MHD_HTTP_OK;
    std::string body;
    const char* type = kTextType;
    if (method != MHD_HTTP_METHOD_GET && method != MHD_HTTP_METHOD_HEAD) {
        status = MHD_HTTP_METHOD_NOT_ALLOWED;
        body = "Only GET and HEAD are served.\n";
    } else if (path == "/metrics") {
        body = registry_.Render();
        type = kMetricsType;
    } else if (path == "/healthz") {
        Health health = health_ ? health_() : Health{false, "no health check"};
        status = health.healthy ? MHD_HTTP_OK : MHD_HTTP_SERVICE_UNAVAILABLE;
        body = health.text + "\n";
    } else {
        status = MHD_HTTP_NOT_FOUND;
        body = "Not found: /metrics and /healthz are served.\n";
    }
    MHD_Response* response =
        MHD_create_response_from_buffer(body.size(), body.data(), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) {
        return false;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED) {
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    }
    const MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued == MHD_YES;
}

}  // namespace Mux::Metrics
