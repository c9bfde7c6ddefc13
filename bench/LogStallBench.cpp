// Stalled log reader: lockhub's standard output goes into a pipe whose reader stops
// for a while, as logtrim does when the disk is slow; the door commands must not notice.

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>

#include "bench/Parts.h"
#include "bench/Traffic.h"

namespace Bench {
namespace {

const std::vector<int> kGateways = {1, 2, 3, 4};
constexpr int kClients = 20;
constexpr auto kDoorGap = 400ms;  // per gateway: below one frame per 300 ms
constexpr auto kStall = 5s;
// After a stall lockhub writes out what it kept meanwhile: requests sent this soon after
// one count apart.
constexpr auto kAfterStall = 3s;
constexpr auto kAnswerWait = 10s;
// The smallest pipe the system allows: a few requests' log lines fill it.
constexpr int kPipeBytes = 4096;
// The pipe counts as full when less than a long log line would still fit.
constexpr int kLineRoom = 512;
constexpr double kP99AllowanceMs = 2;

struct Window {
    Clock::time_point from;
    Clock::time_point until;
    bool Holds(Clock::time_point at) const { return at >= from && at < until; }
};

// Reads lockhub's standard output from a fifo and throws it away, except in the stall
// windows: then it reads nothing and notes when the pipe is full.
class StdoutReader {
public:
    explicit StdoutReader(const std::string& fifo) {
        if (::mkfifo(fifo.c_str(), 0600) != 0) {
            Fail("cannot make the fifo " + fifo);
        }
        // Opened before lockhub, without blocking, so that lockhub's open finds a reader.
        fd_ = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ == -1) {
            Fail("cannot open the fifo " + fifo);
        }
        capacity_ = ::fcntl(fd_, F_SETPIPE_SZ, kPipeBytes);
        if (capacity_ == -1) {
            capacity_ = ::fcntl(fd_, F_GETPIPE_SZ);
        }
        thread_ = std::thread([this] { Run(); });
    }
    ~StdoutReader() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    StdoutReader(const StdoutReader&) = delete;
    StdoutReader& operator=(const StdoutReader&) = delete;

    void Stall(std::vector<Window> windows) {
        std::lock_guard<std::mutex> lock(mutex_);
        windows_ = std::move(windows);
        fullAt_.assign(windows_.size(), std::nullopt);
    }
    // By window: when the pipe was full, if it was.
    std::vector<std::optional<Clock::time_point>> FullAt() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return fullAt_;
    }
    int Capacity() const { return capacity_; }

private:
    void Run() {
        constexpr auto kStalledLook = 5ms;
        constexpr int kReadWaitMs = 20;
        while (!stop_) {
            const auto now = Clock::now();
            std::optional<size_t> stalled;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                for (size_t i = 0; i < windows_.size() && !stalled; ++i) {
                    stalled = windows_[i].Holds(now) ? std::optional<size_t>(i) : std::nullopt;
                }
            }
            if (stalled) {
                int queued = 0;
                if (::ioctl(fd_, FIONREAD, &queued) == 0 && queued >= capacity_ - kLineRoom) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    fullAt_[*stalled] = fullAt_[*stalled].value_or(now);
                }
                std::this_thread::sleep_for(kStalledLook);
                continue;
            }
            pollfd readable{fd_, POLLIN, 0};
            if (::poll(&readable, 1, kReadWaitMs) <= 0) {
                continue;
            }
            char buffer[65536];
            if (::read(fd_, buffer, sizeof buffer) <= 0) {
                // No writer yet, or none any more: the poll would not wait.
                std::this_thread::sleep_for(std::chrono::milliseconds(kReadWaitMs));
            }
        }
    }

    int fd_ = -1;
    int capacity_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<Window> windows_;
    std::vector<std::optional<Clock::time_point>> fullAt_;
    std::thread thread_;
};

}  // namespace

