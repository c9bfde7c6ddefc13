// lockhub_bench: what a request, an event and an idle hour cost in lockhub, and how one
// gateway's trouble stays with it, measured from outside on 127.0.0.1 with real
// processes: lockhub, one locksim per gateway (in the scale part, gateways served by this
// process), and clients in this process. Prints each figure with how it was taken, then a
// summary table.
//
//   lockhub_bench [--quick] [--verbose] [--keep FOLDER] [--lockhub PROGRAM] [--only PART]...
//                 [--mqtt-seconds N]
//     --quick      fewer samples and shorter waits (a smoke run, not figures to quote)
//     --verbose    lockhub logs at verbose severity (timestamps for profiling; slower)
//     --keep F     copy lockhub's logs and the locksim outputs to folder F/PART at the end
//     --lockhub P  measure this lockhub program instead of the one built with the bench
//     --only PART  run only this part (repeatable): basic, isolation, door-first, restart,
//                  log-stall, audit, tls, mqtt, metrics, reload, scale, homeassistant
//     --mqtt-seconds N  how long the mqtt part sends 1,000 events/s (60; 5 with --quick)
// A part that fails is noted in the summary, its processes ended and its logs kept.

#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "bench/Parts.h"
#include "bench/ProcessMeter.h"
#include "bench/TcpRelay.h"
#include "messages/QuarnMessageBuilder.h"
#include "tests/support/Processes.h"
#include "tests/support/TestSupport.h"

namespace Bench {
namespace {

using TestSupport::Locksim;
using TestSupport::Member;

constexpr int kGatewayCount = 8;
constexpr int kLockId = 4711;  // locksim's lock
constexpr const char* kCardEvent = "51";
constexpr const char* kCardCommand = "card 4711 04A10B";
// Between two paced requests: with the requests going round the gateways, each gateway's
// last frame is kGatewayCount * kIdleGap (336 ms) old when its next request comes.
constexpr auto kIdleGap = 42ms;
static_assert(kGatewayCount * kIdleGap > kGatewaySpacing);
// In the memory run: real requests to each gateway this far apart, and in between a
// request to an unconfigured gateway every kNackGap.
constexpr auto kMemoryGatewayGap = 320ms;
constexpr auto kNackGap = 2ms;
constexpr int kMemoryBatches = 4;

// The fan-out clients register one in this many (and the last): lockhub accepts in order,
// so a registered client shows every earlier one accepted.
constexpr size_t kRegisterEvery = 500;

// Targets on the reference machine (2 cores).
constexpr double kRoundTripP99TargetMs = 2;
// The round trip's median may be at most this many times the relay's.
constexpr double kRoundTripOverFloorTarget = 4;
constexpr double kCpuPerRequestTargetUs = 100;
// lockhub against socat relaying the same frames: CPU per round trip, and the median.
constexpr double kCpuOverSocatTarget = 1.5;
constexpr double kLatencyOverSocatTarget = 1.2;
constexpr double kIdleCpuTargetPercent = 0.1;
constexpr double kFanOutTargetMs = 100;

struct Sizes {
    int roundTrips = 200;
    int backToBack = 200;
    std::chrono::seconds idleTime{10};
    int idleClients = 20;
    int fanOutClients = 10000;
    int eventRounds = 10;
    int memoryRequests = 2000;
};

// lockhub with kGatewayCount gateways, each a locksim of its own (a gateway has one
// sequence counter, so gateways do not share a simulator).
class Rig {
public:
    Rig(const TempDir& folder, const Options& options) {
        std::vector<std::string> gateways;
        for (int id = 1; id <= kGatewayCount; ++id) {
            locksims_.push_back(std::make_unique<Locksim>(folder));
            if (locksims_.back()->Port() == 0) {
                Fail("locksim did not start");
            }
            gateways.push_back(GatewayJson(id, "Bench gateway", locksims_.back()->Port(), kLockId));
        }
        lockhub_ =
            std::make_unique<LockhubProcess>(folder, "lockhub", options, Configuration(gateways));
    }

