#pragma once
// The texts of a NACK for each gateway response code.

#include <string>

namespace Mux {

// The NACK text of a request its gateway did not answer within the request time-out.
inline constexpr const char* kNoAnswerText = "The gateway did not answer in time.";
// The NACK text of a request that could not be handed to a gateway.
inline constexpr const char* kRequestErrorText = "Error in request";

// For lock open and close requests (and their event twins): names the lock and gateway.
std::string DetailedAnswerText(int responseCode, int lockId, int gatewayId);
// For every other request.
std::string ShortAnswerText(int responseCode);

}  // namespace Mux
