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

using Response = RequestRoute::Response;
using Quarn::CommandKind;

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

// An event twin answers a card-reader event: its plain request's command, answer and
// parsed line, with texts of its own.
constexpr RequestRoute EventTwin(const RequestRoute& plain, RequestRoute twin) {
    twin.parsedLine = plain.parsedLine;
    twin.writesLock = plain.writesLock;
    twin.command = plain.command;
    twin.answer = plain.answer;
    return twin;
}

constexpr RequestRoute kLockOpen{.code = MUX_MESSAGE_LOCK_OPEN,
                                 .parsedLine = ParsedLine::lock,
                                 .parsedHead = "The message is LOCK_OPEN, and the lockID is ",
                                 .command = CommandKind::OpenLock,
                                 .answer = AnswerLockOperation};
constexpr RequestRoute kLockClose{.code = MUX_MESSAGE_LOCK_CLOSE,
                                  .parsedLine = ParsedLine::lock,
                                  .parsedHead = "The message is LOCK_CLOSE, and the lockID is ",
                                  .writesLock = true,
                                  .command = CommandKind::CloseLock,
                                  .answer = AnswerLockOperation};
constexpr RequestRoute kLockOpenClose{
    .code = MUX_MESSAGE_LOCK_OPEN_CLOSE,
    .parsedLine = ParsedLine::lockAndDuration,
    .parsedHead = "The message is LOCK_OPEN_CLOSE, and the lockID is ",
    .parsedMissing = "The message LOCK_OPEN_CLOSE is nullptr.",
    .prepare = DefaultDuration<false>,
    .command = CommandKind::OpenCloseLock,
    .answer = AnswerWithShortText};
constexpr RequestRoute kAccessDenied{
    .code = MUX_MESSAGE_ACCESS_DENIED,
    .parsedLine = ParsedLine::lock,
    .parsedHead = "The message is ACCESS_DENIED, and the lockID is ",
    .parsedMissing = "The ACCESS DENIED message is nullptr.",
    .missingSeverity = Diagnostics::error,
    .missingText = "MUX_MESSAGE_ACCESS_DENIED payload is nullptr.",
    .notFoundText = "Cannot find requested gateway for MUX_MESSAGE_ACCESS_DENIED",
    .command = CommandKind::AccessDenied,
    .answer = AnswerWithShortText};

