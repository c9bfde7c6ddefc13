#include "metrics/MetricsEndpoint.h"

#include <utility>

#include "diagnostics/Log.h"

namespace Mux::Metrics {

MetricsEndpoint::MetricsEndpoint(const Registry& registry, MetricsServer::HealthCheck health)
    : registry_(registry), health_(std::move(health)) {}

bool MetricsEndpoint::Apply(const std::optional<Settings>& settings) {
    if (settings == settings_) {
        return true;
    }
    if (!settings) {
        LOG_INFO << "Metrics are not served any more on " << Url() << ".";
        server_.reset();
        settings_.reset();
        return true;
    }
    std::string reason;
    std::unique_ptr<MetricsServer> server;
    if (server_ && settings->port == server_->Port()) {
        // The old server holds the port: it makes way, and comes back if the new one fails.
        const Settings old{settings_->address, server_->Port()};
        server_.reset();
        server = Serve(*settings, reason);
        if (!server) {
            std::string again;
            server_ = MetricsServer::Start(old, registry_, health_, again);
            if (!server_) {
                settings_.reset();
                LOG_ERROR << "Cannot serve metrics on " << old.address << ":" << old.port
                          << " again: " << again << ".";
            }
        }
    } else {
        server = Serve(*settings, reason);
    }
    if (!server) {
        LOG_ERROR << "Cannot serve metrics on " << settings->address << ":" << settings->port
                  << ": " << reason << "."
                  << (server_ ? " Metrics stay on " + Url() + "." : " Metrics are not served.");
        return false;
    }
    server_ = std::move(server);
    settings_ = settings;
    return true;
}

int MetricsEndpoint::Port() const {
    return server_ ? server_->Port() : 0;
}

std::unique_ptr<MetricsServer> MetricsEndpoint::Serve(const Settings& settings,
                                                      std::string& reason) const {
    auto server = MetricsServer::Start(settings, registry_, health_, reason);
    if (server) {
        LOG_INFO << "Serving metrics on http://" << settings.address << ":" << server->Port()
                 << "/metrics and /healthz.";
    }
    return server;
}

std::string MetricsEndpoint::Url() const {
    return "http://" + settings_->address + ":" + std::to_string(server_->Port()) + "/metrics";
}

}  // namespace Mux::Metrics
