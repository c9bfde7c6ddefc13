#pragma once
// One record of the audit trail: who asked what of which lock, and what came of it; or a
// card or PIN event at a lock. Written as one line of compact JSON, members in this order:
// "Time", "Client", "Peer", "MessageID", "GatewayID", "LockID", "Request", "Outcome",
// "ErrorCode", "Message". A member that does not apply is left out (no "Peer" for a
// certificate client, no "Client" for an event); one that applies but is not known (the
// MessageID of a request too broken to read) is written as null.
//
// Card numbers and PINs are credentials: they never go into an entry.

#include <chrono>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>

namespace Mux::Audit {

struct Unknown {};
inline constexpr Unknown kUnknown{};

// One member of the line: left out by default; kUnknown writes null; a value writes the
// value.
template <class T>
class Member {
public:
    Member() = default;
    Member(Unknown) : state_(State::Unknown) {}
    template <class U, class = std::enable_if_t<std::is_convertible_v<U&&, T>>>
    Member(U&& value) : state_(State::Known), value_(std::forward<U>(value)) {}

    bool IsOmitted() const { return state_ == State::Omitted; }
    bool IsUnknown() const { return state_ == State::Unknown; }
    // The value; meaningful only when neither omitted nor unknown.
    const T& Value() const { return value_; }

private:
    enum class State { Omitted, Unknown, Known };
    State state_ = State::Omitted;
    T value_{};
};

enum class Outcome {
    Ack,       // "ACK": the gateway acknowledged
    Nack,      // "NACK": refused, by the gateway or by lockhub; "ErrorCode" and "Message" say why
    TimedOut,  // "TIMEOUT": sent, but no answer in time
    NotSent,   // "NOT_SENT": never reached the gateway; the door did not move
    NotPermitted,  // "NOT_PERMITTED": the client may not do this to this lock
    Sending,       // "SENDING": on the disk before its frame goes to the gateway; the final
                   // outcome follows in a line of its own
};

// The text "Outcome" carries.
const char* OutcomeName(Outcome outcome);

// The "Client" of a connection without a certificate.
inline constexpr const char* kPlainClient = "plain";

struct AuditEntry {
    // When it happened; the caller may stamp it earlier than the entry is recorded.
    std::chrono::system_clock::time_point time = std::chrono::system_clock::now();
    Member<std::string> client;     // "Client": certificate common name, or "plain"
    Member<std::string> peer;       // "Peer": "address:port" of a plain client
    Member<std::string> messageId;  // "MessageID" of the request
    Member<int64_t> gatewayId;      // "GatewayID"
    Member<int64_t> lockId;         // "LockID"
    Member<std::string> request;    // "Request": the request kind ("OpenLock") or the event
    Member<Outcome> outcome;        // "Outcome"
    Member<int64_t> errorCode;      // "ErrorCode" of a NACK
    Member<std::string> message;    // "Message": a NACK's text, or why it was not permitted

    // A client identified by its certificate: "Client" is its name, no "Peer".
    void SetCertificateClient(std::string name);
    // A client without a certificate: "Client" is "plain", "Peer" its address.
    void SetPlainClient(std::string peerAddress);
};

// The entry as one line of compact JSON, ending in "\n". Any text is escaped, so a line
// never holds a line break of its own; bytes that are not UTF-8 become U+FFFD.
std::string ToJsonLine(const AuditEntry& entry);

// UTC, ISO 8601 with milliseconds: "2026-12-08T13:25:01.042Z".
std::string FormatTime(std::chrono::system_clock::time_point time);

}  // namespace Mux::Audit
