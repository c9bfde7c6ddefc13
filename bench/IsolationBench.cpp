// Isolation: lockhub with 8 gateways, 4 healthy and 4 failing (one refuses connections,
// one never answers, one's connects hang, one drops its connection every 2 s), under
// steady door-command traffic; the same traffic to 8 healthy gateways is the baseline.

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "bench/Parts.h"
#include "bench/Traffic.h"

namespace Bench {
namespace {

enum class Trouble { kNone, kRefuses, kSilent, kHangs, kFlaps };

struct GatewayRole {
    int id;
    Trouble trouble;
};

// In the configuration's order: each failing gateway comes before a healthy one, so that
// a gateway holding up the next ones shows.
constexpr GatewayRole kGateways[] = {
    {71, Trouble::kRefuses}, {1, Trouble::kNone}, {73, Trouble::kHangs}, {2, Trouble::kNone},
    {72, Trouble::kSilent},  {3, Trouble::kNone}, {74, Trouble::kFlaps}, {4, Trouble::kNone},
};
const std::vector<int> kBusyGateways = {1, 2, 3, 4};
const std::vector<int> kLightGateways = {71, 72, 73, 74};
constexpr int kRequestTimeoutSeconds = 5;
constexpr auto kRequestTimeout = std::chrono::seconds(kRequestTimeoutSeconds);
constexpr auto kFlapPeriod = 2s;
constexpr int kClients = 20;
// One door command per busy gateway every 400 ms keeps each below one frame per 300 ms,
// so no queue builds up; the failing gateways get one every 2 s.
constexpr auto kBusyGap = 400ms;
constexpr auto kLightGap = 2s;
// A failing gateway's request is answered at the latest 2 x RequestTimeout after it
// arrived (not sent by its deadline, or sent just before it and not answered).
constexpr auto kAnswerWait = 2 * kRequestTimeout + 2s;
constexpr auto kReadyDeadline = 40s;
constexpr double kP99AllowanceMs = 2;

const char* TroubleText(Trouble trouble) {
    switch (trouble) {
        case Trouble::kRefuses:
            return "refuses connections";
        case Trouble::kSilent:
            return "accepts, never answers";
        case Trouble::kHangs:
            return "connects hang";
        case Trouble::kFlaps:
            return "drops its connection every 2 s";
        case Trouble::kNone:
            break;
    }
    return "healthy";
}

// A port whose connects hang: a listener with backlog 0 that never accepts, its accept
// queue filled with connections of this program, so that the kernel drops further SYNs.
class HangingPort {
public:
    HangingPort() {
        listening_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (listening_ == -1 ||
            ::bind(listening_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listening_, 0) != 0 ||
            ::getsockname(listening_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            CloseAll();
            Fail("cannot listen for the hanging gateway");
        }
        port_ = ntohs(address.sin_port);
        // Connects until one does not complete: that one proves the queue full.
        constexpr int kMostFillers = 16;
        while (static_cast<int>(fillers_.size()) < kMostFillers) {
            int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
            pollfd writable{fd, POLLOUT, 0};
            if (::poll(&writable, 1, kProof) <= 0) {
                ::close(fd);
                return;
            }
            fillers_.push_back(fd);
        }
        CloseAll();
        Fail("connects to a full accept queue do not hang here");
    }
    ~HangingPort() { CloseAll(); }
    HangingPort(const HangingPort&) = delete;
    HangingPort& operator=(const HangingPort&) = delete;

    int Port() const { return port_; }
    size_t Fillers() const { return fillers_.size(); }

    static constexpr int kProof = 500;  // ms a connect must stay incomplete

private:
    void CloseAll() {
        for (int fd : fillers_) {
            ::close(fd);
        }
        fillers_.clear();
        if (listening_ != -1) {
            ::close(listening_);
            listening_ = -1;
        }
    }

    int listening_ = -1;
    int port_ = 0;
    std::vector<int> fillers_;
};

// One gateway as lockhub sees it: a tapped locksim (that never answers for kSilent, whose
// connection drops every kFlapPeriod for kFlaps), or a port that refuses or hangs.
class SimulatedGateway {
public:
    SimulatedGateway(const TempDir& folder, Trouble trouble) {
        switch (trouble) {
            case Trouble::kRefuses:
                port_ = QuietPort();
                break;
            case Trouble::kHangs:
                hanging_ = std::make_unique<HangingPort>();
                port_ = hanging_->Port();
                break;
            case Trouble::kSilent:
                locksim_ = std::make_unique<TappedLocksim>(folder,
                                                           std::vector<std::string>{"--no-answer"});
                break;
            case Trouble::kFlaps:
                locksim_ = std::make_unique<TappedLocksim>(folder, std::vector<std::string>{},
                                                           kFlapPeriod);
                break;
            case Trouble::kNone:
                locksim_ = std::make_unique<TappedLocksim>(folder);
                break;
        }
        if (locksim_) {
            port_ = locksim_->Port();
        }
    }

