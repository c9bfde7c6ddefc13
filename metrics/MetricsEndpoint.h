#pragma once
// Serves the metrics where the configuration asks, and follows reloads: starts, stops or
// moves the server. A move starts the new server before the old one stops, so that the
// metrics stay served when the new place cannot be used; only when the new place takes
// the old one's port does the old server stop first, and start again if the new one fails.
//
// Threads: every call on the owner's thread (start-up, then the reload thread).
// Ownership: the endpoint owns the server; it borrows the registry, which must outlive it.

#include <memory>
#include <optional>
#include <string>

#include "metrics/MetricsServer.h"
#include "metrics/MetricsSettings.h"
#include "metrics/Registry.h"

namespace Mux::Metrics {

class MetricsEndpoint {
public:
    // Serves nothing until Apply. health is called on the server's thread.
    MetricsEndpoint(const Registry& registry, MetricsServer::HealthCheck health);

    // Serves where settings say (nullopt: not at all); the settings of the last Apply that
    // succeeded: nothing happens. Returns false when the new place cannot be used (logged):
    // the metrics then stay where they were, or stay off.
    bool Apply(const std::optional<Settings>& settings);

    // The port served, 0 while not served.
    int Port() const;

private:
    // A server on settings, logged as serving; null when it cannot listen, with reason.
    std::unique_ptr<MetricsServer> Serve(const Settings& settings, std::string& reason) const;
    // Where the metrics are served now, for the log.
    std::string Url() const;

    const Registry& registry_;
    const MetricsServer::HealthCheck health_;
    // The settings served and their server: both set, or neither.
    std::optional<Settings> settings_;
    std::unique_ptr<MetricsServer> server_;
};

}  // namespace Mux::Metrics
