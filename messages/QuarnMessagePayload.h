#pragma once
// The payload of a gateway frame: the bytes between the header (17 bytes) and the CRC.
// One class per kind of payload, all derived from QuarnMessagePayload; a frame owns its
// payload through std::unique_ptr. Payloads are immutable once built and may be read
// from any thread.
//
// Constructors that read a received frame take the whole frame (payload at offset 17)
// and throw std::out_of_range when the frame ends before a byte they read.

#include <cstdint>
#include <vector>

namespace Quarn::Messages {

class QuarnMessagePayload {
public:
    // The empty payload of delete-whole-whitelist, tag 0.
    QuarnMessagePayload() = default;
    virtual ~QuarnMessagePayload() = default;

    // The payload's bytes as they go on the wire; none for this class.
    virtual std::vector<unsigned char> ToByteArray() const;

    // A tag telling the payload classes apart (see each class's PAYLOAD_TYPE).
    uint8_t GetPayloadType() const { return payloadType_; }

protected:
    explicit QuarnMessagePayload(uint8_t payloadType) : payloadType_(payloadType) {}
    QuarnMessagePayload(const QuarnMessagePayload&) = default;
    QuarnMessagePayload& operator=(const QuarnMessagePayload&) = default;

private:
    uint8_t payloadType_ = 0;
};

}  // namespace Quarn::Messages
