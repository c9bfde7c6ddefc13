#include "tests/gateway/GatewayHarness.h"

#include <sstream>

namespace TestSupport {

std::vector<std::string> ReceivedLines(const std::string& output) {
    std::vector<std::string> lines;
    std::istringstream text(output);
    const std::string prefix = "locksim received ";
    for (std::string line; std::getline(text, line);) {
        if (line.rfind(prefix, 0) == 0) {
            lines.push_back(line.substr(prefix.size()));
        }
    }
    return lines;
}

std::string Field(const std::string& line, const std::string& key) {
    size_t at = line.find(key + "=");
    if (at == std::string::npos) {
        return "";
    }
    at += key.size() + 1;
    return line.substr(at, line.find(' ', at) - at);
}

void GatewayRecorder::Attach(Quarn::VirtualGateway& gateway) {
    gateway.SetStateChangedCallback([this](Quarn::VirtualGateway&, Quarn::VirtualGatewayStatuses,
                                           Quarn::VirtualGatewayStatuses now) {
        std::lock_guard<std::mutex> lock(mutex_);
        states_.push_back(now);
    });
    gateway.SetResponseReceivedCallback(
        [this](Quarn::VirtualGateway&, std::unique_ptr<Response> response) {
            std::lock_guard<std::mutex> lock(mutex_);
            responses_.push_back(std::move(response));
        });
    gateway.SetEventReceivedCallback([this](Quarn::VirtualGateway&, std::unique_ptr<Event> event) {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(*event);
    });
}

const GatewayRecorder::Response* GatewayRecorder::WaitForResponse(
    const std::string& requestId, std::chrono::milliseconds deadline) {
    const Response* found = nullptr;
    WaitFor(
        [&] {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const auto& response : responses_) {
                if (response->GetRequestId() == requestId) {
                    found = response.get();
                }
            }
            return found != nullptr;
        },
        deadline);
    return found;
}

size_t GatewayRecorder::ResponseCount(const std::string& requestIdPrefix) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t count = 0;
    for (const auto& response : responses_) {
        count += response->GetRequestId().rfind(requestIdPrefix, 0) == 0 ? 1 : 0;
    }
    return count;
}

bool GatewayRecorder::WaitForEvents(size_t count, std::chrono::milliseconds deadline) {
    return WaitFor(
        [&] {
            std::lock_guard<std::mutex> lock(mutex_);
            return events_.size() >= count;
        },
        deadline);
}

std::vector<GatewayRecorder::Event> GatewayRecorder::Events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

std::vector<Quarn::VirtualGatewayStatuses> GatewayRecorder::States() {
    std::lock_guard<std::mutex> lock(mutex_);
    return states_;
}

bool GatewayRecorder::WaitForStatus(Quarn::VirtualGatewayStatuses status,
                                    std::chrono::milliseconds deadline) {
    return WaitFor(
        [&] {
            std::lock_guard<std::mutex> lock(mutex_);
            return !states_.empty() && states_.back() == status;
        },
        deadline);
}

}  // namespace TestSupport
