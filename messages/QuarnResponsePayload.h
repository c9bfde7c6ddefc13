#pragma once
// The payload of a gateway's response frame (type 0): a response code (QuarnResponseCodes.h)
// and, for QUARN_RESPONSE_SEQUENCE_COUNTER_ERROR only, the gateway's current sequence
// counter.

#include <cstdint>
#include <vector>

#include "messages/QuarnMessagePayload.h"

namespace Quarn::Messages {

class QuarnResponsePayload : public QuarnMessagePayload {
public:
    static constexpr uint8_t PAYLOAD_TYPE = 1;

    // Reads the code at offset 17 and, for code 7, the counter at 18-21 (big-endian).
    // Throws std::out_of_range when the frame ends before a byte it reads.
    explicit QuarnResponsePayload(const std::vector<unsigned char>& frame);
    // A response to send, as a gateway does; the counter is kept only with code 7.
    QuarnResponsePayload(uint8_t responseCode, uint32_t currentSequenceCounter);

    // The code, then for code 7 the counter, most significant byte first.
    std::vector<unsigned char> ToByteArray() const override;

    uint8_t GetResponseCode() const { return responseCode_; }
    // The gateway's counter with code 7; 0 otherwise.
    uint32_t GetSequenceCounter() const { return currentSequenceCounter_; }

private:
    uint8_t responseCode_ = 0;
    uint32_t currentSequenceCounter_ = 0;
};

}  // namespace Quarn::Messages
