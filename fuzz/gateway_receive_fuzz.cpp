// Bytes from a gateway, fed to its protocol state in reads: cut into frames across reads,
// answers matched to the requests waiting for them, events reported. A fresh gateway per
// input, READY on a clock of its own, its waiting table filled by taking frames.
//
// Input: byte 0 holds the number of waiting requests (bits 0-2) and whether frames with a
// wrong CRC are believed (bit 3). One byte per request follows: whether it is a keep-alive
// refresh (bit 7) or a status request, and how many frames are taken and answered before
// it (bits 0-5), which moves the reference ids on. The rest is the stream in reads: a
// length byte, then that many bytes (fewer at the end).
//
// Checks, against the same stream cut in one piece: the events and answers reported in
// stream order, each event with the type, device address and data of its frame; every
// answer to a waiting reference id reaches that request once, with the frame's outcome (a
// refresh answered OK or "no route" is not reported); nothing else and nothing twice.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "gateway/GatewayCommand.h"
#include "gateway/VirtualGateway.h"
#include "messages/QuarnFrameCutter.h"
#include "messages/QuarnGetStatusPayload.h"
#include "messages/QuarnMessageBuilder.h"
#include "messages/QuarnMessageTypes.h"
#include "messages/QuarnReaderEventPayloads.h"
#include "messages/QuarnResponseCodes.h"
#include "messages/QuarnResponsePayload.h"

namespace {

using Quarn::VirtualGateway;
using Clock = VirtualGateway::Clock;
using Bytes = std::vector<unsigned char>;
using Failure = VirtualGateway::Response::Failure;
namespace Q = Quarn::Messages;

constexpr uint8_t kRequestCountMask = 0x07;
constexpr uint8_t kCrcUncheckedBit = 0x08;
constexpr uint8_t kRefreshBit = 0x80;
constexpr uint8_t kFillerMask = 0x3F;
constexpr uint32_t kLock = 4711;

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

struct Waiting {
    std::string requestId;
    bool refresh;
};

// One report, as the gateway made it or as the stream calls for.
struct Item {
    bool event = false;
    ExpectedEvent expectedEvent{};
    ExpectedResponse expectedResponse{};
};

Bytes Answer(const Bytes& request, uint8_t code, uint32_t counter) {
    Q::QuarnMessageBuilder builder(0, 1);
    auto message = builder.BuildBaseMessage(
        kLock, Q::QUARN_MESSAGE_RESPONSE, std::make_unique<Q::QuarnResponsePayload>(code, counter));
    message->SetReferenceId(request.at(7) & Q::QUARN_REFERENCE_ID_MASK);
    message->SetReply(true);
    return message->Serialize();
}

uint32_t DeviceOf(const Bytes& frame) {
    return static_cast<uint32_t>(frame.at(12) << 24 | frame.at(13) << 16 | frame.at(14) << 8 |
                                 frame.at(15));
}

Quarn::GatewayCommand Status(std::string requestId) {
    Quarn::GatewayCommand command;
    command.requestId = std::move(requestId);
    command.deviceAddress = kLock;
    command.client = 1;
    return command;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const bool checkCrc = (data[0] & kCrcUncheckedBit) == 0;
    const size_t requestCount = std::min<size_t>(data[0] & kRequestCountMask, size - 1);
    size_t offset = 1;

    // No answer time-out, so that only the stream decides; a refresh due every second.
    Quarn::VirtualGatewayTimings timings;
    timings.sendSpacing = std::chrono::milliseconds(1);
    timings.keepAliveInterval = std::chrono::milliseconds(1000);
    timings.requestTimeout = std::chrono::milliseconds(0);
    VirtualGateway gateway("127.0.0.1", VirtualGateway::kDefaultPort, timings);
    Clock::time_point now{};
    gateway.StartConnecting(now);
    gateway.ConnectStarted(now);
    gateway.Connected(now);
    Bytes refresh = gateway.TakeFrame(now);
    Require(!refresh.empty());
    gateway.Receive(Answer(refresh, Q::QUARN_RESPONSE_SEQUENCE_COUNTER_ERROR, 0), now);
    Require(gateway.GetStatus() == Quarn::READY);

    std::map<uint8_t, Waiting> waiting;
    for (size_t i = 0; i < requestCount; ++i, ++offset) {
        for (int filler = 0; filler < (data[offset] & kFillerMask); ++filler) {
            gateway.Submit(Status("filler"), now);
            now += timings.sendSpacing;
            Bytes frame = gateway.TakeFrame(now);
            Require(!frame.empty());
            gateway.Receive(Answer(frame, Q::QUARN_RESPONSE_OK, 0), now);
        }
        std::string requestId = "request-" + std::to_string(i);
        if ((data[offset] & kRefreshBit) != 0) {
            now += timings.keepAliveInterval;
            gateway.Tick(now);
        } else {
            gateway.Submit(Status(requestId), now);
        }
        now += timings.sendSpacing;
        Bytes frame = gateway.TakeFrame(now);
        if (!frame.empty()) {
            const bool isRefresh = DeviceOf(frame) == VirtualGateway::kRefreshDeviceAddress;
            waiting[frame.at(7) & Q::QUARN_REFERENCE_ID_MASK] =
                Waiting{isRefresh ? VirtualGateway::kRefreshRequestPrefix : requestId, isRefresh};
        }
    }
    gateway.SetCheckFrameCrc(checkCrc);
    gateway.TakeNotices();

    // The stream in the reads the input chose, and all of it in one piece.
    Bytes whole;
    Bytes read;
    while (offset < size) {
        const size_t length = std::min<size_t>(data[offset], size - offset - 1);
        read.assign(data + offset + 1, data + offset + 1 + length);
        offset += 1 + length;
        gateway.Receive(read, now);
        whole.insert(whole.end(), read.begin(), read.end());
    }

    std::vector<Item> expected;
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
            expected.push_back(
                {true,
                 {frame->GetMessageType(),
                  static_cast<uint16_t>(frame->GetDeviceAddress() & 0xFFFF), EventData(*frame)},
                 {}});
        } else if (frame->IsReply()) {
            auto found = waiting.find(frame->GetReferenceId());
            if (found != waiting.end()) {
                ExpectedResponse outcome =
                    Outcome(*frame, found->second.requestId, found->second.refresh);
                if (outcome.reported) {
                    expected.push_back({false, {}, std::move(outcome)});
                }
                waiting.erase(found);
            }
        }
    }

    size_t next = 0;
    for (auto& notice : gateway.TakeNotices().items) {
        if (notice.status) {
            continue;
        }
        Require(next < expected.size());
        const Item& item = expected[next++];
        Require(item.event == (notice.event != nullptr));
        if (item.event) {
            Require(notice.event->GetEventType() == item.expectedEvent.type);
            Require(notice.event->GetDeviceAddress() == item.expectedEvent.deviceAddress);
            Require(notice.event->GetData() == item.expectedEvent.data);
        } else {
            const VirtualGateway::Response& response = *notice.response;
            const ExpectedResponse& want = item.expectedResponse;
            Require(response.GetRequestId().rfind(want.requestId, 0) == 0);
            Require(response.GetFailure() == want.failure);
            Require(response.GetResponseCode() == want.responseCode);
            Require((response.GetStatusPayload() != nullptr) == want.statusPayload);
        }
    }
    Require(next == expected.size());
    return 0;
}
