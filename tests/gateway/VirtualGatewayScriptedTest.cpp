// The gateway against a scripted far side on 127.0.0.1: exact bytes, odd streams, faults.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "diagnostics/ErrorGuard.h"
#include "gateway/Exceptions.h"
#include "gateway/VirtualGateway.h"
#include "messages/CRC16.h"
#include "messages/QuarnMessageBuilder.h"
#include "messages/QuarnMessageTypes.h"
#include "messages/QuarnReaderEventPayloads.h"
#include "messages/QuarnResponseCodes.h"
#include "messages/QuarnResponsePayload.h"
#include "tests/gateway/GatewayHarness.h"
#include "tests/net/ScriptedListener.h"
#include "tests/support/TestLog.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<unsigned char>;
using Quarn::VirtualGateway;
using Quarn::VirtualGatewayTimings;
using TestSupport::GatewayRecorder;
namespace Q = Quarn::Messages;

// No periodic refresh, so that the far side sees only the frames a test asks for.
constexpr VirtualGatewayTimings kScripted{1ms, 0ms, 20000ms};

uint32_t ReadBigEndian(const Bytes& frame, size_t offset) {
    return static_cast<uint32_t>(frame[offset] << 24 | frame[offset + 1] << 16 |
                                 frame[offset + 2] << 8 | frame[offset + 3]);
}
uint8_t ReferenceOf(const Bytes& frame) {
    return frame[7] & Q::QUARN_REFERENCE_ID_MASK;
}
uint32_t SequenceOf(const Bytes& frame) {
    return ReadBigEndian(frame, 8);
}

// A gateway's answer to request with the given code (and counter, for code 7).
Bytes Answer(const Bytes& request, uint8_t code, uint32_t counter = 0) {
    Q::QuarnMessageBuilder builder(0, 1);
    auto message =
        builder.BuildBaseMessage(ReadBigEndian(request, 12), Q::QUARN_MESSAGE_RESPONSE,
                                 std::make_unique<Q::QuarnResponsePayload>(code, counter));
    message->SetReferenceId(ReferenceOf(request));
    message->SetReply(true);
    return message->Serialize();
}

// The frame with its CRC made right again after a test changed its bytes.
Bytes Sealed(Bytes frame) {
    const size_t covered = frame.size() - Q::QUARN_FRAME_CRC_SIZE;
    uint16_t crc = Quarn::CRC::CRC16::XModem(Bytes(frame.begin(), frame.begin() + covered));
    frame[covered] = static_cast<unsigned char>(crc >> 8);
    frame[covered + 1] = static_cast<unsigned char>(crc & 0xFF);
    return frame;
}

std::string Text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// The far side: accepts the gateway's connection and reads the frames it sends.
class Peer {
public:
    Peer() = default;
    // Listens on the given port (a gateway that comes back).
    explicit Peer(int port) : listener_(port) {}
    int Port() const { return listener_.Port(); }
    bool Accept() {
        fd_ = listener_.Accept();
        return fd_ != -1;
    }
    int Fd() const { return fd_; }
    TestSupport::ScriptedListener& Listener() { return listener_; }

    // The next count frames, or fewer when the deadline passed.
    std::vector<Bytes> ReadFrames(size_t count, std::chrono::milliseconds deadline = 10s) {
        std::vector<Bytes> frames;
        auto end = std::chrono::steady_clock::now() + deadline;
        while (frames.size() < count) {
            if (!buffer_.empty() && buffer_.size() >= buffer_.front() && buffer_.front() > 0) {
                frames.emplace_back(buffer_.begin(), buffer_.begin() + buffer_.front());
                buffer_.erase(buffer_.begin(), buffer_.begin() + buffer_.front());
                continue;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            std::string more = left.count() > 0 ? TestSupport::ReceiveFor(fd_, 1, left) : "";
            if (more.empty()) {
                break;
            }
            buffer_.insert(buffer_.end(), more.begin(), more.end());
        }
        return frames;
    }
    void Send(const Bytes& bytes) { ASSERT_TRUE(TestSupport::SendAll(fd_, Text(bytes))); }

private:
    TestSupport::ScriptedListener listener_;
    int fd_ = -1;
    Bytes buffer_;
};

class VirtualGatewayScriptedTest : public ::testing::Test {
protected:
    void SetUp() override { TestSupport::CaptureLog(); }

