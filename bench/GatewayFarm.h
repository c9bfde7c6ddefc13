#pragma once
// Many gateways served by one thread of this program, for lockhub to connect to when a
// locksim process per gateway would weigh more than lockhub itself. Each gateway listens
// on a port of 127.0.0.1 the system picks and keeps a sequence counter of its own (from
// 1000, as locksim's), answering as locksim does with one lock: a frame whose counter is
// not above the gateway's gets the counter-error response carrying the counter (that puts
// lockhub in step: READY); a status request the no-route response (lockhub's keep-alive
// asks device 256; nothing here answers a lock's status); any other frame OK. No events,
// no logging. One epoll thread from construction to destruction.

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace Bench {

class GatewayFarm {
public:
    using Clock = std::chrono::steady_clock;

    // Throws when a port cannot be had (raise RLIMIT_NOFILE first: a descriptor per
    // gateway, and one more per connection).
    explicit GatewayFarm(int count);
    ~GatewayFarm();
    GatewayFarm(const GatewayFarm&) = delete;
    GatewayFarm& operator=(const GatewayFarm&) = delete;

    int Count() const { return static_cast<int>(ports_.size()); }
    // The port of gateway index (0 .. Count() - 1).
    int Port(int index) const { return ports_[static_cast<size_t>(index)]; }
    // When gateway index last received a frame; the epoch when never.
    Clock::time_point LastFrame(int index) const;
    // Frames received by all gateways so far.
    long Frames() const { return frames_.load(); }

private:
    struct Connection;
    void Run();
    void Accept(int index);
    // Reads what the connection has and answers every whole frame; false when it closed.
    bool Serve(Connection& connection);

    std::vector<int> listening_;
    std::vector<int> ports_;
    std::vector<uint32_t> sequence_;  // the thread's only
    std::unique_ptr<std::atomic<Clock::rep>[]> lastFrame_;
    std::atomic<long> frames_{0};
    int epoll_ = -1;
    int stop_ = -1;  // eventfd: the destructor wakes the thread through it
    std::thread thread_;
};

}  // namespace Bench
