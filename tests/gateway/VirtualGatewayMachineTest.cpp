// The gateway's protocol state driven without sockets, on a clock of the test's own: what
// each call leaves in the notices and which frames may leave when.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "gateway/Exceptions.h"
#include "gateway/VirtualGateway.h"
#include "messages/QuarnMessageTypes.h"
#include "messages/QuarnResponseCodes.h"
#include "tests/gateway/GatewayHarness.h"
#include "tests/support/TestLog.h"

namespace {

using namespace std::chrono_literals;
using namespace TestSupport;
using Quarn::CommandKind;
using Quarn::GatewayCommand;
using Quarn::VirtualGateway;
using Quarn::VirtualGatewayTimings;
using Clock = VirtualGateway::Clock;
using Failure = VirtualGateway::Response::Failure;
using Loss = VirtualGateway::Loss;
namespace Q = Quarn::Messages;
constexpr uint8_t kOk = Q::QUARN_RESPONSE_OK;
constexpr uint8_t kCounter = Q::QUARN_RESPONSE_SEQUENCE_COUNTER_ERROR;

constexpr VirtualGatewayTimings kTimings{.sendSpacing = 10ms,
                                         .keepAliveInterval = 0ms,
                                         .requestTimeout = 1000ms,
                                         .reconnectFirstDelay = 100ms,
                                         .reconnectMaxDelay = 800ms,
                                         .connectTimeout = 500ms};

struct Sent {
    Clock::time_point at;
    Bytes frame;
};

Bytes AnswerOk(const Bytes& frame) {
    return Answer(frame, kOk);
}

class VirtualGatewayMachineTest : public ::testing::Test {
protected:
    void SetUp() override { CaptureLog(); }

    void Use(VirtualGatewayTimings timings) {
        gateway = std::make_unique<VirtualGateway>("127.0.0.1", 2101, timings);
    }
    // The notices so far, as "status:N", "response:ID" and "event:DATA".
    const std::vector<std::string>& Notices() {
        for (auto& notice : gateway->TakeNotices().items) {
            if (notice.status) {
                notices.push_back("status:" + std::to_string(notice.status->to));
            } else if (notice.response) {
                notices.push_back("response:" + notice.response->GetRequestId());
                responses.push_back(std::move(notice.response));
            } else {
                notices.push_back("event:" + notice.event->GetData());
                events.push_back(*notice.event);
            }
        }
        return notices;
    }
    std::vector<std::string> Reports() {  // without the status changes
        std::vector<std::string> reports;
        std::copy_if(Notices().begin(), Notices().end(), std::back_inserter(reports),
                     [](const std::string& notice) { return notice.rfind("status:", 0) != 0; });
        return reports;
    }
    size_t Count(const std::string& notice) {
        return std::count(Notices().begin(), Notices().end(), notice);
    }
    void Forget() {
        Notices();
        notices.clear();
        responses.clear();
        events.clear();
    }
    const VirtualGateway::Response* Outcome(const std::string& requestId) {
        EXPECT_LE(Count("response:" + requestId), 1u) << requestId;
        for (const auto& response : responses) {
            if (response->GetRequestId() == requestId) {
                return response.get();
            }
        }
        return nullptr;
    }
    Failure FailureOf(const std::string& requestId) {
        const auto* response = Outcome(requestId);
        EXPECT_NE(response, nullptr) << requestId;
        return response != nullptr ? response->GetFailure() : Failure::None;
    }

    void Submit(GatewayCommand command) { gateway->Submit(std::move(command), now); }
    Bytes Take() { return gateway->TakeFrame(now); }
    void Feed(const Bytes& bytes) { gateway->Receive(bytes, now); }
    void Connect() {
        gateway->ConnectStarted(now);
        gateway->Connected(now);
    }

