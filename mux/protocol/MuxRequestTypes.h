#pragma once
// The requests of the client protocol, one entry per message code: how lockhub reads the
// request's "Data", how a client builds it, what it asks of a lock and the names it goes
// by. How lockhub's core routes and answers each code is the core's own table
// (mux/RequestRoutes.h). Constant data and functions without state: any thread.

#include <rapidjson/document.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <vector>

#include "mux/protocol/MuxMessagePayloads.h"

namespace Mux {

// What the reader of a request has to say about a client's text: why a member fell back to
// its default, or why the request is refused. The client protocol writes no log; lockhub
// logs the notes in their order.
struct MuxParseNote {
    enum class Severity { error, warning, info, debug };
    Severity severity;
    const char* text;
};
using MuxParseNotes = std::vector<MuxParseNote>;

// The values a client puts into a request; each request type uses those of its members.
struct MuxRequestValues {
    int32_t gatewayID = 0;
    int32_t lockID = 0;
    uint8_t duration = 0;
    std::vector<unsigned char> cardData;
    uint8_t setupNumber = 0;
    uint8_t options = 0;
    bool isUIDCard = false;
};

// The "Data" members a request uses besides "gatewayID" and "lockID".
enum MuxRequestMembers : unsigned {
    kDurationMember = 1u << 0,     // "duration"
    kCardMembers = 1u << 1,        // "cardData", "isUIDCard", "setupNumber"
    kCardOptionsMember = 1u << 2,  // "options"
};

struct MuxRequestType {
    // Reads the payload out of "Data", the root of a document of its own (which the payload
    // may take over); null, with a note saying why, when the request is refused.
    using Reader = std::unique_ptr<MuxMessagePayloadBase> (*)(const MuxRequestType& type,
                                                              rapidjson::Document& data,
                                                              MuxParseNotes& notes);
    // The payload a client sends with these values: it writes every member the request uses.
    using Builder = std::unique_ptr<MuxMessagePayloadBase> (*)(const MuxRequestValues& values);

    int code;
    // The name log lines give the request; null: they give its code.
    const char* name = nullptr;
    // What it asks of a lock, the word permissions name it by: "open", "close", "status",
    // "denied" or "whitelist"; null when it asks nothing of a lock.
    const char* kind = nullptr;
    // The answer to a card-reader event: the event twin of the plain request of its command.
    bool answersEvent = false;
    // It moves a door or changes a whitelist: the audit trail records each one.
    bool changesLock = false;
    // It names a lock by "gatewayID" and "lockID"; false: it carries no "Data" at all.
    bool addressesLock = true;
    // The largest "lockID" it takes (the smallest is 0): any lock unless it names a 16-bit
    // device address.
    int32_t highestLockID = std::numeric_limits<int32_t>::max();
    unsigned members = 0;     // MuxRequestMembers
    Reader read = nullptr;    // null: the request carries no payload
    Builder build = nullptr;  // null: clients are not offered the request
    // lockctl's command that sends it (an event twin shares its plain request's) and what
    // the command does; null when there is none.
    const char* command = nullptr;
    const char* summary = nullptr;
};

// Every request type: each plain request followed by its event twin, in the order lockctl
// lists their commands.
std::span<const MuxRequestType> RequestTypes();
// The type of a code, or null for a code that is not a request lockhub reads.
const MuxRequestType* FindRequestType(int code);

}  // namespace Mux
