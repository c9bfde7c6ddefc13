#pragma once
// How lockhub's core handles the requests of each message code, one entry per code: the
// lines it logs once the request is parsed and while it is routed, the gateway operation it
// calls, and how it answers the gateway's response. What a request is (its payload, its
// name, what it asks of a lock) is its request type in the client protocol
// (mux/protocol/MuxRequestTypes.h). A code without an entry is answered as unrouted.
// Constant data and functions without state; called on the core's receive and MQTT bridge
// threads and on the gateway loop thread.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "diagnostics/Log.h"
#include "gateway/GatewayCommand.h"
#include "gateway/VirtualGatewayResponseMessage.h"

namespace Mux {

class CoreServices;
class MuxMessage;
class MuxLockAddressPayload;
struct MuxRequestRecord;

// The debug line that tells a request was parsed: its head, then as the line's kind says.
enum class ParsedLine {
    none,
    head,             // the head alone
    lock,             // the head, lockID, " on gateway ", gatewayID
    lockAndDot,       // as lock, then "."
    lockAndDuration,  // as lock, then ". Duration is " and the duration
};

struct RequestRoute {
    using Response = Quarn::Messages::VG::VirtualGatewayResponseMessage;

    int code;

    // Once parsed: the debug line of a request with payload; parsedMissing, at error, for
    // one that came without (null: no line). writesLock: the lock it addresses is also
    // written to standard output.
    ParsedLine parsedLine = ParsedLine::none;
    const char* parsedHead = nullptr;
    const char* parsedMissing = nullptr;
    bool writesLock = false;

    // Routing, in this order: a debug line (null: none); for a request without payload the
    // missingText at missingSeverity, for a gateway ID that is not configured the warning
    // notFoundText (null: no line); then prepare, with the gateway found: its lines and
    // changes before the call (a duration of 0 becomes 1).
    const char* routingText = nullptr;
    Diagnostics::Severity missingSeverity = Diagnostics::none;
    const char* missingText = nullptr;
    const char* notFoundText = nullptr;
    void (*prepare)(MuxMessage& request, const MuxLockAddressPayload& address) = nullptr;

    // What the gateway is asked to do; none: every such request is refused with the
    // warning refusedText.
    std::optional<Quarn::CommandKind> command = std::nullopt;
    const char* refusedText = nullptr;

    // The answer to the gateway's response code (the gateway answered; failures to send or
    // to answer are answered alike for every code).
    std::unique_ptr<MuxMessage> (*answer)(const MuxMessage& request, int responseCode,
                                          const Response& response) = nullptr;

    // Set for a request the core answers itself, without a gateway: the answer to the
    // request of the record. Nothing above applies to it.
    std::unique_ptr<MuxMessage> (*answerInCore)(CoreServices& core,
                                                const MuxRequestRecord& record) = nullptr;
};

// The route of a code, or null.
const RequestRoute* FindRequestRoute(int code);

// The gateway command of a routed request (route.command set, its payload addresses a
// lock): the lock, and what the request's payload adds for its kind. The caller fills in
// the deadline and the client.
Quarn::GatewayCommand CommandFor(const RequestRoute& route, const MuxMessage& request,
                                 bool answersEvent);

}  // namespace Mux
