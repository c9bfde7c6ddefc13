#include "mux/CoreMetrics.h"

#include <iterator>
#include <map>

#include "diagnostics/Logger.h"
#include "metrics/ProcessMetrics.h"
#include "mux/CommandLine.h"
#include "mux/CoreServices.h"
#include "mux/MuxRequestRecord.h"
#include "mux/protocol/MuxMessageCodes.h"
#include "mux/protocol/MuxRequestTypes.h"

namespace Mux {
namespace {

using Metrics::Description;
using Metrics::Sample;
using Metrics::Type;

constexpr Quarn::VirtualGatewayStatuses kStatuses[] = {
    Quarn::UNKNOWN,      Quarn::INITIALIZED, Quarn::CONNECTED,  Quarn::READY,
    Quarn::DISCONNECTED, Quarn::FAULTED,     Quarn::NOT_PRESENT};

std::vector<Sample> GatewaysByStatus(CoreServices& core) {
    std::map<Quarn::VirtualGatewayStatuses, int> counts;
    for (const GatewayReport& report : core.ReportGateways()) {
        ++counts[report.health.status];
    }
    std::vector<Sample> samples;
    for (Quarn::VirtualGatewayStatuses status : kStatuses) {
        samples.push_back({{Quarn::StatusName(status)}, static_cast<double>(counts[status])});
    }
    return samples;
}

// The status of each gateway ID: of gateways that share an ID, the first's (the one routed).
std::map<int, Quarn::VirtualGatewayStatuses> StatusById(CoreServices& core) {
    std::map<int, Quarn::VirtualGatewayStatuses> statuses;
    for (const GatewayReport& report : core.ReportGateways()) {
        statuses.try_emplace(report.id, report.health.status);
    }
    return statuses;
}

std::vector<Sample> GatewaysUp(CoreServices& core) {
    std::vector<Sample> samples;
    for (const auto& [id, status] : StatusById(core)) {
        samples.push_back({{std::to_string(id)}, status == Quarn::READY ? 1.0 : 0.0});
    }
    return samples;
}

// For each gateway ID one sample per status word: 1 for its status, 0 for the others.
std::vector<Sample> GatewayStatuses(CoreServices& core) {
    std::vector<Sample> samples;
    for (const auto& [id, current] : StatusById(core)) {
        const std::string gateway = std::to_string(id);
        for (Quarn::VirtualGatewayStatuses status : kStatuses) {
            samples.push_back(
                {{gateway, Quarn::StatusName(status)}, status == current ? 1.0 : 0.0});
        }
    }
    return samples;
}

// One sample per gateway ID of a count each report gives; gateways that share an ID (only
// the first is routed) share the sample.
std::vector<Sample> PerGateway(CoreServices& core, uint64_t Quarn::VirtualGatewayHealth::*count) {
    std::map<int, double> sums;
    for (const GatewayReport& report : core.ReportGateways()) {
        sums[report.id] += static_cast<double>(report.health.*count);
    }
    std::vector<Sample> samples;
    for (const auto& [id, sum] : sums) {
        samples.push_back({{std::to_string(id)}, sum});
    }
    return samples;
}

}  // namespace

CoreMetrics::CoreMetrics(CoreServices& core)
    : requests_(registry_.AddCounter("lockhub_requests_total",
                                     "Requests answered, by what they ask of a lock (other: "
                                     "nothing) and by the answer (ack or nack).",
                                     {"kind", "outcome"})),
      roundTrips_(registry_.AddHistogram(
          "lockhub_gateway_round_trip_seconds",
          "Time from a request's arrival to its answer built from its gateway's report, "
          "failures included, by gateway ID.",
          {"gateway"}, {std::begin(kRoundTripBounds), std::end(kRoundTripBounds)})),
      clients_(
          registry_.AddGauge("lockhub_clients_connected", "Client connections open.").With({})),
      events_(registry_
                  .AddCounter("lockhub_events_delivered_total",
                              "Events handed to clients, one per event and client.")
                  .With({})) {
    registry_.AddCollected(
        {"lockhub_gateways", "Configured gateways by status.", Type::gauge, {"status"}},
        [&core] { return GatewaysByStatus(core); });
    registry_.AddCollected({"lockhub_gateway_up",
                            "1 while the gateway is READY, else 0, by gateway ID (of gateways "
                            "sharing an ID, the first).",
                            Type::gauge,
                            {"gateway"}},
                           [&core] { return GatewaysUp(core); });
    registry_.AddCollected({"lockhub_gateway_status",
                            "1 for the gateway's status and 0 for each other status, by gateway "
                            "ID (of gateways sharing an ID, the first).",
                            Type::gauge,
                            {"gateway", "status"}},
                           [&core] { return GatewayStatuses(core); });
    registry_.AddCollected(
        {"lockhub_gateway_reconnects_total",
         "Connections made to a gateway after its first, by gateway ID.",
         Type::counter,
         {"gateway"}},
        [&core] { return PerGateway(core, &Quarn::VirtualGatewayHealth::reconnects); });
    registry_.AddCollected(
        {"lockhub_gateway_crc_errors_total",
         "Frames from a gateway dropped for a wrong CRC, by gateway ID.",
         Type::counter,
         {"gateway"}},
        [&core] { return PerGateway(core, &Quarn::VirtualGatewayHealth::crcErrors); });
    registry_.AddCollected(
        {"lockhub_log_lines_dropped_total",
         "Log lines dropped because an output could not keep up.",
         Type::counter,
         {}},
        [] {
            return std::vector<Sample>{{{}, static_cast<double>(Diagnostics::DroppedLogLines())}};
        });
    registry_.AddGauge("lockhub_build_info", "lockhub's version; always 1.", {"version"})
        .With({kVersion})
        .Set(1);
    Metrics::AddProcessMetrics(registry_);
}

void CoreMetrics::Delivered(const MuxRequestRecord& record) {
    if (record.isEvent) {
        events_.Inc();
        return;
    }
    const MuxRequestType* type = FindRequestType(record.requestMessage->GetMessageCode());
    const char* kind = type != nullptr && type->kind != nullptr ? type->kind : "other";
    const bool ack = record.answerMessage->GetMessageCode() == MUX_MESSAGE_ACK;
    requests_.With({kind, ack ? "ack" : "nack"}).Inc();
}

void CoreMetrics::GatewayAnswered(int gatewayId, std::chrono::steady_clock::time_point receivedAt) {
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - receivedAt;
    roundTrips_.With({std::to_string(gatewayId)}).Observe(elapsed.count());
}

int64_t CoreMetrics::Clients() const {
    return clients_.Value();
}

}  // namespace Mux
