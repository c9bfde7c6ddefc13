// Operating the core: readiness and the loops' heartbeats for the service manager, the
// summary and gateway reports for operators, the requests the core answers itself, and
// gateway status events for the clients that asked for them.

#include <algorithm>
#include <ctime>

#include "audit/AuditTrail.h"
#include "diagnostics/Log.h"
#include "gateway/GatewayLoop.h"
#include "mqtt/MqttBridge.h"
#include "mux/ClientMessages.h"
#include "mux/MuxRequestRecord.h"
#include "mux/QuarnMux.h"
#include "mux/RequestRoutes.h"
#include "mux/protocol/MuxMessage.h"
#include "mux/protocol/MuxMessageBuilder.h"
#include "mux/protocol/MuxMessageCodes.h"
#include "service/ServiceNotifier.h"

namespace Mux {

void QuarnMux::WatchLoops(Service::ServiceNotifier& notifier) {
    mainHeartbeat_ = notifier.AddLoop("core main loop");
    gatewaysHeartbeat_ = notifier.AddLoop("core gateways loop");
}

void QuarnMux::AwaitWork(Threading::WorkSignal& work, const Service::Heartbeat* heartbeat) {
    if (heartbeat == nullptr) {
        work.Wait();
    } else {
        work.WaitFor(heartbeat->Period());
    }
}

void QuarnMux::AnnounceListening() {
    listening_ = true;
    if (listeningCallback_) {
        listeningCallback_();
    }
}

CoreSummary QuarnMux::Summarize() {
    CoreSummary summary;
    summary.listening = listening_;
    const std::shared_ptr<const GatewaySet> set = gatewaySet_.load();
    summary.gateways = static_cast<int>(set->entries.size());
    summary.gatewaysReady = static_cast<int>(std::count_if(
        set->entries.begin(), set->entries.end(),
        [](const GatewaySet::Entry& entry) { return entry.gateway->GetStatus() == Quarn::READY; }));
    // A client's departure may be counted just before its arrival.
    summary.clients = std::max<int64_t>(0, metrics_.Clients());
    return summary;
}

std::vector<GatewayReport> QuarnMux::ReportGateways() {
    std::vector<GatewayReport> reports;
    const std::shared_ptr<const GatewaySet> set = gatewaySet_.load();
    reports.reserve(set->entries.size());
    for (const GatewaySet::Entry& entry : set->entries) {
        Gateway* gateway = entry.gateway.get();
        reports.push_back({gateway->GetId(), gateway->GetDescription(), gateway->GetIpAddress(),
                           gateway->GetPort(), gateway->GetHealth()});
    }
    return reports;
}

void QuarnMux::SubscribeToGatewayStatus(int clientFd, uint64_t connectionId) {
    LOG_INFO << "Client with FD " << clientFd << " subscribed to gateway status events.";
    gatewayStatusSubscribers_.Add(clientFd, connectionId);
}

bool QuarnMux::AnswerInCore(Record& record) {
    const RequestRoute* route = FindRequestRoute(record->requestMessage->GetMessageCode());
    if (route == nullptr || route->answerInCore == nullptr) {
        return false;
    }
    record->answerMessage = route->answerInCore(*this, *record);
    EnqueueAnswer(std::move(record));
    return true;
}

void QuarnMux::PublishGatewayStatus(Gateway& gateway, Quarn::VirtualGatewayStatuses oldStatus,
                                    Quarn::VirtualGatewayStatuses newStatus) {
    std::vector<Quarn::Net::ClientConnection> subscribers = gatewayStatusSubscribers_.Members();
    if (subscribers.empty()) {
        return;
    }
    std::shared_ptr<MuxMessage> event = MuxMessageBuilder::BuildMessage(
        MUX_MESSAGE_EVENT_GATEWAY_STATUS,
        "gatewayStatusMessage-" + std::to_string(std::time(nullptr)),
        std::make_unique<MuxGatewayStatusEventPayload>(
            gateway.GetId(), Quarn::StatusName(newStatus), Quarn::StatusName(oldStatus)));
    EnqueueEvent(event, ClientText(*event), subscribers);
}

void QuarnMux::AddBridgeAndTrailMetrics() {
    using Metrics::Type;
    Metrics::Registry& registry = metrics_.Registry();
    if (Mqtt::MqttBridge* bridge = bridge_.get()) {
        auto counter = [bridge](uint64_t Mqtt::MqttCounters::*count) {
            return [bridge, count] {
                return std::vector<Metrics::Sample>{
                    {{}, static_cast<double>(bridge->Counters().*count)}};
            };
        };
        registry.AddCollected({"lockhub_mqtt_events_published_total",
                               "Events the MQTT broker confirmed.",
                               Type::counter,
                               {}},
                              counter(&Mqtt::MqttCounters::eventsPublished));
        registry.AddCollected({"lockhub_mqtt_events_dropped_total",
                               "Events dropped while the MQTT broker was away and the queue "
                               "for it full.",
                               Type::counter,
                               {}},
                              counter(&Mqtt::MqttCounters::eventsDropped));
        registry.AddCollected({"lockhub_mqtt_reconnects_total",
                               "Connections made to the MQTT broker after the first.",
                               Type::counter,
                               {}},
                              counter(&Mqtt::MqttCounters::reconnects));
    }
    if (Audit::AuditTrail* trail = audit_.get()) {
        registry.AddCollected(
            {"lockhub_audit_entries_lost_total",
             "Audit entries dropped (the writer fell behind) or not written "
             "whole (a failed write).",
             Type::counter,
             {}},
            [trail] {
                return std::vector<Metrics::Sample>{
                    {{}, static_cast<double>(trail->DroppedEntries() + trail->FailedWrites())}};
            });
    }
}

}  // namespace Mux
