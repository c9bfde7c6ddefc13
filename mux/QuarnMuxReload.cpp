// Putting a configuration in force: at start-up all of it; on a reload, the file read
// again and what changed applied without touching what did not.

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "audit/AuditEntry.h"
#include "audit/AuditTrail.h"
#include "diagnostics/Log.h"
#include "gateway/GatewayLoop.h"
#include "metrics/MetricsEndpoint.h"
#include "mqtt/MqttBridge.h"
#include "mux/MuxRequestRecord.h"
#include "mux/QuarnMux.h"
#include "net/ServerSocket.h"
#include "threading/MutexGuard.h"
#include "tls/TlsServerContext.h"

namespace Mux {
namespace {

std::string RemovedText(int gatewayId) {
    return "Gateway " + std::to_string(gatewayId) + " was removed from the configuration.";
}

}  // namespace

void QuarnMux::RequestReload(std::string path) {
    {
        std::lock_guard<std::mutex> lock(reloadMutex_);
        reloadPath_ = std::move(path);
    }
    reloadWanted_ = true;
    gatewaysWork_.Notify();
}

void QuarnMux::Reload() {
    std::string path;
    {
        std::lock_guard<std::mutex> lock(reloadMutex_);
        path = reloadPath_;
    }
    if (path.empty()) {
        LOG_WARNING << "Reload asked for, but lockhub was started without a configuration file.";
        return;
    }
    LOG_INFO << "Reloading the configuration from " << path << ".";
    std::optional<std::string> text = Configuration::ReadConfigurationFile(path);
    if (!text) {
        LOG_ERROR << "Reload refused: cannot read the file: " << std::strerror(errno)
                  << ". The configuration stays as it was.";
        return;
    }
    Configuration::ConfigurationReading reading = Configuration::ReadConfigurationText(*text);
    if (!reading.configuration) {
        LOG_ERROR << "Reload refused: " << reading.refusal
                  << ". The configuration stays as it was.";
        return;
    }
    LogNotes(reading.notes);
    const Configuration::MuxConfigurationData previous =
        applied_ ? *applied_ : Configuration::MuxConfigurationData{};
    if (std::string why; !Apply(std::move(*reading.configuration), &previous, why)) {
        LOG_ERROR << "Reload refused: " << why << ". The configuration stays as it was.";
    }
}

bool QuarnMux::Apply(Configuration::MuxConfigurationData next,
                     const Configuration::MuxConfigurationData* previous, std::string& why) {
    if (previous != nullptr) {
        // The listeners keep their ports, and stay open or closed, until a restart.
        if (std::vector<std::string> waiting = Configuration::RestartOnlyChanges(next, *previous);
            !waiting.empty()) {
            std::string keys;
            for (const std::string& key : waiting) {
                keys += (keys.empty() ? "" : ", ") + key;
            }
            LOG_WARNING << "Reload: " << keys
                        << " change only when lockhub restarts; the listeners stay as they are.";
        }
        next.PlainListener = previous->PlainListener;
        if (next.Tls.has_value() != previous->Tls.has_value()) {
            next.Tls = previous->Tls;
        } else if (next.Tls) {
            next.Tls->Port = previous->Tls->Port;
        }
    }
    // What can fail comes first, so that a failure changes nothing. The TLS files are read
    // again at every reload: a renewed certificate or revocation list keeps its file name.
    std::shared_ptr<const Quarn::Tls::TlsServerContext> tlsContext;
    if (previous != nullptr && next.Tls && serving_) {
        std::string reason;
        tlsContext =
            Quarn::Tls::TlsServerContext::Create(Configuration::TlsFilesOf(*next.Tls), reason);
        if (!tlsContext) {
            why = "the TLS listener's files cannot be used: " + reason;
            return false;
        }
    }
    const std::string trailBefore = previous != nullptr ? previous->AuditLog : "";
    std::shared_ptr<Audit::AuditTrail> trail = audit_.load();
    std::shared_ptr<Audit::AuditTrail> openedTrail;
    if (next.AuditLog != trailBefore && !next.AuditLog.empty()) {
        std::string reason;
        if (trail) {
            if (!trail->Reopen(next.AuditLog, reason)) {
                why = "Cannot open the audit trail: " + reason;
                return false;
            }
        } else {
            openedTrail = Audit::AuditTrail::Open(next.AuditLog, reason);
            if (!openedTrail) {
                why = "Cannot open the audit trail: " + reason;
                return false;
            }
        }
        LOG_INFO << "Recording door commands in the audit trail " << next.AuditLog << ".";
    }

    enabled_ = next.Enabled;
    requestTimeout_ = std::chrono::seconds(next.RequestTimeout);
    auditRequired_ = next.AuditRequired;
    auditBeforeSend_ = next.AuditBeforeSend();
    permissions_.store(std::make_shared<const ClientPermissions>(next.Permissions()));
    if (openedTrail) {
        audit_.store(openedTrail);
    } else if (next.AuditLog.empty() && trail) {
        audit_.store(nullptr);
        trail->Close();
        LOG_INFO << "Door commands are no longer recorded in an audit trail.";
    }
    if (tlsContext) {
        serverSocket_->ReplaceTlsContext(tlsContext);
        LOG_INFO << "The TLS listener uses its files as they are now for new connections.";
    }
    ApplyMqtt(next, previous);
    AddBridgeAndTrailMetrics();
    applied_ = std::move(next);
    if (previous != nullptr) {
        ApplyMetrics();
    }
    ApplyGateways(*applied_);
    ApplyHomeAssistant();
    return true;
}

void QuarnMux::ApplyMqtt(const Configuration::MuxConfigurationData& next,
                         const Configuration::MuxConfigurationData* previous) {
    const std::optional<Mqtt::MqttSettings> none;
    const std::optional<Mqtt::MqttSettings>& before = previous != nullptr ? previous->Mqtt : none;
    if (next.Mqtt == before) {
        return;
    }
    if (next.Mqtt) {
        const Mqtt::MqttSettings& settings = *next.Mqtt;
        mqttPeer_.store(std::make_shared<const Quarn::Net::ClientPeer>(Quarn::Net::ClientPeer{
            kMqttIdentity, settings.host + ":" + std::to_string(settings.port), false}));
    }
    std::shared_ptr<Mqtt::MqttBridge> bridge = bridge_.load();
    if (bridge && next.Mqtt) {
        bridge->Reconfigure(*next.Mqtt);
        return;
    }
    if (bridge) {
        bridge_.store(nullptr);
        bridge->Stop();
        LOG_INFO << "The MQTT bridge is off.";
        return;
    }
    bridge = std::make_shared<Mqtt::MqttBridge>(*next.Mqtt);
    bridge->SetCommandCallback(
        [this](Mqtt::MqttCommand command) { MqttCommandReceived(std::move(command)); });
    bridge_.store(bridge);
    // At start-up, Start starts it with the core.
    if (started_ && !bridge->Start()) {
        LOG_ERROR << "The MQTT bridge did not start; the client ports work without it.";
    }
}

void QuarnMux::ApplyMetrics() {
    metricsEndpoint_->Apply(applied_ ? applied_->Metrics : std::nullopt);
}

void QuarnMux::ApplyGateways(const Configuration::MuxConfigurationData& next) {
    std::shared_ptr<const GatewaySet> previous = gatewaySet_.load();
    std::vector<std::shared_ptr<Gateway>> created;
    std::shared_ptr<const GatewaySet> set = BuildGatewaySet(next, *previous, created);
    std::vector<std::shared_ptr<Gateway>> retired;
    for (const GatewaySet::Entry& entry : previous->entries) {
        const bool kept = std::any_of(
            set->entries.begin(), set->entries.end(),
            [&](const GatewaySet::Entry& other) { return other.gateway == entry.gateway; });
        if (kept) {
            entry.gateway->SetRequestTimeout(requestTimeout_.load());
        } else {
            retired.push_back(entry.gateway);
        }
    }
    gatewaySet_.store(set);
    // Before Start the gateways thread adds the set's gateways to the loop itself.
    if (gatewaysRunning_) {
        for (const std::shared_ptr<Gateway>& gateway : created) {
            gatewayLoop_->Add(gateway);
        }
        LOG_INFO << "Configuration reloaded: " << created.size() << " gateways connected anew, "
                 << retired.size() << " removed, " << set->entries.size() - created.size()
                 << " unchanged.";
    } else if (!enabled_) {
        LOG_WARNING << "Mux is not enabled.";
    } else {
        LOG_INFO << "Start configure gateways.";
        if (!next.Gateways.empty()) {
            LOG_INFO << "Virtual gateways initialized.";
        }
    }
    set.reset();
    previous.reset();
    Retire(std::move(retired));
}

void QuarnMux::Retire(std::vector<std::shared_ptr<Gateway>> retired) {
    for (std::shared_ptr<Gateway>& gateway : retired) {
        const int id = gateway->GetId();
        const Gateway* address = gateway.get();
        // Nothing more leaves for it, it does not reconnect, and no answer of it comes
        // after; a request handed to it later is answered "not connected".
        gatewayLoop_->Remove(gateway);
        std::vector<Record> orphans;
        {
            Threading::MutexGuard guard(pendingMessagesListMutex_, false);
            guard.Lock(0);
            for (auto it = pendingMessagesList_.begin(); it != pendingMessagesList_.end();) {
                if (it->second->handedTo == address) {
                    orphans.push_back(std::move(it->second));
                    it = pendingMessagesList_.erase(it);
                } else {
                    ++it;
                }
            }
        }
        LOG_INFO << RemovedText(id) << " " << orphans.size()
                 << " of its requests are answered with a NACK.";
        for (Record& orphan : orphans) {
            EnqueueErrorAnswer(std::move(orphan), RemovedText(id), Audit::Outcome::Nack);
        }
    }
}

}  // namespace Mux