    // Connected for the first time, its refresh answered with the gateway's counter:
    // READY, nothing reported yet, the spacing passed.
    void Ready(uint32_t counter = 1000) {
        gateway->StartConnecting(now);
        Connect();
        Bytes refresh = Take();
        ASSERT_FALSE(refresh.empty());
        ASSERT_EQ(DeviceOf(refresh), VirtualGateway::kRefreshDeviceAddress);
        Feed(Answer(refresh, kCounter, counter));
        ASSERT_EQ(gateway->GetStatus(), Quarn::READY);
        connectedAt = now;
        now += gateway->GetTimings().sendSpacing;
        Forget();
    }

    // Drives the gateway as its loop does, waking when NextWake says, until the given time;
    // with answer, the far side answers each frame at once.
    std::vector<Sent> Run(Clock::time_point until, Bytes (*answer)(const Bytes&) = nullptr) {
        std::vector<Sent> sent;
        for (int wakes = 0; wakes < 100000; ++wakes) {
            gateway->Tick(now);
            for (Bytes frame = Take(); !frame.empty(); frame = Take()) {
                sent.push_back({now, frame});
                if (answer != nullptr) {
                    Feed(answer(frame));
                }
            }
            const Clock::time_point next = gateway->NextWake(now);
            if (next > until) {
                now = until;
                return sent;
            }
            if (next <= now) {
                ADD_FAILURE() << "nothing left to do now, but due again at once";
                return sent;
            }
            now = next;
        }
        ADD_FAILURE() << "too many wakes";
        return sent;
    }

    static GatewayCommand Command(CommandKind kind, std::string id, uint64_t client = 1,
                                  uint32_t device = 4711) {
        GatewayCommand command = TestSupport::Command(kind, std::move(id));
        command.client = client;
        command.deviceAddress = device;
        return command;
    }
    GatewayCommand Open(std::string id, std::chrono::milliseconds deadline = 0ms) const {
        GatewayCommand command = Command(CommandKind::OpenLock, std::move(id));
        if (deadline > 0ms) {
            command.deadline = now + deadline;
        }
        return command;
    }

