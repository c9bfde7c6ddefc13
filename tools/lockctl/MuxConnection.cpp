#include "tools/lockctl/MuxConnection.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "mux/protocol/MuxAnswerStream.h"
#include "mux/protocol/MuxPacket.h"
#include "tls/TlsClient.h"

namespace Lockctl {
namespace {

constexpr size_t kMaxPacketSize = 0xFFFF;  // the length field has 16 bits
// lockhub's answers and events are a few hundred bytes; anything near this is not one.
constexpr size_t kMaxMessageSize = 1 << 20;

int MillisecondsLeft(std::optional<MuxConnection::Clock::time_point> deadline) {
    if (!deadline) {
        return -1;
    }
    auto left =
        std::chrono::ceil<std::chrono::milliseconds>(*deadline - MuxConnection::Clock::now());
    return static_cast<int>(std::clamp<int64_t>(left.count(), 0, 1 << 30));
}

// Connects one resolved address, waiting until the deadline. The socket or -1.
int ConnectOne(const addrinfo& address, MuxConnection::Clock::time_point deadline,
               std::string& error) {
    int fd = ::socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                      address.ai_protocol);
    if (fd == -1) {
        error = std::strerror(errno);
        return -1;
    }
    int result = ::connect(fd, address.ai_addr, address.ai_addrlen);
    if (result == -1 && errno == EINPROGRESS) {
        pollfd waiting{fd, POLLOUT, 0};
        int ready = ::poll(&waiting, 1, MillisecondsLeft(deadline));
        int failure = 0;
        socklen_t length = sizeof failure;
        if (ready <= 0) {
            failure = ready == 0 ? ETIMEDOUT : errno;
        } else if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &length) == -1) {
            failure = errno;
        }
        result = failure == 0 ? 0 : -1;
        errno = failure;
    }
    if (result == -1) {
        error = std::strerror(errno);
        ::close(fd);
        return -1;
    }
    int noDelay = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    return fd;
}

}  // namespace

std::unique_ptr<MuxConnection> MuxConnection::Open(
    const std::string& host, int port, std::shared_ptr<const Quarn::Tls::TlsClientContext> tls,
    Clock::time_point deadline, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (int failure = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
        failure != 0) {
        error = ::gai_strerror(failure);
        return nullptr;
    }
    int fd = -1;
    for (addrinfo* address = found; address != nullptr && fd == -1; address = address->ai_next) {
        fd = ConnectOne(*address, deadline, error);
    }
    ::freeaddrinfo(found);
    if (fd == -1) {
        return nullptr;
    }
    std::unique_ptr<MuxConnection> connection(new MuxConnection(fd));
    if (tls) {
        connection->tls_ =
            Quarn::Tls::TlsClient::Connect(std::move(tls), fd, host, deadline, error);
        if (!connection->tls_) {
            error = "TLS handshake failed: " + error;
            return nullptr;
        }
    }
    return connection;
}

MuxConnection::MuxConnection(int fd) : fd_(fd) {}

MuxConnection::~MuxConnection() {
    tls_.reset();
    ::close(fd_);
}

bool MuxConnection::WaitFor(short events, std::optional<Clock::time_point> deadline) {
    pollfd waiting{fd_, events, 0};
    for (;;) {
        int ready = ::poll(&waiting, 1, MillisecondsLeft(deadline));
        if (ready != -1 || errno != EINTR) {
            return ready > 0;
        }
    }
}

bool MuxConnection::Send(const std::string& json, Clock::time_point deadline, std::string& error) {
    size_t length = Mux::MuxPacket::kHeaderSize + json.size();
    if (length > kMaxPacketSize) {
        error =
            "the request is " + std::to_string(length) + " bytes long, more than a packet holds";
        return false;
    }
    std::string packet;
    packet += static_cast<char>(length & 0xFF);
    packet += static_cast<char>(length >> 8);
    packet += "MUXM";
    packet += json;
    if (tls_) {
        return tls_->Write(packet, deadline, error);
    }
    for (size_t sent = 0; sent < packet.size();) {
        ssize_t count = ::send(fd_, packet.data() + sent, packet.size() - sent, MSG_NOSIGNAL);
        if (count > 0) {
            sent += static_cast<size_t>(count);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!WaitFor(POLLOUT, deadline)) {
                error = "lockhub took no data in time";
                return false;
            }
        } else if (errno != EINTR) {
            error = std::strerror(errno);
            return false;
        }
    }
    return true;
}

MuxConnection::Outcome MuxConnection::Receive(std::optional<Clock::time_point> deadline,
                                              std::string& message, std::string& error) {
    for (;;) {
        // Anything between two texts (there should be nothing) is skipped.
        received_.erase(0, std::min(received_.find('{'), received_.size()));
        if (size_t length = Mux::CompleteObjectLength(received_)) {
            message = received_.substr(0, length);
            received_.erase(0, length);
            return Outcome::kMessage;
        }
        if (received_.size() > kMaxMessageSize) {
            error = "lockhub sent a text longer than " + std::to_string(kMaxMessageSize) + " bytes";
            return Outcome::kClosed;
        }
        if (Outcome outcome = ReceiveSome(deadline, error); outcome != Outcome::kMessage) {
            return outcome;
        }
    }
}

MuxConnection::Outcome MuxConnection::ReceiveSome(std::optional<Clock::time_point> deadline,
                                                  std::string& error) {
    if (tls_) {
        switch (tls_->Read(received_, deadline, error)) {
            case Quarn::Tls::TlsClient::Status::Ok:
                return Outcome::kMessage;
            case Quarn::Tls::TlsClient::Status::Timeout:
                return Outcome::kTimeout;
            case Quarn::Tls::TlsClient::Status::Closed:
                break;
        }
        return Outcome::kClosed;
    }
    if (!WaitFor(POLLIN, deadline)) {
        return Outcome::kTimeout;
    }
    char buffer[4096];
    ssize_t count = ::recv(fd_, buffer, sizeof buffer, 0);
    if (count == 0) {
        error = "lockhub closed the connection";
        return Outcome::kClosed;
    }
    if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        error = std::strerror(errno);
        return Outcome::kClosed;
    }
    if (count > 0) {
        received_.append(buffer, static_cast<size_t>(count));
    }
    return Outcome::kMessage;
}

}  // namespace Lockctl
