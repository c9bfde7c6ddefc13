// lockhub_bench: what a request, an event and an idle hour cost in lockhub, measured from
// outside on 127.0.0.1 with real processes: lockhub, one locksim per gateway, and clients
// in this process. Prints each figure with how it was taken, then a summary table.
//
//   lockhub_bench [--quick] [--verbose] [--keep FOLDER] [--lockhub PROGRAM]
//     --quick      fewer samples and shorter waits (a smoke run, not figures to quote)
//     --verbose    lockhub logs at verbose severity (timestamps for profiling; slower)
//     --keep F     copy lockhub's log and the locksim outputs to folder F at the end
//     --lockhub P  measure this lockhub program instead of the one built with the bench

#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/ProcessMeter.h"
#include "bench/TcpRelay.h"
#include "messages/QuarnMessageBuilder.h"
#include "tests/support/Processes.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using TestSupport::ChildProcess;
using TestSupport::Locksim;
using TestSupport::Member;
using TestSupport::MuxClient;
using TestSupport::TempDir;

constexpr int kGatewayCount = 8;
constexpr int kLockId = 4711;  // locksim's lock
constexpr int kUnconfiguredGateway = 99;
constexpr int kLockOpen = 10;
constexpr int kLockGetStatus = 12;
constexpr const char* kAck = "0";
constexpr const char* kNack = "1";
constexpr const char* kCardEvent = "51";
constexpr const char* kCardCommand = "card 4711 04A10B";
// lockhub spaces the frames to one gateway at least this far apart.
constexpr auto kGatewaySpacing = 300ms;
// Between two paced requests: with the requests going round the gateways, each gateway's
// last frame is kGatewayCount * kIdleGap (336 ms) old when its next request comes.
constexpr auto kIdleGap = 42ms;
static_assert(kGatewayCount * kIdleGap > kGatewaySpacing);
// In the memory run: real requests to each gateway this far apart, and in between a
// request to an unconfigured gateway every kNackGap.
constexpr auto kMemoryGatewayGap = 320ms;
constexpr auto kNackGap = 2ms;
constexpr int kMemoryBatches = 4;
constexpr auto kAnswerDeadline = 3s;  // one answer, the spacing included
constexpr auto kStartDeadline = 10s;

// Targets on the reference machine (2 cores).
constexpr double kRoundTripP99TargetMs = 5;
constexpr double kIdleCpuTargetPercent = 0.1;
constexpr double kFanOutTargetMs = 20;
// Resident memory may move by this much without counting as growth (allocator noise).
constexpr long kMemoryNoiseKilobytes = 64;

struct Sizes {
    int roundTrips = 200;
    int backToBack = 200;
    std::chrono::seconds idleTime{10};
    int idleClients = 20;
    int fanOutClients = 200;
    int eventRounds = 10;
    int memoryRequests = 2000;
};

struct Options {
    bool quick = false;
    bool verbose = false;
    std::string keep;
    std::string lockhub = LOCKHUB_BINARY;
};