    int Port() const { return port_; }
    std::vector<FrameLog::Frame> Frames() const {
        return locksim_ ? locksim_->Frames() : std::vector<FrameLog::Frame>{};
    }
    const HangingPort* Hanging() const { return hanging_.get(); }

private:
    int port_ = 0;
    std::unique_ptr<TappedLocksim> locksim_;
    std::unique_ptr<HangingPort> hanging_;
};

// Whether text holds text + number with no digit after it ("ID 71", not "ID 710").
bool HasNumberAfter(const std::string& text, const std::string& before, int number) {
    const std::string needle = before + std::to_string(number);
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        const size_t end = at + needle.size();
        if (end == text.size() || !std::isdigit(static_cast<unsigned char>(text[end]))) {
            return true;
        }
    }
    return false;
}

// Whether a log message names one of the gateways ("ID 71", "gateway 71", its
// description "Bench gateway 71", its port) or tells of a connection problem. Request
// lines carry hex dumps and byte counts, so a bare number proves nothing.
bool NamesTrouble(const std::string& message, const std::vector<int>& ids,
                  const std::vector<int>& ports) {
    static const char* const kConnectionWords[] = {"onnect",      "faulted", "NotPresent",
                                                   "NOT_PRESENT", "refused", "unreachable"};
    return std::any_of(ids.begin(), ids.end(),
                       [&](int id) {
                           return HasNumberAfter(message, "ID ", id) ||
                                  HasNumberAfter(message, "ateway ", id);
                       }) ||
           std::any_of(ports.begin(), ports.end(),
                       [&](int port) {
                           return HasNumberAfter(message, ":", port) ||
                                  HasNumberAfter(message, "port ", port);
                       }) ||
           std::any_of(std::begin(kConnectionWords), std::end(kConnectionWords),
                       [&](const char* word) { return message.find(word) != std::string::npos; });
}

struct LogCount {
    int lines = 0;
    int troubleLines = 0;  // naming a failing gateway (ID or port) or a connection problem
};

LogCount CountLogLines(const std::string& text, const std::vector<int>& ids,
                       const std::vector<int>& ports) {
    LogCount count;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        ++count.lines;
        // The message follows "[thread] [function@line] ".
        size_t at = line.find("] [");
        at = at == std::string::npos ? std::string::npos : line.find("] ", at + 3);
        count.troubleLines +=
            NamesTrouble(at == std::string::npos ? line : line.substr(at + 2), ids, ports) ? 1 : 0;
    }
    return count;
}

double PerMinute(int count, double minutes) {
    return minutes > 0 ? count / minutes : 0;
}

std::string ReadFrom(const std::string& path, uintmax_t offset) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

uintmax_t FileSize(const std::string& path) {
    std::error_code error;
    const uintmax_t size = std::filesystem::file_size(path, error);
    return error ? 0 : size;
}

struct RunResult {
    std::optional<double> readySeconds;
    TrafficResult traffic;
    std::string lockhubState;
    std::optional<double> endedAfter;  // seconds after lockhub started, if it ended
    FrameMatch frames;
    Spread busy;      // round trips to the busy (healthy) gateways
    Spread busyFree;  // of them, those not held by the frame spacing
    DeadlineCheck deadlines;
    LogCount log;
    double minutes = 0;
};

// Starts lockhub with the gateways (all healthy for the baseline), waits until the
// healthy ones are ready, runs the traffic for length and reads the outcome.
RunResult RunWithGateways(const TempDir& folder, const Options& options, bool troubled,
                          Clock::duration length) {
    const char* name = troubled ? "isolation" : "baseline";
    std::vector<std::unique_ptr<SimulatedGateway>> gateways;
    std::vector<std::string> configured;
    std::vector<int> healthy;
    std::vector<int> troubleIds;
    std::vector<int> troublePorts;
    for (const GatewayRole& role : kGateways) {
        const Trouble trouble = troubled ? role.trouble : Trouble::kNone;
        gateways.push_back(std::make_unique<SimulatedGateway>(folder, trouble));
        configured.push_back(GatewayJson(role.id, Format("Bench gateway %d", role.id),
                                         gateways.back()->Port(), kFirstTaggedLock));
        if (trouble == Trouble::kNone) {
            healthy.push_back(role.id);
        }
        if (role.trouble != Trouble::kNone) {
            // In both runs, so that the baseline's count shows what the names alone match.
            troubleIds.push_back(role.id);
            troublePorts.push_back(gateways.back()->Port());
        }
        if (const HangingPort* hanging = gateways.back()->Hanging()) {
            std::printf(
                "  gateway %d: port %d hangs (its accept queue holds %zu connections of this "
                "program; one more connect stayed incomplete for %d ms)\n",
                role.id, hanging->Port(), hanging->Fillers(), HangingPort::kProof);
        }
    }

    const auto started = Clock::now();
    LockhubProcess lockhub(
        folder, name, options,
        Configuration(configured, Format(R"("RequestTimeout": %d, )", kRequestTimeoutSeconds)));
    RunResult run;
    MuxClient probe(lockhub.Port());
    if (probe.Connected()) {
        run.readySeconds = WaitUntilReady(probe, healthy, kFirstTaggedLock, kReadyDeadline);
    }
    const uintmax_t logStart = FileSize(lockhub.LogFile());
    if (lockhub.Running()) {
        Traffic traffic(lockhub.Port(), kClients);
        run.traffic = traffic.Run(
            {kBusyGateways, kBusyGap, kLightGateways, kLightGap, length, kAnswerWait}, lockhub);
    } else {
        run.traffic.start = run.traffic.end = Clock::now();
    }
    run.lockhubState = lockhub.State();
    if (run.lockhubState != "running") {
        run.endedAfter = run.traffic.lockhubEndedAfter
                             ? Seconds(run.traffic.start - started) + *run.traffic.lockhubEndedAfter
                             : Seconds(Clock::now() - started);
    }
    GatewayFrames frames;
    for (size_t i = 0; i < gateways.size(); ++i) {
        frames[kGateways[i].id] = gateways[i]->Frames();
    }
    run.frames = MatchFrames(run.traffic.requests, frames);
    run.busy = SpreadOf(run.traffic.RoundTrips(kBusyGateways));
    run.busyFree = SpreadOf(run.traffic.RoundTrips(kBusyGateways, run.frames.heldBySpacing));
    run.deadlines = CheckDeadlines(run.traffic.requests, run.frames, kRequestTimeout);
    run.minutes = Seconds(run.traffic.end - run.traffic.start) / 60;
    run.log = CountLogLines(ReadFrom(lockhub.LogFile(), logStart), troubleIds, troublePorts);
    return run;
}

// What became of each gateway's requests: ACKs, NACKs by message, no answer.
void PrintOutcomes(const TrafficResult& traffic, bool troubled) {
    for (const GatewayRole& role : kGateways) {
        int sent = 0;
        int unanswered = 0;
        std::map<std::string, int> answers;
        for (const DoorRequest& request : traffic.requests) {
            if (request.gateway != role.id) {
                continue;
            }
            ++sent;
            if (!request.answered) {
                ++unanswered;
            } else {
                ++answers[request.ack ? "ACK" : "NACK \"" + request.message + "\""];
            }
        }
        std::printf("    gateway %2d (%s): %d sent", role.id,
                    TroubleText(troubled ? role.trouble : Trouble::kNone), sent);
        for (const auto& [answer, count] : answers) {
            std::printf(", %d %s", count, answer.c_str());
        }
        std::printf(", %d unanswered\n", unanswered);
    }
}

void PrintRun(const char* title, const RunResult& run, bool troubled) {
    const TrafficResult& traffic = run.traffic;
    std::printf("  %s: healthy gateways ready %s; %zu door commands in %.0f s; lockhub %s", title,
                run.readySeconds ? Format("after %.2f s", *run.readySeconds).c_str()
                                 : Format("NOT within %.0f s", Seconds(kReadyDeadline)).c_str(),
                traffic.requests.size(), Seconds(traffic.end - traffic.start),
                run.lockhubState.c_str());
    if (run.endedAfter) {
        std::printf(" %.1f s after it started", *run.endedAfter);
    }
    std::printf("\n");
    PrintSpread("round trip to gateways 1-4, all:", run.busy);
    PrintSpread(
        Format("  without %zu held by the spacing:", run.busy.count - run.busyFree.count).c_str(),
        run.busyFree);
    PrintOutcomes(traffic, troubled);
    std::printf(
        "    unanswered: %d of %zu; could not send: %d; door-command frames seen: %d, after "
        "their deadline: %d, naming no request: %d; latest frame %.3f s %s its deadline\n",
        traffic.Unanswered(), traffic.requests.size(), traffic.sendFailures, run.frames.frames,
        run.deadlines.late, run.frames.unmatched, std::abs(run.deadlines.latestMs) / 1000,
        run.deadlines.latestMs > 0 ? "after" : "before");
    std::printf("    VmRSS:");
    for (long kilobytes : traffic.rss) {
        std::printf(" %ld kB", kilobytes);
    }
    std::printf(" (start, middle, end)\n");
    std::printf(
        "    log: %.0f lines/min, of them %.1f/min naming gateways 71-74 (ID or port) or a "
        "connection problem\n",
        PerMinute(run.log.lines, run.minutes), PerMinute(run.log.troubleLines, run.minutes));
}

}  // namespace

