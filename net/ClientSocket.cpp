#include "net/ClientSocket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "diagnostics/ErrorGuard.h"
#include "diagnostics/HexBytes.h"
#include "diagnostics/Log.h"

namespace Quarn::Net {
namespace {

constexpr timeval kConnectReceiveTimeout{2, 0};
constexpr timeval kSendTimeout{15, 0};
constexpr int kKeepAliveIdleSeconds = 5;
constexpr int kKeepAliveProbes = 10;
constexpr int kKeepAliveIntervalSeconds = 5;
constexpr size_t kReceiveAreaSize = 1024;
// The longest a connect waits without looking whether Close was called meanwhile.
constexpr std::chrono::milliseconds kConnectWaitSlice{100};

struct AddressListDeleter {
    void operator()(addrinfo* list) const { freeaddrinfo(list); }
};
using AddressList = std::unique_ptr<addrinfo, AddressListDeleter>;

}  // namespace

ClientSocket::ClientSocket(std::string host, int port, int timeout)
    : host_(std::move(host)), port_(port), timeout_(timeout) {}

ClientSocket::~ClientSocket() {
    if (connected_) {
        Close();
    }
    ReceiveErrorCallback = nullptr;
    SendErrorCallback = nullptr;
    if (connectionSocket_ != -1) {
        ::close(connectionSocket_);
    }
}

bool ClientSocket::Connect() {
    if (connected_ || closed_) {
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    int resolved = getaddrinfo(host_.c_str(), std::to_string(port_).c_str(), &hints, &found);
    AddressList addresses(found);
    if (resolved != 0) {
        LOG_ERROR << "GetAddrInfo error: " << gai_strerror(resolved);
        return false;
    }
    LOG_VERBOSE << "Getaddr ok. Address found.";

    // Every address the name resolves to is tried in turn (a name such as "localhost" may
    // give ::1 first while the gateway listens on 127.0.0.1), all within the time-out.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_);
    int error = ETIMEDOUT;
    for (const addrinfo* address = addresses.get(); address != nullptr && !closed_;
         address = address->ai_next) {
        if (!CreateSocket(*address)) {
            return false;
        }
        if (ConnectWithinTimeout(address->ai_addr, address->ai_addrlen, deadline)) {
            LOG_VERBOSE << "Socket connected.";
            connected_ = true;
            return true;
        }
        error = errno;
        ::close(connectionSocket_);
        connectionSocket_ = -1;
        if (timeout_ > 0 && std::chrono::steady_clock::now() >= deadline) {
            break;
        }
    }
    LOG_ERROR << "Cannot connect to socket: " << std::strerror(error);
    return false;
}

bool ClientSocket::CreateSocket(const addrinfo& address) {
    connectionSocket_ =
        ::socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC, address.ai_protocol);
    if (connectionSocket_ == -1) {
        // Out of descriptors or memory: lockhub's own trouble, not the gateway's.
        LOG_ERROR << "Cannot create socket: " << std::strerror(errno);
        Diagnostics::ErrorGuard::GetInstance().ReportCriticalError();
        return false;
    }
    LOG_VERBOSE << "Socket created.";

    if (setsockopt(connectionSocket_, SOL_SOCKET, SO_RCVTIMEO, &kConnectReceiveTimeout,
                   sizeof kConnectReceiveTimeout) != 0) {
        LOG_ERROR << "setsockopt failed for recv timeout.";
        Diagnostics::ErrorGuard::GetInstance().ReportError();
    }
    if (setsockopt(connectionSocket_, SOL_SOCKET, SO_SNDTIMEO, &kSendTimeout,
                   sizeof kSendTimeout) != 0) {
        LOG_ERROR << "setsockopt failed for send timeout";
    }
    if (!SetKeepAliveOption(connectionSocket_)) {
        int error = errno;
        ::close(connectionSocket_);
        connectionSocket_ = -1;
        LOG_ERROR << "Cannot set keep alive for socket. Error: " << std::strerror(error);
        return false;
    }
    // Frames are small and each one waits for an answer: send them at once.
    int noDelay = 1;
    if (setsockopt(connectionSocket_, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay) != 0) {
        LOG_WARNING << "Cannot set TCP_NODELAY for socket. Error: " << std::strerror(errno);
    }
    return true;
}

bool ClientSocket::ConnectWithinTimeout(const sockaddr* address, socklen_t length,
                                        std::chrono::steady_clock::time_point deadline) {
    int flags = fcntl(connectionSocket_, F_GETFL);
    if (flags == -1 || fcntl(connectionSocket_, F_SETFL, flags | O_NONBLOCK) == -1) {
        return false;
    }
    if (::connect(connectionSocket_, address, length) != 0) {
        if (errno != EINPROGRESS) {
            return false;
        }
        // Waited for in slices, so that Close from another thread ends the wait soon.
        pollfd waiting{connectionSocket_, POLLOUT, 0};
        int ready = 0;
        while (ready == 0 && !closed_) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (timeout_ > 0 && left.count() <= 0) {
                break;
            }
            int slice = static_cast<int>(kConnectWaitSlice.count());
            if (timeout_ > 0) {
                slice = static_cast<int>(std::min<int64_t>(slice, left.count()));
            }
            ready = ::poll(&waiting, 1, slice);
            if (ready == -1 && errno == EINTR) {
                ready = 0;
            }
        }
        if (ready == 0) {
            errno = closed_ ? ECANCELED : ETIMEDOUT;
            return false;
        }
        int error = 0;
        socklen_t errorLength = sizeof error;
        if (ready == -1 ||
            getsockopt(connectionSocket_, SOL_SOCKET, SO_ERROR, &error, &errorLength) != 0) {
            return false;
        }
        if (error != 0) {
            errno = error;
            return false;
        }
    }
    return fcntl(connectionSocket_, F_SETFL, flags) != -1;
}

