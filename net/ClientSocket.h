#pragma once
// The outgoing TCP connection to one lock gateway: resolves the address, tries each of its
// addresses with a bounded wait, sets time-outs, keep-alive and TCP_NODELAY, sends whole
// frames and receives the bytes the gateway sends. Failures are logged and reported to the
// owner through two error callbacks; a failure of the network or of the gateway is not
// counted by the error guard (it describes the far side, not lockhub), one of lockhub's
// own resources (no descriptor for a socket) is.
//
// Threads: Connect runs before the socket is shared. Afterwards one thread sends and one
// thread receives (Receive, HasPendingError). Close may be called from any thread at any
// time, also while Connect, Send or Receive run on others: it shuts the connection down,
// ends a waiting Connect (within about 100 ms) or Receive, and makes later calls do nothing. The
// descriptor itself is released only by the destructor, which runs once no other thread uses the
// object.

#include <netdb.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace Quarn::Net {

class ClientSocket {
public:
    // Called with errno of the failed call, or 0 when the peer closed the connection, on
    // the thread that called Send or Receive. Set before Connect; not changed afterwards.
    using ErrorCallback = std::function<void(int errorCode)>;

    // How long Receive waits for data before it gives up without a callback.
    static constexpr std::chrono::milliseconds kDefaultReceiveWait{11000};

    // timeout: how long Connect waits for the gateway to accept, in milliseconds.
    ClientSocket(std::string host, int port, int timeout);
    ~ClientSocket();
    ClientSocket(const ClientSocket&) = delete;
    ClientSocket& operator=(const ClientSocket&) = delete;

    // Resolves the host, then creates and connects a socket to each of its addresses in
    // order until one accepts, all within the time-out. False when already connected once
    // (a closed socket is not connected again) or on failure; a failed Connect may be
    // retried.
    bool Connect();
    // Whether Send reports a failure through SendErrorCallback.
    enum class OnFailure { Report, KeepQuiet };
    // Sends the whole vector. True without sending when there is no open connection.
    // A failure (EPIPE for a closed peer, never SIGPIPE) calls SendErrorCallback unless
    // asked to keep quiet.
    bool Send(const std::vector<unsigned char>& data, OnFailure onFailure = OnFailure::Report);
    // True when the connection is open and everything sent before has been acknowledged by
    // the peer: a small frame sent now goes into an empty buffer and cannot wait. The
    // thread that sends asks it.
    bool NothingInFlight() const;
    // Waits for data and appends what one read brings (up to 1024 bytes) to data; then
    // true. The bytes are not looked at: the caller cuts them into frames. False without a
    // callback when nothing arrived within the receive wait or the socket was closed; false
    // after ReceiveErrorCallback when the peer closed the connection or recv failed.
    bool Receive(std::vector<unsigned char>& data);
    void Close();
    // True when the socket reports a pending error (or cannot be asked); false when closed.
    bool HasPendingError();

    // For tests: a shorter receive wait. Set before the socket is shared.
    void SetReceiveWait(std::chrono::milliseconds wait) { receiveWait_ = wait; }

    ErrorCallback ReceiveErrorCallback;
    ErrorCallback SendErrorCallback;

private:
    // A socket for the address with the connection's options; false when none could be made.
    bool CreateSocket(const addrinfo& address);
    // Keep-alive after 5 s of silence, 10 probes 5 s apart. False at the first option
    // that cannot be set.
    bool SetKeepAliveOption(int socket);
    // connect() bounded by the deadline (none when timeout_ is 0) and by Close; false with
    // errno set on failure.
    bool ConnectWithinTimeout(const sockaddr* address, socklen_t length,
                              std::chrono::steady_clock::time_point deadline);
    void ReportReceiveFailure(int errorCode);

    bool connected_ = false;
    // Written by Connect and the destructor only; read by the other operations, and by
    // Close while Connect may still run.
    std::atomic<int> connectionSocket_{-1};
    std::atomic<bool> closed_{false};
    std::string host_;
    int port_;
    int timeout_;
    std::chrono::milliseconds receiveWait_ = kDefaultReceiveWait;
};

}  // namespace Quarn::Net
