#include "soak/FaultyWire.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <utility>

namespace Soak {
namespace {

sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

int ListenOn(int port, int backlog) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address = Loopback(port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, backlog) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A connection to 127.0.0.1:port that does not wait for the handshake to finish.
int ConnectWithoutWaiting(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address = Loopback(port);
    ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    return fd;
}

bool SendAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent <= 0) {
            return false;
        }
        data += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

}  // namespace

FaultyWire::FaultyWire(int gatewayPort, std::pair<int, int> ports, Tap tap)
    : gatewayPort_(gatewayPort), ports_(ports), tap_(std::move(tap)) {
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    Listen(SOMAXCONN);
    if (listeners_.size() != 2) {
        throw std::runtime_error("a soak wire cannot listen on its ports");
    }
    thread_ = std::thread([this] { Run(); });
}

FaultyWire::~FaultyWire() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    const uint64_t one = 1;
    ::write(wake_, &one, sizeof one);
    thread_.join();
    CloseConnections();
    CloseListeners();
    ::close(wake_);
}

void FaultyWire::SetMode(Mode mode) {
    std::lock_guard<std::mutex> lock(mutex_);
    wanted_ = mode;
    const uint64_t one = 1;
    ::write(wake_, &one, sizeof one);
}

void FaultyWire::Drop() {
    std::lock_guard<std::mutex> lock(mutex_);
    drop_ = true;
    const uint64_t one = 1;
    ::write(wake_, &one, sizeof one);
}

void FaultyWire::Inject(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    inject_ += bytes;
    const uint64_t one = 1;
    ::write(wake_, &one, sizeof one);
}

void FaultyWire::Listen(int backlog) {
    for (int port : {ports_.first, ports_.second}) {
        const int fd = ListenOn(port, backlog);
        if (fd >= 0) {
            listeners_.push_back(fd);
        }
    }
}

void FaultyWire::CloseListeners() {
    for (int fd : listeners_) {
        ::close(fd);
    }
    for (int fd : fillers_) {
        ::close(fd);
    }
    listeners_.clear();
    fillers_.clear();
}

void FaultyWire::CloseConnections() {
    for (Connection& connection : connections_) {
        ::close(connection.hub);
        ::close(connection.gateway);
    }
    connections_.clear();
}

void FaultyWire::Apply() {
    Mode wanted;
    bool drop;
    std::string inject;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        wanted = wanted_;
        drop = std::exchange(drop_, false);
        inject.swap(inject_);
    }
    if (drop) {
        CloseConnections();
    }
    for (Connection& connection : connections_) {
        if (!inject.empty()) {
            SendAll(connection.hub, inject.data(), inject.size());
        }
    }
    if (wanted == mode_) {
        return;
    }
    const bool listening = mode_ == Mode::Pass || mode_ == Mode::Silent;
    const bool listens = wanted == Mode::Pass || wanted == Mode::Silent;
    if (!listens) {
        CloseConnections();
    }
    if (mode_ == Mode::Hang || !listens) {
        CloseListeners();
    }
    if (wanted == Mode::Hang) {
        // A queue of one, taken by a connection of the wire's own: further connects hang.
        Listen(0);
        for (int port : {ports_.first, ports_.second}) {
            fillers_.push_back(ConnectWithoutWaiting(port));
        }
    } else if (listens && !listening) {
        Listen(SOMAXCONN);
    }
    mode_ = wanted;
}

void FaultyWire::Accept(int listener) {
    const int hub = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (hub < 0) {
        return;
    }
    const int gateway = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(gatewayPort_);
    if (::connect(gateway, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(gateway);
        ::close(hub);  // the gateway is not there: as if it refused
        return;
    }
    const int on = 1;
    ::setsockopt(hub, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::setsockopt(gateway, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    connections_.push_back(Connection{hub, gateway, {}});
}

bool FaultyWire::Forward(Connection& connection, bool fromHub) {
    char buffer[16384];
    const int from = fromHub ? connection.hub : connection.gateway;
    const ssize_t got = ::recv(from, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
        return false;
    }
    if (got < 0) {
        return true;
    }
    const size_t size = static_cast<size_t>(got);
    if (fromHub) {
        const auto at = Clock::now();
        connection.frames.Append({reinterpret_cast<unsigned char*>(buffer), size});
        for (auto cut = connection.frames.Next(true); !cut.frame.empty();
             cut = connection.frames.Next(true)) {
            tap_(at, cut.frame);
        }
        return SendAll(connection.gateway, buffer, size);
    }
    return mode_ == Mode::Silent || SendAll(connection.hub, buffer, size);
}

void FaultyWire::Run() {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stop_) {
                return;
            }
        }
        Apply();
        const bool accepting = mode_ == Mode::Pass || mode_ == Mode::Silent;
        // A port may still be held for a moment by a connection of the fault before (the
        // bind then fails): it is bound again until it works.
        const bool deaf = accepting && listeners_.size() < 2;
        if (deaf) {
            CloseListeners();
            Listen(SOMAXCONN);
        }
        std::vector<pollfd> watched{{wake_, POLLIN, 0}};
        for (int fd : listeners_) {
            watched.push_back({fd, static_cast<short>(accepting ? POLLIN : 0), 0});
        }
        for (const Connection& connection : connections_) {
            watched.push_back({connection.hub, POLLIN, 0});
            watched.push_back({connection.gateway, POLLIN, 0});
        }
        if (::poll(watched.data(), watched.size(), deaf ? 100 : 1000) <= 0) {
            continue;
        }
        uint64_t count;
        ::read(wake_, &count, sizeof count);
        size_t at = 1;
        const size_t listenerCount = listeners_.size();
        for (size_t i = 0; i < listenerCount; ++i, ++at) {
            if (watched[at].revents & POLLIN) {
                Accept(watched[at].fd);
            }
        }
        std::vector<Connection> kept;
        const size_t polled = (watched.size() - at) / 2;
        for (size_t i = 0; i < connections_.size(); ++i) {
            Connection& connection = connections_[i];
            bool alive = true;
            if (i < polled) {
                const short hubEvents = watched[at + 2 * i].revents;
                const short gatewayEvents = watched[at + 2 * i + 1].revents;
                alive = (!hubEvents || Forward(connection, true)) &&
                        (!gatewayEvents || Forward(connection, false));
            }
            if (alive) {
                kept.push_back(std::move(connection));
            } else {
                ::close(connection.hub);
                ::close(connection.gateway);
            }
        }
        connections_ = std::move(kept);
    }
}

int PortPicker::Next() {
    int ephemeralLow = 32768;
    if (FILE* range = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
        std::fscanf(range, "%d", &ephemeralLow);
        std::fclose(range);
    }
    constexpr int kLowest = 12000;
    if (next_ == 0) {
        next_ = kLowest + static_cast<int>(::getpid() % 97) * 40;
    }
    while (next_ < ephemeralLow) {
        const int port = next_++;
        const int fd = ListenOn(port, 1);
        if (fd >= 0) {
            ::close(fd);
            return port;
        }
    }
    throw std::runtime_error("no free port below the ephemeral range");
}

}  // namespace Soak
