#include "tests/net/ScriptedListener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

namespace TestSupport {

ScriptedListener::ScriptedListener() : ScriptedListener(0) {}

ScriptedListener::ScriptedListener(int port) {
    listening_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t length = sizeof address;
    int reuse = 1;
    if (listening_ == -1 ||
        ::setsockopt(listening_, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) != 0 ||
        ::bind(listening_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listening_, 8) != 0 ||
        ::getsockname(listening_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    port_ = ntohs(address.sin_port);
}

ScriptedListener::~ScriptedListener() {
    StopListening();
    for (int fd : connections_) {
        ::close(fd);
    }
}

int ScriptedListener::Accept(std::chrono::milliseconds deadline) {
    pollfd waiting{listening_, POLLIN, 0};
    if (listening_ == -1 || ::poll(&waiting, 1, static_cast<int>(deadline.count())) != 1) {
        return -1;
    }
    int fd = ::accept4(listening_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd != -1) {
        connections_.push_back(fd);
    }
    return fd;
}

void ScriptedListener::CloseConnection(int fd) {
    auto found = std::find(connections_.begin(), connections_.end(), fd);
    if (found != connections_.end()) {
        connections_.erase(found);
        ::close(fd);
    }
}

void ScriptedListener::StopListening() {
    if (listening_ != -1) {
        ::close(listening_);
        listening_ = -1;
    }
}

}  // namespace TestSupport
