#pragma once
// The JSON text of the request one lockctl command sends, built with lockhub's own message
// classes, so that it has the envelope and members lockhub reads.

#include <string>

#include "tools/lockctl/Arguments.h"

namespace Lockctl {

// A MessageID unique to this process and moment: "lockctl-PID-MILLISECONDS".
std::string MakeMessageId();

// The request of a command that sends one (options.command has kRequest).
std::string BuildRequestText(const Options& options, const std::string& messageId);

// The subscription to gateway status events that watch --gateways sends.
std::string BuildGatewayStatusSubscription(const std::string& messageId);

}  // namespace Lockctl
