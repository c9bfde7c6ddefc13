#pragma once
// What a lock gateway answers: a sequence counter, a set of locks with their status bytes
// and whitelists, and the events a lock's reader sends. No sockets here; main.cpp feeds
// received frames in and sends what comes out. Single-threaded.

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace LockSim {

using Bytes = std::vector<unsigned char>;

struct LockState {
    Bytes status;               // the 7 status bytes a get-status answer carries
    std::set<Bytes> whitelist;  // card data as it came on the wire
};

// The outcome of one received frame: a readable description, and the answer to send
// (none when the frame is not answered).
struct FrameOutcome {
    std::string received;  // "seq=1001 ref=3 device=4711 type=0x0a OPEN_LOCK payload=..."
    std::optional<Bytes> answer;
    std::string answered;  // "ref=3 code=0", "ref=3 status=0F...", "ref=3 code=7 sequence=1000"
};

class LockSimulator {
public:
    LockSimulator(uint32_t sequenceCounter, const std::vector<uint32_t>& locks, Bytes status,
                  size_t whitelistSize);

    // Handles one whole frame (its first byte is its length).
    FrameOutcome HandleFrame(const Bytes& frame);

    // Event frames as a lock's reader sends them: a card (type 0x0E or 0x0F) or a PIN
    // (0x16) with its data; any other type without a payload. Empty when the data does not
    // fit in a frame.
    Bytes BuildEvent(uint8_t type, uint32_t device, const Bytes& data) const;

    // False for a lock that does not exist.
    bool SetStatus(uint32_t device, const Bytes& status);
    void SetSequenceCounter(uint32_t counter) { sequenceCounter_ = counter; }
    uint32_t GetSequenceCounter() const { return sequenceCounter_; }

private:
    uint8_t Execute(uint8_t type, uint32_t device, const Bytes& frame);
    Bytes BuildResponse(const Bytes& request, uint8_t code) const;
    Bytes BuildStatusAnswer(const Bytes& request, const Bytes& status) const;

    uint32_t sequenceCounter_;
    std::map<uint32_t, LockState> locks_;
    size_t whitelistSize_;
};

// Helpers shared with main.cpp.
std::optional<Bytes> ParseHex(const std::string& text);  // "04a10b" or "04 A1 0B"
std::string TypeCode(uint8_t type);                      // "0x0a"
std::string TypeName(uint8_t type);                      // "OPEN_LOCK", "OPEN_LOCK_EVENT", ...

}  // namespace LockSim
