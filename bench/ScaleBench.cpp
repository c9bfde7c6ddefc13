// Scale: lockhub with 8 gateways and then with 1,000, served by a GatewayFarm in this
// process. For each: lockhub's threads and resident memory once every gateway is READY,
// its CPU over an idle window, and door-command round trips spread over the gateways.

#include <sys/resource.h>

#include <cstdio>
#include <optional>
#include <thread>

#include "bench/GatewayFarm.h"
#include "bench/Parts.h"

namespace Bench {
namespace {

using TestSupport::Member;

constexpr int kFewGateways = 8;
constexpr int kManyGateways = 1000;
constexpr long kLock = 4711;
constexpr int kGatewaysRequest = 100;
constexpr long kThreadTarget = 12;
constexpr double kIdleCpuTargetPercent = 0.1;
// lockhub refreshes each gateway's sequence counter this often (its keep-alive): a window
// this long holds one refresh per gateway wherever it falls.
constexpr auto kKeepAlivePeriod = 27s;
constexpr auto kReadyDeadline = 60s;
constexpr auto kReadyPoll = 100ms;
constexpr auto kSettle = 1s;  // after READY, for start-up's log lines to be written
constexpr auto kRequestGap = 42ms;
// Door commands visit the gateways in steps of this (coprime to 8 and to 1,000), so that
// at 1,000 they reach all over the configuration.
constexpr int kStride = 37;
// lockhub counts its spacing from its own send; the farm sees the frame a little later.
constexpr auto kSpacingMargin = 5ms;

struct Sizes {
    std::chrono::seconds idle = kKeepAlivePeriod;
    int doorCommands = 300;
};

struct Figures {
    int gateways = 0;
    double readySeconds = 0;
    long threads = 0;
    long residentKb = 0;
    double idleRunPercent = 0;
    double idleTickPercent = 0;
    double wakeupsPerSecond = 0;
    double keepAlivesPerSecond = 0;  // frames the gateways received in the idle window
    Spread doors;
    int held = 0;  // door commands that first waited for their gateway's frame spacing
};

// A descriptor per gateway listener and per connection here, and the clients.
void EnsureDescriptors(int gateways) {
    const rlim_t needed = static_cast<rlim_t>(2 * gateways + 256);
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    if (files.rlim_cur < needed && files.rlim_max >= needed) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    if (files.rlim_cur < needed) {
        Fail(Format("RLIMIT_NOFILE allows %llu descriptors, %d gateways need %llu",
                    static_cast<unsigned long long>(files.rlim_cur), gateways,
                    static_cast<unsigned long long>(needed)));
    }
}

// Asks lockhub for its gateways (request 100) until all are READY: the seconds since
// started that took.
std::optional<double> WaitUntilAllReady(MuxClient& client, int gateways,
                                        Clock::time_point started) {
    for (int serial = 0; Clock::now() - started < kReadyDeadline; ++serial) {
        const std::string id = Format("gateways-%d", serial);
        if (!client.Send(TestSupport::Request(id, kGatewaysRequest, "null"))) {
            return std::nullopt;
        }
        std::string answer;
        do {
            answer = client.Receive(kAnswerDeadline);
        } while (!answer.empty() && Member(answer, "MessageID") != "\"" + id + "\"");
        if (answer.empty()) {
            return std::nullopt;
        }
        if (TestSupport::CountOf(answer, R"("Status":"READY")") == static_cast<size_t>(gateways)) {
            return Seconds(Clock::now() - started);
        }
        std::this_thread::sleep_for(kReadyPoll);
    }
    return std::nullopt;
}

// Lock-opens one after the other, kRequestGap apart, going round the gateways in steps of
// kStride. One whose gateway had a frame (a keep-alive, say) less than the spacing ago
// waits that out before it is sent: the figure is lockhub's path, not the spacing rule.
void DoorCommands(GatewayFarm& farm, MuxClient& client, const Sizes& sizes, Figures& figures) {
    std::vector<double> times;
    for (int n = 0; n < sizes.doorCommands; ++n) {
        const int index = n * kStride % farm.Count();
        std::this_thread::sleep_for(kRequestGap);
        const auto sendable = farm.LastFrame(index) + kGatewaySpacing + kSpacingMargin;
        if (sendable > Clock::now()) {
            ++figures.held;
            std::this_thread::sleep_until(sendable);
        }
        const std::string id = Format("scale-%d-%d", farm.Count(), n);
        times.push_back(RoundTrip(client, id, OpenRequest(id, index + 1, kLock), kAck));
    }
    figures.doors = SpreadOf(times);
}

// lockhub's CPU and wake-ups over the idle window, and the gateways' frames meanwhile.
void MeasureIdle(const LockhubProcess& lockhub, const GatewayFarm& farm, const Sizes& sizes,
                 Figures& figures) {
    const CpuUse before = lockhub.Meter().Cpu();
    const long framesBefore = farm.Frames();
    const auto start = Clock::now();
    std::this_thread::sleep_for(sizes.idle);
    const CpuUse after = lockhub.Meter().Cpu();
    const double seconds = Seconds(Clock::now() - start);
    figures.idleRunPercent = 100 * (after.runSeconds - before.runSeconds) / seconds;
    figures.idleTickPercent = 100 * (after.tickSeconds - before.tickSeconds) / seconds;
    figures.wakeupsPerSecond = static_cast<double>(after.switches - before.switches) / seconds;
    figures.keepAlivesPerSecond = static_cast<double>(farm.Frames() - framesBefore) / seconds;
}

Figures Measure(const TempDir& folder, const Options& options, const Sizes& sizes, int count) {
    Figures figures;
    figures.gateways = count;
    EnsureDescriptors(count);
    GatewayFarm farm(count);
    std::vector<std::string> gateways;
    for (int id = 1; id <= count; ++id) {
        gateways.push_back(GatewayJson(id, Format("Gateway %d", id), farm.Port(id - 1), kLock));
    }
    const auto started = Clock::now();
    LockhubProcess lockhub(folder, Format("scale-%d", count), options, Configuration(gateways));
    MuxClient client(lockhub.Port());
    const std::optional<double> ready =
        client.Connected() ? WaitUntilAllReady(client, count, started) : std::nullopt;
    if (!ready) {
        Fail(Format("not all %d gateways became READY within %.0f s (lockhub %s)", count,
                    Seconds(kReadyDeadline), lockhub.State().c_str()));
    }
    figures.readySeconds = *ready;
    std::this_thread::sleep_for(kSettle);
    figures.threads = lockhub.Meter().Threads();
    figures.residentKb = lockhub.Meter().ResidentKilobytes();
    MeasureIdle(lockhub, farm, sizes, figures);
    DoorCommands(farm, client, sizes, figures);
    if (!lockhub.Running()) {
        Fail("lockhub ended during the run");
    }
    std::printf(
        "  %4d gateways: all READY %.2f s after start-up; %ld threads; VmRSS %ld kB\n"
        "                idle: %.4f %% of one core (utime+stime %.3f %%), %.1f wake-ups/s,\n"
        "                %.1f keep-alive frames/s at the gateways\n",
        count, figures.readySeconds, figures.threads, figures.residentKb, figures.idleRunPercent,
        figures.idleTickPercent, figures.wakeupsPerSecond, figures.keepAlivesPerSecond);
    PrintSpread(Format("door commands (%d waited first):", figures.held).c_str(), figures.doors);
    std::fflush(stdout);
    return figures;
}

void AddToSummary(const Figures& few, const Figures& many, const Sizes& sizes, Summary& summary) {
    summary.Add(Format("lockhub's threads, all gateways READY, %d / %d gateways", few.gateways,
                       many.gateways),
                Format("%ld / %ld", few.threads, many.threads),
                Format("the same, <= %ld: %s", kThreadTarget,
                       Verdict(few.threads == many.threads && many.threads <= kThreadTarget)));
    summary.Add(Format("resident memory, %d / %d gateways READY", few.gateways, many.gateways),
                Format("%ld / %ld kB", few.residentKb, many.residentKb));
    summary.Add(Format("idle CPU, %d / %d gateways, %lld s", few.gateways, many.gateways,
                       static_cast<long long>(sizes.idle.count())),
                Format("%.4f / %.4f %% of a core (%.1f / %.1f wake-ups/s)", few.idleRunPercent,
                       many.idleRunPercent, few.wakeupsPerSecond, many.wakeupsPerSecond),
                Format("< %.1f %%: %s", kIdleCpuTargetPercent,
                       Verdict(few.idleRunPercent < kIdleCpuTargetPercent &&
                               many.idleRunPercent < kIdleCpuTargetPercent)));
    summary.Add(
        Format("door commands spread over %d gateways (%d)", many.gateways, sizes.doorCommands),
        Format("p50 %.2f ms, p99 %.2f ms; over %d gateways p50 %.2f ms, p99 %.2f ms",
               many.doors.p50, many.doors.p99, few.gateways, few.doors.p50, few.doors.p99),
        "report");
}

}  // namespace

bool MeasureScale(const TempDir& folder, const Options& options, Summary& summary) {
    Sizes sizes;
    if (options.quick) {
        sizes.idle = 5s;
        sizes.doorCommands = 50;
    }
    std::printf(
        "\n12. Scale: lockhub with %d gateways, then with %d\n"
        "    The gateways are served by one thread of this program, each on a port of its own\n"
        "    (sequence counter, OK to a door command). Once lockhub's gateway list (request\n"
        "    %d) shows every one READY: its threads and VmRSS from /proc/PID/status, then its\n"
        "    CPU over %lld s of no traffic (one client connected; %lld s hold one keep-alive\n"
        "    per gateway), then %d lock-opens %lld ms apart, in steps of %d over the gateways,\n"
        "    each sent once its gateway's last frame is %.0f ms old.\n",
        kFewGateways, kManyGateways, kGatewaysRequest, static_cast<long long>(sizes.idle.count()),
        static_cast<long long>(kKeepAlivePeriod.count()), sizes.doorCommands,
        static_cast<long long>(kRequestGap.count()), kStride, Milliseconds(kGatewaySpacing));
    if (sizes.idle < kKeepAlivePeriod) {
        std::printf("    (--quick: the idle window may hold no keep-alive at all)\n");
    }
    std::fflush(stdout);
    const Figures few = Measure(folder, options, sizes, kFewGateways);
    const Figures many = Measure(folder, options, sizes, kManyGateways);
    AddToSummary(few, many, sizes, summary);
    return false;
}

}  // namespace Bench
