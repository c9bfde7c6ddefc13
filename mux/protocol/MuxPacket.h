#pragma once
// One client packet: a 16-bit little-endian length of the whole packet, the four bytes
// "MUXM", then the JSON text of one message. Built from the bytes the server socket cut
// out of a connection's stream; a value object, used by one thread.
//
// Clients send packets over a TCP connection to lockhub's listen port, kDefaultListenPort
// unless lockhub was told another.

#include <cstdint>
#include <string>
#include <vector>

namespace Mux {

inline constexpr int kDefaultListenPort = 5555;

class MuxPacket {
public:
    // Offset of the JSON text: after the length and the magic.
    static constexpr size_t kHeaderSize = 6;

    // True when the length field is not 0 and bytes 2-5 are "MUXM".
    static bool IsMuxPacket(const std::vector<unsigned char>& data);

    // Empty (length 0, no payload, empty text) when data is not a MUX packet.
    explicit MuxPacket(const std::vector<unsigned char>& data);

    uint16_t GetPacketLength() const { return length_; }
    // The bytes after the header, followed by one added 0 byte.
    std::vector<unsigned char> GetPayload() const { return payload_; }
    // The payload read as text: it ends at its first 0 byte.
    std::string GetPayloadString() const { return text_; }

private:
    uint16_t length_ = 0;
    std::vector<unsigned char> payload_;
    std::string text_;
};

}  // namespace Mux
