#include "mux/RequestRoutes.h"

#include "gateway/VirtualGatewayResponseMessage.h"
#include "messages/QuarnLockState.h"
#include "mux/AnswerTexts.h"
#include "mux/CoreServices.h"
#include "mux/MuxRequestRecord.h"
#include "mux/protocol/MuxMessage.h"
#include "mux/protocol/MuxMessageBuilder.h"
#include "mux/protocol/MuxMessageCodes.h"
#include "mux/protocol/MuxMessagePayloads.h"

namespace Mux {
namespace {

using Gateway = RequestRoute::Gateway;
using Call = RequestRoute::Call;
using Response = RequestRoute::Response;

// Gateway operations.

bool OpenLock(Gateway& gateway, const MuxMessage&, const Call& call) {
    return gateway.OpenLock(call.requestId, call.deviceAddress, 0, call.answersEvent,
                            call.deadline);
}

bool CloseLock(Gateway& gateway, const MuxMessage&, const Call& call) {
    return gateway.CloseLock(call.requestId, call.deviceAddress, 0, call.answersEvent,
                             call.deadline);
}

bool GetNodeStatus(Gateway& gateway, const MuxMessage&, const Call& call) {
    return gateway.GetNodeStatus(call.requestId, call.deviceAddress, call.deadline);
}

bool OpenCloseLock(Gateway& gateway, const MuxMessage& request, const Call& call) {
    return gateway.OpenCloseLock(call.requestId, call.deviceAddress,
                                 request.GetPayloadAs<MuxLockOpenCloseMessagePayload>()->duration,
                                 call.answersEvent, call.deadline);
}

bool AccessDenied(Gateway& gateway, const MuxMessage&, const Call& call) {
    return gateway.AccessDenied(call.requestId, call.deviceAddress, call.answersEvent,
                                call.deadline);
}

bool AddWhitelistEntry(Gateway& gateway, const MuxMessage& request, const Call& call) {
    auto* card = request.GetPayloadAs<MuxWhitelistSetPayload>();
    return gateway.AddWhitelistEntry(call.requestId, call.deviceAddress, card->isUIDCard,
                                     card->setupNumber, card->options != 0, card->cardData,
                                     call.deadline);
}

bool RemoveWhitelistEntry(Gateway& gateway, const MuxMessage& request, const Call& call) {
    auto* card = request.GetPayloadAs<MuxWhitelistSetPayload>();
    return gateway.RemoveWhitelistEntry(call.requestId, call.deviceAddress, card->isUIDCard,
                                        card->setupNumber, card->cardData, call.deadline);
}

bool ClearWhiteList(Gateway& gateway, const MuxMessage&, const Call& call) {
    return gateway.ClearWhiteList(call.requestId, call.deviceAddress, call.deadline);
}

bool EnableWhitelist(Gateway& gateway, const MuxMessage&, const Call& call) {
    return gateway.EnableWhitelist(call.requestId, call.deviceAddress, call.deadline);
}

bool DisableWhitelist(Gateway& gateway, const MuxMessage&, const Call& call) {
    return gateway.DisableWhitelist(call.requestId, call.deviceAddress, call.deadline);
}

// What happens before the gateway is called.

// A lock opened for 0 seconds opens for 1; the event answer says so.
template <bool kSaysSo>
void DefaultDuration(MuxMessage& request, const MuxLockAddressPayload&) {
    auto* payload = request.GetPayloadAs<MuxLockOpenCloseMessagePayload>();
    if (payload->duration == 0) {
        payload->duration = 1;
        if (kSaysSo) {
            LOG_INFO << "LOCK_OPEN_CLOSE duration set to zero. Defaulted to 1";
        }
    }
}

void LogEventClose(MuxMessage&, const MuxLockAddressPayload& address) {
    LOG_DEBUG << "MUX_MESSAGE_EVENT_LOCK_CLOSE "
              << " prepare to enqueue";
    LOG_DEBUG << "MUX_MESSAGE_EVENT_LOCK_CLOSE "
              << " prepare to enqueue 2 , GatewayId : " << address.gatewayID;
}

void LogAddWhitelistEntry(MuxMessage& request, const MuxLockAddressPayload&) {
    LOG_DEBUG << (request.GetPayloadAs<MuxWhitelistSetPayload>()->isUIDCard
                      ? "Using AddWhitelistEntry with UID card data type specified."
                      : "Using AddWhitelistEntry with a different card data type than UID "
                        "specified.");
}

void LogRemoveWhitelistEntry(MuxMessage& request, const MuxLockAddressPayload&) {
    LOG_DEBUG << (request.GetPayloadAs<MuxWhitelistSetPayload>()->isUIDCard
                      ? "Using RemoveWhitelistEntry with UID card data type specified."
                      : "Using RemoveWhitelistEntry with a different card data type than UID "
                        "specified");
}

void LogClearWhitelist(MuxMessage&, const MuxLockAddressPayload& address) {
    LOG_DEBUG << "Sending CLEAR_WHITELIST to Virtual Gateway using gateway id" << address.gatewayID
              << " and device address " << address.lockID;
}

// Answers to the gateway's response code.

std::unique_ptr<MuxMessage> Answer(const MuxMessage& request, bool positive,
                                   std::unique_ptr<MuxMessagePayloadBase> payload) {
    return MuxMessageBuilder::BuildMessage(positive ? MUX_MESSAGE_ACK : MUX_MESSAGE_NACK,
                                           request.GetMessageId(), std::move(payload));
}

// Opening or closing: the operation's outcome as data; a refusal names the lock and the
// gateway.
std::unique_ptr<MuxMessage> AnswerLockOperation(const MuxMessage& request, int result,
                                                const Response&) {
    auto data = MuxMessageBuilder::BuildLockOperationResponsePayload(result == 0, result);
    if (result == 0) {
        return Answer(request, true, MuxMessageBuilder::BuildAckPayload(std::move(data)));
    }
    const MuxLockAddressPayload& address = *request.GetPayload()->GetLockAddress();
    return Answer(
        request, false,
        MuxMessageBuilder::BuildNackPayload(
            0, DetailedAnswerText(result, address.lockID, address.gatewayID), std::move(data)));
}

// The lock's decoded status as data; a refusal only gives the gateway's code.
std::unique_ptr<MuxMessage> AnswerStatus(const MuxMessage& request, int result,
                                         const Response& response) {
    LOG_VERBOSE << "Building response to Lock GetStatus message.";
    if (result != 0) {
        return Answer(request, false, MuxMessageBuilder::BuildNackPayload(result, ""));
    }
    const auto* status = response.GetStatusPayload();
    if (status == nullptr) {
        return Answer(request, true, MuxMessageBuilder::BuildAckPayload());
    }
    Quarn::Messages::QuarnLockState state =
        Quarn::Messages::QuarnLockState::ParseFromBuffer(status);
    auto data = MuxMessageBuilder::BuildGetLockStatusResponsePayload(
        static_cast<int>(state.GetBatteryStatus()), static_cast<int>(state.GetQoS()),
        state.IsMechanicalActive(), state.IsBatteryWarning(), state.IsBatteryAlarm(),
        state.IsReaderConnected());
    return Answer(request, true, MuxMessageBuilder::BuildAckPayload(std::move(data)));
}

// No data; a refusal gives the gateway's code and its short text.
std::unique_ptr<MuxMessage> AnswerWithShortText(const MuxMessage& request, int result,
                                                const Response&) {
    if (result == 0) {
        return Answer(request, true, MuxMessageBuilder::BuildAckPayload());
    }
    return Answer(request, false,
                  MuxMessageBuilder::BuildNackPayload(result, ShortAnswerText(result)));
}

// Requests the core answers itself.

MuxGatewayEntry EntryOf(const GatewayReport& report) {
    const Quarn::VirtualGatewayHealth& health = report.health;
    MuxGatewayEntry entry;
    entry.id = report.id;
    entry.description = report.description;
    entry.ipAddress = report.ipAddress;
    entry.port = report.port;
    entry.status = Quarn::StatusName(health.status);
    entry.since = health.statusSince;
    entry.lastFrame = health.lastFrame;
    entry.queued = health.queued;
    entry.waiting = health.waiting;
    entry.connectAttempts = static_cast<uint64_t>(health.connectFailures);
    entry.crcErrors = health.crcErrors;
    return entry;
}

std::unique_ptr<MuxMessage> AnswerGateways(CoreServices& core, const MuxRequestRecord& record) {
    std::vector<MuxGatewayEntry> entries;
    for (const GatewayReport& report : core.ReportGateways()) {
        entries.push_back(EntryOf(report));
    }
    return Answer(*record.requestMessage, true,
                  MuxMessageBuilder::BuildAckPayload(
                      std::make_unique<MuxGatewaysPayload>(std::move(entries))));
}

std::unique_ptr<MuxMessage> SubscribeToGatewayStatus(CoreServices& core,
                                                     const MuxRequestRecord& record) {
    core.SubscribeToGatewayStatus(record.socketFd, record.connectionId);
    return Answer(*record.requestMessage, true, MuxMessageBuilder::BuildAckPayload());
}

constexpr RequestRoute kRoutes[] = {
    {.code = MUX_MESSAGE_LOCK_OPEN,
     .parsedLine = ParsedLine::lock,
     .parsedHead = "The message is LOCK_OPEN, and the lockID is ",
     .call = OpenLock,
     .answer = AnswerLockOperation},
    {.code = MUX_MESSAGE_EVENT_LOCK_OPEN,
     .parsedLine = ParsedLine::lock,
     .parsedHead = "The message is EVENT_LOCK_OPEN, and the lockID is ",
     .call = OpenLock,
     .answer = AnswerLockOperation},
    {.code = MUX_MESSAGE_LOCK_CLOSE,
     .parsedLine = ParsedLine::lock,
     .parsedHead = "The message is LOCK_CLOSE, and the lockID is ",
     .writesLock = true,
     .call = CloseLock,
     .answer = AnswerLockOperation},
    {.code = MUX_MESSAGE_EVENT_LOCK_CLOSE,
     .parsedLine = ParsedLine::lock,
     .parsedHead = "The message is EVENT_LOCK_CLOSE, and the lockID is ",
     .writesLock = true,
     .prepare = LogEventClose,
     .call = CloseLock,
     .answer = AnswerLockOperation},
    {.code = MUX_MESSAGE_LOCK_GET_STATUS,
     .parsedLine = ParsedLine::lockAndDot,
     .parsedHead = "The message is LOCK_GET_STATUS, and the lockID is ",
     .parsedMissing = "The lock status payload is nullptr.",
     .missingSeverity = Diagnostics::error,
     .missingText = "Paylaod for LOCK_GETSTATUS is nullptr. Message cannot be routed to gateway.",
     .notFoundText = "Cannot find requested gateway for LOCK_GETSTATUS",
     .call = GetNodeStatus,
     .answer = AnswerStatus},
    {.code = MUX_MESSAGE_LOCK_OPEN_CLOSE,
     .parsedLine = ParsedLine::lockAndDuration,
     .parsedHead = "The message is LOCK_OPEN_CLOSE, and the lockID is ",
     .parsedMissing = "The message LOCK_OPEN_CLOSE is nullptr.",
     .prepare = DefaultDuration<false>,
     .call = OpenCloseLock,
     .answer = AnswerWithShortText},
    {.code = MUX_MESSAGE_EVENT_LOCK_OPEN_CLOSE,
     .parsedLine = ParsedLine::lockAndDuration,
     .parsedHead = "The message is EVENT_LOCK_OPEN_CLOSE, and the lockID is ",
     .parsedMissing = "The message EVENT_LOCK_OPEN_CLOSE is nullptr.",
     .missingSeverity = Diagnostics::warning,
     .missingText = "Current data payload for LOCK_OPEN_CLOSE is null. Nothing can be done.",
     .notFoundText = "Cannot find requested gateway for LOCK_OPEN_CLOSE",
     .prepare = DefaultDuration<true>,
     .call = OpenCloseLock,
     .answer = AnswerWithShortText},
    {.code = MUX_MESSAGE_ACCESS_DENIED,
     .parsedLine = ParsedLine::lock,
     .parsedHead = "The message is ACCESS_DENIED, and the lockID is ",
     .parsedMissing = "The ACCESS DENIED message is nullptr.",
     .missingSeverity = Diagnostics::error,
     .missingText = "MUX_MESSAGE_ACCESS_DENIED payload is nullptr.",
     .notFoundText = "Cannot find requested gateway for MUX_MESSAGE_ACCESS_DENIED",
     .call = AccessDenied,
     .answer = AnswerWithShortText},
    {.code = MUX_MESSAGE_EVENT_ACCESS_DENIED,
     .parsedLine = ParsedLine::lock,
     .parsedHead = "The message is EVENT_ACCESS_DENIED, and the lockID is ",
     .parsedMissing = "The EVENT ACCESS DENIED message is nullptr.",
     .routingText = "Access denied as a response to a card reader event received.",
     .notFoundText = "Cannot find requested gateway for MUX_MESSAGE_ACCESS_DENIED",
     .call = AccessDenied,
     .answer = AnswerWithShortText},
    {.code = MUX_MESSAGE_LOCK_WHITELIST_SET,
     .parsedLine = ParsedLine::head,
     .parsedHead = "The message is LOCK_WHITELIST_SET",
     .parsedMissing = "The message payload of LOCK_WHITELIST_SET is nullptr",
     .missingSeverity = Diagnostics::warning,
     .missingText = "Current data payload for LOCK_WHITELIST_SET is null. Nothing can be done.",
     .notFoundText = "Cannot find requested gateway for LOCK_WHITELIST_SET",
     .prepare = LogAddWhitelistEntry,
     .call = AddWhitelistEntry,
     .answer = AnswerWithShortText},
    {.code = MUX_MESSAGE_LOCK_WHITELIST_REMOVE,
     .missingSeverity = Diagnostics::warning,
     .missingText = "Current data payload for LOCK_WHITELIST_REMOVE is null. Nothing can be done.",
     .notFoundText = "Cannot find requested gateway for LOCK_WHITELIST_REMOVE",
     .prepare = LogRemoveWhitelistEntry,
     .call = RemoveWhitelistEntry,
     .answer = AnswerWithShortText},
    {.code = MUX_MESSAGE_CLEAR_WHITELIST,
     .parsedLine = ParsedLine::lock,
     .parsedHead = "The mesage is LOCK_WHITELIST_CLEAR, lockID is ",
     .parsedMissing = "The message payload of LOCK_WHITELIST_CLEAR is nullptr.",
     .missingSeverity = Diagnostics::error,
     .missingText = "MUX_MESSAGE_CLEAR_WHITELIST payload is nullptr.",
     .notFoundText = "Cannot find requested gateway for MUX_MESSAGE_CLEAR_WHITELIST",
     .prepare = LogClearWhitelist,
     .call = ClearWhiteList,
     .answer = AnswerWithShortText},
    {.code = MUX_MESSAGE_ENABLE_WHITELIST,
     .parsedLine = ParsedLine::lock,
     .parsedHead = "The mesage is LOCK_WHITELIST_ENABLE, lockID is ",
     .parsedMissing = "The message payload of LOCK_WHITELIST_ENABLE is nullptr.",
     .missingSeverity = Diagnostics::error,
     .missingText = "MUX_MESSAGE_ENABLE_WHITELIST payload is nullptr.",
     .notFoundText = "Cannot find requested gateway for MUX_MESSAGE_ENABLE_WHITELIST",
     .call = EnableWhitelist,
     .answer = AnswerWithShortText},
    {.code = MUX_MESSAGE_DISABLE_WHITELIST,
     .parsedLine = ParsedLine::lock,
     .parsedHead = "The mesage is LOCK_WHITELIST_DISABLE, lockID is ",
     .parsedMissing = "The message payload of LOCK_WHITELIST_DISABLE is nullptr.",
     .missingSeverity = Diagnostics::error,
     .missingText = "MUX_MESSAGE_DISABLE_WHITELIST payload is nullptr.",
     .notFoundText = "Cannot find requested gateway for MUX_MESSAGE_DISABLE_WHITELIST",
     .call = DisableWhitelist,
     .answer = AnswerWithShortText},
    // Sent by clients, but the gateways cannot do it.
    {.code = MUX_MESSAGE_ACCESS_ALLOWED,
     .refusedText = "Access allowed message received, but it's currently not supported by the "
                    "Quarnvell gateway."},
    {.code = MUX_MESSAGE_GATEWAYS, .answerInCore = AnswerGateways},
    {.code = MUX_MESSAGE_SUBSCRIBE_GATEWAY_STATUS, .answerInCore = SubscribeToGatewayStatus},
};

}  // namespace

const RequestRoute* FindRequestRoute(int code) {
    return FindByCode(kRoutes, code);
}

}  // namespace Mux
