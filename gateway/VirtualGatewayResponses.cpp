// What the gateway does with the bytes it receives: they are cut into frames; events
// become event notices, answers are matched to their waiting request and become response
// notices, and answers with the gateway's sequence counter resynchronise the builder.

#include <cstdio>
#include <utility>

#include "diagnostics/HexBytes.h"
#include "diagnostics/Log.h"
#include "gateway/VirtualGateway.h"
#include "messages/QuarnGetStatusPayload.h"
#include "messages/QuarnMessageTypes.h"
#include "messages/QuarnReaderEventPayloads.h"
#include "messages/QuarnResponseCodes.h"
#include "messages/QuarnResponsePayload.h"

namespace Quarn {

namespace {

constexpr uint16_t kEventAddressMask = 0xFFFF;

double Seconds(std::chrono::steady_clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

}  // namespace

void VirtualGateway::Receive(std::span<const unsigned char> bytes, Clock::time_point now) {
    frameCutter_.Append(bytes);
    while (auto frame = FetchAndTranslateMessage()) {
        lastFrameAt_ = std::time(nullptr);
        LOG_DEBUG << "Managing new message";
        ManageQuarnGatewayResponse(std::move(frame), now);
    }
}

std::unique_ptr<Messages::QuarnMessage> VirtualGateway::FetchAndTranslateMessage() {
    for (;;) {
        Messages::QuarnFrameCutter::Cut cut = frameCutter_.Next(checkFrameCrc_);
        if (cut.misplacedMagic) {
            LOG_WARNING << "Found a new QUARN packet magic number, but seems that's at an index "
                           "position that isn't allowed.";
        }
        LogDiscarded(cut.discardedBytes);
        crcErrors_ += cut.badCrcFrames.size();
        for (size_t length : cut.badCrcFrames) {
            // A corrupted card number is a wrong credential: never believe such a frame.
            LOG_WARNING << "Dropped a frame of " << length << " bytes from gateway with ID "
                        << id_ << ": its CRC is wrong.";
        }
        if (cut.frame.empty()) {
            return nullptr;
        }
        if (auto message = Messages::QuarnMessageBuilder::Parse(cut.frame)) {
            LOG_DEBUG << "Message fetched and translated. Erasing the array from the buffer.";
            return message;
        }
        LogDiscarded(cut.frame.size());
    }
}

void VirtualGateway::LogDiscarded(size_t count) {
    if (count > 0) {
        LOG_WARNING << "Discarding " << count
                    << " received bytes that do not form a gateway frame.";
    }
}

bool VirtualGateway::IsEventMessage(const Messages::QuarnMessage& frame) {
    switch (frame.GetMessageType()) {
        case Messages::QUARN_MESSAGE_CARD_READER_EVENT:
        case Messages::QUARN_MESSAGE_CARD_READER_EVENT_2:
        case Messages::QUARN_MESSAGE_CARD_READER_EVENT_3:
        case Messages::QUARN_MESSAGE_CARD_READER_EVENT_4:
        case Messages::QUARN_MESSAGE_PINCODE_EVENT:
            return true;
        default:
            return false;
    }
}

void VirtualGateway::ManageQuarnGatewayResponse(std::unique_ptr<Messages::QuarnMessage> frame,
                                                Clock::time_point receivedAt) {
    if (!frame) {
        return;
    }
    try {
        if (IsEventMessage(*frame)) {
            ManageEvent(*frame);
        } else if (frame->IsReply()) {
            ManageReply(*frame, receivedAt);
        }
    } catch (const std::exception&) {
        LOG_ERROR << "Exception in Quarn Response message loop. Manually releasing mutexes.";
    }
    LOG_VERBOSE << "Clear memory for the parsed response message.";
    frame.reset();
    LOG_VERBOSE << "Ended management.";
}

void VirtualGateway::ManageEvent(const Messages::QuarnMessage& frame) {
    const uint8_t type = frame.GetMessageType();
    const Messages::QuarnMessagePayload* payload = frame.GetPayload();
    std::string text;
    if (type == Messages::QUARN_MESSAGE_PINCODE_EVENT) {
        if (Diagnostics::IsLogged(Diagnostics::verbose)) {
            char crc[5];
            std::snprintf(crc, sizeof crc, "%04x", frame.ComputeCRC());
            LOG_VERBOSE << "Current message CRC: " << crc;
        }
        auto pin = dynamic_cast<const Messages::QuarnPincodeMessagePayload*>(payload);
        if (payload == nullptr) {
            LOG_ERROR << "Current message payload is null.";
        } else {
            LOG_VERBOSE << "Current message payload type: " << payload->GetPayloadType();
            if (pin == nullptr) {
                LOG_WARNING << "Payload type is not PinCode type. Current value: "
                            << payload->GetPayloadType();
            } else {
                LOG_VERBOSE << "Payload is of type PinCode. Will be parsed for PIN.";
            }
        }
        if (pin == nullptr) {
            LOG_ERROR << "pinCodeReaderPayload is NULL!";
        } else {
            text = Diagnostics::HexBytes(pin->GetData(), Diagnostics::HexStyle::UpperPacked);
            LOG_DEBUG << "PIN received : " << text;
        }
    } else {
        auto card = dynamic_cast<const Messages::QuarnCardReaderMessagePayload*>(payload);
        if (card == nullptr) {
            LOG_ERROR << "cardReaderPayload is NULL!";
        } else {
            text = Diagnostics::HexBytes(card->GetData(), Diagnostics::HexStyle::UpperPacked);
            LOG_DEBUG << "RFID received : " << text;
        }
    }
    notices_.items.push_back(
        {std::nullopt, nullptr,
         std::make_unique<Event>(
             type, static_cast<uint16_t>(frame.GetDeviceAddress() & kEventAddressMask),
             std::move(text))});
}

void VirtualGateway::ManageReply(const Messages::QuarnMessage& frame,
                                 Clock::time_point receivedAt) {
    const uint8_t referenceId = frame.GetReferenceId();
    if (Diagnostics::IsLogged(Diagnostics::verbose)) {
        LOG_VERBOSE << "ReplyReferenceID " << static_cast<int>(referenceId);
        LOG_VERBOSE << "ReplyReferenceID LE" << (referenceId & ~0x03);
        LOG_VERBOSE << "ReplyReferenceID BE" << (referenceId & Messages::QUARN_REFERENCE_ID_MASK);
        LOG_VERBOSE << "Waiting message count " << waitingMessages_.size();
        for (const auto& [waitingId, waiting] : waitingMessages_) {
            LOG_VERBOSE << "Message pending with refereceID " << static_cast<int>(waitingId)
                        << " and Message ID " << waiting->requestId;
        }
    }
    auto found = waitingMessages_.find(referenceId);
    if (found == waitingMessages_.end()) {
        LOG_WARNING << "A reply message was sent from gateway. But no request message was "
                       "found in the waiting message map. The message is lost";
        return;
    }
    Request request = std::move(found->second);
    waitingMessages_.erase(found);
    LOG_DEBUG << "Message timings - from enqueue to send:"
              << Seconds(request->sendTime - request->enqueueTime)
              << " sec, from send to receive: " << Seconds(receivedAt - request->sendTime)
              << " sec, total time: " << Seconds(receivedAt - request->enqueueTime) << " sec";
    if (auto response = TranslateReply(frame, *request)) {
        Report(std::move(response));
    }
    if (request->refresh) {
        RefreshSettled();
    }
}

std::unique_ptr<VirtualGateway::Response> VirtualGateway::TranslateReply(
    const Messages::QuarnMessage& frame, const MessageRequestInfo& request) {
    const Messages::QuarnMessagePayload* payload = frame.GetPayload();
    switch (frame.GetMessageType()) {
        case Messages::QUARN_MESSAGE_GET_STATUS: {
            LOG_VERBOSE << "Received a MSG_GetStatus";
            auto status = dynamic_cast<const Messages::QuarnGetStatusPayload*>(payload);
            if (status == nullptr || !status->HasStatusData()) {
                LOG_ERROR << "Cannot parse GetStatus message payload.";
                return Response::Failed(request.requestId, Response::Failure::NoAnswer);
            }
            return std::make_unique<Response>(
                request.requestId, Messages::QUARN_RESPONSE_OK,
                std::make_unique<Messages::QuarnGetStatusPayload>(*status));
        }
        case Messages::QUARN_MESSAGE_RESPONSE:
            break;
        default:
            LOG_VERBOSE << "Received unmanaged message response.";
            return Response::Failed(request.requestId, Response::Failure::NoAnswer);
    }

    auto answer = dynamic_cast<const Messages::QuarnResponsePayload*>(payload);
    if (answer == nullptr) {
        return Response::Failed(request.requestId, Response::Failure::NoAnswer);
    }
    const uint8_t code = answer->GetResponseCode();
    switch (code) {
        case Messages::QUARN_RESPONSE_OK:
            if (request.refresh) {
                LOG_DEBUG << "The gateway anwser is for a NEW SEQ request but the seq code is "
                             "correct. MessageID "
                          << request.requestId;
                LOG_DEBUG << "The callback will be excluded.";
                return nullptr;
            }
            LOG_INFO << "Response from gateway: OK for message with ID " << request.requestId;
            break;
        case Messages::QUARN_RESPONSE_ALREADY_IN_WHITELIST:
            LOG_WARNING << "Requested to add a new whitelist entry, but this value is already in "
                           "the whitelist";
            break;
        case Messages::QUARN_RESPONSE_WHITELIST_FULL:
            LOG_WARNING << "Requested to add a new whitelist entry, but the whitelist is full.";
            break;
        case Messages::QUARN_RESPONSE_NOT_IN_WHITELIST:
            LOG_WARNING << "Requested to remove whitelist entry, but this value is not in the "
                           "whitelist";
            break;
        case Messages::QUARN_RESPONSE_SEQUENCE_COUNTER_ERROR:
            ResynchroniseSequenceCounter(answer->GetSequenceCounter(), request);
            break;
        case Messages::QUARN_RESPONSE_NO_ROUTE_FOR_DEVADDR:
            if (request.refresh) {
                LOG_DEBUG << "The gateway answer is for a NEW SEQ but the gateway cannot find a "
                             "route to the device. Maybe it's a keep alive packet.";
                LOG_DEBUG << "The callback will be excluded.";
                return nullptr;
            }
            LOG_DEBUG << "Receied QUARN_RESPONSE_NO_ROUTE_FOR_DEVADDR.";
            break;
        case Messages::QUARN_RESPONSE_DATALENGTH_MISMATCH:
            LOG_WARNING << "Requested an operation to the device whitelist, but the length of the "
                           "data mismatch required length.";
            break;
        case Messages::QUARN_RESPONSE_MESSAGE_UNEXPECTED:
            LOG_WARNING << "Response from gateway: MESSAGE_UNESPECTED.";
            break;
        default:
            LOG_WARNING << "Response core from gateway: " << static_cast<int>(code);
            break;
    }
    return std::make_unique<Response>(request.requestId, code);
}

void VirtualGateway::ResynchroniseSequenceCounter(uint32_t reportedCounter,
                                                  const MessageRequestInfo& request) {
    LOG_DEBUG << "Received QUARN_RESPONSE_SEQUENCE_COUNTER_ERROR. Current SEQ is "
              << messageBuilder_.GetSequenceCounter();
    if (request.sequenceEpoch != sequenceEpoch_) {
        LOG_DEBUG << "Sequence counter " << reportedCounter
                  << " was reported for a frame sent before the last resynchronisation. "
                     "Not adopted.";
        return;
    }
    ++sequenceEpoch_;
    messageBuilder_.SetSequenceCounter(reportedCounter);
    LOG_WARNING << "Received new sequence number. The current SEQ is " << reportedCounter;
    // Only a gateway waiting for its counter becomes usable here; a fault or a
    // disconnection that happened meanwhile stands.
    RefreshSettled();
}

}  // namespace Quarn
