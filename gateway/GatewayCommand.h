#pragma once
// What a gateway is asked to do for a client: one command kind per request frame the
// gateway can send, with the values that frame carries. The one place that says which
// kinds are door commands (they go before the others) and which frame each kind builds.
// Plain data and functions without state: any thread.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "messages/QuarnMessage.h"
#include "messages/QuarnMessageBuilder.h"

namespace Quarn {

enum class CommandKind : uint8_t {
    GetStatus,
    OpenLock,
    CloseLock,
    OpenCloseLock,
    AccessDenied,
    AddWhitelistEntry,
    RemoveWhitelistEntry,
    ClearWhitelist,
    EnableWhitelist,
    DisableWhitelist,
};

// Opening, closing and refusing a door: what a person at the door waits for.
bool IsDoorCommand(CommandKind kind);

struct GatewayCommand {
    using Clock = std::chrono::steady_clock;

    CommandKind kind = CommandKind::GetStatus;
    // The caller's identifier; the outcome is reported under it.
    std::string requestId;
    uint32_t deviceAddress = 0;
    // OpenLock: the opening time; CloseLock: the delay; OpenCloseLock: the duration.
    uint8_t seconds = 0;
    // Door commands: the answer to a card-reader event (the frame's event-response flag).
    bool answersEvent = false;
    // Whitelist entries: the card, and how the lock reads it.
    bool uidMode = false;
    uint8_t setupNo = 0;
    bool flag = false;
    std::vector<unsigned char> cardData;
    // The frame must have left by then; none: the request time-out counted from when it
    // is submitted.
    std::optional<Clock::time_point> deadline;
    // Who asked: requests of different clients take turns in the gateway's queue. 0 is the
    // gateway's own.
    uint64_t client = 0;
};

// The command's frame, with its "Enqueuing ..." log lines; null when it cannot be built
// (whitelist card data too long for a frame).
std::unique_ptr<Messages::QuarnMessage> BuildCommandFrame(
    const Messages::QuarnMessageBuilder& builder, const GatewayCommand& command);

}  // namespace Quarn
