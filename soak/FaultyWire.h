#pragma once
// The network between lockhub and one gateway, with faults on demand. It listens on two
// ports of 127.0.0.1 (a reload may move the gateway from one to the other) and relays each
// connection to the gateway's own port, copying bytes both ways as they come.
//
// Faults: refused connections (a gateway that reboots), hanging connects (a full accept
// queue, so a connect never completes), silence (what the gateway says is dropped), bytes
// injected towards lockhub (garbage, a frame with a bad CRC), dropped connections.
//
// Every whole frame lockhub sends is handed to a tap with the time it was read. The wire
// runs one thread of its own from construction to destruction; every other call is safe
// from any thread.

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "messages/QuarnFrameCutter.h"

namespace Soak {

class FaultyWire {
public:
    using Clock = std::chrono::steady_clock;
    // Called on the wire's thread.
    using Tap = std::function<void(Clock::time_point at, const std::vector<unsigned char>& frame)>;

    enum class Mode { Pass, Refuse, Hang, Silent };

    // ports: the two ports to listen on (taken by the caller's PortPicker); gatewayPort:
    // where the gateway listens.
    FaultyWire(int gatewayPort, std::pair<int, int> ports, Tap tap);
    // Stops and joins the thread, closes every socket.
    ~FaultyWire();
    FaultyWire(const FaultyWire&) = delete;
    FaultyWire& operator=(const FaultyWire&) = delete;

    int Port(int which) const { return which == 0 ? ports_.first : ports_.second; }
    // Refuse and Hang end the connections of the moment as well.
    void SetMode(Mode mode);
    // Ends the connections of the moment; new ones are taken as the mode says.
    void Drop();
    // Sends bytes to lockhub on every connection of the moment.
    void Inject(const std::string& bytes);

private:
    struct Connection {
        int hub = -1;
        int gateway = -1;
        Quarn::Messages::QuarnFrameCutter frames;  // what lockhub sent, cut for the tap
    };

    void Run();
    void Apply();  // on the wire's thread: the mode, drops and injections asked for
    void Listen(int backlog);
    void CloseListeners();
    void CloseConnections();
    void Accept(int listener);
    // Copies what is readable on one side to the other; false when either side ended.
    bool Forward(Connection& connection, bool fromHub);

    const int gatewayPort_;
    const std::pair<int, int> ports_;
    Tap tap_;
    int wake_ = -1;  // eventfd: calls and the destructor wake the thread through it

    std::mutex mutex_;
    // Guarded by mutex_: what the thread has still to do.
    Mode wanted_ = Mode::Pass;
    bool drop_ = false;
    std::string inject_;
    bool stop_ = false;

    // The wire's thread only.
    Mode mode_ = Mode::Pass;
    std::vector<int> listeners_;
    std::vector<int> fillers_;  // connections that fill a hanging listener's queue
    std::vector<Connection> connections_;
    std::thread thread_;
};

// Ports below the system's ephemeral range that nothing else uses, distinct for the life of
// the picker: a port that is closed for a while (a gateway's reboot) is never taken by a
// connection's source port meanwhile.
class PortPicker {
public:
    int Next();

private:
    int next_ = 0;
};

}  // namespace Soak
