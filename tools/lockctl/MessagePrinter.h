#pragma once
// What lockctl prints of the answers and events lockhub sends.

#include <iosfwd>
#include <optional>
#include <string>

namespace Lockctl {

// The envelope members that tell which request a text answers.
struct Envelope {
    std::string messageId;
    int messageCode = 0;
};

// The envelope of one text lockhub sent, read as lockhub reads messages; nullopt when the
// text is not a JSON object.
std::optional<Envelope> ReadEnvelope(const std::string& text);

// Prints one text: as it is, one a line, with json; else in a readable form: "ACK" or
// "NACK: message (ErrorCode n)" followed by the answer's data, one "  key: value" a line;
// an event as one line with its gateway, lock, data and time; a gateway status event as
// one line with the gateway and its new and previous status.
void PrintMessage(std::ostream& out, const std::string& text, bool json);

// Prints the answer to GATEWAYS as a table, one gateway a line, times in local time.
void PrintGatewayTable(std::ostream& out, const std::string& text);

}  // namespace Lockctl
