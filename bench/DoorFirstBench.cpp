// Door first: a door command sent right after 200 whitelist additions to the same
// gateway, all without waiting for answers. At one frame per 300 ms, a door command
// that waits its turn behind them is answered a minute later.

#include <cstdio>

#include "bench/Parts.h"
#include "bench/Traffic.h"

namespace Bench {
namespace {

using TestSupport::Member;

constexpr int kWhitelistAdditions = 200;
constexpr double kTargetSeconds = 0.7;
// Enough for the door command to wait behind every addition, and then some.
constexpr auto kAnswerBound = kWhitelistAdditions * kGatewaySpacing + 10s;

std::string WhitelistAddition(const std::string& id, int card) {
    return TestSupport::Request(
        id, kWhitelistSet,
        Format(R"({"gatewayID":1,"lockID":%ld,"cardData":"%08X","isUIDCard":false,)"
               R"("setupNumber":0,"options":0})",
               kFirstTaggedLock, card));
}

}  // namespace

bool MeasureDoorFirst(const TempDir& folder, const Options& options, Summary& summary) {
    std::printf(
        "\n7.  Door first: one door command behind %d whitelist additions\n"
        "    One gateway (locksim, room for every entry), \"RequestTimeout\" 0 (nothing\n"
        "    expires). One client sends %d whitelist additions (LOCK_WHITELIST_SET) to the\n"
        "    gateway's lock at once, without waiting, then one lock-open to the same gateway:\n"
        "    the time from that send to its answer, and how many frames locksim received\n"
        "    before it. Waiting its turn, it would take about %.0f s.\n",
        kWhitelistAdditions, kWhitelistAdditions, Seconds(kWhitelistAdditions * kGatewaySpacing));
    std::fflush(stdout);
    TestSupport::Locksim locksim(folder, {"--locks", TaggedLocks(), "--whitelist-size",
                                          std::to_string(kWhitelistAdditions)});
    if (locksim.Port() == 0) {
        Fail("locksim did not start");
    }
    LockhubProcess lockhub(
        folder, "door-first", options,
        Configuration({GatewayJson(1, "Bench gateway 1", locksim.Port(), kFirstTaggedLock)},
                      R"("RequestTimeout": 0, )"));
    MuxClient client(lockhub.Port());
    if (!client.Connected() || !WaitUntilReady(client, {1}, kFirstTaggedLock, kStartDeadline)) {
        Fail("the gateway did not become ready (lockhub " + lockhub.State() + ")");
    }
    for (int i = 0; i < kWhitelistAdditions; ++i) {
        if (!client.Send(WhitelistAddition(Format("whitelist-%d", i), i + 1))) {
            Fail("cannot send a whitelist addition");
        }
    }
    const auto sent = Clock::now();
    if (!client.Send(OpenRequest("door-first", 1, kFirstTaggedLock))) {
        Fail("cannot send the door command");
    }
    int whitelistAnswers = 0;
    std::optional<double> seconds;
    std::string doorAnswer;
    while (!seconds && Clock::now() < sent + kAnswerBound) {
        const std::string answer = client.Receive(1s);
        const std::string id = Member(answer, "MessageID");
        if (id == "\"door-first\"") {
            seconds = Seconds(Clock::now() - sent);
            doorAnswer = Member(answer, "MessageCode") == kAck ? "ACK" : "NACK: " + answer;
        } else if (id.rfind("\"whitelist-", 0) == 0) {
            ++whitelistAnswers;
        } else if (answer.empty() && !lockhub.Running()) {
            break;
        }
    }
    // locksim prints a line for each frame received, in order.
    const std::string frames = locksim.Output();
    const size_t door = frames.find(" OPEN_LOCK ");
    const size_t ahead = TestSupport::CountOf(
        frames.substr(0, door == std::string::npos ? 0 : door), "ADD_TO_WHITELIST");
    if (seconds) {
        std::printf(
            "  answered after %.3f s (%s); %d whitelist answers came before it; locksim\n"
            "  received %zu whitelist frames before the door command's\n",
            *seconds, doorAnswer.c_str(), whitelistAnswers, ahead);
    } else {
        std::printf("  no answer within %.0f s; lockhub %s\n", Seconds(kAnswerBound),
                    lockhub.State().c_str());
    }
    summary.Add(
        Format("door first: lock-open behind %d whitelist additions", kWhitelistAdditions),
        seconds ? Format("answered after %.3f s, %zu whitelist frames before it", *seconds, ahead)
                : Format("no answer within %.0f s", Seconds(kAnswerBound)),
        Format("<= %.1f s: %s", kTargetSeconds,
               Verdict(seconds && *seconds <= kTargetSeconds && doorAnswer == "ACK")));
    return !lockhub.Running();
}

}  // namespace Bench
