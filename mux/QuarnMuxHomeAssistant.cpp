// Home Assistant: the doors of the configuration in force announced through the MQTT bridge,
// its set commands turned into requests like a client's, and the answers, events and
// gateway states that its entities show.

#include <algorithm>
#include <ctime>

#include "diagnostics/Log.h"
#include "gateway/VirtualGatewayResponseMessage.h"
#include "homeassistant/Discovery.h"
#include "messages/QuarnLockState.h"
#include "mqtt/MqttBridge.h"
#include "mux/ClientMessages.h"
#include "mux/CommandLine.h"
#include "mux/MuxRequestRecord.h"
#include "mux/QuarnMux.h"
#include "mux/protocol/MuxMessage.h"
#include "mux/protocol/MuxMessageCodes.h"
#include "mux/protocol/MuxMessagePayloads.h"

namespace Mux {
namespace {

using HomeAssistant::LockAnswer;

// A request as a client would send it, in the same JSON text, so that it takes the road
// every request takes.
std::unique_ptr<MuxMessage> Request(int code, const std::string& messageId,
                                    HomeAssistant::LockKey lock, std::optional<int> duration) {
    std::string text = "{\"Timestamp\":" + std::to_string(std::time(nullptr)) +
                       ",\"MessageID\":\"" + messageId +
                       "\",\"MessageCode\":" + std::to_string(code) +
                       ",\"Data\":{\"gatewayID\":" + std::to_string(lock.first) +
                       ",\"lockID\":" + std::to_string(lock.second);
    if (duration) {
        text += ",\"duration\":" + std::to_string(*duration);
    }
    return ReadClientMessage(text + "}}");
}

std::optional<LockAnswer::Kind> KindOf(int code) {
    switch (code) {
        case MUX_MESSAGE_LOCK_OPEN:
        case MUX_MESSAGE_EVENT_LOCK_OPEN:
            return LockAnswer::Kind::unlock;
        case MUX_MESSAGE_LOCK_CLOSE:
        case MUX_MESSAGE_EVENT_LOCK_CLOSE:
            return LockAnswer::Kind::lock;
        case MUX_MESSAGE_LOCK_OPEN_CLOSE:
        case MUX_MESSAGE_EVENT_LOCK_OPEN_CLOSE:
            return LockAnswer::Kind::openFor;
        case MUX_MESSAGE_LOCK_GET_STATUS:
            return LockAnswer::Kind::status;
        default:
            return std::nullopt;
    }
}

}  // namespace

void QuarnMux::ApplyHomeAssistant() {
    HomeAssistant::Catalog catalog;
    if (applied_) {
        for (const Configuration::GatewayPlan& plan : Configuration::PlanGateways(*applied_)) {
            if (plan.use != Configuration::GatewayUse::routed) {
                continue;
            }
            const Configuration::MuxGatewayData& data = applied_->Gateways[plan.index];
            HomeAssistant::GatewayEntry& gateway =
                catalog.emplace_back(HomeAssistant::GatewayEntry{data.ID, data.Description, {}});
            for (const Configuration::MuxDeviceData& device : data.Devices) {
                const bool known = std::any_of(
                    gateway.locks.begin(), gateway.locks.end(),
                    [&](const HomeAssistant::LockEntry& lock) { return lock.id == device.ID; });
                if (!known) {
                    gateway.locks.push_back({device.ID, device.Name});
                }
            }
        }
    }
    homeAssistant_.Apply(bridge_.load(), applied_ && applied_->Mqtt ? &*applied_->Mqtt : nullptr,
                         std::move(catalog), std::chrono::steady_clock::now());
}

void QuarnMux::SetCommandReceived(const Mqtt::MqttCommand& command) {
    const std::string& payload = command.payload;
    const std::optional<std::chrono::seconds> openTime = homeAssistant_.OpenTime();
    int code = 0;
    if (payload == HomeAssistant::kLockPayload) {
        code = MUX_MESSAGE_LOCK_CLOSE;
    } else if (payload == HomeAssistant::kUnlockPayload) {
        code = MUX_MESSAGE_LOCK_OPEN;
    } else if (payload == HomeAssistant::kOpenPayload) {
        code = MUX_MESSAGE_LOCK_OPEN_CLOSE;
    }
    if (command.badTopic || code == 0 || !openTime) {
        LOG_WARNING << "MQTT: set command for gateway " << command.gatewayId << " lock "
                    << command.lockId << " ignored: "
                    << (command.badTopic ? "its topic names no gateway and lock"
                        : !openTime      ? "Home Assistant discovery is off"
                                         : "its payload is none of LOCK, UNLOCK and OPEN")
                    << ".";
        return;
    }
    const std::string messageId = "homeassistant-" + std::to_string(++homeAssistantRequests_);
    LOG_INFO << "MQTT: Home Assistant asks to " << payload << " lock " << command.lockId
             << " of gateway " << command.gatewayId << " (request " << messageId << ").";
    std::optional<int> duration;
    if (code == MUX_MESSAGE_LOCK_OPEN_CLOSE) {
        duration = static_cast<int>(openTime->count());
    }
    auto record = std::make_unique<MuxRequestRecord>(
        -1, 0,
        std::shared_ptr<MuxMessage>(
            Request(code, messageId, {command.gatewayId, command.lockId}, duration)));
    record->client = mqttPeer_.load();
    record->mqttCommand = std::make_shared<const Mqtt::MqttCommand>(command);
    Admit(std::move(record));
}

void QuarnMux::PollLockStatus(HomeAssistant::LockKey lock) {
    const std::shared_ptr<const Quarn::Net::ClientPeer> peer = mqttPeer_.load();
    if (!peer) {
        return;
    }
    const std::string messageId =
        "homeassistant-status-" + std::to_string(++homeAssistantRequests_);
    auto record = std::make_unique<MuxRequestRecord>(
        -1, 0,
        std::shared_ptr<MuxMessage>(
            Request(MUX_MESSAGE_LOCK_GET_STATUS, messageId, lock, std::nullopt)));
    record->client = peer;
    // Answered through the lock's entities, as a set command is.
    Mqtt::MqttCommand command;
    command.setTopic = true;
    command.gatewayId = lock.first;
    command.lockId = lock.second;
    record->mqttCommand = std::make_shared<const Mqtt::MqttCommand>(std::move(command));
    if (!IsPermitted(*record)) {
        LOG_DEBUG << "Home Assistant: no status poll of lock " << lock.second << " of gateway "
                  << lock.first << ": the identity \"mqtt\" may not ask for it.";
        return;
    }
    LOG_DEBUG << "Home Assistant: asking for the status of lock " << lock.second << " of gateway "
              << lock.first << " (request " << messageId << ").";
    Admit(std::move(record));
}

void QuarnMux::TellHomeAssistant(
    const MuxRequestRecord& record,
    const Quarn::Messages::VG::VirtualGatewayResponseMessage* response) {
    const MuxMessage& request = *record.requestMessage;
    const std::optional<LockAnswer::Kind> kind = KindOf(request.GetMessageCode());
    const MuxMessagePayloadBase* payload = request.GetPayload();
    const MuxLockAddressPayload* address = payload != nullptr ? payload->GetLockAddress() : nullptr;
    if (!kind || address == nullptr) {
        return;
    }
    LockAnswer answer;
    answer.lock = {address->gatewayID, address->lockID};
    answer.kind = *kind;
    answer.acknowledged =
        record.answerMessage && record.answerMessage->GetMessageCode() == MUX_MESSAGE_ACK;
    answer.fromHomeAssistant = record.mqttCommand && record.mqttCommand->setTopic;
    if (const auto* openClose = dynamic_cast<const MuxLockOpenCloseMessagePayload*>(payload)) {
        answer.openFor = std::chrono::seconds(openClose->duration);
    }
    if (*kind == LockAnswer::Kind::status && response != nullptr &&
        response->GetStatusPayload() != nullptr) {
        const Quarn::Messages::QuarnLockState state =
            Quarn::Messages::QuarnLockState::ParseFromBuffer(response->GetStatusPayload());
        answer.batteryLow = state.IsBatteryWarning() || state.IsBatteryAlarm();
    }
    homeAssistant_.Answered(answer, std::chrono::steady_clock::now());
}

void QuarnMux::HomeAssistantWork() {
    for (const HomeAssistant::LockKey& lock :
         homeAssistant_.Tick(std::chrono::steady_clock::now())) {
        PollLockStatus(lock);
    }
}

}  // namespace Mux
