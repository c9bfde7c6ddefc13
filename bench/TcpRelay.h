#pragma once
// A plain TCP relay: the floor under lockhub's latency, and a stand-in for a gateway's
// network. It listens on 127.0.0.1 (a port the system picks) and takes one client at a
// time, connecting each to 127.0.0.1:targetPort and copying bytes both ways as they come,
// with no framing, queueing or logging; when a client goes, it takes the next. Runs one
// thread of its own from construction to destruction.

#include <chrono>
#include <functional>
#include <string_view>
#include <thread>

namespace Bench {

class TcpRelay {
public:
    using Clock = std::chrono::steady_clock;
    // Bytes on their way to the target, with the number of their connection (from 1) and
    // the time they were read. Called on the relay's thread.
    using Tap = std::function<void(int connection, Clock::time_point at, std::string_view bytes)>;

    struct Options {
        Tap toTarget;
        // Closes both sides of each connection this long after accepting it; 0: never.
        std::chrono::milliseconds dropAfter{0};
    };

    explicit TcpRelay(int targetPort);
    TcpRelay(int targetPort, Options options);
    // Stops and joins the thread, closes every socket.
    ~TcpRelay();
    TcpRelay(const TcpRelay&) = delete;
    TcpRelay& operator=(const TcpRelay&) = delete;

    int Port() const { return port_; }
    // CPU time the relay's thread has used so far, in seconds: what copying the bytes
    // costs on this machine, the floor under lockhub's CPU per request.
    double CpuSeconds();

private:
    void Run();
    // Relays one client until either side closes, its drop time comes or the relay
    // stops; false when the relay stops.
    bool Serve(int client, int connection);
    // Copies what is readable on from to to, through tap when given; false when either
    // side closed.
    static bool Forward(int from, int to, const Tap* tap, int connection);

    int targetPort_;
    Options options_;
    int listening_ = -1;
    int port_ = 0;
    int stop_ = -1;  // eventfd: the destructor wakes the thread through it
    std::thread thread_;
};

}  // namespace Bench
