#pragma once
// Cuts the byte stream of one client connection into client packets. A packet starts with
// its own length (16 bits, little-endian, the two length bytes included); what a read
// brings may hold several packets, or only part of one, which waits here for the next read.
// Not thread-safe: used by the one thread that reads the connection.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace Quarn::Net {

class PacketCutter {
public:
    // The length prefix and the four magic bytes: no shorter packet can exist.
    static constexpr uint16_t kMinimumPacketLength = 6;

    // The packet length announced at the start of data: bytes 0 and 1, low byte first;
    // 0 when fewer than 2 bytes are at hand.
    static uint16_t GetExpectedSize(const unsigned char* data, size_t size);

    // Adds the bytes of one read after those still waiting.
    void Append(const unsigned char* data, size_t size);

    // The next whole packet (a new vector the caller owns), or null when the bytes at hand
    // do not yet hold one. A length field below the minimum can never start a packet:
    // everything waiting is then dropped, so the connection does not stall on it.
    std::unique_ptr<std::vector<unsigned char>> Next();

    // The length announced by the first waiting byte pair (0 when fewer than 2 bytes wait).
    uint16_t ExpectedSize() const;
    size_t PendingSize() const { return pending_.size() - start_; }

private:
    // Bytes before start_ were cut already; they are erased at the next Append, so cutting
    // a run of packets moves the rest only once.
    std::vector<unsigned char> pending_;
    size_t start_ = 0;
};

}  // namespace Quarn::Net
