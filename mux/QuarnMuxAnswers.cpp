// Answers and events: from a gateway's report to the clients.

#include <algorithm>
#include <ctime>
#include <deque>
#include <iterator>

#include "audit/AuditEntry.h"
#include "diagnostics/HexBytes.h"
#include "diagnostics/Log.h"
#include "gateway/GatewayLoop.h"
#include "gateway/VirtualGatewayEventMessage.h"
#include "gateway/VirtualGatewayResponseMessage.h"
#include "messages/QuarnMessageTypes.h"
#include "mqtt/MqttBridge.h"
#include "mux/AnswerTexts.h"
#include "mux/ClientMessages.h"
#include "mux/MuxRequestRecord.h"
#include "mux/QuarnMux.h"
#include "mux/RequestRoutes.h"
#include "mux/protocol/MuxMessage.h"
#include "mux/protocol/MuxMessageBuilder.h"
#include "mux/protocol/MuxMessageCodes.h"
#include "net/ServerSocket.h"
#include "threading/MutexGuard.h"

namespace Mux {
namespace {

constexpr int kSendLockTimeoutSeconds = 5;
constexpr int kEventLockTimeoutSeconds = 15;

// The client code of a gateway event type; 0 for a type that clients are not told of.
int EventCodeFor(uint8_t eventType) {
    switch (eventType) {
        case Quarn::Messages::QUARN_MESSAGE_CARD_READER_EVENT:
            return MUX_MESSAGE_EVENT_CARD_READER;
        case Quarn::Messages::QUARN_MESSAGE_CARD_READER_EVENT_2:
            return MUX_MESSAGE_ACCESS_ALLOWED;
        case Quarn::Messages::QUARN_MESSAGE_PINCODE_EVENT:
            return MUX_MESSAGE_EVENT_INFO;
        default:
            return 0;
    }
}

Audit::Outcome AuditOutcomeOf(const Quarn::Messages::VG::VirtualGatewayResponseMessage& response,
                              const MuxMessage& answer) {
    using Failure = Quarn::Messages::VG::VirtualGatewayResponseMessage::Failure;
    switch (response.GetFailure()) {
        case Failure::None:
            break;
        case Failure::NotSent:
        case Failure::Busy:
        case Failure::NotConnected:
            return Audit::Outcome::NotSent;
        case Failure::Refused:
            return Audit::Outcome::Nack;
        case Failure::NoAnswer:
            return Audit::Outcome::TimedOut;
    }
    return answer.GetMessageCode() == MUX_MESSAGE_ACK ? Audit::Outcome::Ack : Audit::Outcome::Nack;
}

}  // namespace

void QuarnMux::VirtualGatewayResponseReceivedCallback(Gateway& gateway,
                                                      std::unique_ptr<GatewayResponse> response) {
    if (!response) {
        LOG_ERROR << "Virtual Gateway message is nullptr.";
        return;
    }
    LOG_VERBOSE << "Gateway \"" << gateway.GetDescription()
                << "\" sent an answer for message with ID " << response->GetRequestId();
    LOG_VERBOSE << "Invoking TranslateMessage callback.";
    TranslateVirtualGatewayMessage(gateway, *response);
}

void QuarnMux::VirtualGatewayEventReceivedCallback(Gateway& gateway,
                                                   std::unique_ptr<GatewayEvent> event) {
    if (!event) {
        LOG_ERROR << "Virtual Gateway message is nullptr.";
        return;
    }
    LOG_VERBOSE << "[QuarnMux::VirtualGatewayEventReceivedCallback] Gateway \""
                << gateway.GetDescription() << "\" sent an event for device with address "
                << event->GetDeviceAddress();
    LOG_VERBOSE << "Invoking TranslateMessage callback.";
    TranslateVirtualGatewayEvent(gateway, *event);
}

void QuarnMux::TranslateVirtualGatewayMessage(Gateway& gateway, const GatewayResponse& response) {
    const std::string messageId = response.GetRequestId();
    Record record;
    {
        Threading::MutexGuard guard(pendingMessagesListMutex_, false);
        guard.Lock(0);
        auto found = pendingMessagesList_.find(messageId);
        if (found != pendingMessagesList_.end()) {
            record = std::move(found->second);
            pendingMessagesList_.erase(found);
        }
    }
    if (!record) {
        if (messageId.find(Quarn::VirtualGateway::kRefreshRequestPrefix) != std::string::npos) {
            LOG_DEBUG << "Received a message from Virtual Gateway that is not in the request "
                         "list, but it's a NEW SEQ REQUEST. Probably used as a keep alive for "
                         "the gateway.";
        } else {
            LOG_WARNING << "Received a message from Virtual Gateway that is not in the requests "
                           "list. And it's also nullptr.";
        }
        return;
    }
    LOG_DEBUG << "Found message with ID " << messageId << " sent from gateway \""
              << gateway.GetDescription() << "\". Answer message to client will be built.";
    metrics_.GatewayAnswered(gateway.GetId(), record->receivedAt);
    record->answerMessage = BuildAnswer(*record->requestMessage, gateway.GetId(), response);
    AuditAnswer(*record, AuditOutcomeOf(response, *record->answerMessage));
    TellHomeAssistant(*record, &response);
    EnqueueAnswer(std::move(record));
}

void QuarnMux::EnqueueAnswer(Record record) {
    const std::string messageId = record->requestMessage->GetMessageId();
    LOG_DEBUG << "Enqueuing mux answer " << messageId << " to client.";
    std::optional<size_t> queued = Deliver(std::move(record), 0);
    LOG_VERBOSE << "Enqueued mux answer message with ID " << messageId
                << ". Currently, the Mux have " << queued.value_or(0)
                << " messages in the answer queue, ready to be sent to clients.";
}

std::optional<size_t> QuarnMux::Deliver(Record record, int lockTimeoutSeconds) {
    Threading::MutexGuard guard(muxMessageQueueMutex_, false);
    if (!guard.Lock(lockTimeoutSeconds)) {
        return std::nullopt;
    }
    if (answerQueue_.empty() && !delivering_) {
        // Nothing to send ahead of it: one hand-off less. A send never waits, so holding the
        // lock meanwhile keeps the order with whatever is delivered next.
        SendToClient(*record);
        return 0;
    }
    answerQueue_.push_back(std::move(record));
    const size_t queued = answerQueue_.size();
    guard.Unlock();
    clientsWork_.Notify();
    return queued;
}

std::unique_ptr<MuxMessage> QuarnMux::BuildAnswer(const MuxMessage& request, int gatewayId,
                                                  const GatewayResponse& response) {
    auto failed = [&](const char* text) {
        return MuxMessageBuilder::BuildMessage(MUX_MESSAGE_NACK, request.GetMessageId(),
                                               MuxMessageBuilder::BuildNackPayload(0, text));
    };
    switch (response.GetFailure()) {
        case GatewayResponse::Failure::None:
            break;
        case GatewayResponse::Failure::NotSent:
            return failed(kNotSentText);
        case GatewayResponse::Failure::Busy:
            return failed(kBusyText);
        case GatewayResponse::Failure::NoAnswer:
            return failed(kNoAnswerText);
        case GatewayResponse::Failure::NotConnected:
            return failed(NotConnectedText(gatewayId).c_str());
        case GatewayResponse::Failure::Refused:
            return failed(kRequestErrorText);
    }
    // Only a routed request waits for its gateway's answer.
    const RequestRoute& route = *FindRequestRoute(request.GetMessageCode());
    return route.answer(request, static_cast<int>(response.GetResponseCode()), response);
}

void QuarnMux::TranslateVirtualGatewayEvent(Gateway& gateway, const GatewayEvent& event) {
    const uint8_t type = event.GetEventType();
    if (type == Quarn::Messages::QUARN_MESSAGE_CARD_READER_EVENT) {
        LOG_INFO << "Received an event from Virtual Gateway with ID " << gateway.GetId()
                 << " of type READER EVENT. A card was passed on the reader of a smartlock.";
    } else {
        // The type as a number: raw control characters do not belong in a log line.
        LOG_INFO << "Received an event from Virtual Gateway with ID " << gateway.GetId()
                 << " of type " << static_cast<unsigned>(type) << ".";
    }
    const int code = EventCodeFor(type);
    if (code == 0) {
        return;
    }
    if (code == MUX_MESSAGE_EVENT_INFO) {
        LOG_VERBOSE << "Passing Beaconping event as a info event.";
    }
    AuditEvent(static_cast<int>(gateway.GetId()), static_cast<int>(event.GetDeviceAddress()), code);
    const std::time_t now = std::time(nullptr);
    auto message = std::shared_ptr<MuxMessage>(MuxMessageBuilder::BuildMessage(
        code, "lockEventMessage-" + std::to_string(now),
        MuxMessageBuilder::BuildCardEventPayload(gateway.GetId(), event.GetDeviceAddress(),
                                                 MuxMessageBuilder::BuildEventTimestamp(now),
                                                 event.GetData())));
    std::vector<Quarn::Net::ClientConnection> clients = serverSocket_->GetClientConnections();
    const std::shared_ptr<const ClientPermissions> permissions = permissions_.load();
    const int gatewayId = static_cast<int>(gateway.GetId());
    if (permissions->IsRestricted()) {
        std::erase_if(clients, [&](const Quarn::Net::ClientConnection& client) {
            return !permissions->MayReceiveEvents(client.peer->identity, gatewayId);
        });
    }
    const std::shared_ptr<Mqtt::MqttBridge> bridge = bridge_.load();
    const bool toBroker = bridge && permissions->MayReceiveEvents(kMqttIdentity, gatewayId);
    if (toBroker) {
        homeAssistant_.ReaderEvent(gatewayId, static_cast<int32_t>(event.GetDeviceAddress()),
                                   type == Quarn::Messages::QUARN_MESSAGE_PINCODE_EVENT,
                                   event.GetData());
    }
    if (clients.empty() && !toBroker) {
        return;
    }
    // Serialised once for every client and the broker.
    const std::string text = ClientText(*message);
    if (toBroker) {
        bridge->PublishEvent(gatewayId, event.GetDeviceAddress(), text);
    }
    EnqueueEvent(std::move(message), text, clients);
}

void QuarnMux::EnqueueEvent(std::shared_ptr<MuxMessage> message, const std::string& text,
                            const std::vector<Quarn::Net::ClientConnection>& clients) {
    if (clients.empty()) {
        return;
    }
    auto bytes = std::make_shared<const std::vector<unsigned char>>(text.begin(), text.end());
    std::shared_ptr<const std::string> hex;
    if (Diagnostics::IsLogged(Diagnostics::info)) {
        hex = std::make_shared<const std::string>(
            Diagnostics::HexBytes(*bytes, Diagnostics::HexStyle::LowerSpaced));
    }
    std::deque<Record> deliveries;
    for (const Quarn::Net::ClientConnection& client : clients) {
        deliveries.push_back(std::make_unique<MuxRequestRecord>(
            client.clientFd, client.connectionId, message, true));
        deliveries.back()->eventBytes = bytes;
        deliveries.back()->eventHex = hex;
    }
    {
        Threading::MutexGuard guard(muxMessageQueueMutex_, false);
        if (!guard.Lock(kEventLockTimeoutSeconds)) {
            LOG_ERROR << "Cannot acquire resources lock for enqueuing current Mux Message Event. "
                         "The event will be lost.";
            return;
        }
        std::move(deliveries.begin(), deliveries.end(), std::back_inserter(answerQueue_));
    }
    clientsWork_.Notify();
}

bool QuarnMux::SendQueuedMessagesToClients() {
    std::deque<Record> batch;
    {
        Threading::MutexGuard guard(muxMessageQueueMutex_, false);
        if (!guard.Lock(kSendLockTimeoutSeconds)) {
            LOG_WARNING << "Cannot acquire resource mutex for send message to client queue.";
            return false;
        }
        batch.swap(answerQueue_);
        delivering_ = !batch.empty();
    }
    if (batch.empty()) {
        return false;
    }
    for (size_t next = 0; next < batch.size(); ++next) {
        if (!SendToClient(*batch[next])) {
            DropQueuedFor(*batch[next], batch, next + 1);
        }
    }
    Threading::MutexGuard guard(muxMessageQueueMutex_, false);
    guard.Lock(0);
    delivering_ = false;
    return true;
}

bool QuarnMux::SendToClient(const MuxRequestRecord& record) {
    const MuxMessage* message =
        record.isEvent ? record.requestMessage.get() : record.answerMessage.get();
    if (message == nullptr) {
        LOG_ERROR << (record.isEvent
                          ? "Message part in the event record structure is missing."
                          : "AnswerMessage part in the answer message record structure is "
                            "missing.");
        return true;
    }
    const std::string& messageId = message->GetMessageId();
    if (record.mqttCommand && record.mqttCommand->responseTopic.empty()) {
        LOG_DEBUG << "Answer with ID " << messageId
                  << " made for Home Assistant: its lock's entities show it.";
        metrics_.Delivered(record);
        return true;
    }
    if (record.mqttCommand) {
        const std::shared_ptr<Mqtt::MqttBridge> bridge = bridge_.load();
        if (!bridge) {
            LOG_WARNING << "Answer with ID " << messageId
                        << " not sent: the MQTT bridge was removed from the configuration.";
            return true;
        }
        LOG_INFO << "Sending message answer with ID " << messageId << " to MQTT topic "
                 << record.mqttCommand->responseTopic;
        bridge->Reply(*record.mqttCommand, ClientText(*message));
        metrics_.Delivered(record);
        return true;
    }
    std::vector<unsigned char> answerBytes;
    if (record.isEvent) {
        LOG_VERBOSE << "Event message " << messageId << " popped.";
        LOG_DEBUG << "Sending event to socket with FD " << record.socketFd;
    } else {
        answerBytes = ClientBytes(*message);
        LOG_VERBOSE << "Message " << messageId << " popped.";
        LOG_INFO << "Sending message answer with ID " << messageId << " to socket with FD "
                 << record.socketFd;
        LOG_VERBOSE << "Message payload: " << ClientText(*message);
    }
    const std::vector<unsigned char>& bytes =
        record.isEvent && record.eventBytes ? *record.eventBytes : answerBytes;
    // Sent only to the connection that asked: a newer client that got the same
    // descriptor number never receives it.
    if (serverSocket_->Send(
            record.socketFd, record.connectionId, bytes,
            record.eventHex ? std::string_view(*record.eventHex) : std::string_view())) {
        metrics_.Delivered(record);
        if (record.isEvent) {
            LOG_DEBUG << "Event sent. Deallocating messages memory.";
        } else {
            LOG_VERBOSE << "Message sent. Deallocating messages memory.";
        }
        return true;
    }
    LOG_ERROR << (record.isEvent ? "Cannot send event to socket with FD "
                                 : "Cannot send message to socket with FD ")
              << record.socketFd << ". Tried 1, I will delete the answer from queue.";
    return false;
}

void QuarnMux::DropQueuedFor(const MuxRequestRecord& failed, std::deque<Record>& batch,
                             size_t from) {
    // The server socket closed that client: a send that would block or failed is never
    // retried or waited for here, and what else was queued for that connection goes too.
    const int fd = failed.socketFd;
    const uint64_t connectionId = failed.connectionId;
    auto forClosed = [&](const Record& queued) {
        return queued->socketFd == fd && queued->connectionId == connectionId;
    };
    const auto kept =
        std::remove_if(batch.begin() + static_cast<std::ptrdiff_t>(from), batch.end(), forClosed);
    size_t dropped = static_cast<size_t>(batch.end() - kept);
    batch.erase(kept, batch.end());
    {
        Threading::MutexGuard guard(muxMessageQueueMutex_, false);
        if (guard.Lock(kSendLockTimeoutSeconds)) {
            dropped += std::erase_if(answerQueue_, forClosed);
        }
    }
    if (dropped > 0) {
        LOG_WARNING << "Dropped " << dropped
                    << " more answers and events queued for the closed client with FD " << fd
                    << ".";
    }
}

}  // namespace Mux
