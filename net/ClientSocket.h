#pragma once
// The outgoing TCP connection to one lock gateway, non-blocking throughout: resolving the
// host (at once for a numeric address; a name may block, so its owner resolves it where
// that holds nobody up), connecting to each of its addresses in turn, then writing frames
// and reading what the gateway sends as far as the socket allows without waiting. Sets
// keep-alive and TCP_NODELAY. Failures are logged and reported through two error
// callbacks; a failure of the network or of the gateway is not counted by the error guard
// (it describes the far side, not lockhub), one of lockhub's own resources (no descriptor
// for a socket) is.
//
// Threads: none of its own, and not thread-safe: its owner serialises every call (the
// gateway loop, under the gateway's mutex). The callbacks run inside Send and Receive.

#include <sys/socket.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace Quarn::Net {

class ClientSocket {
public:
    // Called with errno of the failed call, or 0 when the peer closed the connection.
    using ErrorCallback = std::function<void(int errorCode)>;

    struct Address {
        sockaddr_storage address;
        socklen_t length;
        int family;
    };
    using Addresses = std::vector<Address>;

    // The addresses of host and port, or none (logged) when it cannot be resolved. With
    // numericOnly, a host that is not a numeric address is none without a line or a wait.
    static std::optional<Addresses> Resolve(const std::string& host, int port, bool numericOnly);

    ClientSocket() = default;
    ~ClientSocket();
    ClientSocket(const ClientSocket&) = delete;
    ClientSocket& operator=(const ClientSocket&) = delete;

    enum class Attempt { InProgress, Connected, Failed };
    // Closes any connection and starts connecting to the addresses in order. InProgress:
    // wait until the descriptor is writable, then call Continue.
    Attempt Connect(Addresses addresses);
    // Where the attempt stands once the descriptor became writable (or timed out: then
    // call Abandon instead): connected, failed on every address, or trying the next one.
    Attempt Continue();
    // Gives the attempt up: "Cannot connect to socket: ..." with ETIMEDOUT.
    void Abandon();

    // The descriptor of the connection or attempt; -1 when none.
    int Descriptor() const { return descriptor_; }
    bool IsConnected() const { return connected_; }

    // Writes as much of data as the socket takes now: the count written, or -1 after
    // SendErrorCallback (EPIPE for a closed peer, never SIGPIPE).
    ptrdiff_t Send(std::span<const unsigned char> data);
    // Appends what has arrived to data, without waiting. False after ReceiveErrorCallback
    // when the peer closed the connection or recv failed.
    bool Receive(std::vector<unsigned char>& data);
    // Closes the connection or attempt; the object may connect again.
    void Close();

    ErrorCallback ReceiveErrorCallback;
    ErrorCallback SendErrorCallback;

private:
    // A socket for the address with the connection's options; false when none could be made.
    bool CreateSocket(const Address& address);
    // Keep-alive after 5 s of silence, 10 probes 5 s apart. False at the first option
    // that cannot be set.
    bool SetKeepAliveOption(int socket);
    // connect() to the next address until one is in progress or connected.
    Attempt TryAddresses();
    void ReportReceiveFailure(int errorCode);

    Addresses addresses_;
    size_t next_ = 0;
    int lastError_ = 0;
    int descriptor_ = -1;
    bool connected_ = false;
};

}  // namespace Quarn::Net
