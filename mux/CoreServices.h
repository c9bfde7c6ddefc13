#pragma once
// What the core offers besides routing requests to gateways: how its gateways and
// clients are doing (for the GATEWAYS request, the metrics and the service status), and
// subscriptions to gateway status events. The core (QuarnMux) implements it; the
// requests it answers itself (RequestRoutes.h) and its metrics use it.

#include <cstdint>
#include <string>
#include <vector>

#include "gateway/VirtualGateway.h"

namespace Mux {

// One configured gateway and its state.
struct GatewayReport {
    int id = 0;
    std::string description;
    std::string ipAddress;
    int port = 0;
    Quarn::VirtualGatewayHealth health{};
};

// How the core is doing at a glance.
struct CoreSummary {
    bool listening = false;  // the server socket listens
    int gateways = 0;        // the gateways created from the configuration
    int gatewaysReady = 0;
    int64_t clients = 0;

    // "<n> of <m> gateways ready, <k> clients"
    std::string Text() const {
        return std::to_string(gatewaysReady) + " of " + std::to_string(gateways) +
               " gateways ready, " + std::to_string(clients) + " clients";
    }
};

class CoreServices {
public:
    // Every created gateway, in configuration order. Any thread.
    virtual std::vector<GatewayReport> ReportGateways() = 0;
    // From now on the client gets an event (code 102) whenever a gateway's status
    // changes, until it disconnects. Any thread.
    virtual void SubscribeToGatewayStatus(int clientFd, uint64_t connectionId) = 0;

protected:
    ~CoreServices() = default;
};

}  // namespace Mux
