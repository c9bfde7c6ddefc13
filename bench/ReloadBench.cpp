// A reload of a site with 100 gateways, one of them changed: the others must not notice,
// and door commands sent meanwhile must be answered as fast as before.

#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

#include "bench/Parts.h"

namespace Bench {
namespace {

constexpr int kGateways = 100;
// Door commands go round these gateways, each getting one every 320 ms (the gateways' own
// spacing is 300 ms).
constexpr int kBusyGateways = 20;
constexpr auto kRequestGap = 16ms;
constexpr int kRequestsPerPhase = 250;
constexpr long kLock = 4711;
constexpr double kTargetMilliseconds = 2.0;

// Gateway n on ports[n - 1], the last one on lastPort.
std::string Site(const std::vector<int>& ports, int lastPort) {
    std::vector<std::string> gateways;
    for (int id = 1; id <= kGateways; ++id) {
        gateways.push_back(GatewayJson(id, Format("Gateway %d", id),
                                       id == kGateways ? lastPort : ports[id - 1], kLock));
    }
    return Configuration(gateways);
}

std::vector<double> DoorCommands(MuxClient& client, const std::string& phase,
                                 const std::function<void(int)>& during = nullptr) {
    std::vector<double> times;
    for (int n = 0; n < kRequestsPerPhase; ++n) {
        if (during) {
            during(n);
        }
        const std::string id = Format("%s-%d", phase.c_str(), n);
        times.push_back(RoundTrip(client, id, OpenRequest(id, 1 + n % kBusyGateways, kLock), kAck));
        std::this_thread::sleep_for(kRequestGap);
    }
    return times;
}

}  // namespace

bool MeasureReload(const TempDir& folder, const Options& options, Summary& summary) {
    std::printf(
        "\n11. Reload with %d gateways, 1 changed\n"
        "    %d gateways, each a locksim; door commands go round %d of them, one every %lld ms,\n"
        "    each answered before the next: %d as a baseline, then %d while the configuration\n"
        "    is rewritten (gateway %d moves to another locksim) and SIGUSR1 sent.\n",
        kGateways, kGateways, kBusyGateways, static_cast<long long>(kRequestGap.count()),
        kRequestsPerPhase, kRequestsPerPhase, kGateways);
    std::fflush(stdout);
    std::vector<std::unique_ptr<TestSupport::Locksim>> site;
    std::vector<int> ports;
    for (int id = 1; id <= kGateways + 1; ++id) {
        site.push_back(std::make_unique<TestSupport::Locksim>(
            folder, std::vector<std::string>{"--locks", std::to_string(kLock)}));
        if (site.back()->Port() == 0) {
            Fail("locksim did not start");
        }
        ports.push_back(site.back()->Port());
    }
    TestSupport::Locksim& moved = *site.back();
    LockhubProcess lockhub(folder, "reload", options, Site(ports, ports[kGateways - 1]));
    MuxClient client(lockhub.Port());
    std::vector<int> all;
    for (int id = 1; id <= kGateways; ++id) {
        all.push_back(id);
    }
    if (!client.Connected() || !WaitUntilReady(client, all, kLock, 30s)) {
        Fail("the gateways did not become ready (lockhub " + lockhub.State() + ")");
    }
    const Spread baseline = SpreadOf(DoorCommands(client, "baseline"));
    PrintSpread("baseline", baseline);
    const Spread reload = SpreadOf(DoorCommands(client, "reload", [&](int n) {
        if (n == kRequestsPerPhase / 4) {
            TestSupport::WriteFile(folder.File("reload.json"), Site(ports, moved.Port()));
            ::syscall(SYS_tgkill, lockhub.Pid(), lockhub.Pid(), SIGUSR1);
        }
    }));
    PrintSpread("during the reload", reload);
    const bool reloaded = TestSupport::WaitFor([&] {
        return TestSupport::ReadFile(lockhub.LogFile())
                   .find("Configuration reloaded: 1 gateways") != std::string::npos;
    });
    size_t reconnects = 0;
    for (int id = 1; id < kGateways; ++id) {
        reconnects += TestSupport::CountOf(site[id - 1]->Output(), "locksim connected") - 1;
    }
    const bool movedConnected = moved.WaitForOutput("locksim connected");
    std::printf(
        "  reloaded: %s; connections to the unchanged gateways' locksim after the first "
        "%d: %zu; the moved gateway connected to its new address: %s\n",
        reloaded ? "yes" : "no", kGateways, reconnects, movedConnected ? "yes" : "no");
    summary.Add(Format("reload, %d gateways, 1 changed: door commands before / during", kGateways),
                Format("p50 %.2f / %.2f ms, p99 %.2f / %.2f ms; %zu reconnects of the others",
                       baseline.p50, reload.p50, baseline.p99, reload.p99, reconnects),
                Format("p99 within %.0f ms, no reconnect: %s", kTargetMilliseconds,
                       Verdict(reloaded && movedConnected && reconnects == 0 &&
                               reload.p99 <= baseline.p99 + kTargetMilliseconds)));
    return false;
}

}  // namespace Bench