    // Far from the steady clock's own time, so that a time the gateway took from that
    // clock instead of the one given stands out.
    Clock::time_point now = Clock::now() + 1000h;
    Clock::time_point connectedAt;
    std::unique_ptr<VirtualGateway> gateway =
        std::make_unique<VirtualGateway>("127.0.0.1", 2101, kTimings);
    std::vector<std::string> notices;
    std::vector<std::unique_ptr<VirtualGateway::Response>> responses;
    std::vector<VirtualGateway::Event> events;
};

const std::string kNotPresent = "status:" + std::to_string(Quarn::NOT_PRESENT);
const std::string kReady = "status:" + std::to_string(Quarn::READY);
const std::string kConnected = "status:" + std::to_string(Quarn::CONNECTED);
const std::string kFaulted = "status:" + std::to_string(Quarn::FAULTED);

TEST_F(VirtualGatewayMachineTest, FailedAttemptsBackOffDoublingAndGoOnAfterNotPresent) {
    EXPECT_THROW(VirtualGateway("", 2101), Quarn::NullObjectException);
    EXPECT_THROW(VirtualGateway("127.0.0.1", 0), Quarn::InvalidArgumentException);
    EXPECT_THROW(VirtualGateway("127.0.0.1", 65536), Quarn::InvalidArgumentException);

    EXPECT_FALSE(gateway->ConnectDue(now));
    gateway->StartConnecting(now);
    for (int failure = 1; failure <= 24; ++failure) {
        SCOPED_TRACE(failure);
        ASSERT_TRUE(gateway->ConnectDue(now));
        gateway->ConnectStarted(now);
        EXPECT_FALSE(gateway->ConnectDue(now));
        EXPECT_FALSE(gateway->ConnectTimedOut(now + kTimings.connectTimeout - 1ms));
        EXPECT_TRUE(gateway->ConnectTimedOut(now + kTimings.connectTimeout));
        EXPECT_LE(gateway->NextWake(now), now + kTimings.connectTimeout);
        now += 5ms;
        gateway->ConnectFailed(now);
        // The pause doubles up to the longest; the spread shortens it by a tenth at most.
        const auto pause = std::min(kTimings.reconnectFirstDelay * (1 << std::min(failure - 1, 4)),
                                    kTimings.reconnectMaxDelay);
        EXPECT_FALSE(gateway->ConnectDue(now + pause * 9 / 10 - 1ms));
        EXPECT_TRUE(gateway->ConnectDue(now + pause));
        EXPECT_GT(gateway->NextWake(now), now);
        EXPECT_LE(gateway->NextWake(now), now + pause);
        EXPECT_EQ(Count(kNotPresent), failure >= VirtualGateway::kMaxConnectFailures ? 1u : 0u);
        EXPECT_EQ(gateway->GetHealth().connectFailures, failure);
        now += pause;
    }
    // Found again: connected with a refresh, the failures forgotten.
    Connect();
    EXPECT_EQ(Notices().back(), kConnected);
    EXPECT_EQ(gateway->GetHealth().connectFailures, 0);
    EXPECT_EQ(DeviceOf(Take()), VirtualGateway::kRefreshDeviceAddress);
}

TEST_F(VirtualGatewayMachineTest, LostConnectionsComeBackAPauseApartRefreshedAfterErrorsOnly) {
    Ready();
    // Closed by the gateway at once: the next attempt waits for the first pause.
    gateway->ConnectionLost(now, Loss::PeerClosed);
    EXPECT_EQ(gateway->GetStatus(), Quarn::DISCONNECTED);
    const Clock::time_point due = connectedAt + kTimings.reconnectFirstDelay;
    EXPECT_FALSE(gateway->ConnectDue(due - 1ms));
    EXPECT_TRUE(gateway->ConnectDue(due));
    EXPECT_LE(gateway->NextWake(now), due);
    now = due;
    Connect();
    EXPECT_EQ(Notices().back(), kReady);
    now += 1s;
    EXPECT_TRUE(Take().empty());  // no refresh

    for (Loss loss : {Loss::ReceiveError, Loss::SendError}) {
        // Long after the last attempt: the next one is due at once.
        Forget();
        gateway->ConnectionLost(now, loss);
        EXPECT_EQ(Count(kFaulted), 1u);
        EXPECT_TRUE(gateway->ConnectDue(now));
        Connect();
        EXPECT_EQ(Notices().back(), kConnected);
        Bytes refresh = Take();
        ASSERT_FALSE(refresh.empty());
        EXPECT_EQ(DeviceOf(refresh), VirtualGateway::kRefreshDeviceAddress);
        Feed(Answer(refresh, kCounter, 2000));
        EXPECT_EQ(Count(kReady), 1u);
        now += 1s;
    }
    EXPECT_EQ(gateway->GetHealth().reconnects, 3u);

    // A command queued during an outage waits for the refresh's answer: sent before it, it
    // would carry a counter the gateway has not confirmed. Any answer will do.
    gateway->ConnectionLost(now, Loss::ReceiveError);
    Submit(Open("queued"));
    Connect();
    Bytes refresh = Take();
    ASSERT_FALSE(refresh.empty());
    EXPECT_EQ(DeviceOf(refresh), VirtualGateway::kRefreshDeviceAddress);
    now += 100ms;
    EXPECT_TRUE(Take().empty());
    Feed(Answer(refresh, Q::QUARN_RESPONSE_NO_ROUTE_FOR_DEVADDR));
    EXPECT_EQ(gateway->GetStatus(), Quarn::READY);
    Bytes queued = Take();
    ASSERT_FALSE(queued.empty());
    EXPECT_EQ(DeviceOf(queued), 4711u);
}

TEST_F(VirtualGatewayMachineTest, FramesLeaveSpacedWithCountersInTheOrderTheyLeave) {
    Ready(1000);
    for (int i = 0; i < 5; ++i) {
        Submit(Open("open" + std::to_string(i)));
    }
    std::vector<Sent> sent = Run(now + 500ms, AnswerOk);
    ASSERT_EQ(sent.size(), 5u);
    std::set<uint8_t> references;
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(SequenceOf(sent[i].frame), 1001 + i);
        references.insert(ReferenceOf(sent[i].frame));
        if (i > 0) {  // as soon as the spacing allows, and never sooner
            EXPECT_EQ(sent[i].at - sent[i - 1].at, kTimings.sendSpacing);
        }
    }
    EXPECT_EQ(references.size(), 5u);

