#include "messages/QuarnResponsePayload.h"

#include "messages/QuarnMessageTypes.h"
#include "messages/QuarnResponseCodes.h"

namespace Quarn::Messages {

QuarnResponsePayload::QuarnResponsePayload(const std::vector<unsigned char>& frame)
    : QuarnMessagePayload(PAYLOAD_TYPE) {
    size_t offset = QUARN_FRAME_HEADER_SIZE;
    responseCode_ = frame.at(offset++);
    if (responseCode_ == QUARN_RESPONSE_SEQUENCE_COUNTER_ERROR) {
        for (int i = 0; i < 4; ++i) {
            currentSequenceCounter_ = (currentSequenceCounter_ << 8) | frame.at(offset++);
        }
    }
}

QuarnResponsePayload::QuarnResponsePayload(uint8_t responseCode, uint32_t currentSequenceCounter)
    : QuarnMessagePayload(PAYLOAD_TYPE),
      responseCode_(responseCode),
      currentSequenceCounter_(
          responseCode == QUARN_RESPONSE_SEQUENCE_COUNTER_ERROR ? currentSequenceCounter : 0) {}

std::vector<unsigned char> QuarnResponsePayload::ToByteArray() const {
    std::vector<unsigned char> bytes{responseCode_};
    if (responseCode_ == QUARN_RESPONSE_SEQUENCE_COUNTER_ERROR) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            bytes.push_back(static_cast<unsigned char>(currentSequenceCounter_ >> shift));
        }
    }
    return bytes;
}

}  // namespace Quarn::Messages
