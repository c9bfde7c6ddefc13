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

void QuarnMux::AwaitWork(Threading::WorkSignal& work, const Service::Heartbeat* heartbeat,
                         std::optional<std::chrono::steady_clock::time_point> until) {
    std::optional<std::chrono::steady_clock::duration> wait;
    if (heartbeat != nullptr) {
        wait = heartbeat->Period();
    }
    if (until) {
        const auto left = std::max(*until - std::chrono::steady_clock::now(),
                                   std::chrono::steady_clock::duration::zero());
        wait = std::min(wait.value_or(left), left);
    }
    if (wait) {
        work.WaitFor(*wait);
    } else {
        work.Wait();
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

namespace {

// A sample of what the snapshot holds when the metrics are rendered; none while it holds
// nothing.
template <class T>
Metrics::Registry::Collect SampleOf(const Threading::Snapshot<T>& held, double (*value)(const T&)) {
    return [&held, value] {
        const std::shared_ptr<T> now = held.load();
        return now ? std::vector<Metrics::Sample>{{{}, value(*now)}}
                   : std::vector<Metrics::Sample>{};
    };
}

}  // namespace

void QuarnMux::AddBridgeAndTrailMetrics() {
    using Audit::AuditTrail;
    using Metrics::Type;
    using Mqtt::MqttBridge;
    Metrics::Registry& registry = metrics_.Registry();
    if (!bridgeMetricsAdded_ && bridge_.load()) {
        bridgeMetricsAdded_ = true;
        registry.AddCollected({"lockhub_mqtt_events_published_total",
                               "Events the MQTT broker confirmed.",
                               Type::counter,
                               {}},
                              SampleOf<MqttBridge>(bridge_, [](const MqttBridge& bridge) {
                                  return static_cast<double>(bridge.Counters().eventsPublished);
                              }));
        registry.AddCollected({"lockhub_mqtt_events_dropped_total",
                               "Events dropped while the MQTT broker was away and the queue "
                               "for it full.",
                               Type::counter,
                               {}},
                              SampleOf<MqttBridge>(bridge_, [](const MqttBridge& bridge) {
                                  return static_cast<double>(bridge.Counters().eventsDropped);
                              }));
        registry.AddCollected({"lockhub_mqtt_reconnects_total",
                               "Connections made to the MQTT broker after the first.",
                               Type::counter,
                               {}},
                              SampleOf<MqttBridge>(bridge_, [](const MqttBridge& bridge) {
                                  return static_cast<double>(bridge.Counters().reconnects);
                              }));
        registry.AddCollected(
            {"lockhub_mqtt_connected",
             "1 while connected to the MQTT broker, else 0; absent without a bridge.",
             Type::gauge,
             {}},
            SampleOf<MqttBridge>(
                bridge_, [](const MqttBridge& bridge) { return bridge.Connected() ? 1.0 : 0.0; }));
    }
    if (!trailMetricsAdded_ && audit_.load()) {
        trailMetricsAdded_ = true;
        registry.AddCollected(
            {"lockhub_audit_entries_lost_total",
             "Audit entries dropped (the writer fell behind) or not written "
             "whole (a failed write).",
             Type::counter,
             {}},
            SampleOf<AuditTrail>(audit_, [](const AuditTrail& trail) {
                return static_cast<double>(trail.DroppedEntries() + trail.FailedWrites());
            }));
        registry.AddCollected({"lockhub_audit_write_errors_total",
                               "Writes to the audit trail that failed, those tried again "
                               "(a full disk) included.",
                               Type::counter,
                               {}},
                              SampleOf<AuditTrail>(audit_, [](const AuditTrail& trail) {
                                  return static_cast<double>(trail.WriteErrors());
                              }));
        registry.AddCollected({"lockhub_audit_syncs_total",
                               "fdatasync calls that put audit lines on the disk.",
                               Type::counter,
                               {}},
                              SampleOf<AuditTrail>(audit_, [](const AuditTrail& trail) {
                                  return static_cast<double>(trail.Syncs());
                              }));
        registry.AddCollected({"lockhub_audit_writable",
                               "1 while the audit trail takes lines, 0 while its writes fail.",
                               Type::gauge,
                               {}},
                              SampleOf<AuditTrail>(audit_, [](const AuditTrail& trail) {
                                  return trail.Writable() ? 1.0 : 0.0;
                              }));
    }
}

}  // namespace Mux
