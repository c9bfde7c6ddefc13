#include "bench/TcpRelay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <stdexcept>
#include <utility>

namespace Bench {
namespace {

sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

void NoDelay(int fd) {
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

}  // namespace

TcpRelay::TcpRelay(int targetPort) : TcpRelay(targetPort, Options{}) {}

TcpRelay::TcpRelay(int targetPort, Options options)
    : targetPort_(targetPort), options_(std::move(options)) {
    listening_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    if (listening_ == -1 ||
        ::bind(listening_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listening_, 1) != 0 ||
        ::getsockname(listening_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("relay: cannot listen");
    }
    port_ = ntohs(address.sin_port);
    stop_ = ::eventfd(0, EFD_CLOEXEC);
    thread_ = std::thread([this] { Run(); });
}

TcpRelay::~TcpRelay() {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(stop_, &one, sizeof one);
    thread_.join();
    ::close(stop_);
    ::close(listening_);
}

double TcpRelay::CpuSeconds() {
    clockid_t clock;
    timespec used{};
    if (pthread_getcpuclockid(thread_.native_handle(), &clock) != 0 ||
        ::clock_gettime(clock, &used) != 0) {
        return 0;
    }
    return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
}

void TcpRelay::Run() {
    for (int connection = 1;; ++connection) {
        pollfd accepting[] = {{listening_, POLLIN, 0}, {stop_, POLLIN, 0}};
        if (::poll(accepting, 2, -1) < 0 && errno != EINTR) {
            return;
        }
        if (accepting[1].revents != 0) {
            return;
        }
        if (accepting[0].revents == 0) {
            continue;
        }
        int client = ::accept4(listening_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client != -1 && !Serve(client, connection)) {
            return;
        }
    }
}

bool TcpRelay::Serve(int client, int connection) {
    const Tap* tap = options_.toTarget ? &options_.toTarget : nullptr;
    const auto drop = options_.dropAfter.count() > 0 ? Clock::now() + options_.dropAfter
                                                     : Clock::time_point::max();
    bool stopping = false;
    int target = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(targetPort_);
    if (target != -1 &&
        ::connect(target, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        NoDelay(client);
        NoDelay(target);
        for (;;) {
            int timeout = -1;
            if (drop != Clock::time_point::max()) {
                timeout = static_cast<int>(std::max<int64_t>(
                    0, std::chrono::ceil<std::chrono::milliseconds>(drop - Clock::now()).count()));
            }
            pollfd waiting[] = {{client, POLLIN, 0}, {target, POLLIN, 0}, {stop_, POLLIN, 0}};
            if (::poll(waiting, 3, timeout) < 0 && errno != EINTR) {
                break;
            }
            if (waiting[2].revents != 0) {
                stopping = true;
                break;
            }
            if (Clock::now() >= drop) {
                break;
            }
            if ((waiting[0].revents != 0 && !Forward(client, target, tap, connection)) ||
                (waiting[1].revents != 0 && !Forward(target, client, nullptr, connection))) {
                break;
            }
        }
    }
    ::close(client);
    if (target != -1) {
        ::close(target);
    }
    return !stopping;
}

bool TcpRelay::Forward(int from, int to, const Tap* tap, int connection) {
    char buffer[4096];
    ssize_t count = ::recv(from, buffer, sizeof buffer, 0);
    if (count > 0 && tap != nullptr) {
        (*tap)(connection, Clock::now(), std::string_view(buffer, static_cast<size_t>(count)));
    }
    return count > 0 && ::send(to, buffer, static_cast<size_t>(count), MSG_NOSIGNAL) == count;
}

}  // namespace Bench
