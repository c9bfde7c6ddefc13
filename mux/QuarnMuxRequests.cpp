// Client requests: from a received packet to the gateway named in it, or to a NACK.

#include <algorithm>
#include <exception>

#include "audit/AuditEntry.h"
#include "diagnostics/Log.h"
#include "diagnostics/Logger.h"
#include "gateway/GatewayLoop.h"
#include "mux/AnswerTexts.h"
#include "mux/ClientMessages.h"
#include "mux/MuxRequestRecord.h"
#include "mux/QuarnMux.h"
#include "mux/RequestRoutes.h"
#include "mux/protocol/MuxMessage.h"
#include "mux/protocol/MuxMessageBuilder.h"
#include "mux/protocol/MuxMessageCodes.h"
#include "mux/protocol/MuxMessagePayloads.h"
#include "mux/protocol/MuxRequestTypes.h"
#include "net/ClientPeer.h"
#include "threading/MutexGuard.h"

namespace Mux {
namespace {

constexpr int kAnswerQueueLockTimeoutSeconds = 10;
// The turn MQTT commands take in a gateway's queue: one client of their own, beside every
// client connection.
constexpr uint64_t kMqttClient = UINT64_MAX;

// The debug line naming a parsed request and its lock, or the error line for a request of
// that code that came without its payload.
void LogParsedRequest(const RequestRoute& route, const MuxMessage& message) {
    const MuxMessagePayloadBase* payload = message.GetPayload();
    if (payload == nullptr) {
        if (route.parsedMissing != nullptr) {
            LOG_ERROR << route.parsedMissing;
        }
        return;
    }
    const MuxLockAddressPayload* address = payload->GetLockAddress();
    switch (route.parsedLine) {
        case ParsedLine::none:
            break;
        case ParsedLine::head:
            LOG_DEBUG << route.parsedHead;
            break;
        case ParsedLine::lock:
            LOG_DEBUG << route.parsedHead << address->lockID << " on gateway "
                      << address->gatewayID;
            break;
        case ParsedLine::lockAndDot:
            LOG_DEBUG << route.parsedHead << address->lockID << " on gateway " << address->gatewayID
                      << ".";
            break;
        case ParsedLine::lockAndDuration:
            LOG_DEBUG << route.parsedHead << address->lockID << " on gateway " << address->gatewayID
                      << ". Duration is "
                      << static_cast<int>(
                             message.GetPayloadAs<MuxLockOpenCloseMessagePayload>()->duration);
            break;
    }
}

// Standard output carries the log lines too: the text goes whole, on a line of its own.
void WriteLockToStandardOutput(const MuxMessage& message) {
    if (const MuxMessagePayloadBase* payload = message.GetPayload()) {
        const MuxLockAddressPayload& address = *payload->GetLockAddress();
        Diagnostics::WriteToStandardOutput(
            "MuxMessageBuilder - gatewayID :" + std::to_string(address.gatewayID) +
            " lockID : " + std::to_string(address.lockID) + "\n");
    }
}

}  // namespace

void QuarnMux::ServerSocketClientDataReceived(int clientFd, uint64_t connectionId,
                                              const Quarn::Net::ClientPeer& peer,
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
    TranslateClientMessage(clientFd, connectionId, peer, payload);
}

void QuarnMux::TranslateClientMessage(int clientFd, uint64_t connectionId,
                                      const Quarn::Net::ClientPeer& peer,
                                      std::vector<unsigned char>& json) {
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
    const RequestRoute* route = FindRequestRoute(message->GetMessageCode());
    if (route != nullptr && route->writesLock) {
        WriteLockToStandardOutput(*message);
    }
    LOG_DEBUG << "Parsed received message.";
    if (route != nullptr) {
        LogParsedRequest(*route, *message);
    }
    if (message->GetMessageCode() == MUX_MESSAGE_CONFIGURE) {
        LOG_WARNING << "Configure via network message currently not supported.";
        return;
    }
    auto record = std::make_unique<MuxRequestRecord>(
        clientFd, connectionId, std::shared_ptr<MuxMessage>(std::move(message)));
    record->client = std::make_shared<const Quarn::Net::ClientPeer>(peer);
    Admit(std::move(record));
}

void QuarnMux::Admit(Record record) {
    if (!IsPermitted(*record)) {
        const Quarn::Net::ClientPeer& client = *record->client;
        LOG_WARNING << "Request " << record->requestMessage->GetMessageId() << " of client "
                    << client.identity << " (" << client.address << ") is not permitted.";
        EnqueueErrorAnswer(std::move(record), NotPermittedText(client.identity),
                           Audit::Outcome::NotPermitted);
        return;
    }
    if (auditRequired_.load() && IsRecorded(*record) && !IsRecordable()) {
        LOG_WARNING << "Request " << record->requestMessage->GetMessageId()
                    << " refused: the audit trail cannot be written.";
        EnqueueErrorAnswer(std::move(record), kAuditUnwritableText, Audit::Outcome::NotSent);
        return;
    }
    if (RecordBeforeSending(record)) {
        return;
    }
    HandOver(std::move(record));
}

void QuarnMux::HandOver(Record record) {
    try {
        const std::string messageId = record->requestMessage->GetMessageId();
        if (AnswerInCore(record)) {
            LOG_VERBOSE << "Message " << messageId << " answered by the mux itself.";
        } else if (SendMessageToVG(record)) {
            LOG_VERBOSE << "Message " << messageId << " sent to VG.";
        } else {
            EnqueueErrorAnswer(std::move(record), kRequestErrorText, Audit::Outcome::Nack);
        }
    } catch (const std::exception&) {
        LOG_ERROR << "Exception throw in pop next message flow.";
    }
}

std::optional<std::chrono::steady_clock::time_point> QuarnMux::DeadlineOf(
    const MuxRequestRecord& record) const {
    const std::chrono::seconds timeout = requestTimeout_.load();
    if (timeout.count() <= 0) {
        return std::nullopt;
    }
    return record.receivedAt + timeout;
}

bool QuarnMux::IsPermitted(const MuxRequestRecord& record) const {
    const MuxMessage& request = *record.requestMessage;
    const MuxRequestType* type = FindRequestType(request.GetMessageCode());
    const MuxMessagePayloadBase* payload = request.GetPayload();
    const MuxLockAddressPayload* address = payload != nullptr ? payload->GetLockAddress() : nullptr;
    return permissions_.load()->MayRequest(record.client->identity,
                                           address != nullptr ? address->gatewayID : 0,
                                           type != nullptr ? type->kind : nullptr);
}

void QuarnMux::EnqueueErrorAnswer(Record record, const std::string& text, Audit::Outcome outcome) {
    const std::string messageId = record->requestMessage->GetMessageId();
    record->answerMessage = MuxMessageBuilder::BuildMessage(
        MUX_MESSAGE_NACK, messageId, MuxMessageBuilder::BuildNackPayload(0, text));
    AuditAnswer(*record, outcome);
    TellHomeAssistant(*record, nullptr);
    LOG_WARNING << "Enqueuing NACK mux answer " << messageId << " to the client.";
    try {
        std::optional<size_t> queued = Deliver(std::move(record), kAnswerQueueLockTimeoutSeconds);
        if (!queued) {
            LOG_ERROR << "Cannot acquire mux message lock for enqueued messages. The current "
                         "message to enqueue will be lost.";
            return;
        }
        LOG_WARNING << "Enqueued error NACK answer message with ID " << messageId
                    << ". Currently, the Mux have " << *queued
                    << " messages in the answer queue, ready to be sent to clients.";
    } catch (const std::exception&) {
        LOG_ERROR << "Exception thrown in enqueuing messages.";
    }
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
    // Held until the gateway took the request: a reload meanwhile does not remove it.
    const std::shared_ptr<const GatewaySet> set = gatewaySet_.load();
    if (set->routed.empty()) {
        return refuse();
    }
    const MuxRequestType* type = FindRequestType(request.GetMessageCode());
    if (type != nullptr && type->name != nullptr) {
        LOG_DEBUG << "Prepare to send message " << type->name << " to Virtual Gateway.";
    } else {
        LOG_DEBUG << "Prepare to send message " << request.GetMessageCode()
                  << " to Virtual Gateway.";
    }
    const RequestRoute* route = FindRequestRoute(request.GetMessageCode());
    if (route == nullptr) {
        return refuse();
    }
    Gateway* gateway = RouteRequest(*set, *route, *record->requestMessage);
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
    Quarn::GatewayCommand command =
        CommandFor(*route, *record->requestMessage, type != nullptr && type->answersEvent);
    command.deadline = DeadlineOf(*record);
    command.client = record->mqttCommand ? kMqttClient : record->connectionId;
    record->handedTo = gateway;
    pendingMessagesList_.emplace(messageId, std::move(record));
    pendingGuard.Unlock();

    // Its outcome, also a refusal known at once, comes through the response callback.
    gateway->Submit(std::move(command));
    LOG_INFO << "Message correctly enqueued by Virtual Gateway. MessageID: " << messageId;
    return true;
}

QuarnMux::Gateway* QuarnMux::RouteRequest(const GatewaySet& set, const RequestRoute& route,
                                          MuxMessage& request) {
    if (!route.command) {
        LOG_WARNING << route.refusedText;
        return nullptr;
    }
    if (route.routingText != nullptr) {
        LOG_DEBUG << route.routingText;
    }
    const MuxMessagePayloadBase* payload = request.GetPayload();
    const MuxLockAddressPayload* address = payload != nullptr ? payload->GetLockAddress() : nullptr;
    if (address == nullptr) {
        if (route.missingText != nullptr) {
            LOCKHUB_LOG(route.missingSeverity) << route.missingText;
        }
        return nullptr;
    }
    auto found = set.routed.find(address->gatewayID);
    if (found == set.routed.end()) {
        if (route.notFoundText != nullptr) {
            LOG_WARNING << route.notFoundText;
        }
        return nullptr;
    }
    if (route.prepare != nullptr) {
        route.prepare(request, *address);
    }
    return found->second;
}

}  // namespace Mux
