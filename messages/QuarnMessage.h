#pragma once
// One gateway frame in memory: the header fields and the payload it owns.
//
// Built by QuarnMessageBuilder (outgoing) or by QuarnMessageBuilder::Parse (received).
// Not thread-safe: a frame belongs to one thread at a time (the gateway hands it from its
// queue to its send thread); the const operations may run concurrently.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "messages/QuarnMessagePayload.h"

namespace Quarn::Messages {

class QuarnMessage {
public:
    // All header fields 0, no payload.
    QuarnMessage();
    ~QuarnMessage();
    QuarnMessage(const QuarnMessage&) = delete;
    QuarnMessage& operator=(const QuarnMessage&) = delete;

    // The whole frame: the header fields as stored (integers big-endian), the payload's
    // bytes, then the CRC-16/XMODEM of all that, high byte first.
    std::vector<unsigned char> Serialize() const;
    // The CRC of the frame without its CRC bytes.
    uint16_t ComputeCRC() const;
    // The serialised frame as two-digit lower-case hexadecimal numbers separated by blanks.
    std::string ToHexString() const;

    // Bits 0-5 of the reference byte.
    uint8_t GetReferenceId() const;
    // Bit 7 of the reference byte: the gateway's answer to a request.
    bool IsReply() const;

    uint8_t GetFrameLength() const { return frameLength_; }
    uint8_t GetInnerLength() const { return innerLength_; }
    uint8_t GetHeaderVersion() const { return headerVersion_; }
    uint8_t GetReferenceByte() const { return referenceByte_; }
    uint32_t GetSequenceCounter() const { return sequenceCounter_; }
    uint32_t GetDeviceAddress() const { return deviceAddress_; }
    uint8_t GetMessageType() const { return messageType_; }
    // Borrowed; valid while this frame lives. Null when the frame has no payload.
    const QuarnMessagePayload* GetPayload() const { return payload_.get(); }
    QuarnMessagePayload* GetPayload() { return payload_.get(); }

    // Stamping a frame when it is sent (see QuarnMessageBuilder::Stamp).
    void SetSequenceCounter(uint32_t sequenceCounter) { sequenceCounter_ = sequenceCounter; }
    // Sets bits 0-5 of the reference byte, keeping the reply flag. An identifier above 63
    // is logged at error and stored as 0.
    void SetReferenceId(uint8_t referenceId);
    // Sets or clears the reply flag, as a gateway does on its answers.
    void SetReply(bool reply);

private:
    friend class QuarnMessageBuilder;

    // Bytes 0 .. 16 + n: everything the CRC covers.
    std::vector<unsigned char> SerializeMainPart() const;

    uint8_t frameLength_ = 0;
    std::array<uint8_t, 2> magic_{};
    uint8_t innerLength_ = 0;
    uint8_t headerVersion_ = 0;
    std::array<uint8_t, 2> reserved_{};
    uint8_t referenceByte_ = 0;
    uint32_t sequenceCounter_ = 0;
    uint32_t deviceAddress_ = 0;
    uint8_t messageType_ = 0;
    std::unique_ptr<QuarnMessagePayload> payload_;
};

}  // namespace Quarn::Messages
