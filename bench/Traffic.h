#pragma once
// Door commands from many clients at a steady pace, with what became of each request;
// and the frames lockhub sends through a relay, for telling when each command went out.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bench/BenchSupport.h"
#include "bench/TcpRelay.h"

namespace Bench {

// Door commands name the locks of this range in turn, each gateway counting on its own,
// so that a frame a gateway receives names the request it came from: with one command
// per gateway every 400 ms, a lock comes round again only after 100 s. locksim must
// know them all (TaggedLocks() as its --locks).
inline constexpr long kFirstTaggedLock = 30000;
inline constexpr int kTaggedLocks = 256;
std::string TaggedLocks();

struct DoorRequest {
    int gateway = 0;
    long lockId = 0;
    Clock::time_point sent;
    std::optional<Clock::time_point> answered;
    bool ack = false;
    std::string message;  // a NACK's "Message"
};

struct TrafficPlan {
    std::vector<int> busy;  // each gets one door command per busyGap
    std::chrono::milliseconds busyGap{400};
    std::vector<int> light;  // each gets one door command per lightGap
    std::chrono::milliseconds lightGap{2000};
    Clock::duration length{};      // of the sending
    Clock::duration answerWait{};  // after it, at most, for the last answers
};

struct TrafficResult {
    std::vector<DoorRequest> requests;
    Clock::time_point start;
    Clock::time_point end;
    // lockhub's VmRSS in kB at the start, the middle and the end (as far as it ran).
    std::vector<long> rss;
    // Seconds from the start until lockhub was seen to have ended, if it did.
    std::optional<double> lockhubEndedAfter;
    int sendFailures = 0;  // requests a client could not send

    int Unanswered() const;
    // Round trips (ms) of the ACKed requests to the gateways sent between from and
    // until, leaving out those marked in skip (by request; empty: none).
    std::vector<double> RoundTrips(const std::vector<int>& gateways,
                                   const std::vector<bool>& skip = {},
                                   Clock::time_point from = Clock::time_point::min(),
                                   Clock::time_point until = Clock::time_point::max()) const;
};

// Client connections to lockhub, each registered before the first request.
class Traffic {
public:
    Traffic(int port, int clients);

    // Sends door commands (LOCK_OPEN) round the clients as the plan says, the first one
    // frame spacing after the start, and takes in the answers; ends when the answers are
    // in or the plan's answer wait is over, or at once when lockhub ends.
    TrafficResult Run(const TrafficPlan& plan, LockhubProcess& lockhub);

private:
    std::vector<std::unique_ptr<MuxClient>> clients_;
    int serial_ = 0;  // for unique MessageIDs over several runs
};

// The frames lockhub sent through relays: give each relay Tap() as its toTarget.
class FrameLog {
public:
    struct Frame {
        Clock::time_point at;  // when the relay read its last byte
        uint8_t type = 0;
        uint32_t device = 0;
    };

    TcpRelay::Tap Tap();
    std::vector<Frame> Frames() const;

private:
    void Add(int connection, Clock::time_point at, std::string_view bytes);

    mutable std::mutex mutex_;
    std::map<int, std::string> pending_;  // by connection: bytes of an incomplete frame
    std::vector<Frame> frames_;
};

// A locksim (knowing the tagged locks) behind a relay that notes every frame lockhub
// sends it, and drops the connection every dropAfter when that is not 0.
class TappedLocksim {
public:
    TappedLocksim(const TempDir& folder, std::vector<std::string> locksimOptions = {},
                  std::chrono::milliseconds dropAfter = 0ms);

    int Port() const { return relay_->Port(); }
    std::vector<FrameLog::Frame> Frames() const { return frames_.Frames(); }

private:
    std::unique_ptr<TestSupport::Locksim> locksim_;
    FrameLog frames_;  // before relay_: the relay's thread writes to it until joined
    std::unique_ptr<TcpRelay> relay_;
};

// The frames each gateway received, by gateway ID.
using GatewayFrames = std::map<int, std::vector<FrameLog::Frame>>;

// One plain TappedLocksim per gateway ID, and each gateway's entry for lockhub's
// configuration ("Bench gateway <ID>", the tagged locks).
struct TappedGateways {
    std::map<int, std::unique_ptr<TappedLocksim>> locksims;
    std::vector<std::string> configured;
};
TappedGateways StartTappedGateways(const TempDir& folder, const std::vector<int>& ids);

// Scheduling noise allowed on top of the frame spacing.
inline constexpr auto kSpacingSlack = 20ms;

// The requests' door-command frames. A frame belongs to the last request to its gateway
// for its lock sent before it (a lock comes round again only after 100 s).
struct FrameMatch {
    std::vector<std::optional<Clock::time_point>> frameAt;  // by request
    // By request: its frame waited for the frame spacing and nothing else. The gateway's
    // previous frame went out less than a spacing before the request came, and the
    // request's own at most a spacing (and kSpacingSlack) after it. Under traffic paced
    // below one frame per spacing, that previous frame is lockhub's own keep-alive (a
    // sequence refresh every 27 s per gateway) or a door command held behind one: such a
    // round trip measures the spacing rule, not the way through lockhub.
    std::vector<bool> heldBySpacing;
    int frames = 0;     // door-command frames received
    int unmatched = 0;  // of them, naming a lock no request before them named
};
FrameMatch MatchFrames(const std::vector<DoorRequest>& requests, const GatewayFrames& frames);

// A frame counts as late when the relay read it more than kDeadlineSlack after the
// request's deadline (sending time + timeout): the bench takes the sending time before
// lockhub reads the request and the frame's time after lockhub wrote it.
inline constexpr auto kDeadlineSlack = 10ms;

struct DeadlineCheck {
    int late = 0;            // frames received later than their request's deadline
    double latestMs = -1e9;  // the latest frame's time after its deadline (< 0: before)
};
DeadlineCheck CheckDeadlines(const std::vector<DoorRequest>& requests, const FrameMatch& match,
                             Clock::duration timeout);

}  // namespace Bench
