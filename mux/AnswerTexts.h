#pragma once
// The texts of a NACK for each gateway response code.

#include <string>

namespace Mux {

// The NACK text of a request sent to its gateway but not answered within the request
// time-out of sending.
inline constexpr const char* kNoAnswerText = "The gateway did not answer in time.";
// The NACK text of a request whose deadline passed before its frame could be sent: the
// door certainly did not move.
inline constexpr const char* kNotSentText =
    "The request was not sent: the gateway could not take it in time.";
// The NACK text of a request refused on arrival: its gateway's queue could not be sent
// before the request's deadline.
inline constexpr const char* kBusyText = "The gateway is busy: the request was not sent.";
// The NACK text of a request for a gateway that is not connected and will not be before
// the request's deadline: "The request was not sent: gateway N is not connected."
std::string NotConnectedText(int gatewayId);
// The NACK text of a door command or whitelist change refused while the audit trail, with
// "AuditRequired", cannot be written.
inline constexpr const char* kAuditUnwritableText =
    "The request was not sent: the audit trail cannot be written.";
// The NACK text of a request that could not be handed to a gateway.
inline constexpr const char* kRequestErrorText = "Error in request";

// The NACK text of a request outside its client's permissions.
std::string NotPermittedText(const std::string& identity);

// For lock open and close requests (and their event twins): names the lock and gateway.
std::string DetailedAnswerText(int responseCode, int lockId, int gatewayId);
// For every other request.
std::string ShortAnswerText(int responseCode);

}  // namespace Mux