    // A frame that could not be written leaves again next, before the one behind it.
    Forget();
    Submit(Open("unwritten"));
    Submit(Open("behind"));
    ASSERT_FALSE(Take().empty());
    gateway->FrameNotSent();
    EXPECT_EQ(gateway->GetHealth().waiting, 0u);
    EXPECT_EQ(gateway->GetHealth().queued, 2u);
    now += kTimings.sendSpacing;
    sent = Run(now + 500ms, AnswerOk);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_GT(SequenceOf(sent[0].frame), 1005u);
    EXPECT_EQ(SequenceOf(sent[1].frame), SequenceOf(sent[0].frame) + 1);
    EXPECT_EQ(Reports(), (std::vector<std::string>{"response:unwritten", "response:behind"}));
}

TEST_F(VirtualGatewayMachineTest, DoorCommandsGoFirstAndClientsTakeTurnsWithinAClass) {
    Use({.sendSpacing = 10ms, .keepAliveInterval = 0ms, .requestTimeout = 20000ms});
    Ready(1000);
    Submit(Command(CommandKind::AddWhitelistEntry, "w1", 1, 1));
    Submit(Command(CommandKind::GetStatus, "s1", 1, 2));
    Submit(Command(CommandKind::OpenLock, "o1", 1, 3));
    Submit(Command(CommandKind::AccessDenied, "a1", 1, 4));
    std::vector<Sent> sent = Run(now + 1s, AnswerOk);
    std::vector<uint32_t> devices;
    for (const Sent& frame : sent) {
        devices.push_back(DeviceOf(frame.frame));
    }
    EXPECT_EQ(devices, (std::vector<uint32_t>{3, 4, 1, 2}));

    // Client A queues 200 door commands; client B's one leaves within the next two
    // frames, and A's still leave in A's order, all with consecutive counters.
    for (uint32_t i = 0; i < 200; ++i) {
        Submit(Command(CommandKind::OpenLock, "a" + std::to_string(i), 10, 1000 + i));
    }
    std::vector<Sent> all = Run(now + 5 * kTimings.sendSpacing, AnswerOk);
    Submit(Command(CommandKind::CloseLock, "b", 20, 2000));
    std::vector<Sent> next = Run(now + 2 * kTimings.sendSpacing, AnswerOk);
    ASSERT_EQ(next.size(), 2u);
    EXPECT_TRUE(DeviceOf(next[0].frame) == 2000 || DeviceOf(next[1].frame) == 2000);
    for (const std::vector<Sent>& more : {next, Run(now + 5s, AnswerOk)}) {
        all.insert(all.end(), more.begin(), more.end());
    }
    ASSERT_EQ(all.size(), 201u);
    uint32_t nextOfA = 1000;
    for (size_t i = 0; i < all.size(); ++i) {
        if (DeviceOf(all[i].frame) != 2000) {
            EXPECT_EQ(DeviceOf(all[i].frame), nextOfA++);
        }
        EXPECT_EQ(SequenceOf(all[i].frame), SequenceOf(sent.back().frame) + 1 + i);
    }
    EXPECT_EQ(Reports().size(), 205u);
}