bool ClientSocket::SetKeepAliveOption(int socket) {
    int enable = 1;
    if (setsockopt(socket, SOL_SOCKET, SO_KEEPALIVE, &enable, sizeof enable) != 0) {
        switch (errno) {
            case EFAULT:
                LOG_ERROR << "Cannot set keepalive socket. Invalid option address.";
                break;
            case ENOPROTOOPT:
                LOG_ERROR << "Unknown option.";
                break;
            case ENOTSOCK:
                LOG_ERROR << "Not a socket.";
                break;
            case EBADF:
                LOG_ERROR << "Not a valid socket descriptor";
                break;
            case EINVAL:
                LOG_ERROR << "Invalid keepalive value.";
                break;
            default:
                break;
        }
        Diagnostics::ErrorGuard::GetInstance().ReportError();
        return false;
    }
    if (setsockopt(socket, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepAliveIdleSeconds,
                   sizeof kKeepAliveIdleSeconds) != 0) {
        LOG_ERROR << "Error in set TCP_KEEPIDLE";
        Diagnostics::ErrorGuard::GetInstance().ReportError();
        return false;
    }
    if (setsockopt(socket, IPPROTO_TCP, TCP_KEEPCNT, &kKeepAliveProbes, sizeof kKeepAliveProbes) !=
        0) {
        LOG_ERROR << "Error in set TCP_KEEPCNT";
        Diagnostics::ErrorGuard::GetInstance().ReportError();
        return false;
    }
    if (setsockopt(socket, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepAliveIntervalSeconds,
                   sizeof kKeepAliveIntervalSeconds) != 0) {
        LOG_ERROR << "Error in set TCPKEEPINTVL";
        Diagnostics::ErrorGuard::GetInstance().ReportError();
        return false;
    }
    LOG_VERBOSE << "Keepalive set.";
    return true;
}

bool ClientSocket::NothingInFlight() const {
    int unacknowledged = 0;
    return connectionSocket_ != -1 && !closed_ &&
           ::ioctl(connectionSocket_, SIOCOUTQ, &unacknowledged) == 0 && unacknowledged == 0;
}

