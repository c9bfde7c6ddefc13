// Metrics: what one scrape of /metrics costs lockhub, and whether door commands notice
// scrapers: one that scrapes 20 times a second, and connections that never finish their
// request.

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>

#include "bench/Parts.h"
#include "bench/Traffic.h"
#include "metrics/MetricsServer.h"

namespace Bench {
namespace {

const std::vector<int> kGateways = {1, 2, 3, 4, 5, 6, 7, 8};
constexpr int kClients = 4;
constexpr auto kDoorGap = 400ms;  // per gateway: below one frame per 300 ms
constexpr auto kAnswerWait = 10s;
constexpr auto kIdleTime = 2s;
constexpr auto kWarmUp = 5s;
// 300 times as often as a Prometheus server's usual 15 s.
constexpr auto kScrapeInterval = 50ms;
constexpr double kP99AllowanceMs = 2;
constexpr unsigned kStalled = Mux::Metrics::MetricsServer::kConnectionLimit;

struct Sizes {
    int scrapes = 2000;
    Clock::duration traffic = 30s;
};

// Scrapes every kScrapeInterval on a thread of its own while kStalled connections hold
// unfinished requests, from construction to destruction.
class Scrapers {
public:
    explicit Scrapers(int port) {
        for (unsigned i = 0; i < kStalled; ++i) {
            stalled_.push_back(TestSupport::ConnectTo(port));
            TestSupport::SendAll(stalled_.back(), "GET /metr");
        }
        thread_ = std::thread([this, port] {
            for (auto next = Clock::now(); !stop_; next += kScrapeInterval) {
                if (TestSupport::HttpRequest(port, "GET", "/metrics", 1s).status == 200) {
                    ++answered_;
                }
                std::this_thread::sleep_until(next + kScrapeInterval);
            }
        });
    }
    ~Scrapers() {
        stop_ = true;
        thread_.join();
        for (int fd : stalled_) {
            ::close(fd);
        }
    }
    int Answered() const { return answered_; }

private:
    std::vector<int> stalled_;
    std::atomic<bool> stop_{false};
    std::atomic<int> answered_{0};
    std::thread thread_;
};

// Seconds of lockhub's CPU time per scrape, over scrapes one after the other, less what
// it spends idle; the scrapes' times and the size of the last one.
double CpuPerScrape(LockhubProcess& lockhub, int port, int scrapes, std::vector<double>& times,
                    size_t& bytes) {
    CpuUse before = lockhub.Meter().Cpu();
    std::this_thread::sleep_for(kIdleTime);
    const double idlePerSecond =
        (lockhub.Meter().Cpu().runSeconds - before.runSeconds) / Seconds(kIdleTime);
    before = lockhub.Meter().Cpu();
    const auto start = Clock::now();
    for (int i = 0; i < scrapes; ++i) {
        const auto sent = Clock::now();
        TestSupport::HttpAnswer answer = TestSupport::HttpRequest(port, "GET", "/metrics");
        times.push_back(Milliseconds(Clock::now() - sent));
        if (answer.status != 200) {
            Fail(Format("scrape %d answered %d", i, answer.status));
        }
        bytes = answer.body.size();
    }
    const double spent = lockhub.Meter().Cpu().runSeconds - before.runSeconds;
    return (spent - idlePerSecond * Seconds(Clock::now() - start)) / scrapes;
}

}  // namespace

bool MeasureMetricsScrape(const TempDir& folder, const Options& options, Summary& summary) {
    Sizes sizes;
    if (options.quick) {
        sizes = {300, 8s};
    }
    std::printf(
        "\n10. Metrics: the cost of one scrape of /metrics, and door commands beside scrapers\n"
        "    %zu gateways (locksim behind relays that note every frame), metrics served.\n"
        "    %d clients send door commands, one per gateway every %.0f ms: %.0f s to warm up,\n"
        "    %.0f s without scrapers, then (after %d scrapes one after the other, each on a\n"
        "    new connection: lockhub's CPU time over them, less its idle CPU, per scrape)\n"
        "    %.0f s while one scrapes every %.0f ms and %u connections (the server's limit)\n"
        "    hold unfinished requests. Round trips without those held by the frame spacing\n"
        "    behind lockhub's own keep-alive frame.\n",
        kGateways.size(), kClients, Milliseconds(kDoorGap), Seconds(kWarmUp),
        Seconds(sizes.traffic), sizes.scrapes, Seconds(sizes.traffic),
        Milliseconds(kScrapeInterval), kStalled);
    std::fflush(stdout);
    const auto [locksims, configured] = StartTappedGateways(folder, kGateways);
    const int metricsPort = TestSupport::FreePort();
    LockhubProcess lockhub(
        folder, "metrics", options,
        Configuration(configured, Format(R"("Metrics": {"Port": %d}, )", metricsPort)));
    MuxClient probe(lockhub.Port());
    if (!probe.Connected() || !WaitUntilReady(probe, kGateways, kFirstTaggedLock, kStartDeadline)) {
        Fail("the gateways did not become ready (lockhub " + lockhub.State() + ")");
    }
    Traffic traffic(lockhub.Port(), kClients);
    // A first run fills every series and settles the connections; it is not measured.
    traffic.Run({kGateways, kDoorGap, {}, kDoorGap, kWarmUp, kAnswerWait}, lockhub);
    const TrafficPlan plan{kGateways, kDoorGap, {}, kDoorGap, sizes.traffic, kAnswerWait};
    const TrafficResult quiet = traffic.Run(plan, lockhub);
    std::vector<double> scrapeTimes;
    size_t bytes = 0;
    const double cpuPerScrapeUs =
        CpuPerScrape(lockhub, metricsPort, sizes.scrapes, scrapeTimes, bytes) * 1e6;
    const Spread scrape = SpreadOf(scrapeTimes);
    std::printf("  %zu bytes a scrape; lockhub CPU %.0f us a scrape\n", bytes, cpuPerScrapeUs);
    PrintSpread("scrape, connect to last byte", scrape);

    TrafficResult scraped;
    int scrapes = 0;
    {
        Scrapers scrapers(metricsPort);
        scraped = traffic.Run(plan, lockhub);
        scrapes = scrapers.Answered();
    }
    // Each run names the same locks: its requests are matched with its own frames only.
    auto heldBySpacing = [&](const TrafficResult& run) {
        GatewayFrames frames;
        for (const auto& [id, locksim] : locksims) {
            for (const FrameLog::Frame& frame : locksim->Frames()) {
                if (frame.at >= run.start && frame.at <= run.end) {
                    frames[id].push_back(frame);
                }
            }
        }
        return MatchFrames(run.requests, frames).heldBySpacing;
    };
    const std::vector<bool> quietHeld = heldBySpacing(quiet);
    const std::vector<bool> scrapedHeld = heldBySpacing(scraped);
    const Spread without = SpreadOf(quiet.RoundTrips(kGateways, quietHeld));
    const Spread with = SpreadOf(scraped.RoundTrips(kGateways, scrapedHeld));
    PrintSpread("round trip, no scrapers", without);
    PrintSpread("round trip, scrapers", with);
    const int unanswered = quiet.Unanswered() + scraped.Unanswered();
    std::printf(
        "  %d scrapes answered; %d requests unanswered; held by\n"
        "  the spacing and left out: %td without scrapers, %td with\n",
        scrapes, unanswered, std::count(quietHeld.begin(), quietHeld.end(), true),
        std::count(scrapedHeld.begin(), scrapedHeld.end(), true));

    summary.Add(Format("one scrape of /metrics, %zu gateways", kGateways.size()),
                Format("lockhub CPU %.0f us; %zu bytes; p50 %.2f ms, p99 %.2f ms", cpuPerScrapeUs,
                       bytes, scrape.p50, scrape.p99),
                "report");
    summary.Add(
        Format("round trip while /metrics is scraped every %.0f ms and %u requests stall",
               Milliseconds(kScrapeInterval), kStalled),
        Format("p50 %.2f ms, p99 %.2f ms (%zu); without: p50 %.2f ms, p99 %.2f ms (%zu); %d "
               "unanswered",
               with.p50, with.p99, with.count, without.p50, without.p99, without.count, unanswered),
        Format("p99 within %.0f ms: %s", kP99AllowanceMs,
               Verdict(with.p99 <= without.p99 + kP99AllowanceMs && unanswered == 0)));
    return !lockhub.Running();
}

}  // namespace Bench
