#pragma once
// One request on its way to a gateway: the frame, the caller's request identifier and the
// times it passed each stage. Owned by the gateway's queue, then by its waiting table,
// then by whoever reports its outcome; never shared.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "messages/QuarnMessage.h"

namespace Quarn {

class MessageRequestInfo {
public:
    using Clock = std::chrono::steady_clock;

    // refresh: a sequence refresh of the gateway itself, not a caller's request.
    MessageRequestInfo(std::string requestId, std::unique_ptr<Messages::QuarnMessage> message,
                       bool refresh, Clock::time_point enqueueTime);
    ~MessageRequestInfo();
    MessageRequestInfo(const MessageRequestInfo&) = delete;
    MessageRequestInfo& operator=(const MessageRequestInfo&) = delete;

    Clock::time_point enqueueTime;
    // The frame must not leave after this; none: it may wait for ever.
    std::optional<Clock::time_point> deadline;
    Clock::time_point sendTime;
    // The frame's reference identifier, given when it is sent.
    uint8_t referenceId = 0;
    // How many gateway counters had been adopted when the frame was stamped.
    uint64_t sequenceEpoch = 0;
    std::string requestId;
    std::unique_ptr<Messages::QuarnMessage> message;
    bool refresh;
    // Who asked: the turn it waits for in its class (0: the gateway itself).
    uint64_t client = 0;
    // It waits with the door commands (a door command or a sequence refresh).
    bool door = false;
};

}  // namespace Quarn