    int Port() const { return lockhub_->Port(); }
    Locksim& Gateway(int id) { return *locksims_.at(static_cast<size_t>(id - 1)); }
    const ProcessMeter& Meter() const { return lockhub_->Meter(); }
    pid_t LockhubPid() const { return lockhub_->Pid(); }
    bool LockhubRunning() { return lockhub_->Running(); }

private:
    std::vector<std::unique_ptr<Locksim>> locksims_;
    std::unique_ptr<LockhubProcess> lockhub_;
};

// Reads a gateway frame whole: its first byte is its length.
bool ReceiveFrame(int fd) {
    std::string frame = TestSupport::ReceiveFor(fd, 1, kAnswerDeadline);
    if (frame.empty()) {
        return false;
    }
    const size_t length = static_cast<unsigned char>(frame[0]);
    if (frame.size() < length) {
        frame += TestSupport::ReceiveFor(fd, length - frame.size(), kAnswerDeadline);
    }
    return frame.size() >= length;
}

// The second floor, when installed: a relay program of its own, as lockhub is.
constexpr const char* kSocat = "/usr/bin/socat";

// The floor: lock-open frames through a plain relay to a locksim of its own, answered
// there. The same processes' worth of loopback hops as through lockhub, nothing between.
// socat relays to the same locksim; the two connections share its sequence counter.
class Floor {
public:
    Floor() : locksim_(folder_) {
        if (locksim_.Port() == 0) {
            Fail("locksim did not start");
        }
        relay_ = std::make_unique<TcpRelay>(locksim_.Port());
        relayFd_ = TestSupport::ConnectTo(relay_->Port());
        if (relayFd_ == -1) {
            Fail("cannot connect to the relay");
        }
        if (::access(kSocat, X_OK) == 0) {
            StartSocat();
        }
    }
    ~Floor() {
        ::close(relayFd_);
        if (socatFd_ != -1) {
            ::close(socatFd_);
        }
    }
    Floor(const Floor&) = delete;
    Floor& operator=(const Floor&) = delete;

    bool HasSocat() const { return socat_ != nullptr; }
    // Milliseconds from just before the send to the whole answer frame read.
    double RoundTrip() { return RoundTripOn(relayFd_); }
    double SocatRoundTrip() { return RoundTripOn(socatFd_); }
    double RelayCpuSeconds() { return relay_->CpuSeconds(); }
    double SocatCpuSeconds() const { return socatMeter_->Cpu().runSeconds; }

private:
    // One client, no fork: the process measured is the one relaying. nodelay as the relay.
    void StartSocat() {
        const int port = QuietPort();
        socat_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{kSocat,
                                     Format("TCP-LISTEN:%d,bind=127.0.0.1,reuseaddr,nodelay", port),
                                     Format("TCP:127.0.0.1:%d,nodelay", locksim_.Port())},
            ChildProcess::Options{"", {}, folder_.Path()});
        socatMeter_ = std::make_unique<ProcessMeter>(socat_->Pid());
        socatFd_ = TestSupport::ConnectTo(port, kStartDeadline);
        if (socatFd_ == -1) {
            Fail("cannot connect to socat: " + socat_->Errors());
        }
    }

    double RoundTripOn(int fd) {
        auto frame = builder_.BuildOpenLockMessage(kLockId, 0, 0, false);
        std::vector<unsigned char> bytes = frame->Serialize();
        const auto start = Clock::now();
        if (!TestSupport::SendAll(fd, std::string(bytes.begin(), bytes.end())) ||
            !ReceiveFrame(fd)) {
            Fail(fd == relayFd_ ? "the relay or its locksim did not answer"
                                : "socat or its locksim did not answer");
        }
        const double elapsed = Milliseconds(Clock::now() - start);
        builder_.IncrementSequenceCounter();
        builder_.NextReferenceId();
        return elapsed;
    }