TEST_F(VirtualGatewayMachineTest, DeadlinesRefuseWhatCannotLeaveInTimeAndNeverSendLate) {
    Use({.sendSpacing = 100ms,
         .keepAliveInterval = 0ms,
         .requestTimeout = 20000ms,
         .reconnectFirstDelay = 100ms});
    Ready();
    // Frames leave 100 ms apart: of fifteen that must leave within 950 ms, the ten that
    // can leave in time; the others never leave, refused at once but for the first of
    // them, which may also be reported when its deadline passes.
    const Clock::time_point deadline = now + 950ms;
    for (int i = 0; i < 15; ++i) {
        Submit(Open("q" + std::to_string(i), 950ms));
        if (i != 10) {
            EXPECT_EQ(Outcome("q" + std::to_string(i)) != nullptr, i > 10) << i;
        }
    }
    std::vector<Sent> sent = Run(now + 2s);
    ASSERT_EQ(sent.size(), 10u);
    EXPECT_LE(sent.back().at, deadline);
    EXPECT_TRUE(FailureOf("q10") == Failure::Busy || FailureOf("q10") == Failure::NotSent);
    for (int i = 11; i < 15; ++i) {
        EXPECT_EQ(FailureOf("q" + std::to_string(i)), Failure::Busy) << i;
    }
    EXPECT_EQ(Reports().size(), 5u);

    // Queued for a connection that comes too late: reported at Tick once the deadline
    // passed, and never sent.
    Forget();
    const Clock::time_point lostAt = now;
    gateway->ConnectionLost(now, Loss::PeerClosed);
    Submit(Open("unsent", 300ms));
    Submit(Open("late", 150ms));
    EXPECT_TRUE(Reports().empty());
    now = lostAt + 299ms;
    gateway->Tick(now);
    EXPECT_EQ(Reports(), std::vector<std::string>{"response:late"});
    now = lostAt + 301ms;
    gateway->Tick(now);
    EXPECT_EQ(FailureOf("late"), Failure::NotSent);
    EXPECT_EQ(FailureOf("unsent"), Failure::NotSent);
    // One connecting while its deadline passes is not sent either, even when asked for a
    // frame before Tick ran.
    Submit(Open("overdue", 100ms));
    gateway->ConnectStarted(now);
    now += 150ms;
    gateway->Connected(now);
    EXPECT_TRUE(Take().empty());
    gateway->Tick(now);
    EXPECT_EQ(FailureOf("overdue"), Failure::NotSent);
    EXPECT_TRUE(Run(now + 1s).empty());
}

TEST_F(VirtualGatewayMachineTest, CommandsThatCannotReachAConnectionFailAtOnce) {
    Submit(Open("idle", 10s));  // not kept connected
    EXPECT_EQ(FailureOf("idle"), Failure::NotConnected);

    // Given up, though still retried.
    gateway->StartConnecting(now);
    for (int failure = 0; failure < VirtualGateway::kMaxConnectFailures; ++failure) {
        gateway->ConnectStarted(now);
        gateway->ConnectFailed(now);
        now += kTimings.reconnectMaxDelay;
    }
    Submit(Open("absent", 3600s));
    EXPECT_EQ(FailureOf("absent"), Failure::NotConnected);

    // Disconnected: refused when the next attempt comes after the deadline, queued when
    // before it or while an attempt is under way.
    Use(kTimings);
    Forget();
    gateway->StartConnecting(now);
    gateway->ConnectStarted(now);
    gateway->ConnectFailed(now);
    Submit(Open("too-soon", 50ms));
    EXPECT_EQ(FailureOf("too-soon"), Failure::NotConnected);
    Submit(Open("in-time", 300ms));
    now += kTimings.reconnectFirstDelay;
    gateway->ConnectStarted(now);
    Submit(Open("while-connecting", 300ms));
    EXPECT_EQ(Reports().size(), 1u);
    gateway->Connected(now);
    Feed(Answer(Take(), kCounter, 1000));
    EXPECT_EQ(Run(now + 200ms, AnswerOk).size(), 2u);
    EXPECT_EQ(FailureOf("in-time"), Failure::None);
    EXPECT_EQ(FailureOf("while-connecting"), Failure::None);

    GatewayCommand tooLong = Command(CommandKind::AddWhitelistEntry, "too-long");
    tooLong.cardData.assign(300, 0xAA);
    Submit(tooLong);
    EXPECT_EQ(FailureOf("too-long"), Failure::Refused);
}