bool MeasureIsolation(const TempDir& folder, const Options& options, Summary& summary) {
    const Clock::duration length = options.quick ? 60s : 600s;
    const Clock::duration baselineLength = options.quick ? 30s : 120s;
    std::printf(
        "\n6.  Isolation: 4 failing gateways beside 4 healthy ones\n"
        "    lockhub with 8 gateways, \"RequestTimeout\" %d s. Failing: 71 refuses connections\n"
        "    (nothing listens), 72 accepts and never answers (locksim --no-answer), 73's\n"
        "    connects hang (a full accept queue: SYNs are dropped), 74 drops its connection\n"
        "    every %.0f s (a relay in front of locksim). Healthy: 1-4 (locksim). Every locksim\n"
        "    sits behind a relay of this program that notes when each frame arrives. %d clients\n"
        "    send door commands (lock-open) round the clients: one per healthy gateway every\n"
        "    %.0f ms (so no gateway's queue builds up) and one per failing gateway every %.0f s,\n"
        "    for %.0f s, then wait up to %.0f s for the last answers. Baseline: the same traffic\n"
        "    for %.0f s to 8 healthy gateways. Round trips count from just before the send to\n"
        "    the answer read; each door-command frame is matched to its request by its lock\n"
        "    (the requests name %d locks in turn) and late when it arrived more than %.0f ms\n"
        "    after the request's time + RequestTimeout. A door command that comes less than\n"
        "    300 ms after the previous frame to its gateway waits for the frame spacing: after\n"
        "    lockhub's own keep-alive frame (every 27 s per gateway), and the next commands\n"
        "    behind the one it held; the target compares the round trips without these.\n",
        kRequestTimeoutSeconds, Seconds(kFlapPeriod), kClients, Milliseconds(kBusyGap),
        Seconds(kLightGap), Seconds(length), Seconds(kAnswerWait), Seconds(baselineLength),
        kTaggedLocks, Milliseconds(kDeadlineSlack));
    std::fflush(stdout);
    const RunResult baseline = RunWithGateways(folder, options, false, baselineLength);
    PrintRun("baseline, 8 healthy gateways", baseline, false);
    std::fflush(stdout);
    const RunResult isolation = RunWithGateways(folder, options, true, length);
    PrintRun("with 4 failing gateways", isolation, true);

    const TrafficResult& traffic = isolation.traffic;
    const bool stayedUp = !isolation.endedAfter;
    summary.Add(
        Format("isolation: lockhub up, 4 of 8 gateways failing, %.0f s",
               Seconds(traffic.end - traffic.start)),
        (stayedUp ? "yes"
                  : Format("no: lockhub %s %.1f s after it started", isolation.lockhubState.c_str(),
                           *isolation.endedAfter)) +
            (baseline.endedAfter ? Format("; the baseline's lockhub %s %.1f s after it "
                                          "started",
                                          baseline.lockhubState.c_str(), *baseline.endedAfter)
                                 : ""),
        Format("stays up: %s", Verdict(stayedUp)));
    const double p99Added = isolation.busyFree.p99 - baseline.busyFree.p99;
    summary.Add("isolation: round trip to the healthy gateways",
                Format("p50 %.2f ms, p99 %.2f ms; baseline p50 %.2f ms, p99 %.2f ms: p99 %+.2f ms "
                       "(%zu and %zu requests; with the %zu and %zu held by the spacing: p99 "
                       "%.2f ms and %.2f ms)",
                       isolation.busyFree.p50, isolation.busyFree.p99, baseline.busyFree.p50,
                       baseline.busyFree.p99, p99Added, isolation.busyFree.count,
                       baseline.busyFree.count, isolation.busy.count - isolation.busyFree.count,
                       baseline.busy.count - baseline.busyFree.count, isolation.busy.p99,
                       baseline.busy.p99),
                Format("p99 within %.0f ms of baseline: %s", kP99AllowanceMs,
                       Verdict(p99Added <= kP99AllowanceMs && isolation.busyFree.count > 0)));
    const int lost = traffic.Unanswered();
    summary.Add("isolation: answers lost",
                Format("%d of %zu requests (baseline %d of %zu)", lost, traffic.requests.size(),
                       baseline.traffic.Unanswered(), baseline.traffic.requests.size()),
                Format("0: %s", Verdict(lost == 0 && baseline.traffic.Unanswered() == 0)));
    summary.Add(
        "isolation: frames sent after their deadline",
        Format("%d of %d door-command frames (baseline %d of %d)", isolation.deadlines.late,
               isolation.frames.frames, baseline.deadlines.late, baseline.frames.frames),
        Format("0: %s", Verdict(isolation.deadlines.late == 0 && baseline.deadlines.late == 0)));
    const bool flat =
        traffic.rss.size() == 3 && traffic.rss[2] - traffic.rss[1] <= kMemoryNoiseKilobytes;
    std::string rss;
    for (long kilobytes : traffic.rss) {
        rss += (rss.empty() ? "" : " / ") + std::to_string(kilobytes);
    }
    summary.Add("isolation: lockhub VmRSS at start / middle / end", rss + " kB",
                Format("flat (middle to end <= %ld kB): %s", kMemoryNoiseKilobytes, Verdict(flat)));
    summary.Add("isolation: log lines naming the failing gateways or connection problems",
                Format("%.1f per minute (baseline %.1f); all lines %.0f per minute (baseline %.0f)",
                       PerMinute(isolation.log.troubleLines, isolation.minutes),
                       PerMinute(baseline.log.troubleLines, baseline.minutes),
                       PerMinute(isolation.log.lines, isolation.minutes),
                       PerMinute(baseline.log.lines, baseline.minutes)));
    return !stayedUp || baseline.endedAfter;
}

}  // namespace Bench