    TempDir folder_;
    Locksim locksim_;
    std::unique_ptr<TcpRelay> relay_;
    std::unique_ptr<ChildProcess> socat_;
    std::unique_ptr<ProcessMeter> socatMeter_;
    int relayFd_ = -1;
    int socatFd_ = -1;
    // locksim starts at sequence 1000; the builder stamps its counter + 1.
    Quarn::Messages::QuarnMessageBuilder builder_{1000, 1};
};

struct Results {
    Spread idleGateway;
    Spread floorPaced;
    Spread floorBackToBack;
    Spread oneGateway;
    double oneGatewayTotalSeconds = 0;
    int oneGatewayCount = 0;
    double idleTickPercent = 0;
    double idleRunPercent = 0;
    double idleWakeupsPerSecond = 0;
    Spread fanOutFirst;
    Spread fanOutLast;
    double fanOutCpuPerClientUs = 0;
    double cpuPerRequestUs = 0;
    double relayCpuPerRequestUs = 0;
    bool socat = false;  // installed: the figures below were taken
    Spread socatPaced;
    double socatCpuPerRequestUs = 0;
    std::vector<long> rss;  // kB: before the batches, then after each
    long rssPeak = 0;
    int memoryAcks = 0;
    int memoryNacks = 0;
};

void MeasureRoundTrips(Rig& rig, MuxClient& client, const Sizes& sizes, Results& results) {
    Floor floor;
    results.socat = floor.HasSocat();
    // Each request, whichever way it goes, comes after the same pause.
    const auto pause = kIdleGap / 2;
    const auto period = (results.socat ? 3 : 2) * pause;
    std::printf(
        "\n1a. Round trip of %d sequential lock-open requests to idle gateways\n"
        "    client -> lockhub -> locksim -> lockhub -> client. The requests go round %d\n"
        "    gateways (one locksim each), %.0f ms apart, so each gateway's last frame is\n"
        "    %.0f ms old when its next request comes: the %.0f ms gateway spacing never holds\n"
        "    one back, and the figure is lockhub's own path plus the loopback hops and locksim.\n"
        "\n2.  Floor: the same lock-open through a plain TCP relay\n"
        "    client -> relay -> locksim -> relay -> client. The relay (a thread of this\n"
        "    program) copies bytes as they come; the client sends the gateway frame itself.\n"
        "    Same loopback hops, same kind of locksim, nothing of lockhub: what lockhub adds\n"
        "    is the difference. Its requests take turns with those of 1a (so both meet the\n"
        "    same load on the machine and wake from the same %.0f ms pause); then %d back\n"
        "    to back.\n",
        sizes.roundTrips, kGatewayCount, Milliseconds(period), Milliseconds(kGatewayCount * period),
        Milliseconds(kGatewaySpacing), Milliseconds(pause), sizes.roundTrips);
    if (results.socat) {
        std::printf(
            "\n2b. Second floor: the same lock-open through socat (%s, one client, nodelay)\n"
            "    client -> socat -> locksim -> socat -> client, to the same locksim as 2, in\n"
            "    turn with 1a and 2 after the same pause. A relay process of its own, as lockhub\n"
            "    is; its CPU time is the process's, from /proc as lockhub's.\n",
            kSocat);
    } else {
        std::printf("\n2b. Second floor: socat is not installed (%s): skipped.\n", kSocat);
    }
    for (int i = 0; i < 5; ++i) {
        floor.RoundTrip();  // connections set up, caches warm
        if (results.socat) {
            floor.SocatRoundTrip();
        }
    }
    std::this_thread::sleep_for(kGatewaySpacing);  // since the status probes
    std::vector<double> throughLockhub;
    std::vector<double> throughRelay;
    std::vector<double> throughSocat;
    const CpuUse before = rig.Meter().Cpu();
    const double relayBefore = floor.RelayCpuSeconds();
    const double socatBefore = results.socat ? floor.SocatCpuSeconds() : 0;
    for (int i = 0; i < sizes.roundTrips; ++i) {
        std::this_thread::sleep_for(pause);
        const std::string id = "idle-" + std::to_string(i);
        throughLockhub.push_back(
            RoundTrip(client, id, OpenRequest(id, 1 + i % kGatewayCount, kLockId), kAck));
        std::this_thread::sleep_for(pause);
        throughRelay.push_back(floor.RoundTrip());
        if (results.socat) {
            std::this_thread::sleep_for(pause);
            throughSocat.push_back(floor.SocatRoundTrip());
        }
    }
    const CpuUse after = rig.Meter().Cpu();
    results.cpuPerRequestUs = 1e6 * (after.runSeconds - before.runSeconds) / sizes.roundTrips;
    results.relayCpuPerRequestUs = 1e6 * (floor.RelayCpuSeconds() - relayBefore) / sizes.roundTrips;
    if (results.socat) {
        results.socatCpuPerRequestUs =
            1e6 * (floor.SocatCpuSeconds() - socatBefore) / sizes.roundTrips;
        results.socatPaced = SpreadOf(throughSocat);
    }
    std::vector<double> backToBack;
    for (int i = 0; i < sizes.roundTrips; ++i) {
        backToBack.push_back(floor.RoundTrip());
    }
    results.idleGateway = SpreadOf(throughLockhub);
    results.floorPaced = SpreadOf(throughRelay);
    results.floorBackToBack = SpreadOf(backToBack);
    PrintSpread("1a through lockhub:", results.idleGateway);
    PrintSpread("2  through the relay:", results.floorPaced);
    PrintSpread("2  through the relay, back to back:", results.floorBackToBack);
    std::printf("  lockhub adds (p50): %.3f ms; lockhub's CPU time per request: %.0f us\n",
                results.idleGateway.p50 - results.floorPaced.p50, results.cpuPerRequestUs);
    std::printf("  the relay's CPU time per round trip (one thread, two wake-ups): %.0f us\n",
                results.relayCpuPerRequestUs);
    if (results.socat) {
        PrintSpread("2b through socat:", results.socatPaced);
        std::printf(
            "  socat's CPU time per round trip (its process): %.0f us\n"
            "  lockhub / socat: CPU %.2f x (target <= %.1f), p50 %.2f x (target <= %.1f)\n",
            results.socatCpuPerRequestUs, results.cpuPerRequestUs / results.socatCpuPerRequestUs,
            kCpuOverSocatTarget, results.idleGateway.p50 / results.socatPaced.p50,
            kLatencyOverSocatTarget);
    }
    std::printf("  lockhub's CPU time per request by thread (us, wake-ups):");
    for (const auto& [name, share] : after.byThread) {
        const auto earlier = before.byThread.find(name);
        const CpuUse::Share start =
            earlier == before.byThread.end() ? CpuUse::Share{} : earlier->second;
        const double us = 1e6 * (share.runSeconds - start.runSeconds) / sizes.roundTrips;
        if (us >= 1) {
            std::printf(" %s %.0f (%.1f)", name.c_str(), us,
                        static_cast<double>(share.switches - start.switches) / sizes.roundTrips);
        }
    }
    std::printf("\n");
}

void MeasureOneGateway(MuxClient& client, const Sizes& sizes, Results& results) {
    std::printf(
        "\n1b. %d back-to-back lock-open requests to one gateway\n"
        "    Each request is sent as soon as the previous answer arrived. lockhub keeps\n"
        "    %.0f ms between two frames to one gateway, so this is paced by that rule (a\n"
        "    periodic sequence refresh may take one slot).\n",
        sizes.backToBack, Milliseconds(kGatewaySpacing));
    std::this_thread::sleep_for(kGatewaySpacing);
    std::vector<double> times;
    const auto start = Clock::now();
    for (int i = 0; i < sizes.backToBack; ++i) {
        const std::string id = "burst-" + std::to_string(i);
        times.push_back(RoundTrip(client, id, OpenRequest(id, 1, kLockId), kAck));
    }
    results.oneGatewayTotalSeconds = Milliseconds(Clock::now() - start) / 1000;
    results.oneGatewayCount = sizes.backToBack;
    results.oneGateway = SpreadOf(times);
    std::printf("  total %.2f s, %.1f requests/s\n", results.oneGatewayTotalSeconds,
                sizes.backToBack / results.oneGatewayTotalSeconds);
    PrintSpread("per request:", results.oneGateway);
}

void MeasureIdleCpu(Rig& rig, std::vector<std::unique_ptr<MuxClient>>& clients, const Sizes& sizes,
                    Results& results) {
    while (static_cast<int>(clients.size()) < sizes.idleClients) {
        clients.push_back(std::make_unique<MuxClient>(rig.Port()));
        Register(*clients.back(), "idle-client-" + std::to_string(clients.size()));
    }
    std::printf(
        "\n3.  CPU of an idle lockhub: %d gateways connected, %d clients connected, %lld s\n"
        "    of no traffic (the gateways' periodic sequence refreshes go on). From\n"
        "    /proc/PID/stat utime+stime (10 ms ticks) and, finer, the scheduler's run time\n"
        "    and context switches summed over lockhub's threads.\n",
        kGatewayCount, sizes.idleClients, static_cast<long long>(sizes.idleTime.count()));
    std::this_thread::sleep_for(500ms);  // the registration answers are out of the way
    const CpuUse before = rig.Meter().Cpu();
    const auto start = Clock::now();
    std::this_thread::sleep_for(sizes.idleTime);
    const CpuUse after = rig.Meter().Cpu();
    const double seconds = Milliseconds(Clock::now() - start) / 1000;
    results.idleTickPercent = 100 * (after.tickSeconds - before.tickSeconds) / seconds;
    results.idleRunPercent = 100 * (after.runSeconds - before.runSeconds) / seconds;
    results.idleWakeupsPerSecond = static_cast<double>(after.switches - before.switches) / seconds;
    std::printf(
        "  utime+stime: %.3f %% of one core (%.0f ticks)\n", results.idleTickPercent,
        (after.tickSeconds - before.tickSeconds) * static_cast<double>(sysconf(_SC_CLK_TCK)));
    std::printf("  run time:    %.4f %% of one core (%.2f ms in %.1f s)\n", results.idleRunPercent,
                (after.runSeconds - before.runSeconds) * 1000, seconds);
    std::printf("  wake-ups:    %.1f per second (context switches, all threads)\n",
                results.idleWakeupsPerSecond);
}

struct Arrivals {
    Spread first;
    Spread last;
    double cpuPerEventMs = 0;  // lockhub's CPU time per event, idle pauses included
};

// Sends rounds card events through gateway 1 and times their arrival at every client.
// epoll, so that reading one client costs the same with 20 or 200 connected.
Arrivals TimeEvents(Rig& rig, std::vector<std::unique_ptr<MuxClient>>& clients, int rounds) {
    const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    for (size_t i = 0; i < clients.size(); ++i) {
        epoll_event interest{EPOLLIN, {.u64 = i}};
        ::epoll_ctl(epoll, EPOLL_CTL_ADD, clients[i]->Fd(), &interest);
    }
    std::vector<double> firsts;
    std::vector<double> lasts;
    std::vector<epoll_event> ready(clients.size());
    const CpuUse before = rig.Meter().Cpu();
    for (int round = 0; round < rounds; ++round) {
        std::this_thread::sleep_for(200ms);
        std::vector<std::optional<double>> arrived(clients.size());
        size_t waiting = clients.size();
        const auto start = Clock::now();
        rig.Gateway(1).Command(kCardCommand);
        const auto deadline = start + kAnswerDeadline;
        while (waiting > 0 && Clock::now() < deadline) {
            const int left = static_cast<int>(Milliseconds(deadline - Clock::now())) + 1;
            const int count =
                ::epoll_wait(epoll, ready.data(), static_cast<int>(ready.size()), left);
            for (int k = 0; k < count; ++k) {
                const size_t i = ready[static_cast<size_t>(k)].data.u64;
                std::string event = clients[i]->Receive(50ms);
                if (!arrived[i] && Member(event, "MessageCode") == kCardEvent) {
                    arrived[i] = Milliseconds(Clock::now() - start);
                    --waiting;
                }
            }
        }
        if (waiting > 0) {
            Fail(std::to_string(waiting) + " clients did not receive the card event");
        }
        std::vector<double> times;
        for (const auto& time : arrived) {
            times.push_back(*time);
        }
        firsts.push_back(*std::min_element(times.begin(), times.end()));
        lasts.push_back(*std::max_element(times.begin(), times.end()));
    }
    const CpuUse after = rig.Meter().Cpu();
    ::close(epoll);
    return {SpreadOf(firsts), SpreadOf(lasts),
            1000 * (after.runSeconds - before.runSeconds) / rounds};
}

void MeasureFanOut(Rig& rig, std::vector<std::unique_ptr<MuxClient>>& clients, const Sizes& sizes,
                   Results& results) {
    std::printf(
        "\n4.  One card event to %d connected clients\n"
        "    From the moment \"%s\" is written to locksim's standard input until each\n"
        "    client has read the whole event (this program reads all clients in one epoll\n"
        "    loop). Nothing subtracted: locksim's own reaction is included. %d events each\n"
        "    to the %zu clients of the idle measurement, then to %d: the difference is the\n"
        "    cost per client.\n",
        sizes.fanOutClients, kCardCommand, sizes.eventRounds, clients.size(), sizes.fanOutClients);
    const size_t fewClients = clients.size();
    const Arrivals few = TimeEvents(rig, clients, sizes.eventRounds);
    while (static_cast<int>(clients.size()) < sizes.fanOutClients) {
        clients.push_back(std::make_unique<MuxClient>(rig.Port()));
        if (!clients.back()->Connected()) {
            Fail("cannot connect client " + std::to_string(clients.size()));
        }
        if (clients.size() % kRegisterEvery == 0 ||
            static_cast<int>(clients.size()) == sizes.fanOutClients) {
            Register(*clients.back(), "fan-client-" + std::to_string(clients.size()));
        }
    }
    const Arrivals many = TimeEvents(rig, clients, sizes.eventRounds);
    results.fanOutFirst = many.first;
    results.fanOutLast = many.last;
    std::printf("  %3zu clients, first:                  p50 %7.3f ms   max %7.3f ms\n", fewClients,
                few.first.p50, few.first.max);
    std::printf("  %3zu clients, last:                   p50 %7.3f ms   max %7.3f ms\n", fewClients,
                few.last.p50, few.last.max);
    std::printf("  %3zu clients, first:                  p50 %7.3f ms   max %7.3f ms\n",
                clients.size(), many.first.p50, many.first.max);
    std::printf("  %3zu clients, last:                   p50 %7.3f ms   max %7.3f ms\n",
                clients.size(), many.last.p50, many.last.max);
    const double added = static_cast<double>(clients.size() - fewClients);
    results.fanOutCpuPerClientUs = 1000 * (many.cpuPerEventMs - few.cpuPerEventMs) / added;
    std::printf(
        "  per added client: %.1f us until the last arrival (p50), %.1f us of lockhub's\n"
        "  CPU time (%.2f ms per event to %zu clients, %.2f ms to %zu)\n",
        1000 * (many.last.p50 - few.last.p50) / added, results.fanOutCpuPerClientUs,
        many.cpuPerEventMs, clients.size(), few.cpuPerEventMs, fewClients);
    // The memory run goes on with the clients of the idle measurement only.
    clients.resize(fewClients);
}

// Sends count requests as described in MeasureMemory and waits for every answer.
void SendMixedRequests(MuxClient& client, int count, int& serial, Results& results) {
    std::map<std::string, const char*> outstanding;  // MessageID -> expected code
    std::vector<Clock::time_point> gatewayDue(kGatewayCount, Clock::now());
    Clock::time_point nackDue = Clock::now();
    int sent = 0;
    auto send = [&](int gatewayId, const char* expected) {
        const std::string id = "memory-" + std::to_string(serial++);
        if (!client.Send(OpenRequest(id, gatewayId, kLockId))) {
            Fail("cannot send request " + id);
        }
        outstanding.emplace(id, expected);
        ++sent;
    };
    const auto deadline = Clock::now() + 60s;
    while ((sent < count || !outstanding.empty()) && Clock::now() < deadline) {
        const auto now = Clock::now();
        for (size_t g = 0; g < gatewayDue.size() && sent < count; ++g) {
            if (now >= gatewayDue[g]) {
                send(static_cast<int>(g) + 1, kAck);
                gatewayDue[g] = now + kMemoryGatewayGap;
            }
        }
        if (now >= nackDue && sent < count) {
            send(kUnconfiguredGateway, kNack);
            nackDue = now + kNackGap;
        }
        pollfd readable{client.Fd(), POLLIN, 0};
        if (::poll(&readable, 1, 1) <= 0) {
            continue;
        }
        // Whole objects only: an answer cut between two reads is completed first.
        std::string answer = client.Receive(kAnswerDeadline);
        while (!answer.empty()) {
            std::string id = Member(answer, "MessageID");
            auto found = outstanding.find(id.size() > 2 ? id.substr(1, id.size() - 2) : id);
            if (found != outstanding.end()) {
                const std::string code = Member(answer, "MessageCode");
                if (code != found->second) {
                    Fail("unexpected answer: " + answer);
                }
                (code == kAck ? results.memoryAcks : results.memoryNacks)++;
                outstanding.erase(found);
            }
            answer = client.Receive(0ms);
        }
    }
    if (!outstanding.empty()) {
        Fail(std::to_string(outstanding.size()) + " requests were not answered");
    }
}

void MeasureMemory(Rig& rig, MuxClient& client, const Sizes& sizes, Results& results) {
    std::printf(
        "\n5.  Resident memory of lockhub over %d batches of %d requests\n"
        "    One client sends lock-open requests to each of the %d gateways every %.0f ms\n"
        "    (answered by locksim: the whole path through a gateway) and, in between, one\n"
        "    every %.0f ms to a gateway that is not configured (answered at once with a NACK:\n"
        "    the whole path inside lockhub). VmRSS from /proc/PID/status after the earlier\n"
        "    parts, and after each batch once every answer arrived. The allocator settles in\n"
        "    the first batches; a leak grows with every batch, so the verdict is the growth\n"
        "    over the last %d.\n",
        kMemoryBatches, sizes.memoryRequests, kGatewayCount, Milliseconds(kMemoryGatewayGap),
        Milliseconds(kNackGap), kMemoryBatches / 2);
    std::this_thread::sleep_for(kGatewaySpacing);
    int serial = 0;
    results.rss.push_back(rig.Meter().ResidentKilobytes());
    for (int batch = 0; batch < kMemoryBatches; ++batch) {
        SendMixedRequests(client, sizes.memoryRequests, serial, results);
        std::this_thread::sleep_for(200ms);
        results.rss.push_back(rig.Meter().ResidentKilobytes());
    }
    results.rssPeak = rig.Meter().PeakResidentKilobytes();
    std::printf("  answers: %d ACK from gateways, %d NACK for the unconfigured gateway\n",
                results.memoryAcks, results.memoryNacks);
    std::printf("  VmRSS: %ld kB before", results.rss.front());
    for (size_t batch = 1; batch < results.rss.size(); ++batch) {
        std::printf(", %ld kB after %zu", results.rss[batch], batch * sizes.memoryRequests);
    }
    std::printf("; peak (VmHWM) %ld kB\n", results.rssPeak);
}

void AddToSummary(const Sizes& sizes, const Results& r, Summary& summary) {
    summary.Add(
        Format("round trip, idle gateways (%d requests)", sizes.roundTrips),
        Format("p50 %.2f ms (%.1f x the floor), p99 %.2f ms, max %.2f ms", r.idleGateway.p50,
               r.idleGateway.p50 / r.floorPaced.p50, r.idleGateway.p99, r.idleGateway.max),
        Format("p99 <= %.0f ms, p50 <= %.0f x the floor: %s", kRoundTripP99TargetMs,
               kRoundTripOverFloorTarget,
               Verdict(r.idleGateway.p99 <= kRoundTripP99TargetMs &&
                       r.idleGateway.p50 <= kRoundTripOverFloorTarget * r.floorPaced.p50)));
    summary.Add("floor: plain TCP relay, same path",
                Format("p50 %.2f ms, p99 %.2f ms, max %.2f ms", r.floorPaced.p50, r.floorPaced.p99,
                       r.floorPaced.max));
    if (r.socat) {
        summary.Add(
            "floor: socat, same path, in turn with the above",
            Format("p50 %.2f ms, p99 %.2f ms, max %.2f ms; CPU %.0f us per round trip",
                   r.socatPaced.p50, r.socatPaced.p99, r.socatPaced.max, r.socatCpuPerRequestUs));
        const double cpuRatio = r.cpuPerRequestUs / r.socatCpuPerRequestUs;
        const double latencyRatio = r.idleGateway.p50 / r.socatPaced.p50;
        summary.Add(
            "CPU per lock-open, lockhub / socat",
            Format("%.0f / %.0f us = %.2f x", r.cpuPerRequestUs, r.socatCpuPerRequestUs, cpuRatio),
            Format("<= %.1f x: %s", kCpuOverSocatTarget, Verdict(cpuRatio <= kCpuOverSocatTarget)));
        summary.Add("round trip, lockhub / socat",
                    Format("p50 %.2f / %.2f ms = %.2f x; p99 %.2f / %.2f ms", r.idleGateway.p50,
                           r.socatPaced.p50, latencyRatio, r.idleGateway.p99, r.socatPaced.p99),
                    Format("p50 <= %.1f x: %s", kLatencyOverSocatTarget,
                           Verdict(latencyRatio <= kLatencyOverSocatTarget)));
    } else {
        summary.Add("floor: socat", Format("skipped: %s is not installed", kSocat));
    }
    summary.Add(
        "CPU per lock-open, idle gateways, info level",
        Format("lockhub %.0f us; the relay %.0f us", r.cpuPerRequestUs, r.relayCpuPerRequestUs),
        Format("<= %.0f us: %s", kCpuPerRequestTargetUs,
               Verdict(r.cpuPerRequestUs <= kCpuPerRequestTargetUs)));
    summary.Add(Format("%d back-to-back requests, one gateway", r.oneGatewayCount),
                Format("%.1f s (p50 %.0f ms each: %.0f ms spacing)", r.oneGatewayTotalSeconds,
                       r.oneGateway.p50, Milliseconds(kGatewaySpacing)));
    summary.Add(
        Format("idle CPU, %d gateways + %d clients, %lld s", kGatewayCount, sizes.idleClients,
               static_cast<long long>(sizes.idleTime.count())),
        Format("%.3f %% of a core (%.1f wake-ups/s)", r.idleRunPercent, r.idleWakeupsPerSecond),
        Format("< %.1f %%: %s", kIdleCpuTargetPercent,
               Verdict(r.idleRunPercent < kIdleCpuTargetPercent &&
                       r.idleTickPercent < kIdleCpuTargetPercent)));
    summary.Add(
        Format("card event to %d clients", sizes.fanOutClients),
        Format("first %.2f ms, last %.2f ms (p50 of %d); worst last %.2f ms; lockhub CPU "
               "%.0f us per client",
               r.fanOutFirst.p50, r.fanOutLast.p50, sizes.eventRounds, r.fanOutLast.max,
               r.fanOutCpuPerClientUs),
        Format("<= %.0f ms: %s", kFanOutTargetMs, Verdict(r.fanOutLast.max <= kFanOutTargetMs)));
    summary.Add(
        Format("resident memory, %d x %d requests", kMemoryBatches, sizes.memoryRequests),
        Format("%ld kB before, %ld kB after the first %d, %ld kB after all (%+ld kB over the "
               "last %d)",
               r.rss.front(), r.rss[kMemoryBatches / 2], kMemoryBatches / 2 * sizes.memoryRequests,
               r.rss.back(), r.rss.back() - r.rss[kMemoryBatches / 2],
               kMemoryBatches / 2 * sizes.memoryRequests),
        Format("no growth: %s",
               Verdict(r.rss.back() - r.rss[kMemoryBatches / 2] <= kMemoryNoiseKilobytes)));
}

const char* const kParts[] = {"basic",     "isolation", "door-first", "restart",
                              "log-stall", "audit",     "tls",        "mqtt",
                              "metrics",   "reload",    "scale",      "homeassistant"};

Options ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--quick") {
            options.quick = true;
        } else if (argument == "--verbose") {
            options.verbose = true;
        } else if (argument == "--keep" && i + 1 < argc) {
            options.keep = argv[++i];
        } else if (argument == "--lockhub" && i + 1 < argc) {
            options.lockhub = argv[++i];
        } else if (argument == "--mqtt-seconds" && i + 1 < argc && std::atoi(argv[i + 1]) > 0) {
            options.mqttSeconds = std::atoi(argv[++i]);
        } else if (argument == "--only" && i + 1 < argc &&
                   std::find(std::begin(kParts), std::end(kParts), std::string(argv[i + 1])) !=
                       std::end(kParts)) {
            options.only.push_back(argv[++i]);
        } else {
            std::fprintf(stderr,
                         "usage: lockhub_bench [--quick] [--verbose] [--keep FOLDER] "
                         "[--lockhub PROGRAM] [--only basic|isolation|door-first|restart|"
                         "log-stall|audit|tls|mqtt|metrics|reload|scale|homeassistant]... "
                         "[--mqtt-seconds N]\n");
            std::exit(2);
        }
    }
    return options;
}