TEST_F(VirtualGatewayMachineTest, UnansweredRequestsTimeOutAndTheirLateAnswersFindNothing) {
    Ready();
    Submit(Open("unanswered"));
    Bytes frame = Take();
    const Clock::time_point sentAt = now;
    EXPECT_LE(gateway->NextWake(now), sentAt + kTimings.requestTimeout);
    gateway->Tick(sentAt + kTimings.requestTimeout - 1ms);
    EXPECT_TRUE(Reports().empty());
    gateway->Tick(sentAt + kTimings.requestTimeout + 1ms);
    EXPECT_EQ(FailureOf("unanswered"), Failure::NoAnswer);
    EXPECT_EQ(gateway->GetHealth().waiting, 0u);
    Feed(AnswerOk(frame));
    EXPECT_EQ(Reports().size(), 1u);
}

TEST_F(VirtualGatewayMachineTest, KeepAliveRefreshesEveryIntervalUnreported) {
    Use({.sendSpacing = 10ms, .keepAliveInterval = 1000ms, .requestTimeout = 1000ms});
    Ready();
    std::vector<Sent> sent = Run(now + 10s, AnswerOk);
    EXPECT_GE(sent.size(), 9u);
    EXPECT_LE(sent.size(), 11u);
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(DeviceOf(sent[i].frame), VirtualGateway::kRefreshDeviceAddress);
        if (i > 0) {
            EXPECT_GE(sent[i].at - sent[i - 1].at, 1000ms);
            EXPECT_LE(sent[i].at - sent[i - 1].at, 1010ms);
        }
    }
    EXPECT_TRUE(Notices().empty());
}

TEST_F(VirtualGatewayMachineTest, TheRefreshMakesReadyAndOutdatedCountersAreNotAdopted) {
    gateway->StartConnecting(now);
    Connect();
    Submit(Open("early"));
    Bytes refresh = Take();  // until the gateway reported its counter, only the refresh
    ASSERT_FALSE(refresh.empty());
    EXPECT_EQ(DeviceOf(refresh), VirtualGateway::kRefreshDeviceAddress);
    Feed(Answer(refresh, kCounter, 500));
    EXPECT_EQ(Count(kConnected) + Count(kReady), 2u);
    EXPECT_EQ(gateway->GetStatus(), Quarn::READY);

    auto next = [&](const std::string& id) {
        if (!id.empty()) {
            Submit(Open(id));
        }
        now += kTimings.sendSpacing;
        return Take();
    };
    EXPECT_EQ(SequenceOf(next("")), 501u);  // the early command
    Bytes b = next("b");
    Bytes c = next("c");
    // b's answer resynchronises; c's, stamped before that and answered late, does not.
    Feed(Answer(b, kCounter, 700));
    EXPECT_EQ(SequenceOf(next("d")), 701u);
    Feed(Answer(c, kCounter, 650));
    EXPECT_EQ(SequenceOf(next("e")), 702u);
    EXPECT_EQ(Outcome("c")->GetResponseCode(), kCounter);
    EXPECT_EQ(Notices().back(), "response:c");  // no status change
}

TEST_F(VirtualGatewayMachineTest, AnAnswerSplitAnywhereReachesItsRequestOnce) {
    Ready();
    Bytes answer;
    for (size_t split = 0; split <= Reply(1, kOk).size(); ++split) {
        const std::string id = "split-" + std::to_string(split);
        Submit(Command(CommandKind::GetStatus, id));
        answer = Answer(Take(), Q::QUARN_RESPONSE_WHITELIST_FULL);
        Feed(Bytes(answer.begin(), answer.begin() + split));
        EXPECT_EQ(Outcome(id) != nullptr, split == answer.size()) << split;
        Feed(Bytes(answer.begin() + split, answer.end()));
        ASSERT_NE(Outcome(id), nullptr) << split;
        EXPECT_EQ(Outcome(id)->GetResponseCode(), Q::QUARN_RESPONSE_WHITELIST_FULL);
        EXPECT_EQ(Reports().size(), split + 1);
        now += kTimings.sendSpacing;
    }
    Feed(answer);  // its request was answered already
    EXPECT_EQ(Reports().size(), answer.size() + 1);
}