    // A READY gateway (connected without refresh) and the far side's end of it.
    std::unique_ptr<VirtualGateway> Connected(VirtualGatewayTimings timings = kScripted) {
        auto gateway = std::make_unique<VirtualGateway>("127.0.0.1", peer.Port(), 2000, timings);
        recorder.Attach(*gateway);
        EXPECT_TRUE(gateway->Connect(false));
        EXPECT_EQ(recorder.States(), std::vector{Quarn::READY});
        EXPECT_TRUE(peer.Accept());
        return gateway;
    }

    Peer peer;
    GatewayRecorder recorder;
};

TEST_F(VirtualGatewayScriptedTest, ConstructorRejectsMissingAddressAndBadPort) {
    EXPECT_THROW(VirtualGateway(""), Quarn::NullObjectException);
    EXPECT_THROW(VirtualGateway("127.0.0.1", 0), Quarn::InvalidArgumentException);
    EXPECT_STREQ(Quarn::NullObjectException().what(), "Null or empty object");
    EXPECT_STREQ(Quarn::InvalidArgumentException().what(), "Invalid argument found");
}

TEST_F(VirtualGatewayScriptedTest, FramesAreFoundInSplitJoinedAndDirtyStreams) {
    auto gateway = Connected();
    for (const char* id : {"a", "b", "c", "d"}) {
        ASSERT_TRUE(gateway->OpenLock(id, 4711, 1, false));
    }
    std::vector<Bytes> requests = peer.ReadFrames(4);
    ASSERT_EQ(requests.size(), 4u);

    // Stray bytes, then an answer in two parts.
    Bytes a = Answer(requests[0], Q::QUARN_RESPONSE_OK);
    peer.Send(Bytes{0x01, 0x02});
    peer.Send(Bytes(a.begin(), a.begin() + 9));
    std::this_thread::sleep_for(50ms);  // lets the first part be read on its own
    peer.Send(Bytes(a.begin() + 9, a.end()));
    const auto* answerA = recorder.WaitForResponse("a");
    ASSERT_NE(answerA, nullptr);
    EXPECT_EQ(answerA->GetResponseCode(), 0u);

    // Two answers in one write.
    Bytes both = Answer(requests[1], Q::QUARN_RESPONSE_ALREADY_IN_WHITELIST);
    Bytes c = Answer(requests[2], Q::QUARN_RESPONSE_WHITELIST_FULL);
    both.insert(both.end(), c.begin(), c.end());
    peer.Send(both);
    ASSERT_NE(recorder.WaitForResponse("b"), nullptr);
    ASSERT_NE(recorder.WaitForResponse("c"), nullptr);
    EXPECT_EQ(recorder.WaitForResponse("b")->GetResponseCode(), 2u);
    EXPECT_EQ(recorder.WaitForResponse("c")->GetResponseCode(), 3u);

    // A magic with no length byte before it, a zero length, and a whole frame that does
    // not parse (a card event too short for its payload) hide nothing behind them.
    Bytes dirty{0xFE, 0xFD, 0x00, 0xFE, 0xFD};
    Bytes shortEvent = Answer(requests[3], Q::QUARN_RESPONSE_OK);
    shortEvent.resize(19);
    shortEvent[0] = 19;
    shortEvent[16] = Q::QUARN_MESSAGE_CARD_READER_EVENT;
    dirty.insert(dirty.end(), shortEvent.begin(), shortEvent.end());
    Bytes d = Answer(requests[3], Q::QUARN_RESPONSE_MESSAGE_UNEXPECTED);
    dirty.insert(dirty.end(), d.begin(), d.end());
    peer.Send(dirty);
    const auto* answerD = recorder.WaitForResponse("d");
    ASSERT_NE(answerD, nullptr);
    EXPECT_EQ(answerD->GetResponseCode(), 10u);
    EXPECT_EQ(recorder.ResponseCount(""), 4u);
    EXPECT_NE(TestSupport::CapturedLog().find("Found a new QUARN packet magic number, but seems "
                                              "that's at an index position that isn't allowed."),
              std::string::npos);
}

TEST_F(VirtualGatewayScriptedTest, AnswersThatCannotBeDecodedAreReportedAsFailed) {
    auto gateway = Connected();
    ASSERT_TRUE(gateway->OpenLock("open", 4711, 1, false));
    ASSERT_TRUE(gateway->GetNodeStatus("status", 4711));
    std::vector<Bytes> requests = peer.ReadFrames(2);
    ASSERT_EQ(requests.size(), 2u);

    // A status answer without its status bytes, and an answer of a type no answer has.
    Bytes noStatus = Answer(requests[1], Q::QUARN_RESPONSE_OK);
    noStatus.resize(19);
    noStatus[0] = 19;
    noStatus[16] = Q::QUARN_MESSAGE_GET_STATUS;
    noStatus = Sealed(noStatus);
    Bytes echo = Answer(requests[0], Q::QUARN_RESPONSE_OK);
    echo[16] = Q::QUARN_MESSAGE_OPEN_LOCK;
    echo = Sealed(echo);
    noStatus.insert(noStatus.end(), echo.begin(), echo.end());
    peer.Send(noStatus);

    for (const char* id : {"status", "open"}) {
        const auto* response = recorder.WaitForResponse(id);
        ASSERT_NE(response, nullptr) << id;
        EXPECT_EQ(response->GetFailure(), VirtualGateway::Response::Failure::NoAnswer) << id;
        EXPECT_EQ(response->GetStatusPayload(), nullptr) << id;
    }
    EXPECT_NE(TestSupport::CapturedLog().find("Cannot parse GetStatus message payload."),
              std::string::npos);
}

TEST_F(VirtualGatewayScriptedTest, CounterAndReferenceAreStampedWhenSent) {
    auto gateway = Connected();
    // Queued before any is sent: they must still carry consecutive counters and
    // distinct reference identifiers.
    for (const char* id : {"one", "two", "three"}) {
        ASSERT_TRUE(gateway->OpenLock(id, 4711, 1, false));
    }
    std::vector<Bytes> frames = peer.ReadFrames(3);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(SequenceOf(frames[0]), 1u);
    EXPECT_EQ(SequenceOf(frames[1]), 2u);
    EXPECT_EQ(SequenceOf(frames[2]), 3u);
    EXPECT_EQ(ReferenceOf(frames[0]), 1);
    EXPECT_EQ(ReferenceOf(frames[1]), 2);
    EXPECT_EQ(ReferenceOf(frames[2]), 3);

    // A request rejected for its counter is answered with code 7 and the counter is
    // adopted: the next frame carries the gateway's counter + 1.
    peer.Send(Answer(frames[0], Q::QUARN_RESPONSE_SEQUENCE_COUNTER_ERROR, 900));
    const auto* rejected = recorder.WaitForResponse("one");
    ASSERT_NE(rejected, nullptr);
    EXPECT_EQ(rejected->GetResponseCode(), 7u);
    ASSERT_TRUE(gateway->CloseLock("four", 4711, 0, false));
    std::vector<Bytes> next = peer.ReadFrames(1);
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(SequenceOf(next[0]), 901u);
    EXPECT_EQ(recorder.States(), std::vector{Quarn::READY});  // no status change
}

TEST_F(VirtualGatewayScriptedTest, AnOutdatedCounterInALateAnswerIsNotAdopted) {
    auto gateway = Connected();
    ASSERT_TRUE(gateway->OpenLock("a", 4711, 1, false));
    ASSERT_TRUE(gateway->OpenLock("b", 4711, 1, false));
    std::vector<Bytes> stale = peer.ReadFrames(2);
    ASSERT_EQ(stale.size(), 2u);

    // Both frames carried counters the gateway refuses; the first answer resynchronises.
    peer.Send(Answer(stale[0], Q::QUARN_RESPONSE_SEQUENCE_COUNTER_ERROR, 500));
    ASSERT_NE(recorder.WaitForResponse("a"), nullptr);
    ASSERT_TRUE(gateway->OpenLock("c", 4711, 1, false));
    std::vector<Bytes> accepted = peer.ReadFrames(1);
    ASSERT_EQ(accepted.size(), 1u);
    EXPECT_EQ(SequenceOf(accepted[0]), 501u);

    // The gateway took 501; the second answer, late, still reports 500.
    peer.Send(Answer(stale[1], Q::QUARN_RESPONSE_SEQUENCE_COUNTER_ERROR, 500));
    const auto* late = recorder.WaitForResponse("b");
    ASSERT_NE(late, nullptr);
    EXPECT_EQ(late->GetResponseCode(), 7u);
    ASSERT_TRUE(gateway->OpenLock("d", 4711, 1, false));
    std::vector<Bytes> next = peer.ReadFrames(1);
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(SequenceOf(next[0]), 502u);
}

TEST_F(VirtualGatewayScriptedTest, AWaitingReferenceIdIsNeverReused) {
    auto gateway = Connected();
    for (int i = 0; i < 64; ++i) {
        ASSERT_TRUE(gateway->OpenLock("request" + std::to_string(i), 4711, 1, false));
    }
    std::vector<Bytes> frames = peer.ReadFrames(63);
    ASSERT_EQ(frames.size(), 63u);
    std::set<uint8_t> references;
    for (const Bytes& frame : frames) {
        references.insert(ReferenceOf(frame));
    }
    EXPECT_EQ(references.size(), 63u);
    // Every identifier waits for an answer: the 64th request is held back...
    EXPECT_TRUE(peer.ReadFrames(1, 300ms).empty());

    // ...until one is answered, and then takes that identifier.
    peer.Send(Answer(frames[10], Q::QUARN_RESPONSE_OK));
    ASSERT_NE(recorder.WaitForResponse("request10"), nullptr);
    std::vector<Bytes> last = peer.ReadFrames(1);
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(ReferenceOf(last[0]), ReferenceOf(frames[10]));
    EXPECT_EQ(SequenceOf(last[0]), 64u);
    peer.Send(Answer(last[0], Q::QUARN_RESPONSE_OK));
    ASSERT_NE(recorder.WaitForResponse("request63"), nullptr);
}

// Milliseconds since midnight of a log line's time ("2026-12-08 12:47:24.312 ...").
int64_t LineTime(const std::string& line) {
    int hours = 0, minutes = 0, seconds = 0, millis = 0;
    std::sscanf(line.c_str() + 11, "%d:%d:%d.%d", &hours, &minutes, &seconds, &millis);
    return ((hours * 60 + minutes) * 60 + seconds) * 1000LL + millis;
}

TEST_F(VirtualGatewayScriptedTest, AnAbsentGatewayIsRetriedWithBackoffAndComesBackReady) {
    const int port = TestSupport::FreePort();
    VirtualGatewayTimings timings = kScripted;
    timings.reconnectFirstDelay = 10ms;
    timings.reconnectMaxDelay = 80ms;
    VirtualGateway gateway("127.0.0.1", port, 2000, timings);
    gateway.SetId(77);
    recorder.Attach(gateway);
    TestSupport::LogTail tail;
    const uint32_t criticalBefore = Diagnostics::ErrorGuard::GetInstance().GetCriticalErrorCount();
    gateway.StartConnecting();
    ASSERT_TRUE(recorder.WaitForStatus(Quarn::NOT_PRESENT));

    // One line per attempt; the pauses double up to the longest (the spread only shortens
    // them, by a tenth at most); nothing counts toward the error thresholds.
    std::vector<int64_t> attempts;
    for (const std::string& line : tail.Lines()) {
        if (line.find("Cannot connect to gateway with ID 77 over IP 127.0.0.1.") !=
            std::string::npos) {
            attempts.push_back(LineTime(line));
        }
    }
    ASSERT_GE(attempts.size(), size_t{VirtualGateway::kMaxConnectFailures});
    for (size_t i = 1; i < attempts.size(); ++i) {
        const int64_t pause = std::min<int64_t>(10 << std::min<size_t>(i - 1, 3), 80);
        EXPECT_GE(attempts[i] - attempts[i - 1] + 1, pause * 9 / 10) << "attempt " << i;
    }
    EXPECT_EQ(Diagnostics::ErrorGuard::GetInstance().GetCriticalErrorCount(), criticalBefore);

    // The gateway returns: connected with a sequence refresh, READY once it reported its
    // counter, and usable again.
    Peer back(port);
    ASSERT_TRUE(back.Accept());
    std::vector<Bytes> refresh = back.ReadFrames(1);
    ASSERT_EQ(refresh.size(), 1u);
    EXPECT_EQ(ReadBigEndian(refresh[0], 12), VirtualGateway::kRefreshDeviceAddress);
    back.Send(Answer(refresh[0], Q::QUARN_RESPONSE_SEQUENCE_COUNTER_ERROR, 500));
    ASSERT_TRUE(recorder.WaitForStatus(Quarn::READY));
    ASSERT_TRUE(gateway.OpenLock("back", 4711, 1, false));
    std::vector<Bytes> open = back.ReadFrames(1);
    ASSERT_EQ(open.size(), 1u);
    back.Send(Answer(open[0], Q::QUARN_RESPONSE_OK));
    ASSERT_NE(recorder.WaitForResponse("back"), nullptr);
}

TEST_F(VirtualGatewayScriptedTest, LostConnectionsAreRestoredWithoutCountingErrors) {
    VirtualGatewayTimings timings = kScripted;
    timings.reconnectFirstDelay = 1ms;
    auto gateway = Connected(timings);
    const uint32_t criticalBefore = Diagnostics::ErrorGuard::GetInstance().GetCriticalErrorCount();
    const uint32_t commonBefore = Diagnostics::ErrorGuard::GetInstance().GetErrorCount();

    // A reset is a receive fault; the gateway reconnects by itself.
    linger reset{1, 0};
    ASSERT_EQ(setsockopt(peer.Fd(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset), 0);
    peer.Listener().CloseConnection(peer.Fd());
    ASSERT_TRUE(TestSupport::WaitFor([&] {
        std::vector<Quarn::VirtualGatewayStatuses> states = recorder.States();
        return std::find(states.begin(), states.end(), Quarn::FAULTED) != states.end();
    }));
    ASSERT_TRUE(peer.Accept());
    // Then a thousand orderly closes.
    for (int drop = 0; drop < 1000; ++drop) {
        peer.Listener().CloseConnection(peer.Fd());
        ASSERT_TRUE(peer.Accept()) << "drop " << drop;
    }
    ASSERT_TRUE(recorder.WaitForStatus(Quarn::READY));
    ASSERT_TRUE(gateway->OpenLock("after", 4711, 1, false));
    std::vector<Bytes> frames = peer.ReadFrames(1);
    ASSERT_EQ(frames.size(), 1u);
    peer.Send(Answer(frames[0], Q::QUARN_RESPONSE_OK));
    ASSERT_NE(recorder.WaitForResponse("after"), nullptr);
    EXPECT_EQ(Diagnostics::ErrorGuard::GetInstance().GetCriticalErrorCount(), criticalBefore);
    EXPECT_EQ(Diagnostics::ErrorGuard::GetInstance().GetErrorCount(), commonBefore);
}

TEST_F(VirtualGatewayScriptedTest, DoorCommandsGoFirstEachClassInArrivalOrder) {
    VirtualGateway gateway("127.0.0.1", peer.Port(), 2000, kScripted);
    recorder.Attach(gateway);
    const std::vector<unsigned char> card{1, 2, 3, 4};
    ASSERT_TRUE(gateway.AddWhitelistEntry("w1", 1, true, 0, false, card));
    ASSERT_TRUE(gateway.GetNodeStatus("s1", 1));
    ASSERT_TRUE(gateway.OpenLock("o1", 1, 0, false));
    ASSERT_TRUE(gateway.AddWhitelistEntry("w2", 1, true, 0, false, card));
    ASSERT_TRUE(gateway.CloseLock("c1", 1, 0, true));
    ASSERT_TRUE(gateway.AccessDenied("a1", 1, false));
    ASSERT_TRUE(gateway.Connect(false));
    ASSERT_TRUE(peer.Accept());
    std::vector<Bytes> frames = peer.ReadFrames(6);
    ASSERT_EQ(frames.size(), 6u);
    std::vector<int> types;
    for (const Bytes& frame : frames) {
        types.push_back(frame[16]);
    }
    EXPECT_EQ(types,
              (std::vector<int>{Q::QUARN_MESSAGE_OPEN_LOCK, 0x8B, Q::QUARN_MESSAGE_ACCESS_DENIED,
                                Q::QUARN_MESSAGE_ADD_TO_WHITELIST, Q::QUARN_MESSAGE_GET_STATUS,
                                Q::QUARN_MESSAGE_ADD_TO_WHITELIST}));
}

TEST_F(VirtualGatewayScriptedTest, EachDeadlineOutcomeIsReportedForWhatHappened) {
    using Failure = VirtualGateway::Response::Failure;
    VirtualGatewayTimings timings = kScripted;
    timings.sendSpacing = 300ms;
    timings.requestTimeout = 400ms;
    auto gateway = Connected(timings);
    auto soon = [](std::chrono::milliseconds after) {
        return std::chrono::steady_clock::now() + after;
    };

    // Sent, and answered after its deadline: the real answer.
    ASSERT_TRUE(gateway->OpenLock("late-answer", 1, 0, false, soon(50ms)));
    std::vector<Bytes> sent = peer.ReadFrames(1);
    ASSERT_EQ(sent.size(), 1u);
    std::this_thread::sleep_for(100ms);  // the far side answers past the deadline
    peer.Send(Answer(sent[0], Q::QUARN_RESPONSE_OK));
    const auto* late = recorder.WaitForResponse("late-answer");
    ASSERT_NE(late, nullptr);
    EXPECT_EQ(late->GetFailure(), Failure::None);

    // Behind it, frames queue 300 ms apart: those that cannot all go before their 1 s
    // deadline are refused at once; those queued but not sent in time never leave; the
    // one sent but not answered times out 400 ms after sending.
    for (int i = 0; i < 8; ++i) {
        ASSERT_TRUE(gateway->OpenLock("q" + std::to_string(i), 1, 0, false, soon(1000ms)));
    }
    for (int i = 4; i < 8; ++i) {
        const auto* busy = recorder.WaitForResponse("q" + std::to_string(i), 0ms);
        ASSERT_NE(busy, nullptr) << i;
        EXPECT_EQ(busy->GetFailure(), Failure::Busy) << i;
    }
    const auto* unanswered = recorder.WaitForResponse("q0");
    ASSERT_NE(unanswered, nullptr);
    EXPECT_EQ(unanswered->GetFailure(), Failure::NoAnswer);
    std::vector<Failure> queued;
    for (int i = 1; i < 4; ++i) {
        const auto* response = recorder.WaitForResponse("q" + std::to_string(i));
        ASSERT_NE(response, nullptr) << i;
        queued.push_back(response->GetFailure());
    }
    EXPECT_EQ(std::count(queued.begin(), queued.end(), Failure::Busy), 0);
    // Every frame that left, left before its deadline.
    std::vector<Bytes> more = peer.ReadFrames(8, 1500ms);
    EXPECT_EQ(more.size(), 4u - std::count(queued.begin(), queued.end(), Failure::NotSent));
}

// A request for an idle gateway leaves at once, from the thread that asked: its missing
// answer is still reported when it is overdue (not when the send thread would next have
// woken by itself), a callback run on the send thread may queue another request, and a
// request right behind one sent at once still keeps the spacing.
TEST_F(VirtualGatewayScriptedTest, RequestsSentAtOnceKeepTimeOutsCallbacksAndSpacing) {
    using Failure = VirtualGateway::Response::Failure;
    VirtualGatewayTimings timings = kScripted;  // no keep-alive: the send thread sleeps long
    timings.sendSpacing = 100ms;
    timings.requestTimeout = 300ms;
    std::promise<Failure> warm;
    std::promise<Failure> unanswered;
    std::promise<Failure> behind;
    VirtualGateway gateway("127.0.0.1", peer.Port(), 2000, timings);
    gateway.SetResponseReceivedCallback([&](VirtualGateway& self, auto response) {
        if (response->GetRequestId() == "warm") {
            warm.set_value(response->GetFailure());
        } else if (response->GetRequestId() == "unanswered") {
            EXPECT_TRUE(self.OpenLock("from-callback", 1, 0, false));
            unanswered.set_value(response->GetFailure());
        } else if (response->GetRequestId() == "behind") {
            behind.set_value(response->GetFailure());
        }
    });
    ASSERT_TRUE(gateway.Connect(false));
    ASSERT_TRUE(peer.Accept());
    auto outcome = [](std::promise<Failure>& promise) {
        auto future = promise.get_future();
        return future.wait_for(5s) == std::future_status::ready ? future.get() : Failure::Busy;
    };

    // Answered at once; once its time-out has passed too, the send thread has nothing due
    // and sleeps long.
    ASSERT_TRUE(gateway.OpenLock("warm", 1, 0, false));
    std::vector<Bytes> frames = peer.ReadFrames(1);
    ASSERT_EQ(frames.size(), 1u);
    peer.Send(Answer(frames[0], Q::QUARN_RESPONSE_OK));
    EXPECT_EQ(outcome(warm), Failure::None);
    std::this_thread::sleep_for(2 * timings.requestTimeout);

    ASSERT_TRUE(gateway.OpenLock("unanswered", 1, 0, false));
    EXPECT_EQ(outcome(unanswered), Failure::NoAnswer);
    frames = peer.ReadFrames(2);  // the callback's request went out too
    ASSERT_EQ(frames.size(), 2u);
    peer.Send(Answer(frames[1], Q::QUARN_RESPONSE_OK));

    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(gateway.OpenLock("ahead", 1, 0, false));
    ASSERT_TRUE(gateway.OpenLock("behind", 1, 0, false));
    frames = peer.ReadFrames(2);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, timings.sendSpacing);
    EXPECT_EQ(SequenceOf(frames[1]), SequenceOf(frames[0]) + 1);
    peer.Send(Answer(frames[1], Q::QUARN_RESPONSE_OK));
    EXPECT_EQ(outcome(behind), Failure::None);
}

TEST_F(VirtualGatewayScriptedTest, FramesWithAWrongCrcAreDroppedUnlessTheCheckIsOff) {
    auto gateway = Connected();
    auto card = [](unsigned char last) {
        Q::QuarnReaderEvent event;
        event.data = {0x04, 0xA1, last};
        Q::QuarnMessageBuilder builder(0, 1);
        return builder
            .BuildBaseMessage(4711, Q::QUARN_MESSAGE_CARD_READER_EVENT,
                              std::make_unique<Q::QuarnCardReaderMessagePayload>(event))
            ->Serialize();
    };
    Bytes broken = card(0x01);
    broken.back() ^= 0xFF;
    Bytes stream = broken;
    Bytes good = card(0x02);
    stream.insert(stream.end(), good.begin(), good.end());
    TestSupport::LogTail log;
    const std::string dropped = "Dropped a frame of " + std::to_string(broken.size()) +
                                " bytes from gateway with ID " + std::to_string(gateway->GetId()) +
                                ": its CRC is wrong.";
    peer.Send(stream);
    ASSERT_TRUE(recorder.WaitForEvents(1));
    EXPECT_TRUE(log.WaitFor(dropped));
    EXPECT_EQ(recorder.Events().front().GetData(), "04A102");

    gateway->SetCheckFrameCrc(false);
    peer.Send(broken);
    ASSERT_TRUE(recorder.WaitForEvents(2));
    EXPECT_EQ(recorder.Events().back().GetData(), "04A101");
    EXPECT_EQ(TestSupport::CountOf(log.Text(), dropped), 1u);
}

TEST_F(VirtualGatewayScriptedTest, DestructionStopsBusyThreadsPromptly) {
    auto gateway = Connected(VirtualGatewayTimings{1ms, 5ms, 20000ms});
    std::atomic<int> answered{0};
    gateway->SetResponseReceivedCallback([&](VirtualGateway& self, auto) {
        ++answered;
        self.OpenLock("from-callback", 4711, 1, false);  // callbacks may queue requests
    });
    for (int i = 0; i < 20; ++i) {
        gateway->OpenLock("busy" + std::to_string(i), 4711, 1, false);
    }
    // Answer until some answers reached the callback (refreshes among them do not).
    ASSERT_TRUE(TestSupport::WaitFor([&] {
        for (const Bytes& frame : peer.ReadFrames(1, 100ms)) {
            peer.Send(Answer(frame, Q::QUARN_RESPONSE_OK));
        }
        return answered > 0;
    }));

    // Requests queued, waiting and in delivery; the read thread waits on the socket.
    auto destroyed = std::async(std::launch::async, [&] { gateway.reset(); });
    ASSERT_EQ(destroyed.wait_for(5s), std::future_status::ready);

    // An idle gateway that never connected goes as quickly.
    auto idle = std::make_unique<VirtualGateway>("127.0.0.1", peer.Port());
    auto idleDestroyed = std::async(std::launch::async, [&] { idle.reset(); });
    ASSERT_EQ(idleDestroyed.wait_for(5s), std::future_status::ready);
}

}  // namespace
