// Bytes from a gateway, handled by the code its read thread runs on every read: cut into
// frames across reads, answers matched to the requests waiting for them, events reported.
// One gateway serves every input; it never connects, so its own read thread stays idle.
//
// Input: byte 0 holds the number of waiting requests (bits 0-2) and whether frames with a
// wrong CRC are believed (bit 3). One byte per request follows: its reference id (bits
// 0-5, where 0 stands for 63) and whether it is a sequence refresh (bit 7); a later
// request with the same id replaces the earlier one, as a table keyed by id does. The
// rest is the stream in reads: a length byte, then that many bytes (fewer at the end).
//
// Checks, against the same stream cut in one piece: the same events in the same order,
// each with the type, device address and data of its frame; every answer to a waiting
// reference id reaches that request once, with the frame's outcome (a refresh answered OK
// or "no route" is not reported); nothing else and nothing twice. Every report comes on
// the thread that handed the bytes in.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "gateway/VirtualGateway.h"
#include "gateway/VirtualGatewayReadSideAccess.h"
#include "messages/QuarnFrameCutter.h"
#include "messages/QuarnGetStatusPayload.h"
#include "messages/QuarnMessageBuilder.h"
#include "messages/QuarnMessageTypes.h"
#include "messages/QuarnReaderEventPayloads.h"
#include "messages/QuarnResponseCodes.h"
#include "messages/QuarnResponsePayload.h"

namespace {

using Quarn::VirtualGateway;
using Access = Quarn::VirtualGatewayReadSideAccess;
using Failure = VirtualGateway::Response::Failure;
namespace Q = Quarn::Messages;

constexpr uint8_t kRequestCountMask = 0x07;
constexpr uint8_t kCrcUncheckedBit = 0x08;
constexpr uint8_t kRefreshBit = 0x80;

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// The event types a gateway reports, as its header lists them.
bool IsEventType(uint8_t type) {
    switch (type) {
        case Q::QUARN_MESSAGE_CARD_READER_EVENT:
        case Q::QUARN_MESSAGE_CARD_READER_EVENT_2:
        case Q::QUARN_MESSAGE_CARD_READER_EVENT_3:
        case Q::QUARN_MESSAGE_CARD_READER_EVENT_4:
        case Q::QUARN_MESSAGE_PINCODE_EVENT:
            return true;
        default:
            return false;
    }
}

std::string UpperHex(const std::vector<unsigned char>& bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned char byte : bytes) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

// The card or PIN data of an event frame, as the event must carry it: none for the
// reader events without a decoded payload.
std::string EventData(const Q::QuarnMessage& frame) {
    const Q::QuarnMessagePayload* payload = frame.GetPayload();
    if (auto pin = dynamic_cast<const Q::QuarnPincodeMessagePayload*>(payload)) {
        return UpperHex(pin->GetData());
    }
    if (auto card = dynamic_cast<const Q::QuarnCardReaderMessagePayload*>(payload)) {
        return UpperHex(card->GetData());
    }
    return "";
}

struct ExpectedEvent {
    uint8_t type;
    uint16_t deviceAddress;
    std::string data;
};

// The report an answer must bring to the request that waited for it.
struct ExpectedResponse {
    std::string requestId;
    // False for a refresh answered OK or "no route": the owner hears of no such answer.
    bool reported;
    Failure failure;
    uint32_t responseCode;
    bool statusPayload;
};

ExpectedResponse Outcome(const Q::QuarnMessage& frame, const std::string& requestId, bool refresh) {
    ExpectedResponse expected{requestId, true, Failure::NoAnswer,
                              VirtualGateway::Response::kFailedResponseCode, false};
    const Q::QuarnMessagePayload* payload = frame.GetPayload();
    if (frame.GetMessageType() == Q::QUARN_MESSAGE_GET_STATUS) {
        auto status = dynamic_cast<const Q::QuarnGetStatusPayload*>(payload);
        if (status != nullptr && status->HasStatusData()) {
            expected.failure = Failure::None;
            expected.responseCode = Q::QUARN_RESPONSE_OK;
            expected.statusPayload = true;
        }
    } else if (frame.GetMessageType() == Q::QUARN_MESSAGE_RESPONSE) {
        if (auto answer = dynamic_cast<const Q::QuarnResponsePayload*>(payload)) {
            const uint8_t code = answer->GetResponseCode();
            expected.failure = Failure::None;
            expected.responseCode = code;
            expected.reported = !refresh || (code != Q::QUARN_RESPONSE_OK &&
                                             code != Q::QUARN_RESPONSE_NO_ROUTE_FOR_DEVADDR);
        }
    }
    return expected;
}

struct Reports {
    std::thread::id thread;
    std::vector<std::unique_ptr<VirtualGateway::Response>> responses;
    std::vector<std::unique_ptr<VirtualGateway::Event>> events;
};

Reports* reports = nullptr;
VirtualGateway* gateway = nullptr;

struct Waiting {
    std::string requestId;
    bool refresh;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // No periodic refresh and no answer time-out: the send thread leaves the table alone.
    Quarn::VirtualGatewayTimings timings;
    timings.keepAliveInterval = std::chrono::milliseconds(0);
    timings.requestTimeout = std::chrono::milliseconds(0);
    // Both live until the process ends; the address is never connected to.
    gateway = new VirtualGateway("127.0.0.1", VirtualGateway::kDefaultPort,
                                 VirtualGateway::kDefaultConnectTimeout, timings);
    reports = new Reports;
    reports->thread = std::this_thread::get_id();
    gateway->SetResponseReceivedCallback(
        [](VirtualGateway&, std::unique_ptr<VirtualGateway::Response> response) {
            Require(std::this_thread::get_id() == reports->thread);
            reports->responses.push_back(std::move(response));
        });
    gateway->SetEventReceivedCallback(
        [](VirtualGateway&, std::unique_ptr<VirtualGateway::Event> event) {
            Require(std::this_thread::get_id() == reports->thread);
            reports->events.push_back(std::move(event));
        });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const bool checkCrc = (data[0] & kCrcUncheckedBit) == 0;
    const size_t requestCount = std::min<size_t>(data[0] & kRequestCountMask, size - 1);
    size_t offset = 1;

