#pragma once
// Test helpers for the gateway: frames as a gateway sends them, reading locksim's output,
// a listener whose connects hang, and a recorder of what a gateway link reports.

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "gateway/GatewayLoop.h"
#include "tests/support/TestSupport.h"

namespace TestSupport {

using Bytes = std::vector<unsigned char>;

// Header fields of a frame.
inline uint32_t BigEndianAt(const Bytes& frame, size_t at) {
    return uint32_t{frame.at(at)} << 24 | frame.at(at + 1) << 16 | frame.at(at + 2) << 8 |
           frame.at(at + 3);
}
inline uint8_t ReferenceOf(const Bytes& frame) {
    return frame.at(7) & 0x3F;
}
inline uint32_t SequenceOf(const Bytes& frame) {
    return BigEndianAt(frame, 8);
}
inline uint32_t DeviceOf(const Bytes& frame) {
    return BigEndianAt(frame, 12);
}

// A gateway's answer with the given code (and counter, for code 7) to the frame waiting
// under referenceId, or to request.
Bytes Reply(uint8_t referenceId, uint8_t code, uint32_t counter = 0);
inline Bytes Answer(const Bytes& request, uint8_t code, uint32_t counter = 0) {
    return Reply(ReferenceOf(request), code, counter);
}
// A reader event: a card (0x0E, 0x0F) or a PIN (0x16) with its data.
Bytes ReaderEvent(uint32_t deviceAddress, Bytes data, uint8_t type = 0x0E);
// The frame with its CRC made right again after a test changed its bytes.
Bytes Sealed(Bytes frame);
Bytes Joined(std::initializer_list<Bytes> parts);

// The "locksim received ..." lines of locksim's output, without that prefix.
std::vector<std::string> ReceivedLines(const std::string& output);
// The value of "key=" in a locksim line, or "" when absent.
std::string Field(const std::string& line, const std::string& key);

// A port on 127.0.0.1 whose accept queue is full: a connect to it neither succeeds nor
// fails until the connecting side gives up.
class HangingListener {
public:
    HangingListener();
    ~HangingListener();
    int Port() const { return port_; }

private:
    int port_ = 0;
    std::vector<int> descriptors_;  // the listening socket first
};

// Records a link's callbacks; thread-safe. Outlives the links that report to it.
class GatewayRecorder {
public:
    using Clock = std::chrono::steady_clock;
    using Response = Quarn::VirtualGateway::Response;
    using Event = Quarn::VirtualGateway::Event;

    Quarn::GatewayLink::Callbacks Callbacks();
    // The response for requestId once it arrived, else null. Owned by the recorder.
    const Response* WaitForResponse(const std::string& requestId,
                                    std::chrono::milliseconds deadline = 10000ms);
    // When the response for requestId (which arrived) reached its callback.
    Clock::time_point ResponseTime(const std::string& requestId);
    size_t ResponseCount(const std::string& requestIdPrefix = "");
    std::vector<Event> Events();
    std::vector<Quarn::VirtualGatewayStatuses> States();
    // True once the latest reported change was to status.
    bool WaitForStatus(Quarn::VirtualGatewayStatuses status);

private:
    struct Arrival {
        std::unique_ptr<Response> response;
        Clock::time_point at;
    };
    const Arrival* Find(const std::string& requestId);  // under mutex_

    std::mutex mutex_;
    std::vector<Arrival> responses_;
    std::vector<Event> events_;
    std::vector<Quarn::VirtualGatewayStatuses> states_;
};

// A link with id 1 to host:port.
std::shared_ptr<Quarn::GatewayLink> MakeLink(const std::string& host, int port,
                                             Quarn::VirtualGatewayTimings timings,
                                             Quarn::GatewayLink::Callbacks callbacks);

// A command of the given kind for device 4711 of client 1.
Quarn::GatewayCommand Command(Quarn::CommandKind kind, std::string requestId);

}  // namespace TestSupport
