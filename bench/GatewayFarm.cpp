#include "bench/GatewayFarm.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>

#include "messages/QuarnFrameCutter.h"
#include "messages/QuarnMessageBuilder.h"
#include "messages/QuarnMessageTypes.h"
#include "messages/QuarnResponseCodes.h"
#include "messages/QuarnResponsePayload.h"

namespace Bench {
namespace {

namespace Q = Quarn::Messages;

constexpr uint32_t kFirstSequence = 1000;  // locksim's
// epoll tags: kStop, kListener + a gateway's index, or a connection's descriptor.
constexpr uint64_t kStop = 1ULL << 62;
constexpr uint64_t kListener = 1ULL << 32;

void Watch(int epoll, int fd, uint64_t tag) {
    epoll_event interest{};
    interest.events = EPOLLIN;
    interest.data.u64 = tag;
    ::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &interest);
}

// The gateway's answer to one frame; moves its counter as locksim does.
std::vector<unsigned char> Answer(const Q::QuarnMessage& request, uint32_t& sequence) {
    uint8_t code = Q::QUARN_RESPONSE_OK;
    if (request.GetSequenceCounter() <= sequence) {
        code = Q::QUARN_RESPONSE_SEQUENCE_COUNTER_ERROR;
    } else {
        sequence = request.GetSequenceCounter();
        if (request.GetMessageType() == Q::QUARN_MESSAGE_GET_STATUS) {
            code = Q::QUARN_RESPONSE_NO_ROUTE_FOR_DEVADDR;
        }
    }
    Q::QuarnMessageBuilder builder(sequence, 1);
    auto answer =
        builder.BuildBaseMessage(request.GetDeviceAddress(), Q::QUARN_MESSAGE_RESPONSE,
                                 std::make_unique<Q::QuarnResponsePayload>(code, sequence));
    answer->SetSequenceCounter(sequence);
    answer->SetReferenceId(request.GetReferenceId());
    answer->SetReply(true);
    return answer->Serialize();
}

}  // namespace

struct GatewayFarm::Connection {
    int fd;
    int index;
    Q::QuarnFrameCutter cutter;
};

GatewayFarm::GatewayFarm(int count)
    : sequence_(static_cast<size_t>(count), kFirstSequence),
      lastFrame_(std::make_unique<std::atomic<Clock::rep>[]>(static_cast<size_t>(count))) {
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    stop_ = ::eventfd(0, EFD_CLOEXEC);
    Watch(epoll_, stop_, kStop);
    for (int index = 0; index < count; ++index) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd == -1 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(fd, 8) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            const std::string reason = std::strerror(errno);
            for (int open : listening_) {
                ::close(open);
            }
            ::close(fd);
            ::close(stop_);
            ::close(epoll_);
            throw std::runtime_error("gateway farm: cannot listen for gateway " +
                                     std::to_string(index + 1) + ": " + reason);
        }
        listening_.push_back(fd);
        ports_.push_back(ntohs(address.sin_port));
        Watch(epoll_, fd, kListener + static_cast<uint64_t>(index));
    }
    thread_ = std::thread([this] { Run(); });
}

GatewayFarm::~GatewayFarm() {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(stop_, &one, sizeof one);
    thread_.join();
    for (int fd : listening_) {
        ::close(fd);
    }
    ::close(stop_);
    ::close(epoll_);
}

GatewayFarm::Clock::time_point GatewayFarm::LastFrame(int index) const {
    return Clock::time_point(Clock::duration(lastFrame_[static_cast<size_t>(index)].load()));
}

void GatewayFarm::Run() {
    std::map<int, Connection> connections;
    epoll_event ready[64];
    bool running = true;
    while (running) {
        const int count = ::epoll_wait(epoll_, ready, 64, -1);
        if (count < 0 && errno != EINTR) {
            break;
        }
        for (int i = 0; i < count && running; ++i) {
            const uint64_t tag = ready[i].data.u64;
            if (tag == kStop) {
                running = false;
            } else if (tag >= kListener) {
                const int index = static_cast<int>(tag - kListener);
                for (int fd; (fd = ::accept4(listening_[static_cast<size_t>(index)], nullptr,
                                             nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)) != -1;) {
                    int on = 1;
                    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                    connections.emplace(fd, Connection{fd, index, {}});
                    Watch(epoll_, fd, static_cast<uint64_t>(fd));
                }
            } else if (auto found = connections.find(static_cast<int>(tag));
                       found != connections.end() && !Serve(found->second)) {
                ::close(found->first);  // leaves the epoll set with it
                connections.erase(found);
            }
        }
    }
    for (auto& [fd, connection] : connections) {
        ::close(fd);
    }
}

bool GatewayFarm::Serve(Connection& connection) {
    unsigned char buffer[4096];
    const ssize_t count = ::recv(connection.fd, buffer, sizeof buffer, 0);
    if (count <= 0) {
        return count < 0 && (errno == EAGAIN || errno == EINTR);
    }
    connection.cutter.Append(std::vector<unsigned char>(buffer, buffer + count));
    uint32_t& sequence = sequence_[static_cast<size_t>(connection.index)];
    for (auto cut = connection.cutter.Next(true); !cut.frame.empty();
         cut = connection.cutter.Next(true)) {
        const auto request = Q::QuarnMessageBuilder::Parse(cut.frame);
        if (!request) {
            continue;
        }
        lastFrame_[static_cast<size_t>(connection.index)] = Clock::now().time_since_epoch().count();
        ++frames_;
        const std::vector<unsigned char> answer = Answer(*request, sequence);
        if (::send(connection.fd, answer.data(), answer.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(answer.size())) {
            return false;
        }
    }
    return true;
}

}  // namespace Bench
