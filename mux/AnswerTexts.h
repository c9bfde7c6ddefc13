#pragma once
// The texts of a NACK for each gateway response code.

#include <string>

namespace Mux {

// For lock open and close requests (and their event twins): names the lock and gateway.
std::string DetailedAnswerText(int responseCode, int lockId, int gatewayId);
// For every other request.
std::string ShortAnswerText(int responseCode);

}  // namespace Mux
