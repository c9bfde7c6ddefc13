// Commands through the MQTT bridge: read like a client's request, checked like one, and
// answered on the command's response topic.

#include <rapidjson/document.h>

#include <ctime>

#include "audit/AuditEntry.h"
#include "diagnostics/Log.h"
#include "mqtt/MqttBridge.h"
#include "mux/AnswerTexts.h"
#include "mux/ClientMessages.h"
#include "mux/MuxRequestRecord.h"
#include "mux/QuarnMux.h"
#include "mux/protocol/MuxMessage.h"
#include "mux/protocol/MuxMessageBuilder.h"
#include "mux/protocol/MuxMessageCodes.h"
#include "mux/protocol/MuxMessagePayloads.h"

namespace Mux {
namespace {

// The MessageID of a text that is JSON but not a request lockhub can read; "" otherwise.
std::string MessageIdOf(const std::string& text) {
    rapidjson::Document document;
    document.Parse<rapidjson::kParseIterativeFlag>(text.c_str(), text.size());
    if (document.HasParseError() || !document.IsObject()) {
        return "";
    }
    const rapidjson::Document& read = document;
    rapidjson::Value::ConstMemberIterator id = read.FindMember("MessageID");
    return id != read.MemberEnd() && id->value.IsString() ? id->value.GetString() : "";
}

}  // namespace

void QuarnMux::MqttCommandReceived(Mqtt::MqttCommand command) {
    if (command.setTopic) {
        SetCommandReceived(command);
        return;
    }
    const std::string& topic = command.responseTopic;
    if (command.tooLarge || command.badTopic) {
        LOG_WARNING << "MQTT command refused: "
                    << (command.tooLarge ? "its payload is too large"
                                         : "its topic names no gateway and lock")
                    << ". Answered on " << topic << ".";
        RefuseMqttCommand(command, "");
        return;
    }
    std::unique_ptr<MuxMessage> message = ReadClientMessage(command.payload);
    if (!message) {
        LOG_WARNING << "MQTT command for gateway " << command.gatewayId << " lock "
                    << command.lockId << " is not a request lockhub can read. Answered on " << topic
                    << ".";
        RefuseMqttCommand(command, MessageIdOf(command.payload));
        return;
    }
    // The topic and the request must name the same lock: permissions go by the request.
    const MuxMessagePayloadBase* payload = message->GetPayload();
    const MuxLockAddressPayload* address = payload != nullptr ? payload->GetLockAddress() : nullptr;
    if (address == nullptr || address->gatewayID != command.gatewayId ||
        address->lockID != command.lockId) {
        LOG_WARNING << "MQTT command " << message->GetMessageId()
                    << " names another lock than its topic. Answered on " << topic << ".";
        RefuseMqttCommand(command, message->GetMessageId());
        return;
    }
    // A command the broker kept while lockhub was away must not move a door long after.
    const std::time_t now = std::time(nullptr);
    const int64_t timeout = requestTimeout_.load().count();
    if (timeout > 0 && message->GetTimestamp() + timeout < now) {
        LOG_WARNING << "Ignored MQTT command " << message->GetMessageId() << ": its Timestamp "
                    << message->GetTimestamp() << " is older than the request time-out.";
        return;
    }
    auto record =
        std::make_unique<MuxRequestRecord>(-1, 0, std::shared_ptr<MuxMessage>(std::move(message)));
    record->client = mqttPeer_.load();
    record->mqttCommand = std::make_shared<const Mqtt::MqttCommand>(std::move(command));
    Admit(std::move(record));
}

void QuarnMux::RefuseMqttCommand(const Mqtt::MqttCommand& command, const std::string& messageId) {
    auto answer = MuxMessageBuilder::BuildMessage(
        MUX_MESSAGE_NACK, messageId, MuxMessageBuilder::BuildNackPayload(0, kRequestErrorText));
    if (const std::shared_ptr<Mqtt::MqttBridge> bridge = bridge_.load()) {
        bridge->Reply(command, ClientText(*answer));
    }
    metrics_.RefusedUnread();
}

}  // namespace Mux
