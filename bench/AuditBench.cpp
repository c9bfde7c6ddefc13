// The audit trail under a request flood: the same flood of door commands with the trail
// off and on, in one run. Door commands to a gateway that is not configured are answered
// by lockhub at once, so the flood measures lockhub's own path, where the trail's line is
// recorded, rather than the gateways' 300 ms spacing.

#include <cstdio>
#include <thread>

#include "bench/Parts.h"

namespace Bench {
namespace {

constexpr int kClients = 4;
constexpr int kRequestsPerClient = 2500;
constexpr double kTargetMilliseconds = 1.0;

struct Flood {
    Spread spread;
    double cpuMillisecondsPerRequest = 0;
};

size_t TrailLines(const std::string& trail) {
    return TestSupport::CountOf(TestSupport::ReadFile(trail), "\n");
}

// trail: the audit trail's file, or empty for none.
Flood RunFlood(const TempDir& folder, const Options& options, const std::string& name,
               const std::string& trail) {
    const std::string extraTopLevel = trail.empty() ? "" : "\"AuditLog\": \"" + trail + "\", ";
    LockhubProcess lockhub(folder, name, options, Configuration({}, extraTopLevel));
    std::vector<std::unique_ptr<MuxClient>> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.push_back(std::make_unique<MuxClient>(lockhub.Port()));
        if (!clients.back()->Connected()) {
            Fail("cannot connect to lockhub");
        }
        Register(*clients.back(), Format("%s-register-%d", name.c_str(), c));
    }
    std::vector<std::vector<double>> times(kClients);
    const double cpuBefore = lockhub.Meter().Cpu().runSeconds;
    std::vector<std::thread> threads;
    for (int c = 0; c < kClients; ++c) {
        threads.emplace_back([&, c] {
            for (int i = 0; i < kRequestsPerClient; ++i) {
                const std::string id = Format("%s-%d-%d", name.c_str(), c, i);
                times[c].push_back(
                    RoundTrip(*clients[c], id, OpenRequest(id, kUnconfiguredGateway, 4711), kNack));
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    Flood flood;
    flood.cpuMillisecondsPerRequest =
        (lockhub.Meter().Cpu().runSeconds - cpuBefore) * 1000 / (kClients * kRequestsPerClient);
    std::vector<double> all;
    for (const std::vector<double>& client : times) {
        all.insert(all.end(), client.begin(), client.end());
    }
    flood.spread = SpreadOf(std::move(all));
    if (!trail.empty()) {
        // The writer thread may still be at it: lockhub must not be ended before.
        TestSupport::WaitFor([&] { return TrailLines(trail) >= kClients * kRequestsPerClient; },
                             10s);
    }
    return flood;
}

}  // namespace

bool MeasureAuditFlood(const TempDir& folder, const Options& options, Summary& summary) {
    std::printf(
        "\n9.  A request flood with the audit trail off and on\n"
        "    %d clients each send %d lock-opens, one after the other, to a gateway that is\n"
        "    not configured (lockhub answers each at once with a NACK and records it in the\n"
        "    trail): round trips without \"AuditLog\", then with it, in the same run.\n",
        kClients, kRequestsPerClient);
    std::fflush(stdout);
    const Flood off = RunFlood(folder, options, "audit-off", "");
    PrintSpread("trail off", off.spread);
    const Flood on = RunFlood(folder, options, "audit-on", folder.File("audit.log"));
    PrintSpread("trail on ", on.spread);
    const size_t lines = TrailLines(folder.File("audit.log"));
    std::printf("  trail: %zu lines; lockhub CPU per request %.0f us off, %.0f us on\n", lines,
                off.cpuMillisecondsPerRequest * 1000, on.cpuMillisecondsPerRequest * 1000);
    summary.Add(
        Format("request flood, %d requests, audit trail off / on", kClients * kRequestsPerClient),
        Format("p50 %.2f / %.2f ms, p99 %.2f / %.2f ms; %zu trail lines", off.spread.p50,
               on.spread.p50, off.spread.p99, on.spread.p99, lines),
        Format("p99 within %.0f ms: %s", kTargetMilliseconds,
               Verdict(on.spread.p99 <= off.spread.p99 + kTargetMilliseconds &&
                       lines >= static_cast<size_t>(kClients * kRequestsPerClient))));
    return false;
}

}  // namespace Bench
