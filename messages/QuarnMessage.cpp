#include "messages/QuarnMessage.h"

#include "diagnostics/HexBytes.h"
#include "diagnostics/Log.h"
#include "messages/CRC16.h"
#include "messages/QuarnMessageTypes.h"

namespace Quarn::Messages {

namespace {

void AppendBigEndian(std::vector<unsigned char>& bytes, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        bytes.push_back(static_cast<unsigned char>(value >> shift));
    }
}

}  // namespace

QuarnMessage::QuarnMessage() = default;

QuarnMessage::~QuarnMessage() = default;

std::vector<unsigned char> QuarnMessage::SerializeMainPart() const {
    const std::vector<unsigned char> payloadBytes =
        payload_ ? payload_->ToByteArray() : std::vector<unsigned char>{};
    std::vector<unsigned char> bytes;
    // Room for the CRC too, so that Serialize appends it without reallocating.
    bytes.reserve(QUARN_FRAME_HEADER_SIZE + payloadBytes.size() + QUARN_FRAME_CRC_SIZE);
    for (uint8_t byte : {frameLength_, magic_[0], magic_[1], innerLength_, headerVersion_,
                         reserved_[0], reserved_[1], referenceByte_}) {
        bytes.push_back(byte);
    }
    AppendBigEndian(bytes, sequenceCounter_);
    AppendBigEndian(bytes, deviceAddress_);
    bytes.push_back(messageType_);
    bytes.insert(bytes.end(), payloadBytes.begin(), payloadBytes.end());
    return bytes;
}

std::vector<unsigned char> QuarnMessage::Serialize() const {
    LOG_VERBOSE << "[QuarnMessage::Serialize] Serializing message main frame parts.";
    std::vector<unsigned char> bytes = SerializeMainPart();
    LOG_VERBOSE << "Compunting message CRC16. Current buffer size is " << bytes.size();
    const uint16_t crc = CRC::CRC16::XModem(bytes);
    bytes.push_back(static_cast<unsigned char>(crc >> 8));
    bytes.push_back(static_cast<unsigned char>(crc & 0xFF));
    return bytes;
}

uint16_t QuarnMessage::ComputeCRC() const {
    return CRC::CRC16::XModem(SerializeMainPart());
}

std::string QuarnMessage::ToHexString() const {
    return Diagnostics::HexBytes(Serialize(), Diagnostics::HexStyle::LowerSpaced);
}

uint8_t QuarnMessage::GetReferenceId() const {
    return referenceByte_ & QUARN_REFERENCE_ID_MASK;
}

bool QuarnMessage::IsReply() const {
    return (referenceByte_ & QUARN_REPLY_FLAG) != 0;
}

void QuarnMessage::SetReferenceId(uint8_t referenceId) {
    if (referenceId > QUARN_REFERENCE_ID_MAX) {
        LOG_ERROR << "ReferenceID out of scope.";
        referenceId = 0;
    }
    referenceByte_ =
        static_cast<uint8_t>((referenceByte_ & ~QUARN_REFERENCE_ID_MASK) | referenceId);
}

void QuarnMessage::SetReply(bool reply) {
    referenceByte_ = static_cast<uint8_t>(reply ? referenceByte_ | QUARN_REPLY_FLAG
                                                : referenceByte_ & ~QUARN_REPLY_FLAG);
}

}  // namespace Quarn::Messages
