#include "messages/QuarnMessageBuilder.h"

#include <stdexcept>
#include <utility>

#include "diagnostics/Log.h"
#include "messages/QuarnAddOrRemoveFromWhitelistPayload.h"
#include "messages/QuarnCommandPayloads.h"
#include "messages/QuarnGetStatusPayload.h"
#include "messages/QuarnMessageTypes.h"
#include "messages/QuarnReaderEventPayloads.h"
#include "messages/QuarnResponsePayload.h"

namespace Quarn::Messages {

namespace {

uint8_t CommandType(uint8_t messageType, bool eventResponse) {
    return eventResponse ? static_cast<uint8_t>(messageType | QUARN_MESSAGE_EVENT_RESPONSE_FLAG)
                         : messageType;
}

uint32_t ReadBigEndian(const std::vector<unsigned char>& frame, size_t offset) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i) {
        value = (value << 8) | frame.at(offset + i);
    }
    return value;
}

// The payload a received frame of this type carries; null for types without one.
std::unique_ptr<QuarnMessagePayload> ReadPayload(uint8_t messageType,
                                                 const std::vector<unsigned char>& frame) {
    switch (messageType) {
        case QUARN_MESSAGE_RESPONSE:
            return std::make_unique<QuarnResponsePayload>(frame);
        case QUARN_MESSAGE_GET_STATUS:
            // A request, or an answer without status bytes: nothing to decode, and a
            // payload without a status record would read as an all-zero lock state.
            if (frame.size() < QUARN_FRAME_HEADER_SIZE + QuarnGetStatusPayload::STATUS_DATA_SIZE) {
                return nullptr;
            }
            return std::make_unique<QuarnGetStatusPayload>(frame);
        case QUARN_MESSAGE_CARD_READER_EVENT:
        case QUARN_MESSAGE_CARD_READER_EVENT_2:
            return std::make_unique<QuarnCardReaderMessagePayload>(frame);
        case QUARN_MESSAGE_PINCODE_EVENT:
            return std::make_unique<QuarnPincodeMessagePayload>(frame);
        default:
            return nullptr;
    }
}

}  // namespace

QuarnMessageBuilder::QuarnMessageBuilder(uint32_t sequenceCounter, uint8_t referenceId)
    : sequenceCounter_(sequenceCounter), referenceId_(referenceId) {}

void QuarnMessageBuilder::IncrementSequenceCounter() {
    sequenceCounter_.fetch_add(1, std::memory_order_relaxed);
}

void QuarnMessageBuilder::NextReferenceId() {
    uint8_t next = static_cast<uint8_t>(referenceId_.load(std::memory_order_relaxed) + 1);
    if (next > QUARN_REFERENCE_ID_MAX) {
        next = 1;
    }
    referenceId_.store(next, std::memory_order_relaxed);
}

uint32_t QuarnMessageBuilder::GetSequenceCounter() const {
    return sequenceCounter_.load(std::memory_order_relaxed);
}

void QuarnMessageBuilder::SetSequenceCounter(uint32_t sequenceCounter) {
    sequenceCounter_.store(sequenceCounter, std::memory_order_relaxed);
}

uint8_t QuarnMessageBuilder::GetReferenceId() const {
    return referenceId_.load(std::memory_order_relaxed);
}

void QuarnMessageBuilder::Stamp(QuarnMessage& message) const {
    message.SetSequenceCounter(GetSequenceCounter() + 1);
    message.SetReferenceId(GetReferenceId());
}

std::unique_ptr<QuarnMessage> QuarnMessageBuilder::Parse(const std::vector<unsigned char>& frame) {
    try {
        auto message = std::make_unique<QuarnMessage>();
        message->frameLength_ = frame.at(0);
        message->magic_ = {frame.at(1), frame.at(2)};
        message->innerLength_ = frame.at(3);
        message->headerVersion_ = frame.at(4);
        message->reserved_ = {frame.at(5), frame.at(6)};
        message->referenceByte_ = frame.at(7);
        message->sequenceCounter_ = ReadBigEndian(frame, 8);
        message->deviceAddress_ = ReadBigEndian(frame, 12);
        message->messageType_ = frame.at(16);
        message->payload_ = ReadPayload(message->messageType_, frame);
        if (message->payload_) {
            LOG_VERBOSE << "Attached payload data to message. Payload data type: "
                        << message->payload_->GetPayloadType();
        }
        return message;
    } catch (const std::out_of_range&) {
        LOG_WARNING << "Gateway frame of " << frame.size()
                    << " bytes is too short for its message type. Frame not parsed.";
        return nullptr;
    }
}

