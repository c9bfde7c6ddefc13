// The audit trail under a request flood: the same flood of door commands with the trail
// off and on, in one run. Door commands to a gateway that is not configured are answered
// by lockhub at once, so the flood measures lockhub's own path, where the trail's line is
// recorded, rather than the gateways' 300 ms spacing.

#include <cstdio>
#include <cstdlib>
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

// A burst of door commands from many clients at once, with "AuditSync" as given.
struct Burst {
    Spread spread;
    double seconds = 0;
    double syncs = 0;
};

constexpr int kBurstClients = 8;
constexpr int kBurstEach = 25;  // 200 door commands in all

double SyncsSoFar(int metricsPort) {
    const std::string text = TestSupport::HttpRequest(metricsPort, "GET", "/metrics").body;
    const std::string name = "lockhub_audit_syncs_total ";
    const size_t at = text.find("\n" + name);
    return at == std::string::npos ? -1 : std::atof(text.c_str() + at + 1 + name.size());
}

Burst RunBurst(const TempDir& folder, const Options& options, const std::string& sync) {
    const int metricsPort = TestSupport::FreePort();
    LockhubProcess lockhub(folder, "audit-" + sync, options,
                           Configuration({}, Format("\"AuditLog\": \"%s\", \"AuditSync\": \"%s\", "
                                                    "\"Metrics\": {\"Port\": %d}, ",
                                                    folder.File("audit-" + sync + ".log").c_str(),
                                                    sync.c_str(), metricsPort)));
    std::vector<std::unique_ptr<MuxClient>> clients;
    for (int c = 0; c < kBurstClients; ++c) {
        clients.push_back(std::make_unique<MuxClient>(lockhub.Port()));
        Register(*clients.back(), Format("%s-register-%d", sync.c_str(), c));
    }
    if (!TestSupport::WaitFor([&] { return SyncsSoFar(metricsPort) >= 0; }, 10s)) {
        Fail("no lockhub_audit_syncs_total at /metrics");
    }
    // Let the registrations' lines be synced first, so that the burst counts its own.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    std::vector<std::vector<double>> times(kBurstClients);
    const double syncsBefore = SyncsSoFar(metricsPort);
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < kBurstClients; ++c) {
        threads.emplace_back([&, c] {
            for (int i = 0; i < kBurstEach; ++i) {
                const std::string id = Format("%s-%d-%d", sync.c_str(), c, i);
                times[c].push_back(
                    RoundTrip(*clients[c], id, OpenRequest(id, kUnconfiguredGateway, 4711), kNack));
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    Burst burst;
    burst.seconds = Seconds(Clock::now() - start);
    burst.syncs = SyncsSoFar(metricsPort) - syncsBefore;
    std::vector<double> all;
    for (const std::vector<double>& client : times) {
        all.insert(all.end(), client.begin(), client.end());
    }
    burst.spread = SpreadOf(std::move(all));
    return burst;
}

}  // namespace

bool MeasureAuditSync(const TempDir& folder, const Options& options, Summary& summary) {
    std::printf(
        "\n9b. \"AuditSync\": \"interval\" against \"before-send\" on this machine's disk\n"
        "    %d clients at once each send %d lock-opens, one after the other, to a gateway\n"
        "    that is not configured (answered at once: the trail is the only cost); the syncs\n"
        "    are lockhub_audit_syncs_total's growth over the burst.\n",
        kBurstClients, kBurstEach);
    std::fflush(stdout);
    std::string figures;
    for (const char* sync : {"interval", "before-send"}) {
        const Burst burst = RunBurst(folder, options, sync);
        PrintSpread(sync, burst.spread);
        std::printf("  %.0f syncs in %.3f s: %.0f a second, %.1f commands a sync\n", burst.syncs,
                    burst.seconds, burst.syncs / burst.seconds,
                    burst.syncs > 0 ? kBurstClients * kBurstEach / burst.syncs : 0.0);
        figures += Format("%s%s p50 %.2f ms, p99 %.2f ms, %.0f syncs (%.0f/s)",
                          figures.empty() ? "" : "; ", sync, burst.spread.p50, burst.spread.p99,
                          burst.syncs, burst.syncs / burst.seconds);
    }
    summary.Add(Format("AuditSync interval / before-send, a burst of %d door commands",
                       kBurstClients * kBurstEach),
                figures);
    return false;
}

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
