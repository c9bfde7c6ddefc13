#pragma once
// A plain TCP relay: the floor under lockhub's latency. It listens on 127.0.0.1 (a port the
// system picks), takes one client, connects it to 127.0.0.1:targetPort and copies bytes
// both ways as they come, with no framing, queueing or logging. Runs one thread of its
// own from construction to destruction.

#include <atomic>
#include <thread>

namespace Bench {

class TcpRelay {
public:
    explicit TcpRelay(int targetPort);
    // Stops and joins the thread, closes every socket.
    ~TcpRelay();
    TcpRelay(const TcpRelay&) = delete;
    TcpRelay& operator=(const TcpRelay&) = delete;

    int Port() const { return port_; }

private:
    void Run();
    // Copies what is readable on from to to; false when either side closed.
    static bool Forward(int from, int to);

    int targetPort_;
    int listening_ = -1;
    int port_ = 0;
    int stop_ = -1;  // eventfd: the destructor wakes the thread through it
    std::thread thread_;
};

}  // namespace Bench