TEST_F(VirtualGatewayMachineTest, OneReadOfEventsAndAnswersIsReportedInStreamOrder) {
    Use({.sendSpacing = 10ms, .keepAliveInterval = 1000ms, .requestTimeout = 20000ms});
    Ready();
    std::vector<Sent> refreshes = Run(now + 1000ms);
    ASSERT_FALSE(refreshes.empty());
    for (size_t i = 0; i + 1 < refreshes.size(); ++i) {
        Feed(AnswerOk(refreshes[i].frame));
    }
    const Bytes refresh = refreshes.back().frame;
    now += 10ms;
    Submit(Open("open"));
    const Bytes open = Take();
    now += 10ms;
    Submit(Command(CommandKind::GetStatus, "status"));
    const Bytes status = Take();
    ASSERT_FALSE(open.empty());
    ASSERT_FALSE(status.empty());
    uint8_t stranger = 63;
    while (stranger == ReferenceOf(open) || stranger == ReferenceOf(status) ||
           stranger == ReferenceOf(refresh)) {
        --stranger;
    }
    Feed(Joined({ReaderEvent(0x00051267, {0xDE, 0xAD, 0xBE, 0xEF}), Reply(stranger, kOk),
                 AnswerOk(refresh),  // a refresh answered OK is not reported
                 Answer(status, Q::QUARN_RESPONSE_NO_ROUTE_FOR_DEVADDR),
                 ReaderEvent(4712, {}, Q::QUARN_MESSAGE_PINCODE_EVENT), AnswerOk(open)}));
    EXPECT_EQ(Reports(), (std::vector<std::string>{"event:DEADBEEF", "response:status",
                                                   "event:", "response:open"}));
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].GetDeviceAddress(), 0x1267);  // the low 16 bits
    EXPECT_EQ(events[1].GetEventType(), Q::QUARN_MESSAGE_PINCODE_EVENT);
    EXPECT_EQ(Outcome("status")->GetResponseCode(), Q::QUARN_RESPONSE_NO_ROUTE_FOR_DEVADDR);

    // A refresh answered with the gateway's counter is reported.
    refreshes = Run(now + 1000ms);
    ASSERT_FALSE(refreshes.empty());
    Feed(Answer(refreshes.back().frame, kCounter, 5000));
    ASSERT_EQ(Reports().size(), 5u);
    const std::string refreshAnswer =
        std::string("response:") + VirtualGateway::kRefreshRequestPrefix;
    EXPECT_EQ(Reports().back().rfind(refreshAnswer, 0), 0u);
}