// The round trips, the idle CPU, the event fan-out and the memory over many requests,
// with 8 healthy gateways. Throws on any failure.
bool MeasureBasics(const TempDir& folder, const Options& options, Summary& summary) {
    Sizes sizes;
    if (options.quick) {
        sizes.roundTrips = 40;
        sizes.backToBack = 10;
        sizes.idleTime = 3s;
        sizes.eventRounds = 3;
        sizes.memoryRequests = 500;
    }
    Rig rig(folder, options);
    auto client = std::make_unique<MuxClient>(rig.Port());
    std::vector<int> gateways;
    for (int id = 1; id <= kGatewayCount; ++id) {
        gateways.push_back(id);
    }
    // A status request answered by each gateway shows it connected and in step.
    if (!client->Connected() || !WaitUntilReady(*client, gateways, kLockId, kStartDeadline)) {
        Fail("the gateways did not become ready");
    }
    std::printf("lockhub (pid %d) ready with %d gateways; VmRSS %ld kB\n",
                static_cast<int>(rig.LockhubPid()), kGatewayCount, rig.Meter().ResidentKilobytes());

    Results results;
    std::vector<std::unique_ptr<MuxClient>> clients;
    MeasureRoundTrips(rig, *client, sizes, results);
    MeasureOneGateway(*client, sizes, results);
    clients.push_back(std::move(client));
    MeasureIdleCpu(rig, clients, sizes, results);
    MeasureFanOut(rig, clients, sizes, results);
    MeasureMemory(rig, *clients.front(), sizes, results);
    if (!rig.LockhubRunning()) {
        Fail("lockhub ended during the run");
    }
    AddToSummary(sizes, results, summary);
    return false;
}

}  // namespace
}  // namespace Bench

