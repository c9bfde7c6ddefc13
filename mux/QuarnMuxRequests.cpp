// Client requests: from a received packet to the gateway named in it, or to a NACK.

#include <algorithm>
#include <exception>

#include "diagnostics/Log.h"
#include "diagnostics/Logger.h"
#include "gateway/VirtualGateway.h"
#include "mux/AnswerTexts.h"
#include "mux/ClientMessages.h"
#include "mux/MuxRequestRecord.h"
#include "mux/QuarnMux.h"
#include "mux/protocol/MuxMessage.h"
#include "mux/protocol/MuxMessageBuilder.h"
#include "mux/protocol/MuxMessageCodes.h"
#include "mux/protocol/MuxMessagePayloads.h"
#include "mux/protocol/MuxRequestTypes.h"
#include "threading/MutexGuard.h"

namespace Mux {
namespace {

constexpr int kPopLockTimeoutSeconds = 5;
constexpr int kAnswerQueueLockTimeoutSeconds = 10;

// The gateway and lock a request payload addresses; false when there is no payload.
bool AddressOf(const MuxMessagePayloadBase* payload, int& gatewayId, int& lockId) {
    const MuxLockAddressPayload* address = payload != nullptr ? payload->GetLockAddress() : nullptr;
    if (address == nullptr) {
        return false;
    }
    gatewayId = address->gatewayID;
    lockId = address->lockID;
    return true;
}

// Standard output carries the log lines too: the text goes whole, on a line of its own.
void WriteLockToStandardOutput(const MuxMessage& message) {
    int gatewayId = 0;
    int lockId = 0;
    if (AddressOf(message.GetPayload(), gatewayId, lockId)) {
        Diagnostics::WriteToStandardOutput(
            "MuxMessageBuilder - gatewayID :" + std::to_string(gatewayId) +
            " lockID : " + std::to_string(lockId) + "\n");
    }
}

// The debug line naming a parsed request and its lock, or the error line for a request of
// that code that came without its payload.
void LogParsedRequest(const MuxMessage& message) {
    const MuxMessagePayloadBase* payload = message.GetPayload();
    int gatewayId = 0;
    int lockId = 0;
    const bool addressed = AddressOf(payload, gatewayId, lockId);
    auto* openClose = dynamic_cast<const MuxLockOpenCloseMessagePayload*>(payload);
    auto logLock = [&](const char* head, const char* missing) {
        if (addressed) {
            LOG_DEBUG << head << lockId << " on gateway " << gatewayId;
        } else if (missing != nullptr) {
            LOG_ERROR << missing;
        }
    };
    auto logOpenClose = [&](const char* head, const char* missing) {
        if (openClose != nullptr) {
            LOG_DEBUG << head << openClose->lockID << " on gateway " << openClose->gatewayID
                      << ". Duration is " << static_cast<int>(openClose->duration);
        } else {
            LOG_ERROR << missing;
        }
    };
    switch (message.GetMessageCode()) {
        case MUX_MESSAGE_LOCK_OPEN:
            logLock("The message is LOCK_OPEN, and the lockID is ", nullptr);
            break;
        case MUX_MESSAGE_LOCK_CLOSE:
            logLock("The message is LOCK_CLOSE, and the lockID is ", nullptr);
            break;
        case MUX_MESSAGE_LOCK_GET_STATUS:
            if (addressed) {
                LOG_DEBUG << "The message is LOCK_GET_STATUS, and the lockID is " << lockId
                          << " on gateway " << gatewayId << ".";
            } else {
                LOG_ERROR << "The lock status payload is nullptr.";
            }
            break;
        case MUX_MESSAGE_LOCK_OPEN_CLOSE:
            logOpenClose("The message is LOCK_OPEN_CLOSE, and the lockID is ",
                         "The message LOCK_OPEN_CLOSE is nullptr.");
            break;
        case MUX_MESSAGE_EVENT_LOCK_OPEN_CLOSE:
            logOpenClose("The message is EVENT_LOCK_OPEN_CLOSE, and the lockID is ",
                         "The message EVENT_LOCK_OPEN_CLOSE is nullptr.");
            break;
        case MUX_MESSAGE_ACCESS_DENIED:
            logLock("The message is ACCESS_DENIED, and the lockID is ",
                    "The ACCESS DENIED message is nullptr.");
            break;
        case MUX_MESSAGE_EVENT_LOCK_OPEN:
            logLock("The message is EVENT_LOCK_OPEN, and the lockID is ", nullptr);
            break;
        case MUX_MESSAGE_EVENT_LOCK_CLOSE:
            logLock("The message is EVENT_LOCK_CLOSE, and the lockID is ", nullptr);
            break;
        case MUX_MESSAGE_EVENT_ACCESS_DENIED:
            logLock("The message is EVENT_ACCESS_DENIED, and the lockID is ",
                    "The EVENT ACCESS DENIED message is nullptr.");
            break;
        case MUX_MESSAGE_LOCK_WHITELIST_SET:
            if (payload != nullptr) {
                LOG_DEBUG << "The message is LOCK_WHITELIST_SET";
            } else {
                LOG_ERROR << "The message payload of LOCK_WHITELIST_SET is nullptr";
            }
            break;
        case MUX_MESSAGE_CLEAR_WHITELIST:
            logLock("The mesage is LOCK_WHITELIST_CLEAR, lockID is ",
                    "The message payload of LOCK_WHITELIST_CLEAR is nullptr.");
            break;
        case MUX_MESSAGE_ENABLE_WHITELIST:
            logLock("The mesage is LOCK_WHITELIST_ENABLE, lockID is ",
                    "The message payload of LOCK_WHITELIST_ENABLE is nullptr.");
            break;
        case MUX_MESSAGE_DISABLE_WHITELIST:
            logLock("The mesage is LOCK_WHITELIST_DISABLE, lockID is ",
                    "The message payload of LOCK_WHITELIST_DISABLE is nullptr.");
            break;
        default:
            break;
    }
}

// How a routable request code is refused: the line for a missing payload and the line for
// a gateway ID that is not configured (null: nothing is logged).
struct RouteRule {
    int code;
    Diagnostics::Severity missingSeverity;
    const char* missingText;
    const char* notFoundText;
};

constexpr RouteRule kRouteRules[] = {
    {MUX_MESSAGE_LOCK_OPEN, Diagnostics::none, nullptr, nullptr},
    {MUX_MESSAGE_EVENT_LOCK_OPEN, Diagnostics::none, nullptr, nullptr},
    {MUX_MESSAGE_LOCK_CLOSE, Diagnostics::none, nullptr, nullptr},
    {MUX_MESSAGE_EVENT_LOCK_CLOSE, Diagnostics::none, nullptr, nullptr},
    {MUX_MESSAGE_LOCK_OPEN_CLOSE, Diagnostics::none, nullptr, nullptr},
    {MUX_MESSAGE_LOCK_GET_STATUS, Diagnostics::error,
     "Paylaod for LOCK_GETSTATUS is nullptr. Message cannot be routed to gateway.",
     "Cannot find requested gateway for LOCK_GETSTATUS"},
    {MUX_MESSAGE_EVENT_LOCK_OPEN_CLOSE, Diagnostics::warning,
     "Current data payload for LOCK_OPEN_CLOSE is null. Nothing can be done.",
     "Cannot find requested gateway for LOCK_OPEN_CLOSE"},
    {MUX_MESSAGE_ACCESS_DENIED, Diagnostics::error, "MUX_MESSAGE_ACCESS_DENIED payload is nullptr.",
     "Cannot find requested gateway for MUX_MESSAGE_ACCESS_DENIED"},
    {MUX_MESSAGE_EVENT_ACCESS_DENIED, Diagnostics::none, nullptr,
     "Cannot find requested gateway for MUX_MESSAGE_ACCESS_DENIED"},
    {MUX_MESSAGE_LOCK_WHITELIST_SET, Diagnostics::warning,
     "Current data payload for LOCK_WHITELIST_SET is null. Nothing can be done.",
     "Cannot find requested gateway for LOCK_WHITELIST_SET"},
    {MUX_MESSAGE_LOCK_WHITELIST_REMOVE, Diagnostics::warning,
     "Current data payload for LOCK_WHITELIST_REMOVE is null. Nothing can be done.",
     "Cannot find requested gateway for LOCK_WHITELIST_REMOVE"},
    {MUX_MESSAGE_CLEAR_WHITELIST, Diagnostics::error,
     "MUX_MESSAGE_CLEAR_WHITELIST payload is nullptr.",
     "Cannot find requested gateway for MUX_MESSAGE_CLEAR_WHITELIST"},
    {MUX_MESSAGE_ENABLE_WHITELIST, Diagnostics::error,
     "MUX_MESSAGE_ENABLE_WHITELIST payload is nullptr.",
     "Cannot find requested gateway for MUX_MESSAGE_ENABLE_WHITELIST"},
    {MUX_MESSAGE_DISABLE_WHITELIST, Diagnostics::error,
     "MUX_MESSAGE_DISABLE_WHITELIST payload is nullptr.",
     "Cannot find requested gateway for MUX_MESSAGE_DISABLE_WHITELIST"},
};

const RouteRule* FindRouteRule(int code) {
    for (const RouteRule& rule : kRouteRules) {
        if (rule.code == code) {
            return &rule;
        }
    }
    return nullptr;
}

}  // namespace

void QuarnMux::ServerSocketClientDataReceived(int clientFd, uint64_t connectionId,
                                              std::unique_ptr<std::vector<unsigned char>> data) {
    LOG_VERBOSE << "Data callback hit.";
    if (!data || data->empty()) {
        return;
    }
    std::optional<MuxPacket> received = ReadClientPacket(*data);
    if (!received) {
        return;
    }
    const MuxPacket& packet = *received;
    LOG_DEBUG << "[Mux::ServerSocketClientDataReceived] - Data received from socket with FD "
              << clientFd << ". Data size: " << packet.GetPacketLength() << "\n"
              << "The string contained is: \n"
              << packet.GetPayloadString() << "\n"
              << ". I will try to parse message.";
    std::vector<unsigned char> payload = packet.GetPayload();
    TranslateClientMessage(clientFd, connectionId, payload);
}

void QuarnMux::TranslateClientMessage(int clientFd, uint64_t connectionId,
                                      std::vector<unsigned char>& json) {
    Threading::MutexGuard guard(clientMessageQueueMutex_, false);
    if (json.empty()) {
        return;
    }
    LOG_VERBOSE << "Message received is of size > 0.";
    // The text ends at its first 0 byte, as the parser reads it: no NUL reaches the log.
    std::string text(json.begin(), std::find(json.begin(), json.end(), 0));
    LOG_DEBUG << "Received message JSON: \n" << text;
    std::unique_ptr<MuxMessage> message = ReadClientMessage(text);
    if (!message) {
        return;
    }
    if (message->GetMessageCode() == MUX_MESSAGE_LOCK_CLOSE ||
        message->GetMessageCode() == MUX_MESSAGE_EVENT_LOCK_CLOSE) {
        WriteLockToStandardOutput(*message);
    }
    LOG_DEBUG << "Parsed received message.";
    LogParsedRequest(*message);
    if (message->GetMessageCode() == MUX_MESSAGE_CONFIGURE) {
        LOG_WARNING << "Configure via network message currently not supported.";
        return;
    }
    auto record = std::make_unique<MuxRequestRecord>(
        clientFd, connectionId, std::shared_ptr<MuxMessage>(std::move(message)));
    if (!guard.Lock(0)) {
        return;
    }
    requestQueue_.push_back(std::move(record));
    LOG_DEBUG << "Message enqueued. The queue is currently " << requestQueue_.size()
              << " elements long.";
    guard.Unlock();
    gatewaysWork_.Notify();
}

bool QuarnMux::PopNextMessage() {
    Record record;
    bool moreWaiting = false;
    {
        Threading::MutexGuard guard(clientMessageQueueMutex_, false);
        if (!guard.Lock(kPopLockTimeoutSeconds)) {
            LOG_WARNING << "Cannot acquire client messages queue lock.";
            return false;
        }
        if (requestQueue_.empty()) {
            return false;
        }
        record = std::move(requestQueue_.front());
        requestQueue_.pop_front();
        moreWaiting = !requestQueue_.empty();
    }
    try {
        const std::string messageId = record->requestMessage->GetMessageId();
        LOG_VERBOSE << "Popped MuxRequestInfo with ID " << messageId << " for socket with FD "
                    << record->socketFd;
        if (IsStale(*record)) {
            // A door must not open long after it was asked to.
            LOG_WARNING << "Request " << messageId
                        << " waited longer than the request time-out to be handed to its "
                           "gateway.";
            EnqueueErrorAnswer(std::move(record), kNotSentText);
        } else if (SendMessageToVG(record)) {
            LOG_VERBOSE << "Message " << messageId << " sent to VG.";
        } else {
            EnqueueErrorAnswer(std::move(record), kRequestErrorText);
        }
    } catch (const std::exception&) {
        LOG_ERROR << "Exception throw in pop next message flow.";
    }
    LOG_VERBOSE << "Explicit release of mutex guards.";
    return moreWaiting;
}

std::optional<std::chrono::steady_clock::time_point> QuarnMux::DeadlineOf(
    const MuxRequestRecord& record) const {
    if (requestTimeout_.count() <= 0) {
        return std::nullopt;
    }
    return record.receivedAt + requestTimeout_;
}

bool QuarnMux::IsStale(const MuxRequestRecord& record) const {
    auto deadline = DeadlineOf(record);
    return deadline && std::chrono::steady_clock::now() >= *deadline;
}

void QuarnMux::EnqueueErrorAnswer(Record record, const char* text) {
    const std::string messageId = record->requestMessage->GetMessageId();
    record->answerMessage = MuxMessageBuilder::BuildMessage(
        MUX_MESSAGE_NACK, messageId, MuxMessageBuilder::BuildNackPayload(0, text));
    LOG_WARNING << "Enqueuing NACK mux answer " << messageId << " to the client.";
    try {
        Threading::MutexGuard guard(muxMessageQueueMutex_, false);
        if (!guard.Lock(kAnswerQueueLockTimeoutSeconds)) {
            LOG_ERROR << "Cannot acquire mux message lock for enqueued messages. The current "
                         "message to enqueue will be lost.";
            return;
        }
        answerQueue_.push_back(std::move(record));
        LOG_WARNING << "Enqueued error NACK answer message with ID " << messageId
                    << ". Currently, the Mux have " << answerQueue_.size()
                    << " messages in the answer queue, ready to be sent to clients.";
    } catch (const std::exception&) {
        LOG_ERROR << "Exception thrown in enqueuing messages.";
        return;
    }
    clientsWork_.Notify();
}

bool QuarnMux::SendMessageToVG(Record& record) {
    LOG_DEBUG << "SendMessageToVG MutexGuard acquired ";
    if (!record) {
        return false;
    }
    const MuxMessage& request = *record->requestMessage;
    const std::string messageId = request.GetMessageId();
    auto refuse = [&] {
        LOG_DEBUG << "Message not correctly enqueued by Virtual Gateway. MessageID: " << messageId;
        return false;
    };
    if (gateways_.empty()) {
        return refuse();
    }
    const MuxRequestType* type = FindRequestType(request.GetMessageCode());
    if (type != nullptr && type->name != nullptr) {
        LOG_DEBUG << "Prepare to send message " << type->name << " to Virtual Gateway.";
    } else {
        LOG_DEBUG << "Prepare to send message " << request.GetMessageCode()
                  << " to Virtual Gateway.";
    }
    if (request.GetMessageCode() == MUX_MESSAGE_ACCESS_ALLOWED) {
        LOG_WARNING << "Access allowed message received, but it's currently not supported by "
                       "the Quarnvell gateway.";
        return refuse();
    }

    Gateway* gateway = RouteRequest(*record->requestMessage);
    if (gateway == nullptr) {
        return refuse();
    }

    // The entry is in the pending list before the gateway can answer, so that an answer
    // that comes at once finds it. A MessageID that is pending already is refused: its
    // answer could not tell the two requests apart.
    Threading::MutexGuard pendingGuard(pendingMessagesListMutex_, false);
    if (!pendingGuard.Lock(0)) {
        return refuse();
    }
    if (pendingMessagesList_.count(messageId) != 0) {
        LOG_WARNING << "A request with MessageID " << messageId
                    << " is already waiting for its gateway's answer. Request refused.";
        return refuse();
    }
    std::shared_ptr<MuxMessage> message = record->requestMessage;
    const auto deadline = DeadlineOf(*record);
    pendingMessagesList_.emplace(messageId, std::move(record));
    pendingGuard.Unlock();

    if (CallGatewayOperation(*gateway, *message, deadline)) {
        LOG_INFO << "Message correctly enqueued by Virtual Gateway. MessageID: " << messageId;
        return true;
    }
    // Nothing was taken, so no answer can have taken the record meanwhile.
    pendingGuard.Lock(0);
    auto entry = pendingMessagesList_.find(messageId);
    record = std::move(entry->second);
    pendingMessagesList_.erase(entry);
    pendingGuard.Unlock();
    return refuse();
}

QuarnMux::Gateway* QuarnMux::RouteRequest(MuxMessage& request) {
    const int code = request.GetMessageCode();
    const RouteRule* rule = FindRouteRule(code);
    if (rule == nullptr) {
        return nullptr;
    }
    if (code == MUX_MESSAGE_EVENT_ACCESS_DENIED) {
        LOG_DEBUG << "Access denied as a response to a card reader event received.";
    }
    int gatewayId = 0;
    int lockId = 0;
    if (!AddressOf(request.GetPayload(), gatewayId, lockId)) {
        if (rule->missingText != nullptr) {
            LOCKHUB_LOG(rule->missingSeverity) << rule->missingText;
        }
        return nullptr;
    }
    auto found = gateways_.find(gatewayId);
    if (found == gateways_.end()) {
        if (rule->notFoundText != nullptr) {
            LOG_WARNING << rule->notFoundText;
        }
        return nullptr;
    }
    switch (code) {
        case MUX_MESSAGE_LOCK_OPEN_CLOSE:
        case MUX_MESSAGE_EVENT_LOCK_OPEN_CLOSE: {
            auto* payload = request.GetPayloadAs<MuxLockOpenCloseMessagePayload>();
            if (payload->duration == 0) {
                payload->duration = 1;
                if (code == MUX_MESSAGE_EVENT_LOCK_OPEN_CLOSE) {
                    LOG_INFO << "LOCK_OPEN_CLOSE duration set to zero. Defaulted to 1";
                }
            }
            break;
        }
        case MUX_MESSAGE_EVENT_LOCK_CLOSE:
            LOG_DEBUG << "MUX_MESSAGE_EVENT_LOCK_CLOSE "
                      << " prepare to enqueue";
            LOG_DEBUG << "MUX_MESSAGE_EVENT_LOCK_CLOSE "
                      << " prepare to enqueue 2 , GatewayId : " << gatewayId;
            break;
        case MUX_MESSAGE_LOCK_WHITELIST_SET:
            LOG_DEBUG << (request.GetPayloadAs<MuxWhitelistSetPayload>()->isUIDCard
                              ? "Using AddWhitelistEntry with UID card data type specified."
                              : "Using AddWhitelistEntry with a different card data type than "
                                "UID specified.");
            break;
        case MUX_MESSAGE_LOCK_WHITELIST_REMOVE:
            LOG_DEBUG << (request.GetPayloadAs<MuxWhitelistSetPayload>()->isUIDCard
                              ? "Using RemoveWhitelistEntry with UID card data type specified."
                              : "Using RemoveWhitelistEntry with a different card data type "
                                "than UID specified");
            break;
        case MUX_MESSAGE_CLEAR_WHITELIST:
            LOG_DEBUG << "Sending CLEAR_WHITELIST to Virtual Gateway using gateway id" << gatewayId
                      << " and device address " << lockId;
            break;
        default:
            break;
    }
    return found->second;
}

bool QuarnMux::CallGatewayOperation(Gateway& gateway, const MuxMessage& request,
                                    std::optional<std::chrono::steady_clock::time_point> deadline) {
    const std::string& id = request.GetMessageId();
    const int code = request.GetMessageCode();
    const bool answersEvent = code >= MUX_MESSAGE_EVENT_LOCK_OPEN;
    int gatewayId = 0;
    int lockId = 0;
    AddressOf(request.GetPayload(), gatewayId, lockId);
    const auto device = static_cast<uint32_t>(lockId);
    switch (code) {
        case MUX_MESSAGE_LOCK_OPEN:
        case MUX_MESSAGE_EVENT_LOCK_OPEN:
            return gateway.OpenLock(id, device, 0, answersEvent, deadline);
        case MUX_MESSAGE_LOCK_CLOSE:
        case MUX_MESSAGE_EVENT_LOCK_CLOSE:
            return gateway.CloseLock(id, device, 0, answersEvent, deadline);
        case MUX_MESSAGE_LOCK_GET_STATUS:
            return gateway.GetNodeStatus(id, device, deadline);
        case MUX_MESSAGE_LOCK_OPEN_CLOSE:
        case MUX_MESSAGE_EVENT_LOCK_OPEN_CLOSE:
            return gateway.OpenCloseLock(
                id, device, request.GetPayloadAs<MuxLockOpenCloseMessagePayload>()->duration,
                answersEvent, deadline);
        case MUX_MESSAGE_ACCESS_DENIED:
        case MUX_MESSAGE_EVENT_ACCESS_DENIED:
            return gateway.AccessDenied(id, device, answersEvent, deadline);
        case MUX_MESSAGE_LOCK_WHITELIST_SET: {
            auto* card = request.GetPayloadAs<MuxWhitelistSetPayload>();
            return gateway.AddWhitelistEntry(id, device, card->isUIDCard, card->setupNumber,
                                             card->options != 0, card->cardData, deadline);
        }
        case MUX_MESSAGE_LOCK_WHITELIST_REMOVE: {
            auto* card = request.GetPayloadAs<MuxWhitelistSetPayload>();
            return gateway.RemoveWhitelistEntry(id, device, card->isUIDCard, card->setupNumber,
                                                card->cardData, deadline);
        }
        case MUX_MESSAGE_CLEAR_WHITELIST:
            return gateway.ClearWhiteList(id, device, deadline);
        case MUX_MESSAGE_ENABLE_WHITELIST:
            return gateway.EnableWhitelist(id, device, deadline);
        case MUX_MESSAGE_DISABLE_WHITELIST:
            return gateway.DisableWhitelist(id, device, deadline);
        default:
            return false;
    }
}

}  // namespace Mux
