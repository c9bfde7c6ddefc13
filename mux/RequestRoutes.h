#pragma once
// How lockhub's core handles the requests of each message code, one entry per code: the
// lines it logs once the request is parsed and while it is routed, the gateway operation it
// calls, and how it answers the gateway's response. What a request is (its payload, its
// name, what it asks of a lock) is its request type in the client protocol
// (mux/protocol/MuxRequestTypes.h). A code without an entry is answered as unrouted.
// Constant data and functions without state; called on the core's receive, gateways and
// gateway read threads.

#include <cstdint>
#include <memory>
#include <string>

#include "diagnostics/Log.h"
#include "gateway/VirtualGateway.h"

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
    using Gateway = Quarn::VirtualGateway;
    using Response = Quarn::Messages::VG::VirtualGatewayResponseMessage;
    // What a gateway operation is given besides the request itself.
    struct Call {
        const std::string& requestId;
        uint32_t deviceAddress;  // the request's lockID
        bool answersEvent;
        Gateway::Deadline deadline;
    };

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

    // The gateway operation, true when the gateway took the request; null: every such
    // request is refused with the warning refusedText.
    bool (*call)(Gateway& gateway, const MuxMessage& request, const Call& call) = nullptr;
    const char* refusedText = nullptr;

    // The answer to the gateway's response code (the gateway answered; failures to send or
    // to answer are answered alike for every code).
    std::unique_ptr<MuxMessage> (*answer)(const MuxMessage& request, int responseCode,
                                          const Response& response) = nullptr;

    // Set for a request the core answers itself, without a gateway (on its gateways
    // thread): the answer to the request of the record. Nothing above applies to it.
    std::unique_ptr<MuxMessage> (*answerInCore)(CoreServices& core,
                                                const MuxRequestRecord& record) = nullptr;
};

// The route of a code, or null.
const RequestRoute* FindRequestRoute(int code);

}  // namespace Mux
