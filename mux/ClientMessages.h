#pragma once
// The client protocol as lockhub's core reads and writes it: the protocol library's own
// operations, with the log lines that tell what was read and written (the library itself
// logs nothing). Functions without state; any thread.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "mux/protocol/MuxPacket.h"

namespace Mux {

class MuxMessage;

// The packet in the bytes the server socket cut out of a client's stream, or nullopt when
// they are not a MUX packet. The bytes are checked as received and again as the packet is
// built from them; each check leaves its trace line.
std::optional<MuxPacket> ReadClientPacket(const std::vector<unsigned char>& data);

// The message of a client's text (MuxMessageBuilder::Build), or null; what the reader of
// its request noted is logged first, in order.
std::unique_ptr<MuxMessage> ReadClientMessage(const std::string& text);

// A message as a client receives it: its JSON text, or the same as bytes, once the lines
// that tell what is written are logged.
std::string ClientText(const MuxMessage& message);
std::vector<unsigned char> ClientBytes(const MuxMessage& message);

}  // namespace Mux
