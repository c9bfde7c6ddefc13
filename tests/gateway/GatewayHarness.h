#pragma once
// Test helpers for the gateway: reading locksim's output, and a recorder of what a
// gateway reports through its callbacks.

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "gateway/VirtualGateway.h"
#include "tests/support/Processes.h"
#include "tests/support/TestSupport.h"

namespace TestSupport {

// The "locksim received ..." lines of locksim's output, without that prefix.
std::vector<std::string> ReceivedLines(const std::string& output);

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
    // True once the callback reported status as the latest change.
    bool WaitForStatus(Quarn::VirtualGatewayStatuses status,
                       std::chrono::milliseconds deadline = std::chrono::milliseconds(10000));

private:
    std::mutex mutex_;
    std::vector<std::unique_ptr<Response>> responses_;
    std::vector<Event> events_;
    std::vector<Quarn::VirtualGatewayStatuses> states_;
};

}  // namespace TestSupport