double Milliseconds(Clock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

struct Spread {
    double p50 = 0;
    double p99 = 0;
    double max = 0;
    double mean = 0;
};

// Nearest-rank percentiles of milliseconds.
Spread SpreadOf(std::vector<double> values) {
    Spread spread;
    if (values.empty()) {
        return spread;
    }
    std::sort(values.begin(), values.end());
    auto rank = [&](double p) {
        size_t index = static_cast<size_t>(std::ceil(p * static_cast<double>(values.size())));
        return values[std::clamp<size_t>(index, 1, values.size()) - 1];
    };
    spread.p50 = rank(0.50);
    spread.p99 = rank(0.99);
    spread.max = values.back();
    for (double value : values) {
        spread.mean += value;
    }
    spread.mean /= static_cast<double>(values.size());
    return spread;
}

void PrintSpread(const char* label, const Spread& spread) {
    std::printf("  %-36s p50 %7.3f ms   p99 %7.3f ms   max %7.3f ms   mean %7.3f ms\n", label,
                spread.p50, spread.p99, spread.max, spread.mean);
}

// Ends the run: main catches it, and the processes are ended on the way out.
[[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error(what);
}

std::string OpenRequest(const std::string& id, int gatewayId) {
    return TestSupport::Request(id, kLockOpen,
                                R"({"gatewayID":)" + std::to_string(gatewayId) + R"(,"lockID":)" +
                                    std::to_string(kLockId) + "}");
}

// lockhub with kGatewayCount gateways, each a locksim of its own (a gateway has one
// sequence counter, so gateways do not share a simulator).
class Rig {
public:
    explicit Rig(const Options& options) {
        std::string gateways;
        for (int id = 1; id <= kGatewayCount; ++id) {
            locksims_.push_back(std::make_unique<Locksim>(folder_));
            if (locksims_.back()->Port() == 0) {
                Fail("locksim did not start");
            }
            gateways += std::string(id > 1 ? ", " : "") + R"({"ID": )" + std::to_string(id) +
                        R"(, "Description": "Bench gateway", "IpAddress": "127.0.0.1", "Port": )" +
                        std::to_string(locksims_.back()->Port()) +
                        R"(, "Devices": [{"Name": "Door", "ID": 4711}]})";
        }
        const std::string configuration = folder_.File("lockhub.json");
        TestSupport::WriteFile(configuration,
                               R"({"Enabled": true, "Gateways": [)" + gateways + "]}");
        logFile_ = folder_.File("lockhub.log");
        port_ = TestSupport::FreePort();
        std::vector<std::string> argv = {options.lockhub, "--port", std::to_string(port_),
                                         "--logFile",     logFile_, "--configFile",
                                         configuration};
        if (options.verbose) {
            argv.push_back("--verbose");
        }
        lockhub_ =
            std::make_unique<ChildProcess>(argv, ChildProcess::Options{"", {}, folder_.Path()});
        meter_ = std::make_unique<Bench::ProcessMeter>(lockhub_->Pid());
    }

    int Port() const { return port_; }
    Locksim& Gateway(int id) { return *locksims_.at(static_cast<size_t>(id - 1)); }
    const Bench::ProcessMeter& Meter() const { return *meter_; }
    pid_t LockhubPid() const { return lockhub_->Pid(); }
    bool LockhubRunning() { return lockhub_->Running(); }

    void Keep(const std::string& target) const {
        std::filesystem::create_directories(target);
        for (const auto& entry : std::filesystem::directory_iterator(folder_.Path())) {
            std::filesystem::copy_file(entry.path(), target / entry.path().filename(),
                                       std::filesystem::copy_options::overwrite_existing);
        }
    }

private:
    TempDir folder_;
    std::vector<std::unique_ptr<Locksim>> locksims_;
    std::unique_ptr<ChildProcess> lockhub_;
    std::unique_ptr<Bench::ProcessMeter> meter_;
    std::string logFile_;
    int port_ = 0;
};

// Sends one request and waits for the answer with its MessageID; the milliseconds from
// just before the send to just after the answer was read whole.
double RoundTrip(MuxClient& client, const std::string& id, const std::string& request,
                 const char* expectedCode) {
    const auto start = Clock::now();
    if (!client.Send(request)) {
        Fail("cannot send request " + id);
    }
    for (;;) {
        std::string answer = client.Receive(kAnswerDeadline);
        if (answer.empty()) {
            Fail("no answer to " + id);
        }
        if (Member(answer, "MessageID") == "\"" + id + "\"") {
            const double elapsed = Milliseconds(Clock::now() - start);
            if (Member(answer, "MessageCode") != expectedCode) {
                Fail("unexpected answer to " + id + ": " + answer);
            }
            return elapsed;
        }
    }
}

// Makes sure lockhub has taken the client into its list: an answer proves it.
void Register(MuxClient& client, const std::string& id) {
    if (!client.Connected()) {
        Fail("cannot connect a client");
    }
    RoundTrip(client, id, OpenRequest(id, kUnconfiguredGateway), kNack);
}

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

// The floor: lock-open frames through a plain relay to a locksim of its own, answered
// there. The same processes' worth of loopback hops as through lockhub, nothing between.
class Floor {
public:
    Floor() : locksim_(folder_) {
        if (locksim_.Port() == 0) {
            Fail("locksim did not start");
        }
        relay_ = std::make_unique<Bench::TcpRelay>(locksim_.Port());
        fd_ = TestSupport::ConnectTo(relay_->Port());
        if (fd_ == -1) {
            Fail("cannot connect to the relay");
        }
    }
    ~Floor() { ::close(fd_); }
    Floor(const Floor&) = delete;
    Floor& operator=(const Floor&) = delete;

    // Milliseconds from just before the send to the whole answer frame read.
    double RoundTrip() {
        auto frame = builder_.BuildOpenLockMessage(kLockId, 0, 0, false);
        std::vector<unsigned char> bytes = frame->Serialize();
        const auto start = Clock::now();
        if (!TestSupport::SendAll(fd_, std::string(bytes.begin(), bytes.end())) ||
            !ReceiveFrame(fd_)) {
            Fail("the relay or its locksim did not answer");
        }
        const double elapsed = Milliseconds(Clock::now() - start);
        builder_.IncrementSequenceCounter();
        builder_.NextReferenceId();
        return elapsed;
    }

private:
    TempDir folder_;
    Locksim locksim_;
    std::unique_ptr<Bench::TcpRelay> relay_;
    int fd_ = -1;
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
    std::vector<long> rss;  // kB: before the batches, then after each
    long rssPeak = 0;
    int memoryAcks = 0;
    int memoryNacks = 0;
};

void MeasureRoundTrips(Rig& rig, MuxClient& client, const Sizes& sizes, Results& results) {
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
        "    is the difference. Its requests alternate with those of 1a (so both meet the\n"
        "    same load on the machine and wake from the same idle pause); then %d back to back.\n",
        sizes.roundTrips, kGatewayCount, Milliseconds(kIdleGap),
        Milliseconds(kGatewayCount * kIdleGap), Milliseconds(kGatewaySpacing), sizes.roundTrips);
    Floor floor;
    for (int i = 0; i < 5; ++i) {
        floor.RoundTrip();  // connections set up, caches warm
    }
    std::this_thread::sleep_for(kGatewaySpacing);  // since the status probes
    std::vector<double> throughLockhub;
    std::vector<double> throughRelay;
    const Bench::CpuUse before = rig.Meter().Cpu();
    for (int i = 0; i < sizes.roundTrips; ++i) {
        std::this_thread::sleep_for(kIdleGap / 2);
        const std::string id = "idle-" + std::to_string(i);
        throughLockhub.push_back(
            RoundTrip(client, id, OpenRequest(id, 1 + i % kGatewayCount), kAck));
        std::this_thread::sleep_for(kIdleGap / 2);
        throughRelay.push_back(floor.RoundTrip());
    }
    const Bench::CpuUse after = rig.Meter().Cpu();
    results.cpuPerRequestUs = 1e6 * (after.runSeconds - before.runSeconds) / sizes.roundTrips;
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
        times.push_back(RoundTrip(client, id, OpenRequest(id, 1), kAck));
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
    const Bench::CpuUse before = rig.Meter().Cpu();
    const auto start = Clock::now();
    std::this_thread::sleep_for(sizes.idleTime);
    const Bench::CpuUse after = rig.Meter().Cpu();
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
    const Bench::CpuUse before = rig.Meter().Cpu();
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
    const Bench::CpuUse after = rig.Meter().Cpu();
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
        Register(*clients.back(), "fan-client-" + std::to_string(clients.size()));
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
}

// Sends count requests as described in MeasureMemory and waits for every answer.
void SendMixedRequests(MuxClient& client, int count, int& serial, Results& results) {
    std::map<std::string, const char*> outstanding;  // MessageID -> expected code
    std::vector<Clock::time_point> gatewayDue(kGatewayCount, Clock::now());
    Clock::time_point nackDue = Clock::now();
    int sent = 0;
    auto send = [&](int gatewayId, const char* expected) {
        const std::string id = "memory-" + std::to_string(serial++);
        if (!client.Send(OpenRequest(id, gatewayId))) {
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

// The 1, 5 and 15 minute load averages: other work on the machine skews every figure.
std::string LoadAverage() {
    std::string text = TestSupport::ReadFile("/proc/loadavg");
    size_t end = 0;
    for (int field = 0; field < 3 && end != std::string::npos; ++field) {
        end = text.find(' ', end + 1);
    }
    return text.substr(0, end);
}

const char* Verdict(bool met) {
    return met ? "met" : "MISSED";
}

void PrintSummary(const Sizes& sizes, const Results& r) {
    std::printf("\nSummary (markdown)\n\n");
    std::printf("| measurement | result | target |\n|---|---|---|\n");
    std::printf(
        "| round trip, idle gateways (%d requests) | p50 %.2f ms, p99 %.2f ms, max %.2f ms; "
        "lockhub CPU %.0f us per request | p99 < %.0f ms: %s |\n",
        sizes.roundTrips, r.idleGateway.p50, r.idleGateway.p99, r.idleGateway.max,
        r.cpuPerRequestUs, kRoundTripP99TargetMs,
        Verdict(r.idleGateway.p99 < kRoundTripP99TargetMs));
    std::printf("| floor: plain TCP relay, same path | p50 %.2f ms, p99 %.2f ms, max %.2f ms | |\n",
                r.floorPaced.p50, r.floorPaced.p99, r.floorPaced.max);
    std::printf(
        "| %d back-to-back requests, one gateway | %.1f s (p50 %.0f ms each: %.0f ms "
        "spacing) | |\n",
        r.oneGatewayCount, r.oneGatewayTotalSeconds, r.oneGateway.p50,
        Milliseconds(kGatewaySpacing));
    std::printf(
        "| idle CPU, %d gateways + %d clients, %lld s | %.3f %% of a core (%.1f "
        "wake-ups/s) | < %.1f %%: %s |\n",
        kGatewayCount, sizes.idleClients, static_cast<long long>(sizes.idleTime.count()),
        r.idleRunPercent, r.idleWakeupsPerSecond, kIdleCpuTargetPercent,
        Verdict(r.idleRunPercent < kIdleCpuTargetPercent &&
                r.idleTickPercent < kIdleCpuTargetPercent));
    std::printf(
        "| card event to %d clients | first %.2f ms, last %.2f ms (p50 of %d); worst "
        "last %.2f ms; lockhub CPU %.0f us per client | < %.0f ms: %s |\n",
        sizes.fanOutClients, r.fanOutFirst.p50, r.fanOutLast.p50, sizes.eventRounds,
        r.fanOutLast.max, r.fanOutCpuPerClientUs, kFanOutTargetMs,
        Verdict(r.fanOutLast.max < kFanOutTargetMs));
    std::printf(
        "| resident memory, %d x %d requests | %ld kB before, %ld kB after the first %d, "
        "%ld kB after all (%+ld kB over the last %d) | no growth: %s |\n",
        kMemoryBatches, sizes.memoryRequests, r.rss.front(), r.rss[kMemoryBatches / 2],
        kMemoryBatches / 2 * sizes.memoryRequests, r.rss.back(),
        r.rss.back() - r.rss[kMemoryBatches / 2], kMemoryBatches / 2 * sizes.memoryRequests,
        Verdict(r.rss.back() - r.rss[kMemoryBatches / 2] <= kMemoryNoiseKilobytes));
}

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
        } else {
            std::fprintf(stderr,
                         "usage: lockhub_bench [--quick] [--verbose] [--keep FOLDER] "
                         "[--lockhub PROGRAM]\n");
            std::exit(2);
        }
    }
    return options;
}

// Starts everything, measures, prints. Throws on any failure.
void Run(const Options& options) {
    Sizes sizes;
    if (options.quick) {
        sizes.roundTrips = 40;
        sizes.backToBack = 10;
        sizes.idleTime = 3s;
        sizes.eventRounds = 3;
        sizes.memoryRequests = 500;
    }
    std::printf("lockhub_bench: %u cores, load average %s; lockhub logging at %s severity%s\n",
                std::thread::hardware_concurrency(), LoadAverage().c_str(),
                options.verbose ? "verbose" : "info",
                options.quick ? ", quick run (figures not to quote)" : "");

    Rig rig(options);
    try {
        auto client = std::make_unique<MuxClient>(rig.Port());
        if (!client->Connected()) {
            Fail("lockhub does not accept clients");
        }
        // One status request per gateway: its answer shows the gateway connected and in step.
        for (int id = 1; id <= kGatewayCount; ++id) {
            client->Send(TestSupport::Request("probe-" + std::to_string(id), kLockGetStatus,
                                              R"({"gatewayID":)" + std::to_string(id) +
                                                  R"(,"lockID":)" + std::to_string(kLockId) + "}"));
        }
        for (int answered = 0; answered < kGatewayCount; ++answered) {
            std::string answer = client->Receive(kStartDeadline);
            if (Member(answer, "MessageCode") != kAck) {
                Fail("a gateway did not answer its status request: " + answer);
            }
        }
        std::printf("lockhub (pid %d) ready with %d gateways; VmRSS %ld kB\n",
                    static_cast<int>(rig.LockhubPid()), kGatewayCount,
                    rig.Meter().ResidentKilobytes());

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
        PrintSummary(sizes, results);
        std::printf("\nload average at the end: %s\n", LoadAverage().c_str());
    } catch (...) {
        if (!options.keep.empty()) {
            rig.Keep(options.keep);
        }
        throw;
    }
    if (!options.keep.empty()) {
        rig.Keep(options.keep);
        std::printf("\nlogs kept in %s\n", options.keep.c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    ::signal(SIGPIPE, SIG_IGN);
    try {
        Run(options);
    } catch (const std::exception& error) {
        std::fflush(stdout);
        std::fprintf(stderr, "lockhub_bench: %s\n", error.what());
        return 1;
    }
    return 0;
}
