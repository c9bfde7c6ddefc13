#pragma once
// Test helpers for the gateway: locksim as a real process, and a recorder of what a
// gateway reports through its callbacks.

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "gateway/VirtualGateway.h"
#include "tests/support/TestSupport.h"

namespace TestSupport {

// locksim started on a port of its choosing; killed when the object goes.
class Locksim {
public:
    explicit Locksim(const std::vector<std::string>& options = {});
    int Port() const { return port_; }
    // Sends one command line to its standard input.
    void Command(const std::string& line);
    std::string Output() const { return process_->Output(); }
    // True once a line containing text was printed.
    bool Printed(const std::string& text,
                 std::chrono::milliseconds deadline = std::chrono::milliseconds(10000)) const;
    // The "locksim received ..." lines so far, without that prefix.
    std::vector<std::string> Received() const;

private:
    TempDir folder_;
    std::unique_ptr<ChildProcess> process_;
    int port_ = 0;
};

// The value of "key=" in a locksim line, or "" when absent.
std::string Field(const std::string& line, const std::string& key);

// Records a gateway's callbacks; all methods are thread-safe.
class GatewayRecorder {
public:
    using Response = Quarn::VirtualGateway::Response;
    using Event = Quarn::VirtualGateway::Event;

    // Registers all three callbacks.
    void Attach(Quarn::VirtualGateway& gateway);

    // The response for requestId once it arrived, else null. Owned by the recorder.
    const Response* WaitForResponse(
        const std::string& requestId,
        std::chrono::milliseconds deadline = std::chrono::milliseconds(10000));
    size_t ResponseCount(const std::string& requestIdPrefix);
    bool WaitForEvents(size_t count,
                       std::chrono::milliseconds deadline = std::chrono::milliseconds(10000));
    std::vector<Event> Events();
    std::vector<Quarn::VirtualGatewayStatuses> States();
    bool WaitForStatus(Quarn::VirtualGateway& gateway, Quarn::VirtualGatewayStatuses status,
                       std::chrono::milliseconds deadline = std::chrono::milliseconds(10000));

private:
    std::mutex mutex_;
    std::vector<std::unique_ptr<Response>> responses_;
    std::vector<Event> events_;
    std::vector<Quarn::VirtualGatewayStatuses> states_;
};

}  // namespace TestSupport
