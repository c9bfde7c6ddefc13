// Live reconfiguration: the configuration file read again on request, and what changed
// applied without touching what did not.

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "audit/AuditEntry.h"
#include "diagnostics/Log.h"
#include "gateway/GatewayLoop.h"
#include "mux/MuxRequestRecord.h"
#include "mux/QuarnMux.h"
#include "threading/MutexGuard.h"

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
    std::string reason;
    std::optional<std::string> text = Configuration::ReadConfigurationFile(path);
    std::optional<Configuration::MuxConfigurationData> configuration;
    if (!text) {
        reason = std::string("cannot read the file: ") + std::strerror(errno);
    } else {
        configuration = Configuration::ParseConfigurationText(*text, &reason);
        if (!configuration && reason.empty()) {
            reason = "it is not valid (lockhub --check-config " + path + " tells why)";
        }
    }
    if (!configuration) {
        LOG_ERROR << "Reload refused: " << reason << ". The configuration stays as it was.";
        return;
    }
    if (configuration->RestartOnly != restartOnlySettings_) {
        LOG_WARNING << "Reload: the listeners, the audit trail, the MQTT bridge and the metrics "
                       "keep their settings until lockhub restarts.";
    }

    enabled_ = configuration->Enabled;
    requestTimeout_ = std::chrono::seconds(configuration->RequestTimeout);
    permissions_.store(
        std::make_shared<const ClientPermissions>(std::move(configuration->Permissions)));

    std::shared_ptr<const GatewaySet> previous = gatewaySet_.load();
    std::vector<std::shared_ptr<Gateway>> created;
    std::shared_ptr<const GatewaySet> next = BuildGatewaySet(*configuration, *previous, created);
    std::vector<std::shared_ptr<Gateway>> retired;
    for (const GatewaySet::Entry& entry : previous->entries) {
        const bool kept = std::any_of(
            next->entries.begin(), next->entries.end(),
            [&](const GatewaySet::Entry& other) { return other.gateway == entry.gateway; });
        if (kept) {
            entry.gateway->SetRequestTimeout(requestTimeout_.load());
        } else {
            retired.push_back(entry.gateway);
        }
    }
    gatewaySet_.store(next);
    for (const std::shared_ptr<Gateway>& gateway : created) {
        gatewayLoop_->Add(gateway);
    }
    LOG_INFO << "Configuration reloaded: " << created.size() << " gateways connected anew, "
             << retired.size() << " removed, " << next->entries.size() - created.size()
             << " unchanged.";
    next.reset();
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
