// Gateway links on the loop against a scripted far side on 127.0.0.1: reconnecting over
// real sockets, sends from the submitting thread, and links that must not hold each other
// up or outlive their removal.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "diagnostics/ErrorGuard.h"
#include "messages/QuarnResponseCodes.h"
#include "tests/gateway/GatewayHarness.h"
#include "tests/net/ScriptedListener.h"
#include "tests/support/TestLog.h"

namespace {

using namespace std::chrono_literals;
using namespace TestSupport;
using Quarn::CommandKind;
using Quarn::GatewayLink;
using Quarn::GatewayLoop;
using Quarn::VirtualGateway;
using Quarn::VirtualGatewayTimings;
using Clock = std::chrono::steady_clock;
using Failure = VirtualGateway::Response::Failure;
namespace Q = Quarn::Messages;
constexpr uint8_t kOk = Q::QUARN_RESPONSE_OK;

// No periodic refresh, so that the far side sees only the frames a test asks for.
constexpr VirtualGatewayTimings kScripted{.sendSpacing = 1ms,
                                          .keepAliveInterval = 0ms,
                                          .requestTimeout = 20000ms,
                                          .reconnectFirstDelay = 10ms,
                                          .reconnectMaxDelay = 80ms,
                                          .connectTimeout = 20000ms};

// The far side: accepts the gateway's connection and reads the frames it sends.
class Peer {
public:
    Peer() = default;
    explicit Peer(int port) : listener_(port) {}
    int Port() const { return listener_.Port(); }
    int Fd() const { return fd_; }
    ScriptedListener& Listener() { return listener_; }
    bool Accept() {
        buffer_.clear();
        fd_ = listener_.Accept();
        return fd_ != -1;
    }
    // The next frame, or none when none came within the deadline.
    Bytes Next(std::chrono::milliseconds deadline = 10s) {
        const auto end = Clock::now() + deadline;
        while (buffer_.empty() || buffer_.front() == 0 || buffer_.size() < buffer_.front()) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
            std::string more = left.count() > 0 ? ReceiveFor(fd_, 1, left) : "";
            if (more.empty()) {
                return {};
            }
            buffer_.insert(buffer_.end(), more.begin(), more.end());
        }
        Bytes frame(buffer_.begin(), buffer_.begin() + buffer_.front());
        buffer_.erase(buffer_.begin(), buffer_.begin() + buffer_.front());
        return frame;
    }
    bool Send(const Bytes& bytes) { return SendAll(fd_, std::string(bytes.begin(), bytes.end())); }
    // Answers the next frame with code (and counter); false when none came.
    bool AnswerNext(uint8_t code = kOk, uint32_t counter = 0) {
        Bytes frame = Next();
        return !frame.empty() && Send(Answer(frame, code, counter));
    }
    // Answers what comes within the deadline with OK.
    void AnswerAll(std::chrono::milliseconds deadline) {
        const auto end = Clock::now() + deadline;
        for (Bytes frame; Clock::now() < end;) {
            frame = Next(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()));
            if (!frame.empty()) {
                Send(Answer(frame, kOk));
            }
        }
    }

private:
    ScriptedListener listener_;
    int fd_ = -1;
    Bytes buffer_;
};

class VirtualGatewayScriptedTest : public ::testing::Test {
protected:
    void SetUp() override { CaptureLog(); }

    // Accepts the link's connection and answers its refresh with counter: READY.
    void Refresh(Peer& far, uint32_t counter = 0) {
        ASSERT_TRUE(far.Accept());
        Bytes refresh = far.Next();
        ASSERT_FALSE(refresh.empty());
        ASSERT_EQ(DeviceOf(refresh), VirtualGateway::kRefreshDeviceAddress);
        ASSERT_TRUE(far.Send(Answer(refresh, Q::QUARN_RESPONSE_SEQUENCE_COUNTER_ERROR, counter)));
        ASSERT_TRUE(recorder.WaitForStatus(Quarn::READY));
    }
    // A link to the peer, READY.
    std::shared_ptr<GatewayLink> Ready(VirtualGatewayTimings timings = kScripted,
                                       GatewayLink::Callbacks callbacks = {}) {
        auto link = MakeLink("127.0.0.1", peer.Port(), timings,
                             callbacks.responseReceived ? callbacks : recorder.Callbacks());
        loop->Add(link);
        Refresh(peer);
        return link;
    }
    // Callbacks that record, and on each response run also first.
    GatewayLink::Callbacks Recording(
        std::function<void(GatewayLink&, const VirtualGateway::Response&)> also) {
        GatewayLink::Callbacks callbacks = recorder.Callbacks();
        callbacks.responseReceived = [record = callbacks.responseReceived, also](GatewayLink& link,
                                                                                 auto response) {
            also(link, *response);
            record(link, std::move(response));
        };
        return callbacks;
    }
    Failure FailureOf(GatewayRecorder& from, const std::string& id) {
        const auto* response = from.WaitForResponse(id);
        EXPECT_NE(response, nullptr) << id;
        return response != nullptr ? response->GetFailure() : Failure::Busy;
    }

