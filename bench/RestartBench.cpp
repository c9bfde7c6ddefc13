// Gateway restart: a gateway's locksim ended and started again on the same port after
// an outage; how soon lockhub uses the gateway again, and whether lockhub stays up.

#include <cstdio>
#include <thread>

#include "bench/Parts.h"
#include "bench/Traffic.h"

namespace Bench {
namespace {

using TestSupport::Member;

constexpr int kRequestTimeoutSeconds = 2;
constexpr auto kProbePause = 100ms;
constexpr auto kLongOutage = 90s;
// How long after the return a door command must succeed: the reconnection backoff grows
// to 60 s, so the long outage gets a minute and some.
constexpr auto kShortBound = 20s;
constexpr auto kLongBound = 75s;
constexpr double kShortTargetSeconds = 1.5;
constexpr double kLongTargetSeconds = 61;

struct Outcome {
    std::string lockhubState;
    std::optional<double> endedAfter;  // seconds after the gateway went down
    std::optional<double> readyAfter;  // seconds after the gateway came back
};

// Sends door commands, one after the answer to the other plus kProbePause, until one is
// ACKed: the seconds that took, or nullopt when none was by the deadline or lockhub ended.
std::optional<double> WaitForDoorAck(MuxClient& client, LockhubProcess& lockhub,
                                     Clock::duration bound) {
    const auto start = Clock::now();
    for (int probe = 0; Clock::now() < start + bound && lockhub.Running(); ++probe) {
        const std::string id = Format("restart-probe-%d", probe);
        if (!client.Send(OpenRequest(id, 1, kFirstTaggedLock))) {
            return std::nullopt;
        }
        for (;;) {
            const std::string answer = client.Receive(kProbePause);
            if (Member(answer, "MessageID") == "\"" + id + "\"") {
                if (Member(answer, "MessageCode") == kAck) {
                    return Seconds(Clock::now() - start);
                }
                break;
            }
            if (Clock::now() >= start + bound || !lockhub.Running()) {
                return std::nullopt;
            }
        }
        std::this_thread::sleep_for(kProbePause);
    }
    return std::nullopt;
}

Outcome Restart(const TempDir& folder, const Options& options, Clock::duration outage) {
    const std::string name = Format("restart-%.0fms", Milliseconds(outage));
    const int port = QuietPort();
    const std::vector<std::string> locksimOptions = {"--locks", TaggedLocks()};
    std::unique_ptr<ChildProcess> locksim = StartLocksimOn(folder, port, locksimOptions);
    if (!locksim) {
        Fail("locksim did not start on port " + std::to_string(port));
    }
    LockhubProcess lockhub(
        folder, name, options,
        Configuration({GatewayJson(1, "Bench gateway 1", port, kFirstTaggedLock)},
                      Format(R"("RequestTimeout": %d, )", kRequestTimeoutSeconds)));
    MuxClient client(lockhub.Port());
    if (!client.Connected() || !WaitUntilReady(client, {1}, kFirstTaggedLock, kStartDeadline)) {
        Fail("the gateway did not become ready (lockhub " + lockhub.State() + ")");
    }
    locksim.reset();  // killed: the system closes its sockets
    const auto down = Clock::now();
    Outcome outcome;
    TestSupport::WaitFor([&] { return !lockhub.Running(); },
                         std::chrono::duration_cast<std::chrono::milliseconds>(outage));
    if (lockhub.Running()) {
        locksim = StartLocksimOn(folder, port, locksimOptions);
        if (!locksim) {
            Fail("locksim could not listen on port " + std::to_string(port) + " again");
        }
        outcome.readyAfter =
            WaitForDoorAck(client, lockhub, outage >= kLongOutage ? kLongBound : kShortBound);
    }
    outcome.lockhubState = lockhub.State();
    if (outcome.lockhubState != "running") {
        outcome.endedAfter = Seconds(Clock::now() - down);
    }
    return outcome;
}

}  // namespace

bool MeasureRestart(const TempDir& folder, const Options& options, Summary& summary) {
    std::vector<Clock::duration> outages = {200ms, 5s};
    if (!options.quick) {
        outages.push_back(kLongOutage);
    }
    std::printf(
        "\n8.  Gateway restart: a gateway down for 0.2 s, 5 s and %.0f s, back on its port\n"
        "    lockhub with one gateway (locksim on a fixed port), \"RequestTimeout\" %d s. Once\n"
        "    the gateway is ready, locksim is killed and, after the outage, started again on\n"
        "    the same port. From the moment it listens again, a lock-open is sent every\n"
        "    %.0f ms (after the previous answer) until one succeeds: the time until then.\n"
        "    lockhub retries a lost gateway after ~1 s, then 2 s, 4 s ... later (at most 60 s):\n"
        "    after a 5 s outage its next attempt may come ~2 s after the return.\n",
        Seconds(kLongOutage), kRequestTimeoutSeconds, Milliseconds(kProbePause));
    bool keep = false;
    for (Clock::duration outage : outages) {
        std::fflush(stdout);
        const Outcome outcome = Restart(folder, options, outage);
        const bool longOutage = outage >= kLongOutage;
        const double target = longOutage ? kLongTargetSeconds : kShortTargetSeconds;
        const bool up = !outcome.endedAfter;
        std::string result = up ? "lockhub stayed up"
                                : Format("lockhub %s %.1f s after the gateway went down",
                                         outcome.lockhubState.c_str(), *outcome.endedAfter);
        result +=
            outcome.readyAfter
                ? Format("; door command succeeded %.2f s after the return", *outcome.readyAfter)
                : Format("; no door command succeeded within %.0f s of the return",
                         Seconds(longOutage ? kLongBound : kShortBound));
        std::printf("  %.1f s outage: %s\n", Seconds(outage), result.c_str());
        const std::string targetText =
            longOutage ? Format("<= %.0f s", target) : Format("~1 s (<= %.1f s)", target);
        summary.Add(Format("restart: gateway down %.1f s", Seconds(outage)), result,
                    targetText + ", lockhub up: " +
                        Verdict(up && outcome.readyAfter && *outcome.readyAfter <= target));
        keep = keep || !up;
    }
    if (options.quick) {
        std::printf("  %.0f s outage: skipped (--quick)\n", Seconds(kLongOutage));
        summary.Add(Format("restart: gateway down %.0f s", Seconds(kLongOutage)),
                    "skipped (--quick)", Format("<= %.0f s", kLongTargetSeconds));
    }
    return keep;
}

}  // namespace Bench
