#include "net/ClientSocket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

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

constexpr int kKeepAliveIdleSeconds = 5;
constexpr int kKeepAliveProbes = 10;
constexpr int kKeepAliveIntervalSeconds = 5;
constexpr size_t kReceiveAreaSize = 4096;

struct AddressListDeleter {
    void operator()(addrinfo* list) const { freeaddrinfo(list); }
};
using AddressList = std::unique_ptr<addrinfo, AddressListDeleter>;

}  // namespace

std::optional<ClientSocket::Addresses> ClientSocket::Resolve(const std::string& host, int port,
                                                             bool numericOnly) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = numericOnly ? AI_NUMERICHOST : 0;
    addrinfo* found = nullptr;
    int resolved = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    AddressList list(found);
    if (resolved != 0) {
        if (!numericOnly) {
            LOG_ERROR << "GetAddrInfo error: " << gai_strerror(resolved);
        }
        return std::nullopt;
    }
    LOG_VERBOSE << "Getaddr ok. Address found.";
    // Every address the name resolves to is tried in turn: a name such as "localhost" may
    // give ::1 first while the gateway listens on 127.0.0.1.
    Addresses addresses;
    for (const addrinfo* entry = list.get(); entry != nullptr; entry = entry->ai_next) {
        Address address{};
        std::memcpy(&address.address, entry->ai_addr, entry->ai_addrlen);
        address.length = entry->ai_addrlen;
        address.family = entry->ai_family;
        addresses.push_back(address);
    }
    return addresses;
}

ClientSocket::~ClientSocket() {
    Close();
}

ClientSocket::Attempt ClientSocket::Connect(Addresses addresses) {
    Close();
    addresses_ = std::move(addresses);
    next_ = 0;
    lastError_ = ETIMEDOUT;
    return TryAddresses();
}

ClientSocket::Attempt ClientSocket::TryAddresses() {
    while (next_ < addresses_.size()) {
        const Address& address = addresses_[next_++];
        if (!CreateSocket(address)) {
            return Attempt::Failed;
        }
        if (::connect(descriptor_, reinterpret_cast<const sockaddr*>(&address.address),
                      address.length) == 0) {
            LOG_VERBOSE << "Socket connected.";
            connected_ = true;
            return Attempt::Connected;
        }
        if (errno == EINPROGRESS) {
            return Attempt::InProgress;
        }
        lastError_ = errno;
        ::close(descriptor_);
        descriptor_ = -1;
    }
    LOG_ERROR << "Cannot connect to socket: " << std::strerror(lastError_);
    return Attempt::Failed;
}

ClientSocket::Attempt ClientSocket::Continue() {
    if (descriptor_ == -1) {
        return Attempt::Failed;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(descriptor_, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        error = errno;
    }
    if (error == 0) {
        LOG_VERBOSE << "Socket connected.";
        connected_ = true;
        return Attempt::Connected;
    }
    lastError_ = error;
    ::close(descriptor_);
    descriptor_ = -1;
    return TryAddresses();
}

void ClientSocket::Abandon() {
    Close();
    LOG_ERROR << "Cannot connect to socket: " << std::strerror(ETIMEDOUT);
}

bool ClientSocket::CreateSocket(const Address& address) {
    descriptor_ = ::socket(address.family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (descriptor_ == -1) {
        // Out of descriptors or memory: lockhub's own trouble, not the gateway's.
        LOG_ERROR << "Cannot create socket: " << std::strerror(errno);
        Diagnostics::ErrorGuard::GetInstance().ReportCriticalError();
        return false;
    }
    LOG_VERBOSE << "Socket created.";
    if (!SetKeepAliveOption(descriptor_)) {
        int error = errno;
        ::close(descriptor_);
        descriptor_ = -1;
        LOG_ERROR << "Cannot set keep alive for socket. Error: " << std::strerror(error);
        return false;
    }
    // Frames are small and each one waits for an answer: send them at once.
    int noDelay = 1;
    if (setsockopt(descriptor_, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay) != 0) {
        LOG_WARNING << "Cannot set TCP_NODELAY for socket. Error: " << std::strerror(errno);
    }
    return true;
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

ptrdiff_t ClientSocket::Send(std::span<const unsigned char> data) {
    if (!connected_) {
        return 0;
    }
    if (Diagnostics::IsLogged(Diagnostics::verbose)) {
        LOG_VERBOSE << "Sending " << data.size() << " bytes of data. Bytes array: "
                    << Diagnostics::HexBytes(data, Diagnostics::HexStyle::LowerSpaced);
    }
    size_t sent = 0;
    while (sent < data.size()) {
        ssize_t result =
            ::send(descriptor_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (result >= 0) {
            sent += static_cast<size_t>(result);
            continue;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            break;
        }
        int error = errno;
        LOG_ERROR << "Socket send failed. Error: " << std::strerror(error);
        if (SendErrorCallback) {
            SendErrorCallback(error);
        }
        return -1;
    }
    LOG_DEBUG << "Send result: " << sent;
    return static_cast<ptrdiff_t>(sent);
}

bool ClientSocket::Receive(std::vector<unsigned char>& data) {
    if (!connected_) {
        return false;
    }
    std::array<unsigned char, kReceiveAreaSize> area;
    for (;;) {
        ssize_t result = ::recv(descriptor_, area.data(), area.size(), 0);
        if (result > 0) {
            data.insert(data.end(), area.begin(), area.begin() + result);
            if (static_cast<size_t>(result) < area.size()) {
                return true;
            }
            continue;
        }
        if (result == 0) {
            LOG_DEBUG << "Received 0 bytes as read result, and no other read operations was "
                         "pending. The socket must be disconected.";
            if (ReceiveErrorCallback) {
                ReceiveErrorCallback(0);
            }
            return false;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return true;
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
    if (descriptor_ != -1) {
        LOG_VERBOSE << "Called close on current connectionSocket.";
        ::close(descriptor_);
        descriptor_ = -1;
    }
    connected_ = false;
}

}  // namespace Quarn::Net