TEST_F(VirtualGatewayMachineTest, FramesAreFoundInSplitJoinedDirtyAndDamagedStreams) {
    Ready();
    std::vector<Bytes> requests;
    for (const char* id : {"a", "b", "c", "d", "open"}) {
        Submit(Open(id));
        requests.push_back(Take());
        now += kTimings.sendSpacing;
    }
    Submit(Command(CommandKind::GetStatus, "status"));
    requests.push_back(Take());

    // Stray bytes, then an answer in two parts.
    const Bytes a = AnswerOk(requests[0]);
    Feed({0x01, 0x02});
    Feed(Bytes(a.begin(), a.begin() + 9));
    EXPECT_TRUE(Reports().empty());
    Feed(Bytes(a.begin() + 9, a.end()));
    EXPECT_EQ(FailureOf("a"), Failure::None);
    // Two answers in one read.
    Feed(Joined({Answer(requests[1], Q::QUARN_RESPONSE_ALREADY_IN_WHITELIST),
                 Answer(requests[2], Q::QUARN_RESPONSE_WHITELIST_FULL)}));
    EXPECT_EQ(Outcome("b")->GetResponseCode(), Q::QUARN_RESPONSE_ALREADY_IN_WHITELIST);
    EXPECT_EQ(Outcome("c")->GetResponseCode(), Q::QUARN_RESPONSE_WHITELIST_FULL);
    // A magic with no length byte before it, a zero length, and a whole frame that does
    // not parse (a card event too short for its payload) hide nothing behind them.
    Bytes shortEvent = AnswerOk(requests[3]);
    shortEvent.resize(19);
    shortEvent[0] = 19;
    shortEvent[16] = Q::QUARN_MESSAGE_CARD_READER_EVENT;
    Feed(Joined({{0xFE, 0xFD, 0x00, 0xFE, 0xFD},
                 Sealed(shortEvent),
                 Answer(requests[3], Q::QUARN_RESPONSE_MESSAGE_UNEXPECTED)}));
    EXPECT_EQ(Outcome("d")->GetResponseCode(), Q::QUARN_RESPONSE_MESSAGE_UNEXPECTED);
    EXPECT_TRUE(events.empty());

    // Answers that cannot be decoded: a status answer without its status bytes, and an
    // answer of a type no answer has.
    Bytes noStatus = AnswerOk(requests[5]);
    noStatus.resize(19);
    noStatus[0] = 19;
    noStatus[16] = Q::QUARN_MESSAGE_GET_STATUS;
    Bytes echo = AnswerOk(requests[4]);
    echo[16] = Q::QUARN_MESSAGE_OPEN_LOCK;
    Feed(Joined({Sealed(noStatus), Sealed(echo)}));
    for (const char* id : {"status", "open"}) {
        EXPECT_EQ(FailureOf(id), Failure::NoAnswer) << id;
        EXPECT_EQ(Outcome(id)->GetStatusPayload(), nullptr) << id;
    }
    EXPECT_EQ(Reports().size(), 6u);
    EXPECT_EQ(gateway->GetHealth().waiting, 0u);

    // A frame with a wrong CRC is dropped, unless the check is off.
    Forget();
    Bytes broken = ReaderEvent(4711, {0x04, 0xA1, 0x01});
    broken.back() ^= 0xFF;
    Feed(Joined({broken, ReaderEvent(4711, {0x04, 0xA1, 0x02})}));
    gateway->SetCheckFrameCrc(false);
    Feed(broken);
    EXPECT_EQ(Reports(), (std::vector<std::string>{"event:04A102", "event:04A101"}));
    EXPECT_EQ(gateway->GetHealth().crcErrors, 1u);
}

TEST_F(VirtualGatewayMachineTest, AWaitingReferenceIdIsNeverReused) {
    Use({.sendSpacing = 1ms, .keepAliveInterval = 0ms, .requestTimeout = 0ms});
    Ready(0);
    for (int i = 0; i < 64; ++i) {
        Submit(Open("request" + std::to_string(i)));
    }
    // Every identifier waits for an answer: the 64th request is held back...
    std::vector<Sent> sent = Run(now + 1s);
    ASSERT_EQ(sent.size(), 63u);
    std::set<uint8_t> references;
    for (const Sent& frame : sent) {
        references.insert(ReferenceOf(frame.frame));
    }
    EXPECT_EQ(references.size(), 63u);

    // ...until one is answered, and then takes that identifier.
    Feed(AnswerOk(sent[10].frame));
    std::vector<Sent> last = Run(now + 1s);
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(ReferenceOf(last[0].frame), ReferenceOf(sent[10].frame));
    EXPECT_EQ(SequenceOf(last[0].frame), 64u);
    Feed(AnswerOk(last[0].frame));
    EXPECT_EQ(FailureOf("request63"), Failure::None);
}

}  // namespace
