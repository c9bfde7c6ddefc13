#pragma once
// One client connection to lockhub, plain or through its TLS listener. Requests go out
// framed (a 16-bit little-endian length of the whole packet, "MUXM", the JSON text);
// answers and events come back as bare JSON texts one after the other, which Receive cuts
// apart. Every wait has a deadline. Used by one thread.

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace Quarn::Tls {
class TlsClient;
class TlsClientContext;
}  // namespace Quarn::Tls

namespace Lockctl {

class MuxConnection {
public:
    using Clock = std::chrono::steady_clock;
    enum class Outcome { kMessage, kTimeout, kClosed };

    // Connects to host:port (an address or a name; each address it resolves to is tried)
    // before the deadline, then, with a TLS context, runs the TLS handshake (lockhub's
    // certificate must name host). Null, with the reason in error, when none accepts or
    // the handshake fails.
    static std::unique_ptr<MuxConnection> Open(
        const std::string& host, int port, std::shared_ptr<const Quarn::Tls::TlsClientContext> tls,
        Clock::time_point deadline, std::string& error);
    ~MuxConnection();
    MuxConnection(const MuxConnection&) = delete;
    MuxConnection& operator=(const MuxConnection&) = delete;

    // Sends one request packet before the deadline. False with the reason in error.
    bool Send(const std::string& json, Clock::time_point deadline, std::string& error);

    // The next JSON text lockhub sent, waiting until the deadline (none: for ever).
    // kClosed, with the reason in error, when the connection ended or failed.
    Outcome Receive(std::optional<Clock::time_point> deadline, std::string& message,
                    std::string& error);

private:
    explicit MuxConnection(int fd);
    // Waits until the socket is ready for events (POLLIN or POLLOUT); false on time-out.
    bool WaitFor(short events, std::optional<Clock::time_point> deadline);
    // Appends what came, waiting until the deadline; kMessage: look at what came (maybe
    // nothing).
    Outcome ReceiveSome(std::optional<Clock::time_point> deadline, std::string& error);

    int fd_;
    std::unique_ptr<Quarn::Tls::TlsClient> tls_;  // null: plain
    std::string received_;                        // bytes not yet cut into a whole JSON text
};

}  // namespace Lockctl