bool ClientSocket::Send(const std::vector<unsigned char>& data, OnFailure onFailure) {
    if (connectionSocket_ == -1 || closed_) {
        return true;
    }
    if (Diagnostics::IsLogged(Diagnostics::verbose)) {
        LOG_VERBOSE << "Sending " << data.size() << " bytes of data. Bytes array: "
                    << Diagnostics::HexBytes(data, Diagnostics::HexStyle::LowerSpaced);
    }
    size_t sent = 0;
    while (sent < data.size()) {
        errno = 0;
        ssize_t result =
            ::send(connectionSocket_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (result == -1 && errno == EINTR) {
            continue;
        }
        if (result == -1) {
            int error = errno;
            if (closed_) {
                // Closed by the owner while sending: nothing to report.
                return false;
            }
            LOG_ERROR << "Socket send failed. Error: " << std::strerror(error);
            if (onFailure == OnFailure::Report && SendErrorCallback) {
                SendErrorCallback(error);
            }
            errno = 0;
            return false;
        }
        sent += static_cast<size_t>(result);
    }
    LOG_DEBUG << "Send result: " << sent;
    return true;
}

bool ClientSocket::Receive(std::vector<unsigned char>& data) {
    errno = 0;
    if (connectionSocket_ == -1 || closed_) {
        return false;
    }
    const timeval receiveTimeout{static_cast<time_t>(receiveWait_.count() / 1000),
                                 static_cast<suseconds_t>(receiveWait_.count() % 1000 * 1000)};
    if (setsockopt(connectionSocket_, SOL_SOCKET, SO_RCVTIMEO, &receiveTimeout,
                   sizeof receiveTimeout) != 0) {
        LOG_ERROR << "Cannot set socket option SO_RCVTIMEO";
        Diagnostics::ErrorGuard::GetInstance().ReportError();
        return false;
    }
    std::array<unsigned char, kReceiveAreaSize> area;
    for (;;) {
        pollfd waiting{connectionSocket_, POLLIN, 0};
        int ready = ::poll(&waiting, 1, static_cast<int>(receiveWait_.count()));
        if (closed_) {
            return false;
        }
        if (ready == -1 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return false;  // nothing arrived in time
        }
        ssize_t result = ::recv(connectionSocket_, area.data(), area.size(), 0);
        if (result > 0) {
            data.insert(data.end(), area.begin(), area.begin() + result);
            LOG_VERBOSE << "Received data but more than one data chunk must be handled.";
            return true;
        }
        if (closed_) {
            return false;
        }
        if (result == 0) {
            if (ReceiveErrorCallback) {
                ReceiveErrorCallback(0);
            }
            LOG_DEBUG << "Received 0 bytes as read result, and no other read operations was "
                         "pending. The socket must be disconected.";
            return false;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            continue;
        }
        ReportReceiveFailure(errno);
        return false;
    }
}

void ClientSocket::ReportReceiveFailure(int errorCode) {
    switch (errorCode) {
        case ENOTSOCK:
            LOG_ERROR << "Not a socket file descriptor on connectionSocket";
            break;
        case ECONNREFUSED:
            LOG_ERROR << "Connection refused on connectionSocket";
            break;
        case EBADF:
            LOG_ERROR << "Bad file descriptor on connectionSocket.";
            break;
        default:
            LOG_ERROR << "Error not handled. Error code received: " << errorCode;
            break;
    }
    if (ReceiveErrorCallback) {
        ReceiveErrorCallback(errorCode);
    }
}

void ClientSocket::Close() {
    LOG_VERBOSE << "Called close on current connectionSocket.";
    // Shutting down wakes a Receive waiting on another thread; the descriptor stays
    // reserved until the destructor so that its number cannot be reused under that thread.
    if (!closed_.exchange(true) && connectionSocket_ != -1) {
        ::shutdown(connectionSocket_, SHUT_RDWR);
    }
}

bool ClientSocket::HasPendingError() {
    if (connectionSocket_ == -1 || closed_) {
        return false;
    }
    int error = 0;
    socklen_t length = sizeof error;
    return getsockopt(connectionSocket_, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0;
}

}  // namespace Quarn::Net