constexpr RequestRoute kRoutes[] = {
    kLockOpen,
    EventTwin(kLockOpen, {.code = MUX_MESSAGE_EVENT_LOCK_OPEN,
                          .parsedHead = "The message is EVENT_LOCK_OPEN, and the lockID is "}),
    kLockClose,
    EventTwin(kLockClose, {.code = MUX_MESSAGE_EVENT_LOCK_CLOSE,
                           .parsedHead = "The message is EVENT_LOCK_CLOSE, and the lockID is ",
                           .prepare = LogEventClose}),
    {.code = MUX_MESSAGE_LOCK_GET_STATUS,
     .parsedLine = ParsedLine::lockAndDot,
     .parsedHead = "The message is LOCK_GET_STATUS, and the lockID is ",
     .parsedMissing = "The lock status payload is nullptr.",
     .missingSeverity = Diagnostics::error,
     .missingText = "Paylaod for LOCK_GETSTATUS is nullptr. Message cannot be routed to gateway.",
     .notFoundText = "Cannot find requested gateway for LOCK_GETSTATUS",
     .command = CommandKind::GetStatus,
     .answer = AnswerStatus},
    kLockOpenClose,
    EventTwin(kLockOpenClose,
              {.code = MUX_MESSAGE_EVENT_LOCK_OPEN_CLOSE,
               .parsedHead = "The message is EVENT_LOCK_OPEN_CLOSE, and the lockID is ",
               .parsedMissing = "The message EVENT_LOCK_OPEN_CLOSE is nullptr.",
               .missingSeverity = Diagnostics::warning,
               .missingText =
                   "Current data payload for LOCK_OPEN_CLOSE is null. Nothing can be done.",
               .notFoundText = "Cannot find requested gateway for LOCK_OPEN_CLOSE",
               .prepare = DefaultDuration<true>}),
    kAccessDenied,
    EventTwin(kAccessDenied,
              {.code = MUX_MESSAGE_EVENT_ACCESS_DENIED,
               .parsedHead = "The message is EVENT_ACCESS_DENIED, and the lockID is ",
               .parsedMissing = "The EVENT ACCESS DENIED message is nullptr.",
               .routingText = "Access denied as a response to a card reader event received.",
               .notFoundText = "Cannot find requested gateway for MUX_MESSAGE_ACCESS_DENIED"}),
    {.code = MUX_MESSAGE_LOCK_WHITELIST_SET,
     .parsedLine = ParsedLine::head,
     .parsedHead = "The message is LOCK_WHITELIST_SET",
     .parsedMissing = "The message payload of LOCK_WHITELIST_SET is nullptr",
     .missingSeverity = Diagnostics::warning,
     .missingText = "Current data payload for LOCK_WHITELIST_SET is null. Nothing can be done.",
     .notFoundText = "Cannot find requested gateway for LOCK_WHITELIST_SET",
     .prepare = LogAddWhitelistEntry,
     .command = CommandKind::AddWhitelistEntry,
     .answer = AnswerWithShortText},
    {.code = MUX_MESSAGE_LOCK_WHITELIST_REMOVE,
     .missingSeverity = Diagnostics::warning,
     .missingText = "Current data payload for LOCK_WHITELIST_REMOVE is null. Nothing can be done.",
     .notFoundText = "Cannot find requested gateway for LOCK_WHITELIST_REMOVE",
     .prepare = LogRemoveWhitelistEntry,
     .command = CommandKind::RemoveWhitelistEntry,
     .answer = AnswerWithShortText},
    {.code = MUX_MESSAGE_CLEAR_WHITELIST,
     .parsedLine = ParsedLine::lock,
     .parsedHead = "The mesage is LOCK_WHITELIST_CLEAR, lockID is ",
     .parsedMissing = "The message payload of LOCK_WHITELIST_CLEAR is nullptr.",
     .missingSeverity = Diagnostics::error,
     .missingText = "MUX_MESSAGE_CLEAR_WHITELIST payload is nullptr.",
     .notFoundText = "Cannot find requested gateway for MUX_MESSAGE_CLEAR_WHITELIST",
     .prepare = LogClearWhitelist,
     .command = CommandKind::ClearWhitelist,
     .answer = AnswerWithShortText},
    {.code = MUX_MESSAGE_ENABLE_WHITELIST,
     .parsedLine = ParsedLine::lock,
     .parsedHead = "The mesage is LOCK_WHITELIST_ENABLE, lockID is ",
     .parsedMissing = "The message payload of LOCK_WHITELIST_ENABLE is nullptr.",
     .missingSeverity = Diagnostics::error,
     .missingText = "MUX_MESSAGE_ENABLE_WHITELIST payload is nullptr.",
     .notFoundText = "Cannot find requested gateway for MUX_MESSAGE_ENABLE_WHITELIST",
     .command = CommandKind::EnableWhitelist,
     .answer = AnswerWithShortText},
    {.code = MUX_MESSAGE_DISABLE_WHITELIST,
     .parsedLine = ParsedLine::lock,
     .parsedHead = "The mesage is LOCK_WHITELIST_DISABLE, lockID is ",
     .parsedMissing = "The message payload of LOCK_WHITELIST_DISABLE is nullptr.",
     .missingSeverity = Diagnostics::error,
     .missingText = "MUX_MESSAGE_DISABLE_WHITELIST payload is nullptr.",
     .notFoundText = "Cannot find requested gateway for MUX_MESSAGE_DISABLE_WHITELIST",
     .command = CommandKind::DisableWhitelist,
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

Quarn::GatewayCommand CommandFor(const RequestRoute& route, const MuxMessage& request,
                                 bool answersEvent) {
    Quarn::GatewayCommand command;
    command.kind = *route.command;
    command.requestId = request.GetMessageId();
    command.deviceAddress = static_cast<uint32_t>(request.GetPayload()->GetLockAddress()->lockID);
    command.answersEvent = answersEvent;
    switch (command.kind) {
        case CommandKind::OpenCloseLock:
            command.seconds = request.GetPayloadAs<MuxLockOpenCloseMessagePayload>()->duration;
            break;
        case CommandKind::AddWhitelistEntry:
        case CommandKind::RemoveWhitelistEntry: {
            const auto* card = request.GetPayloadAs<MuxWhitelistSetPayload>();
            command.uidMode = card->isUIDCard;
            command.setupNo = card->setupNumber;
            command.flag = card->options != 0;
            command.cardData = card->cardData;
            break;
        }
        default:
            break;
    }
    return command;
}

}  // namespace Mux