bool MeasureLogStall(const TempDir& folder, const Options& options, Summary& summary) {
    const int stallCount = options.quick ? 1 : 4;
    const Clock::duration readingTime = options.quick ? 10s : 15s;
    std::printf(
        "\n9.  Stalled log reader: door commands while nobody reads lockhub's standard output\n"
        "    lockhub with %zu gateways (locksim); its standard output goes into a pipe of\n"
        "    %d bytes read by this program. %d clients send door commands, one per gateway\n"
        "    every %.0f ms, while the reader reads for %.0f s and then stops for %.0f s, %d\n"
        "    time(s), and reads %.0f s more. Round trips of the requests sent while it was\n"
        "    stopped against those sent while it read (the first %.0f s after a stall apart),\n"
        "    without those held by the frame spacing behind lockhub's own keep-alive frame\n"
        "    and the commands held behind those (the gateways sit behind relays of this\n"
        "    program that note every frame).\n",
        kGateways.size(), kPipeBytes, kClients, Milliseconds(kDoorGap), Seconds(readingTime),
        Seconds(kStall), stallCount, Seconds(kAfterStall), Seconds(kAfterStall));
    std::fflush(stdout);
    const auto [locksims, configured] = StartTappedGateways(folder, kGateways);
    const std::string fifo = folder.File("stdout.fifo");
    StdoutReader reader(fifo);
    LockhubProcess lockhub(folder, "log-stall", options, Configuration(configured), fifo);
    MuxClient probe(lockhub.Port());
    if (!probe.Connected() || !WaitUntilReady(probe, kGateways, kFirstTaggedLock, kStartDeadline)) {
        Fail("the gateways did not become ready (lockhub " + lockhub.State() + ")");
    }
    Traffic traffic(lockhub.Port(), kClients);
    std::vector<Window> stalls;
    const auto start = Clock::now();
    for (int k = 0; k < stallCount; ++k) {
        const auto from = start + readingTime + k * (readingTime + kStall);
        stalls.push_back({from, from + kStall});
    }
    reader.Stall(stalls);
    const TrafficResult result = traffic.Run({kGateways,
                                              kDoorGap,
                                              {},
                                              kDoorGap,
                                              stallCount * (readingTime + kStall) + kAfterStall,
                                              kAnswerWait},
                                             lockhub);
    GatewayFrames frames;
    for (const auto& [id, locksim] : locksims) {
        frames[id] = locksim->Frames();
    }
    const std::vector<bool> held = MatchFrames(result.requests, frames).heldBySpacing;
    std::vector<double> withReader;
    std::vector<double> stalled;
    std::vector<double> afterStall;
    for (size_t i = 0; i < result.requests.size(); ++i) {
        const DoorRequest& request = result.requests[i];
        if (!request.ack || held[i]) {
            continue;
        }
        const double roundTrip = Milliseconds(*request.answered - request.sent);
        auto after = [&](const Window& stall) {
            return Window{stall.until, stall.until + kAfterStall}.Holds(request.sent);
        };
        auto during = [&](const Window& stall) { return stall.Holds(request.sent); };
        if (std::any_of(stalls.begin(), stalls.end(), during)) {
            stalled.push_back(roundTrip);
        } else if (std::any_of(stalls.begin(), stalls.end(), after)) {
            afterStall.push_back(roundTrip);
        } else {
            withReader.push_back(roundTrip);
        }
    }
    const Spread reading = SpreadOf(withReader);
    const Spread stopped = SpreadOf(stalled);
    PrintSpread("reader reading (baseline):", reading);
    PrintSpread("reader stopped:", stopped);
    PrintSpread("first seconds after a stall:", SpreadOf(afterStall));
    const std::vector<std::optional<Clock::time_point>> fullAt = reader.FullAt();
    double latestFull = 0;
    int neverFull = 0;
    for (size_t k = 0; k < fullAt.size(); ++k) {
        if (fullAt[k]) {
            latestFull = std::max(latestFull, Seconds(*fullAt[k] - stalls[k].from));
        } else {
            ++neverFull;
        }
    }
    const std::string pipe =
        neverFull == 0 ? Format("the pipe (%d bytes) was full at most %.2f s into each stall",
                                reader.Capacity(), latestFull)
                       : Format("the pipe (%d bytes) did not fill in %d of %d stalls",
                                reader.Capacity(), neverFull, stallCount);
    const std::string state = lockhub.State();
    std::printf("  %s; %d of %zu requests unanswered, %zu held by the spacing; lockhub %s\n",
                pipe.c_str(), result.Unanswered(), result.requests.size(),
                static_cast<size_t>(std::count(held.begin(), held.end(), true)), state.c_str());
    const double added = stopped.p99 - reading.p99;
    summary.Add(
        Format("stalled log reader: round trip while the reader stops for %.0f s (%d time(s))",
               Seconds(kStall), stallCount),
        Format("p99 %.2f ms (%zu) vs %.2f ms (%zu) with the reader: %+.2f ms; %s; %d unanswered",
               stopped.p99, stopped.count, reading.p99, reading.count, added, pipe.c_str(),
               result.Unanswered()),
        Format("p99 within %.0f ms: %s", kP99AllowanceMs,
               Verdict(added <= kP99AllowanceMs && stopped.count > 0 && neverFull == 0 &&
                       result.Unanswered() == 0)));
    return state != "running";
}

}  // namespace Bench