    Peer peer;
    GatewayRecorder recorder;
    GatewayRecorder other;
    // Last: it goes first, before anything its callbacks touch.
    std::unique_ptr<GatewayLoop> loop = std::make_unique<GatewayLoop>();
};

TEST_F(VirtualGatewayScriptedTest, AnAbsentGatewayIsRetriedUntilItComesBackReady) {
    const int port = FreePort();
    const uint32_t criticalBefore = Diagnostics::ErrorGuard::GetInstance().GetCriticalErrorCount();
    auto link = MakeLink("127.0.0.1", port, kScripted, recorder.Callbacks());
    loop->Add(link);
    ASSERT_TRUE(recorder.WaitForStatus(Quarn::NOT_PRESENT));
    EXPECT_EQ(Diagnostics::ErrorGuard::GetInstance().GetCriticalErrorCount(), criticalBefore);
    link->Submit(Command(CommandKind::OpenLock, "absent"));
    EXPECT_EQ(FailureOf(recorder, "absent"), Failure::NotConnected);

    // Back: a refresh, READY once it reported its counter, and usable.
    Peer back(port);
    Refresh(back, 500);
    link->Submit(Command(CommandKind::OpenLock, "back"));
    Bytes open = back.Next();
    ASSERT_FALSE(open.empty());
    EXPECT_EQ(SequenceOf(open), 501u);
    back.Send(Answer(open, kOk));
    EXPECT_EQ(FailureOf(recorder, "back"), Failure::None);
}