int main(int argc, char** argv) {
    using namespace Bench;
    const Options options = ParseOptions(argc, argv);
    ::signal(SIGPIPE, SIG_IGN);
    // The fan-out keeps 10,000 clients connected, one descriptor each.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    std::printf("lockhub_bench: %u cores, load average %s; lockhub logging at %s severity%s\n",
                std::thread::hardware_concurrency(), LoadAverage().c_str(),
                options.verbose ? "verbose" : "info",
                options.quick ? ", quick run (figures not to quote)" : "");
    Summary summary;
    RunPart("basic", MeasureBasics, options, summary);
    RunPart("isolation", MeasureIsolation, options, summary);
    RunPart("door-first", MeasureDoorFirst, options, summary);
    RunPart("restart", MeasureRestart, options, summary);
    RunPart("log-stall", MeasureLogStall, options, summary);
    RunPart("audit", MeasureAuditFlood, options, summary);
    RunPart("audit", MeasureAuditSync, options, summary);
    RunPart("tls", MeasureTls, options, summary);
    RunPart("mqtt", MeasureMqtt, options, summary);
    RunPart("metrics", MeasureMetricsScrape, options, summary);
    RunPart("reload", MeasureReload, options, summary);
    RunPart("scale", MeasureScale, options, summary);
    RunPart("homeassistant", MeasureHomeAssistant, options, summary);
    summary.Print();
    std::printf("\nload average at the end: %s\n", LoadAverage().c_str());
    return summary.AnyFailed() ? 1 : 0;
}
