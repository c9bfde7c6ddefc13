#pragma once
// A listening TCP socket on 127.0.0.1 (port picked by the system) that plays the far
// side of a connection in tests: it accepts connections and hands out their descriptors.

#include <chrono>
#include <vector>

namespace TestSupport {

class ScriptedListener {
public:
    ScriptedListener();
    // Listens on the given port of 127.0.0.1 instead (a gateway coming back).
    explicit ScriptedListener(int port);
    // Closes the listening socket and every accepted connection still open.
    ~ScriptedListener();
    ScriptedListener(const ScriptedListener&) = delete;
    ScriptedListener& operator=(const ScriptedListener&) = delete;

    int Port() const { return port_; }
    // The next connection, or -1 when none came within the deadline. The listener keeps
    // ownership; CloseConnection ends one early.
    int Accept(std::chrono::milliseconds deadline = std::chrono::milliseconds(5000));
    void CloseConnection(int fd);
    // Stops listening: later connection attempts are refused.
    void StopListening();

private:
    int listening_ = -1;
    int port_ = 0;
    std::vector<int> connections_;
};

}  // namespace TestSupport
