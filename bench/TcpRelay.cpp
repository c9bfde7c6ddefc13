#include "bench/TcpRelay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

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

TcpRelay::TcpRelay(int targetPort) : targetPort_(targetPort) {
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

void TcpRelay::Run() {
    pollfd accepting[] = {{listening_, POLLIN, 0}, {stop_, POLLIN, 0}};
    if (::poll(accepting, 2, -1) <= 0 || accepting[1].revents != 0) {
        return;
    }
    int client = ::accept4(listening_, nullptr, nullptr, SOCK_CLOEXEC);
    int target = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(targetPort_);
    if (client != -1 && target != -1 &&
        ::connect(target, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        NoDelay(client);
        NoDelay(target);
        for (;;) {
            pollfd waiting[] = {{client, POLLIN, 0}, {target, POLLIN, 0}, {stop_, POLLIN, 0}};
            if (::poll(waiting, 3, -1) < 0 || waiting[2].revents != 0) {
                break;
            }
            if ((waiting[0].revents != 0 && !Forward(client, target)) ||
                (waiting[1].revents != 0 && !Forward(target, client))) {
                break;
            }
        }
    }
    ::close(client);
    ::close(target);
}

bool TcpRelay::Forward(int from, int to) {
    char buffer[4096];
    ssize_t count = ::recv(from, buffer, sizeof buffer, 0);
    return count > 0 && ::send(to, buffer, static_cast<size_t>(count), MSG_NOSIGNAL) == count;
}

}  // namespace Bench