TEST_F(VirtualGatewayScriptedTest, LostConnectionsAreRestoredWithoutCountingErrors) {
    VirtualGatewayTimings timings = kScripted;
    timings.reconnectFirstDelay = 1ms;
    auto link = Ready(timings);
    const uint32_t criticalBefore = Diagnostics::ErrorGuard::GetInstance().GetCriticalErrorCount();
    const uint32_t commonBefore = Diagnostics::ErrorGuard::GetInstance().GetErrorCount();

    // A reset is a receive fault: reconnected with a refresh.
    linger reset{1, 0};
    ASSERT_EQ(setsockopt(peer.Fd(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset), 0);
    peer.Listener().CloseConnection(peer.Fd());
    Refresh(peer);
    std::vector<Quarn::VirtualGatewayStatuses> states = recorder.States();
    EXPECT_NE(std::find(states.begin(), states.end(), Quarn::FAULTED), states.end());

    // Then orderly closes, each restored without a refresh.
    for (int drop = 0; drop < 200; ++drop) {
        peer.Listener().CloseConnection(peer.Fd());
        ASSERT_TRUE(peer.Accept()) << "drop " << drop;
    }
    ASSERT_TRUE(recorder.WaitForStatus(Quarn::READY));
    link->Submit(Command(CommandKind::OpenLock, "after"));
    Bytes frame = peer.Next();
    ASSERT_FALSE(frame.empty());
    EXPECT_EQ(DeviceOf(frame), 4711u);
    peer.Send(Answer(frame, kOk));
    EXPECT_EQ(FailureOf(recorder, "after"), Failure::None);
    EXPECT_EQ(Diagnostics::ErrorGuard::GetInstance().GetCriticalErrorCount(), criticalBefore);
    EXPECT_EQ(Diagnostics::ErrorGuard::GetInstance().GetErrorCount(), commonBefore);
}

// A command for an idle link leaves at once from the thread that submits it: its missing
// answer is still reported when it is overdue, a callback on the loop thread may submit
// again, and a command right behind one sent at once still keeps the spacing.
TEST_F(VirtualGatewayScriptedTest, CommandsSentAtOnceKeepTimeOutsCallbacksAndSpacing) {
    VirtualGatewayTimings timings = kScripted;
    timings.sendSpacing = 100ms;
    timings.requestTimeout = 300ms;
    auto link = Ready(timings, Recording([](GatewayLink& self, const auto& response) {
                          if (response.GetRequestId() == "unanswered") {
                              self.Submit(Command(CommandKind::OpenLock, "from-callback"));
                          }
                      }));
    link->Submit(Command(CommandKind::OpenLock, "warm"));
    ASSERT_TRUE(peer.AnswerNext());
    EXPECT_EQ(FailureOf(recorder, "warm"), Failure::None);

    const Clock::time_point submitted = Clock::now();
    link->Submit(Command(CommandKind::OpenLock, "unanswered"));
    EXPECT_EQ(FailureOf(recorder, "unanswered"), Failure::NoAnswer);
    const auto waited = recorder.ResponseTime("unanswered") - submitted;
    EXPECT_GE(waited, timings.requestTimeout);
    EXPECT_LE(waited, timings.requestTimeout + Scaled(1000ms));
    ASSERT_FALSE(peer.Next().empty());
    ASSERT_TRUE(peer.AnswerNext());  // the callback's command
    EXPECT_EQ(FailureOf(recorder, "from-callback"), Failure::None);

    const Clock::time_point start = Clock::now();
    link->Submit(Command(CommandKind::OpenLock, "ahead"));
    link->Submit(Command(CommandKind::OpenLock, "behind"));
    Bytes ahead = peer.Next();
    Bytes behind = peer.Next();
    ASSERT_FALSE(behind.empty());
    EXPECT_GE(Clock::now() - start, timings.sendSpacing);
    EXPECT_EQ(SequenceOf(behind), SequenceOf(ahead) + 1);
    peer.Send(Answer(behind, kOk));
    EXPECT_EQ(FailureOf(recorder, "behind"), Failure::None);
}

TEST_F(VirtualGatewayScriptedTest, AHangingConnectHoldsUpNoOtherLink) {
    HangingListener hanging;
    auto stuck = MakeLink("127.0.0.1", hanging.Port(), kScripted, other.Callbacks());
    loop->Add(stuck);
    auto link = Ready();

    // The stuck link's commands wait for its attempt; each is reported when its deadline
    // passes.
    const Clock::time_point start = Clock::now();
    std::vector<Clock::time_point> deadlines;
    for (int i = 1; i <= 4; ++i) {
        Quarn::GatewayCommand command = Command(CommandKind::OpenLock, "stuck" + std::to_string(i));
        command.deadline = start + Scaled(200ms) * i;
        deadlines.push_back(*command.deadline);
        stuck->Submit(command);
    }
    // Meanwhile the healthy link's answers reach their callback as they arrive.
    for (int i = 0; i < 1000 && Clock::now() < deadlines.back() + Scaled(100ms); ++i) {
        const std::string id = "healthy" + std::to_string(i);
        link->Submit(Command(CommandKind::OpenLock, id));
        Bytes frame = peer.Next();
        ASSERT_FALSE(frame.empty()) << id;
        const Clock::time_point answeredAt = Clock::now();
        peer.Send(Answer(frame, kOk));
        ASSERT_EQ(FailureOf(recorder, id), Failure::None);
        EXPECT_LE(recorder.ResponseTime(id) - answeredAt, Scaled(50ms)) << id;
    }
    for (size_t i = 0; i < deadlines.size(); ++i) {
        const std::string id = "stuck" + std::to_string(i + 1);
        EXPECT_EQ(FailureOf(other, id), Failure::NotSent);
        EXPECT_GE(other.ResponseTime(id), deadlines[i]) << id;
        EXPECT_LE(other.ResponseTime(id) - deadlines[i], Scaled(50ms)) << id;
    }
    EXPECT_TRUE(other.States().empty());
}

TEST_F(VirtualGatewayScriptedTest, AConnectThatHangsIsGivenUpAfterItsTimeOutAndRetried) {
    HangingListener hanging;
    VirtualGatewayTimings timings = kScripted;
    timings.connectTimeout = 100ms;
    auto stuck = MakeLink("127.0.0.1", hanging.Port(), timings, other.Callbacks());
    const Clock::time_point start = Clock::now();
    loop->Add(stuck);
    ASSERT_TRUE(WaitFor([&] { return stuck->GetHealth().connectFailures >= 3; }));
    EXPECT_GE(Clock::now() - start, 3 * timings.connectTimeout);  // each lasted its time-out
    EXPECT_TRUE(other.States().empty());
}

TEST_F(VirtualGatewayScriptedTest, RemoveAndDestructionStopPromptlyWhileAConnectHangs) {
    HangingListener hanging;
    auto stuck = MakeLink("127.0.0.1", hanging.Port(), kScripted, other.Callbacks());
    loop->Add(stuck);
    Quarn::GatewayCommand queued = Command(CommandKind::OpenLock, "queued");
    queued.deadline = Clock::now() + Scaled(300ms);
    stuck->Submit(queued);
    auto removed = std::async(std::launch::async, [&] { loop->Remove(stuck); });
    ASSERT_EQ(removed.wait_for(Scaled(2s)), std::future_status::ready);

    // A busy link: refreshes every few milliseconds, and callbacks that submit again;
    // busy until the removed link's command would have been reported.
    std::atomic<int> answered{0};
    VirtualGatewayTimings busy = kScripted;
    busy.keepAliveInterval = 5ms;
    auto link = Ready(busy, Recording([&](GatewayLink& self, const auto&) {
                          ++answered;
                          self.Submit(Command(CommandKind::OpenLock, "from-callback"));
                      }));
    for (int i = 0; i < 20; ++i) {
        link->Submit(Command(CommandKind::OpenLock, "busy" + std::to_string(i)));
    }
    ASSERT_TRUE(WaitFor([&] {
        peer.AnswerAll(50ms);
        return answered > 5 && Clock::now() > *queued.deadline + Scaled(100ms);
    }));
    EXPECT_EQ(other.ResponseCount(), 0u);  // dropped without a report

    // Commands queued, waiting and in delivery; the loop waits on sockets and timers.
    auto destroyed = std::async(std::launch::async, [&] { loop.reset(); });
    ASSERT_EQ(destroyed.wait_for(Scaled(5s)), std::future_status::ready);
    auto idle = std::make_unique<GatewayLoop>();
    auto idleDestroyed = std::async(std::launch::async, [&] { idle.reset(); });
    ASSERT_EQ(idleDestroyed.wait_for(Scaled(5s)), std::future_status::ready);
}

}  // namespace
