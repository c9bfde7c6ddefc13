#include "tools/locksim/LockSimulator.h"

#include <cctype>
#include <memory>
#include <span>
#include <sstream>

#include "diagnostics/HexBytes.h"
#include "messages/CRC16.h"
#include "messages/QuarnMessageBuilder.h"
#include "messages/QuarnMessageTypes.h"
#include "messages/QuarnReaderEventPayloads.h"
#include "messages/QuarnResponseCodes.h"
#include "messages/QuarnResponsePayload.h"

namespace LockSim {

namespace Q = Quarn::Messages;

namespace {

// Frame offsets of the header fields and of the whitelist payload.
constexpr size_t kReferenceOffset = 7;
constexpr size_t kSequenceOffset = 8;
constexpr size_t kDeviceOffset = 12;
constexpr size_t kTypeOffset = 16;
constexpr size_t kPayloadOffset = Q::QUARN_FRAME_HEADER_SIZE;
constexpr size_t kWhitelistLengthOffset = kPayloadOffset + 2;
constexpr size_t kWhitelistDataOffset = kPayloadOffset + 3;

// A payload holding fixed bytes: what a gateway puts into the frames it sends.
class RawPayload : public Q::QuarnMessagePayload {
public:
    explicit RawPayload(Bytes bytes) : bytes_(std::move(bytes)) {}
    std::vector<unsigned char> ToByteArray() const override { return bytes_; }

private:
    Bytes bytes_;
};

uint32_t ReadBigEndian(const Bytes& frame, size_t offset) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i) {
        value = (value << 8) | frame[offset + i];
    }
    return value;
}

Bytes PayloadOf(const Bytes& frame) {
    return Bytes(frame.begin() + kPayloadOffset, frame.end() - Q::QUARN_FRAME_CRC_SIZE);
}

// An answer: same device and reference identifier with the reply flag, our counter.
Bytes Finish(std::unique_ptr<Q::QuarnMessage> message, const Bytes& request, uint32_t counter) {
    message->SetSequenceCounter(counter);
    message->SetReferenceId(request[kReferenceOffset] & Q::QUARN_REFERENCE_ID_MASK);
    message->SetReply(true);
    return message->Serialize();
}

}  // namespace