std::unique_ptr<QuarnMessage> QuarnMessageBuilder::BuildBaseMessage(
    uint32_t deviceAddress, uint8_t messageType,
    std::unique_ptr<QuarnMessagePayload> payload) const {
    const size_t payloadSize = payload ? payload->ToByteArray().size() : 0;
    if (payloadSize > QUARN_MAX_PAYLOAD_SIZE) {
        LOG_ERROR << "Payload of " << payloadSize
                  << " bytes does not fit in a gateway frame. Message not built.";
        return nullptr;
    }
    auto message = std::make_unique<QuarnMessage>();
    message->frameLength_ =
        static_cast<uint8_t>(payloadSize + QUARN_FRAME_HEADER_SIZE + QUARN_FRAME_CRC_SIZE);
    message->magic_ = {QUARN_FRAME_MAGIC_1, QUARN_FRAME_MAGIC_2};
    message->innerLength_ =
        static_cast<uint8_t>(message->frameLength_ - QUARN_FRAME_INNER_LENGTH_START);
    message->headerVersion_ = QUARN_FRAME_HEADER_VERSION;
    message->deviceAddress_ = deviceAddress;
    message->messageType_ = messageType;
    message->payload_ = std::move(payload);
    Stamp(*message);
    return message;
}

std::unique_ptr<QuarnMessage> QuarnMessageBuilder::BuildGetStatusMessage(
    uint32_t deviceAddress) const {
    return BuildBaseMessage(deviceAddress, QUARN_MESSAGE_GET_STATUS,
                            std::make_unique<QuarnGetStatusPayload>());
}

std::unique_ptr<QuarnMessage> QuarnMessageBuilder::BuildOpenCloseLockMessage(
    uint32_t deviceAddress, uint8_t duration, bool eventResponse) const {
    return BuildBaseMessage(deviceAddress,
                            CommandType(QUARN_MESSAGE_OPEN_CLOSE_LOCK, eventResponse),
                            std::make_unique<QuarnShortTermActivationPayload>(duration));
}

std::unique_ptr<QuarnMessage> QuarnMessageBuilder::BuildOpenLockMessage(uint32_t deviceAddress,
                                                                        uint16_t parameter,
                                                                        uint16_t time,
                                                                        bool eventResponse) const {
    return BuildBaseMessage(deviceAddress, CommandType(QUARN_MESSAGE_OPEN_LOCK, eventResponse),
                            std::make_unique<QuarnLongTermActivationPayload>(parameter, time));
}

std::unique_ptr<QuarnMessage> QuarnMessageBuilder::BuildCloseLockMessage(uint32_t deviceAddress,
                                                                         uint16_t delay,
                                                                         bool eventResponse) const {
    return BuildBaseMessage(deviceAddress, CommandType(QUARN_MESSAGE_CLOSE_LOCK, eventResponse),
                            std::make_unique<QuarnLongTermReleasePayload>(delay));
}

std::unique_ptr<QuarnMessage> QuarnMessageBuilder::BuildAccessDeniedMessage(
    uint32_t deviceAddress, bool eventResponse) const {
    return BuildBaseMessage(deviceAddress, CommandType(QUARN_MESSAGE_ACCESS_DENIED, eventResponse),
                            std::make_unique<QuarnDeviceOnlyPayload>(QUARN_MESSAGE_ACCESS_DENIED));
}

std::unique_ptr<QuarnMessage> QuarnMessageBuilder::BuildAddToWhitelistMessage(
    uint32_t deviceAddress, bool uidMode, uint8_t setupNo, uint8_t options,
    const std::vector<unsigned char>& cardData) const {
    return BuildBaseMessage(deviceAddress, QUARN_MESSAGE_ADD_TO_WHITELIST,
                            std::make_unique<QuarnAddOrRemoveFromWhitelistPayload>(
                                uidMode, setupNo, options, cardData));
}

std::unique_ptr<QuarnMessage> QuarnMessageBuilder::BuildRemoveFromWhitelistMessage(
    uint32_t deviceAddress, bool uidMode, uint8_t setupNo, uint8_t options,
    const std::vector<unsigned char>& cardData) const {
    return BuildBaseMessage(deviceAddress, QUARN_MESSAGE_REMOVE_FROM_WHITELIST,
                            std::make_unique<QuarnAddOrRemoveFromWhitelistPayload>(
                                uidMode, setupNo, options, cardData));
}

std::unique_ptr<QuarnMessage> QuarnMessageBuilder::BuildDeleteWholeWhitelistMessage(
    uint32_t deviceAddress) const {
    return BuildBaseMessage(deviceAddress, QUARN_MESSAGE_DELETE_WHOLE_WHITELIST,
                            std::make_unique<QuarnMessagePayload>());
}

std::unique_ptr<QuarnMessage> QuarnMessageBuilder::BuildEnableWhitelistMessage(
    uint32_t deviceAddress) const {
    return BuildBaseMessage(
        deviceAddress, QUARN_MESSAGE_ENABLE_WHITELIST,
        std::make_unique<QuarnDeviceOnlyPayload>(QUARN_MESSAGE_ENABLE_WHITELIST));
}

std::unique_ptr<QuarnMessage> QuarnMessageBuilder::BuildDisableWhitelistMessage(
    uint32_t deviceAddress) const {
    return BuildBaseMessage(
        deviceAddress, QUARN_MESSAGE_DISABLE_WHITELIST,
        std::make_unique<QuarnDeviceOnlyPayload>(QUARN_MESSAGE_DISABLE_WHITELIST));
}

}  // namespace Quarn::Messages
