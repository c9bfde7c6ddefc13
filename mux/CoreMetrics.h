#pragma once
// The core's metrics, named lockhub_...: what the core counts as requests, answers and
// events pass (requests by kind and outcome, the round trip through each gateway, clients
// connected, events delivered), what it collects at each rendering from its gateways
// (gateways by status; each gateway's readiness, status, reconnects and CRC errors) and
// from the logger (log lines dropped), and the build's version. Beside them the process's
// own (ProcessMetrics.h). Always kept, whether or not they are served: updating one is an
// atomic operation or two.
//
// Threads: the operations say who calls them; rendering (through Registry) on the metrics
// server's thread. Ownership: owned by the core; borrows the core's services, which it
// calls only while rendering.

#include <chrono>
#include <cstdint>

#include "metrics/Registry.h"

namespace Mux {

class CoreServices;
struct MuxRequestRecord;

class CoreMetrics {
public:
    // Seconds: from 1 ms to the longest request time-outs, with the 300 ms frame spacing
    // between.
    static constexpr double kRoundTripBounds[] = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1,
                                                  0.25,  0.5,    1,     2.5,  5,     10,   30};

    explicit CoreMetrics(CoreServices& core);
    CoreMetrics(const CoreMetrics&) = delete;
    CoreMetrics& operator=(const CoreMetrics&) = delete;

    Metrics::Registry& Registry() { return registry_; }

    // An answer or event was handed to its client or the broker (any thread).
    void Delivered(const MuxRequestRecord& record);
    // A command from the broker that could not be read was answered "Error in request"
    // (the MQTT bridge's thread).
    void RefusedUnread() { requests_.With({"other", "nack"}).Inc(); }
    // A gateway's report became the answer of a request that arrived at receivedAt
    // (gateway threads).
    void GatewayAnswered(int gatewayId, std::chrono::steady_clock::time_point receivedAt);
    // A client connected or went (server socket threads).
    void ClientJoined() { clients_.Add(1); }
    void ClientLeft() { clients_.Add(-1); }
    // Clients connected now; any thread.
    int64_t Clients() const;

private:
    Metrics::Registry registry_;
    Metrics::Family<Metrics::Counter>& requests_;
    Metrics::Family<Metrics::Histogram>& roundTrips_;
    Metrics::Gauge& clients_;
    Metrics::Counter& events_;
};

}  // namespace Mux