    gateway->SetCheckFrameCrc(checkCrc);
    std::map<uint8_t, Waiting> waiting;
    Q::QuarnMessageBuilder builder(0, 1);
    for (size_t i = 0; i < requestCount; ++i, ++offset) {
        const uint8_t referenceId = (data[offset] & Q::QUARN_REFERENCE_ID_MASK) == 0
                                        ? Q::QUARN_REFERENCE_ID_MAX
                                        : data[offset] & Q::QUARN_REFERENCE_ID_MASK;
        const bool refresh = (data[offset] & kRefreshBit) != 0;
        std::string requestId = "request-" + std::to_string(i);
        auto request = std::make_unique<Quarn::MessageRequestInfo>(
            requestId, builder.BuildGetStatusMessage(VirtualGateway::kRefreshDeviceAddress),
            refresh);
        request->referenceId = referenceId;
        request->sendTime = request->enqueueTime;
        Access::Wait(*gateway, std::move(request));
        waiting[referenceId] = Waiting{std::move(requestId), refresh};
    }

    // The stream in the reads the input chose, and all of it in one piece.
    std::vector<unsigned char> whole;
    std::vector<unsigned char> read;
    while (offset < size) {
        const size_t length = std::min<size_t>(data[offset], size - offset - 1);
        read.assign(data + offset + 1, data + offset + 1 + length);
        offset += 1 + length;
        Access::Receive(*gateway, read);
        whole.insert(whole.end(), read.begin(), read.end());
    }

    std::vector<ExpectedEvent> events;
    std::vector<ExpectedResponse> responses;
    Q::QuarnFrameCutter cutter;
    cutter.Append(whole);
    for (;;) {
        Q::QuarnFrameCutter::Cut cut = cutter.Next(checkCrc);
        if (cut.frame.empty()) {
            break;
        }
        std::unique_ptr<Q::QuarnMessage> frame = Q::QuarnMessageBuilder::Parse(cut.frame);
        if (!frame) {
            continue;
        }
        if (IsEventType(frame->GetMessageType())) {
            events.push_back({frame->GetMessageType(),
                              static_cast<uint16_t>(frame->GetDeviceAddress() & 0xFFFF),
                              EventData(*frame)});
        } else if (frame->IsReply()) {
            auto found = waiting.find(frame->GetReferenceId());
            if (found != waiting.end()) {
                ExpectedResponse expected =
                    Outcome(*frame, found->second.requestId, found->second.refresh);
                if (expected.reported) {
                    responses.push_back(std::move(expected));
                }
                waiting.erase(found);
            }
        }
    }

    Require(reports->events.size() == events.size());
    for (size_t i = 0; i < events.size(); ++i) {
        const VirtualGateway::Event& event = *reports->events[i];
        Require(event.GetEventType() == events[i].type);
        Require(event.GetDeviceAddress() == events[i].deviceAddress);
        Require(event.GetData() == events[i].data);
    }
    Require(reports->responses.size() == responses.size());
    for (size_t i = 0; i < responses.size(); ++i) {
        const VirtualGateway::Response& response = *reports->responses[i];
        Require(response.GetRequestId() == responses[i].requestId);
        Require(response.GetFailure() == responses[i].failure);
        Require(response.GetResponseCode() == responses[i].responseCode);
        Require((response.GetStatusPayload() != nullptr) == responses[i].statusPayload);
    }

    // Everything this input made is freed within it, so that a leak stands out.
    reports->events.clear();
    reports->responses.clear();
    Access::Reset(*gateway);
    return 0;
}