std::optional<Bytes> ParseHex(const std::string& text) {
    std::string digits;
    for (char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            digits += c;
        } else if (!std::isspace(static_cast<unsigned char>(c))) {
            return std::nullopt;
        }
    }
    if (digits.size() % 2 != 0) {
        return std::nullopt;
    }
    Bytes bytes;
    for (size_t i = 0; i < digits.size(); i += 2) {
        bytes.push_back(static_cast<unsigned char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::string TypeCode(uint8_t type) {
    return "0x" + Diagnostics::HexBytes(std::span(&type, 1), Diagnostics::HexStyle::LowerSpaced);
}

std::string TypeName(uint8_t type) {
    const bool eventResponse =
        type >= Q::QUARN_MESSAGE_ACCESS_DENIED + 0x80 && type <= Q::QUARN_MESSAGE_CLOSE_LOCK + 0x80;
    std::string name;
    switch (eventResponse ? type & ~Q::QUARN_MESSAGE_EVENT_RESPONSE_FLAG : type) {
        case Q::QUARN_MESSAGE_RESPONSE:
            name = "RESPONSE";
            break;
        case Q::QUARN_MESSAGE_GET_STATUS:
            name = "GET_STATUS";
            break;
        case Q::QUARN_MESSAGE_ADD_TO_WHITELIST:
            name = "ADD_TO_WHITELIST";
            break;
        case Q::QUARN_MESSAGE_REMOVE_FROM_WHITELIST:
            name = "REMOVE_FROM_WHITELIST";
            break;
        case Q::QUARN_MESSAGE_DELETE_WHOLE_WHITELIST:
            name = "DELETE_WHOLE_WHITELIST";
            break;
        case Q::QUARN_MESSAGE_DISABLE_WHITELIST:
            name = "DISABLE_WHITELIST";
            break;
        case Q::QUARN_MESSAGE_ENABLE_WHITELIST:
            name = "ENABLE_WHITELIST";
            break;
        case Q::QUARN_MESSAGE_ACCESS_DENIED:
            name = "ACCESS_DENIED";
            break;
        case Q::QUARN_MESSAGE_OPEN_CLOSE_LOCK:
            name = "OPEN_CLOSE_LOCK";
            break;
        case Q::QUARN_MESSAGE_OPEN_LOCK:
            name = "OPEN_LOCK";
            break;
        case Q::QUARN_MESSAGE_CLOSE_LOCK:
            name = "CLOSE_LOCK";
            break;
        case Q::QUARN_MESSAGE_CARD_READER_EVENT:
        case Q::QUARN_MESSAGE_CARD_READER_EVENT_2:
        case Q::QUARN_MESSAGE_CARD_READER_EVENT_3:
        case Q::QUARN_MESSAGE_CARD_READER_EVENT_4:
            name = "CARD_READER_EVENT";
            break;
        case Q::QUARN_MESSAGE_PINCODE_EVENT:
            name = "PINCODE_EVENT";
            break;
        default:
            name = "UNKNOWN";
            break;
    }
    return eventResponse ? name + "_EVENT" : name;
}

LockSimulator::LockSimulator(uint32_t sequenceCounter, const std::vector<uint32_t>& locks,
                             Bytes status, size_t whitelistSize)
    : sequenceCounter_(sequenceCounter), whitelistSize_(whitelistSize) {
    for (uint32_t lock : locks) {
        locks_[lock].status = status;
    }
}

bool LockSimulator::SetStatus(uint32_t device, const Bytes& status) {
    auto lock = locks_.find(device);
    if (lock == locks_.end()) {
        return false;
    }
    lock->second.status = status;
    return true;
}

FrameOutcome LockSimulator::HandleFrame(const Bytes& frame) {
    FrameOutcome outcome;
    const uint8_t reference = frame[kReferenceOffset] & Q::QUARN_REFERENCE_ID_MASK;
    const uint32_t sequence = ReadBigEndian(frame, kSequenceOffset);
    const uint32_t device = ReadBigEndian(frame, kDeviceOffset);
    const uint8_t type = frame[kTypeOffset];
    const Bytes withoutCrc(frame.begin(), frame.end() - Q::QUARN_FRAME_CRC_SIZE);
    const uint16_t crc = static_cast<uint16_t>(frame[frame.size() - 2] << 8 | frame.back());
    const bool crcGood = Quarn::CRC::CRC16::XModem(withoutCrc) == crc;

    std::ostringstream received;
    received << "seq=" << sequence << " ref=" << static_cast<int>(reference) << " device=" << device
             << " type=" << TypeCode(type) << ' ' << TypeName(type) << " payload="
             << Diagnostics::HexBytes(PayloadOf(frame), Diagnostics::HexStyle::UpperPacked)
             << " crc=" << (crcGood ? "ok" : "bad");
    outcome.received = received.str();
    if (!crcGood) {
        return outcome;  // a gateway ignores a damaged frame
    }

    std::ostringstream answered;
    answered << "ref=" << static_cast<int>(reference);
    if (sequence <= sequenceCounter_) {
        outcome.answer = BuildResponse(frame, Q::QUARN_RESPONSE_SEQUENCE_COUNTER_ERROR);
        answered << " code=" << static_cast<int>(Q::QUARN_RESPONSE_SEQUENCE_COUNTER_ERROR)
                 << " sequence=" << sequenceCounter_;
        outcome.answered = answered.str();
        return outcome;
    }
    sequenceCounter_ = sequence;

    auto lock = locks_.find(device);
    if (type == Q::QUARN_MESSAGE_GET_STATUS && lock != locks_.end()) {
        outcome.answer = BuildStatusAnswer(frame, lock->second.status);
        answered << " status="
                 << Diagnostics::HexBytes(lock->second.status, Diagnostics::HexStyle::UpperPacked);
    } else {
        uint8_t code = Execute(type, device, frame);
        outcome.answer = BuildResponse(frame, code);
        answered << " code=" << static_cast<int>(code);
    }
    outcome.answered = answered.str();
    return outcome;
}

uint8_t LockSimulator::Execute(uint8_t type, uint32_t device, const Bytes& frame) {
    auto found = locks_.find(device);
    const bool known = found != locks_.end();
    switch (type & ~Q::QUARN_MESSAGE_EVENT_RESPONSE_FLAG) {
        case Q::QUARN_MESSAGE_GET_STATUS:
        case Q::QUARN_MESSAGE_ACCESS_DENIED:
        case Q::QUARN_MESSAGE_OPEN_CLOSE_LOCK:
        case Q::QUARN_MESSAGE_OPEN_LOCK:
        case Q::QUARN_MESSAGE_CLOSE_LOCK:
            break;
        case Q::QUARN_MESSAGE_ADD_TO_WHITELIST:
        case Q::QUARN_MESSAGE_REMOVE_FROM_WHITELIST:
        case Q::QUARN_MESSAGE_DELETE_WHOLE_WHITELIST:
        case Q::QUARN_MESSAGE_DISABLE_WHITELIST:
        case Q::QUARN_MESSAGE_ENABLE_WHITELIST:
            if ((type & Q::QUARN_MESSAGE_EVENT_RESPONSE_FLAG) == 0) {
                break;
            }
            [[fallthrough]];
        default:
            return Q::QUARN_RESPONSE_REQUEST_NOT_SUPPORTED;
    }
    if (!known) {
        return Q::QUARN_RESPONSE_NO_ROUTE_FOR_DEVADDR;
    }
    LockState& lock = found->second;
    switch (type) {
        case Q::QUARN_MESSAGE_ADD_TO_WHITELIST:
        case Q::QUARN_MESSAGE_REMOVE_FROM_WHITELIST: {
            const size_t payloadEnd = frame.size() - Q::QUARN_FRAME_CRC_SIZE;
            if (payloadEnd <= kWhitelistDataOffset ||
                frame[kWhitelistLengthOffset] != payloadEnd - kWhitelistDataOffset) {
                return Q::QUARN_RESPONSE_DATALENGTH_MISMATCH;
            }
            Bytes card(frame.begin() + kWhitelistDataOffset, frame.begin() + payloadEnd);
            if (type == Q::QUARN_MESSAGE_REMOVE_FROM_WHITELIST) {
                return lock.whitelist.erase(card) == 1 ? Q::QUARN_RESPONSE_OK
                                                       : Q::QUARN_RESPONSE_NOT_IN_WHITELIST;
            }
            if (lock.whitelist.count(card) != 0) {
                return Q::QUARN_RESPONSE_ALREADY_IN_WHITELIST;
            }
            if (lock.whitelist.size() >= whitelistSize_) {
                return Q::QUARN_RESPONSE_WHITELIST_FULL;
            }
            lock.whitelist.insert(card);
            return Q::QUARN_RESPONSE_OK;
        }
        case Q::QUARN_MESSAGE_DELETE_WHOLE_WHITELIST:
            lock.whitelist.clear();
            return Q::QUARN_RESPONSE_OK;
        default:
            return Q::QUARN_RESPONSE_OK;
    }
}

Bytes LockSimulator::BuildResponse(const Bytes& request, uint8_t code) const {
    Q::QuarnMessageBuilder builder(sequenceCounter_, 1);
    auto message =
        builder.BuildBaseMessage(ReadBigEndian(request, kDeviceOffset), Q::QUARN_MESSAGE_RESPONSE,
                                 std::make_unique<Q::QuarnResponsePayload>(code, sequenceCounter_));
    return Finish(std::move(message), request, sequenceCounter_);
}

Bytes LockSimulator::BuildStatusAnswer(const Bytes& request, const Bytes& status) const {
    Q::QuarnMessageBuilder builder(sequenceCounter_, 1);
    auto message =
        builder.BuildBaseMessage(ReadBigEndian(request, kDeviceOffset), Q::QUARN_MESSAGE_GET_STATUS,
                                 std::make_unique<RawPayload>(status));
    return Finish(std::move(message), request, sequenceCounter_);
}

Bytes LockSimulator::BuildEvent(uint8_t type, uint32_t device, const Bytes& data) const {
    std::unique_ptr<Q::QuarnMessagePayload> payload;
    Q::QuarnReaderEvent event;
    event.data = data;
    if (type == Q::QUARN_MESSAGE_CARD_READER_EVENT ||
        type == Q::QUARN_MESSAGE_CARD_READER_EVENT_2) {
        payload = std::make_unique<Q::QuarnCardReaderMessagePayload>(event);
    } else if (type == Q::QUARN_MESSAGE_PINCODE_EVENT) {
        payload = std::make_unique<Q::QuarnPincodeMessagePayload>(event);
    }
    Q::QuarnMessageBuilder builder(sequenceCounter_, 1);
    auto message = builder.BuildBaseMessage(device, type, std::move(payload));
    if (!message) {
        return {};  // too much data for one frame
    }
    message->SetSequenceCounter(sequenceCounter_);
    message->SetReferenceId(0);
    return message->Serialize();
}

}  // namespace LockSim
