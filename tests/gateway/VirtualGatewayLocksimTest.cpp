// Gateway links on the loop against locksim, a real gateway simulator process.

#include <gtest/gtest.h>

#include <algorithm>
#include <barrier>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "gateway/GatewayLoop.h"
#include "messages/QuarnMessageTypes.h"
#include "messages/QuarnResponseCodes.h"
#include "tests/gateway/GatewayHarness.h"
#include "tests/support/Processes.h"
#include "tests/support/TestLog.h"

namespace {

using namespace std::chrono_literals;
using namespace TestSupport;
using Quarn::CommandKind;
using Quarn::GatewayCommand;
using Quarn::GatewayLink;
using Quarn::VirtualGateway;
using Quarn::VirtualGatewayTimings;
using Failure = VirtualGateway::Response::Failure;
namespace Q = Quarn::Messages;

// Short spacing so that the suite takes seconds; long keep-alive so that only the
// refreshes a test expects are sent.
constexpr VirtualGatewayTimings kFast{.sendSpacing = 20ms, .keepAliveInterval = 3600s};

class VirtualGatewayLocksimTest : public ::testing::Test {
protected:
    void SetUp() override { CaptureLog(); }

    // A link to locksim, READY once its refresh adopted locksim's counter.
    std::shared_ptr<GatewayLink> Ready(Locksim& locksim, VirtualGatewayTimings timings = kFast) {
        auto link = MakeLink("127.0.0.1", locksim.Port(), timings, recorder.Callbacks());
        loop.Add(link);
        EXPECT_TRUE(recorder.WaitForStatus(Quarn::READY));
        return link;
    }
    // Submits the command and waits for its outcome.
    const VirtualGateway::Response* Outcome(GatewayLink& link, GatewayCommand command) {
        const std::string id = command.requestId;
        link.Submit(std::move(command));
        return recorder.WaitForResponse(id);
    }

    TempDir folder;
    GatewayRecorder recorder;
    Quarn::GatewayLoop loop;
};

TEST_F(VirtualGatewayLocksimTest, EachCommandKindSendsItsFrameAndGetsItsAnswer) {
    Locksim locksim(folder, {"--locks", "4711,4712", "--status", "0F005C00000000"});
    auto link = Ready(locksim);
    struct Case {
        std::string id;
        CommandKind kind;
        uint8_t seconds;
        bool answersEvent;
        bool uidMode;
        uint8_t setupNo;
        std::string type;
        std::string payload;
        uint32_t code;
    };
    const std::vector<Case> cases{
        {"open", CommandKind::OpenLock, 5, false, false, 0, "0x0a", "00000005", 0},
        {"open-event", CommandKind::OpenLock, 0, true, false, 0, "0x8a", "00000000", 0},
        {"close-event", CommandKind::CloseLock, 3, true, false, 0, "0x8b", "0003", 0},
        {"open-close", CommandKind::OpenCloseLock, 7, false, false, 0, "0x09", "07", 0},
        {"denied", CommandKind::AccessDenied, 0, true, false, 0, "0x88", "", 0},
        {"add", CommandKind::AddWhitelistEntry, 0, false, false, 3, "0x03", "030102AABB", 0},
        {"add-again", CommandKind::AddWhitelistEntry, 0, false, false, 3, "0x03", "030102AABB",
         Q::QUARN_RESPONSE_ALREADY_IN_WHITELIST},
        // UID mode forces setup number 0: the card is reversed into 10 bytes.
        {"add-uid", CommandKind::AddWhitelistEntry, 0, false, true, 5, "0x03",
         "00000A0000000000000000BBAA", 0},
        {"remove", CommandKind::RemoveWhitelistEntry, 0, false, false, 3, "0x04", "030002AABB", 0},
        {"remove-again", CommandKind::RemoveWhitelistEntry, 0, false, false, 3, "0x04",
         "030002AABB", Q::QUARN_RESPONSE_NOT_IN_WHITELIST},
        {"clear", CommandKind::ClearWhitelist, 0, false, false, 0, "0x05", "", 0},
        {"enable", CommandKind::EnableWhitelist, 0, false, false, 0, "0x07", "", 0},
        {"disable", CommandKind::DisableWhitelist, 0, false, false, 0, "0x06", "", 0},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.id);
        GatewayCommand command = Command(test.kind, test.id);
        command.seconds = test.seconds;
        command.answersEvent = test.answersEvent;
        command.uidMode = test.uidMode;
        command.setupNo = test.setupNo;
        command.flag = test.kind == CommandKind::AddWhitelistEntry && !test.uidMode;
        command.cardData = {0xAA, 0xBB};
        const size_t before = ReceivedLines(locksim.Output()).size();
        const auto* response = Outcome(*link, command);
        ASSERT_NE(response, nullptr);
        EXPECT_EQ(response->GetFailure(), Failure::None);
        EXPECT_EQ(response->GetResponseCode(), test.code);
        std::vector<std::string> received = ReceivedLines(locksim.Output());
        ASSERT_EQ(received.size(), before + 1);
        EXPECT_EQ(Field(received.back(), "type"), test.type);
        EXPECT_EQ(Field(received.back(), "payload"), test.payload);
        EXPECT_EQ(Field(received.back(), "crc"), "ok");
    }
    GatewayCommand unknown = Command(CommandKind::OpenLock, "unknown-lock");
    unknown.deviceAddress = 999;
    ASSERT_NE(Outcome(*link, unknown), nullptr);
    EXPECT_EQ(recorder.WaitForResponse("unknown-lock")->GetResponseCode(),
              Q::QUARN_RESPONSE_NO_ROUTE_FOR_DEVADDR);

    // A status answer carries the lock's status bytes.
    GatewayCommand status = Command(CommandKind::GetStatus, "status");
    status.deviceAddress = 4712;
    const auto* answer = Outcome(*link, status);
    ASSERT_NE(answer, nullptr);
    ASSERT_NE(answer->GetStatusPayload(), nullptr);
    auto bytes = answer->GetStatusPayload()->GetStatusData();
    EXPECT_EQ(std::vector<unsigned char>(bytes.begin(), bytes.end()),
              (std::vector<unsigned char>{0x0F, 0x00, 0x5C, 0, 0, 0, 0}));
}

TEST_F(VirtualGatewayLocksimTest, CommandsSubmittedTogetherGoOutSpacedWithConsecutiveCounters) {
    Locksim locksim(folder);
    auto link = Ready(locksim, VirtualGatewayTimings{});
    const size_t before = ReceivedLines(locksim.Output()).size();
    const auto submitted = GatewayRecorder::Clock::now();
    link->Submit(Command(CommandKind::OpenLock, "first"));
    GatewayCommand second = Command(CommandKind::OpenLock, "second");
    second.seconds = 2;
    link->Submit(second);
    ASSERT_NE(recorder.WaitForResponse("first"), nullptr);
    ASSERT_NE(recorder.WaitForResponse("second"), nullptr);
    EXPECT_EQ(recorder.WaitForResponse("second")->GetResponseCode(), 0u);
    // The second frame leaves 300 ms after the first, which left at once: its answer cannot
    // come sooner, however late the first answer was seen.
    EXPECT_GE(recorder.ResponseTime("second") - submitted, 300ms);

    std::vector<std::string> received = ReceivedLines(locksim.Output());
    ASSERT_EQ(received.size(), before + 2);
    EXPECT_EQ(Field(received[before], "payload"), "00000001");
    EXPECT_EQ(std::stoul(Field(received[before + 1], "seq")),
              std::stoul(Field(received[before], "seq")) + 1);
}

TEST_F(VirtualGatewayLocksimTest, CountersRiseInSendingOrderUnderLoadFromManyThreads) {
    Locksim locksim(folder);
    // No spacing: the submitting threads and the loop's refreshes race for every frame.
    auto link = Ready(locksim, {.sendSpacing = 0ms, .keepAliveInterval = 3ms});
    const size_t before = ReceivedLines(locksim.Output()).size();
    constexpr int kThreads = 6;
    constexpr int kRounds = 40;
    std::barrier start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                const std::string id = std::to_string(t) + "-" + std::to_string(round);
                start.arrive_and_wait();
                link->Submit(
                    Command(round % 2 ? CommandKind::GetStatus : CommandKind::OpenLock, id));
                const auto* response = recorder.WaitForResponse(id);
                if (response == nullptr || response->GetFailure() != Failure::None ||
                    response->GetResponseCode() != Q::QUARN_RESPONSE_OK) {
                    ADD_FAILURE() << id << " not answered OK";
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    // Besides the commands, only the connect refresh's answer was reported: no counter
    // was refused since.
    EXPECT_EQ(recorder.ResponseCount(VirtualGateway::kRefreshRequestPrefix), 1u);
    EXPECT_EQ(recorder.ResponseCount(), kThreads * kRounds + 1u);

    // The far side saw every counter higher than the one before, refreshes included.
    std::vector<std::string> received = ReceivedLines(locksim.Output());
    ASSERT_GE(received.size(), before + kThreads * kRounds);
    const size_t refreshes =
        std::count_if(received.begin() + before, received.end(),
                      [](const auto& line) { return Field(line, "device") == "256"; });
    EXPECT_GT(refreshes, 0u);
    for (size_t i = before + 1; i < received.size(); ++i) {
        ASSERT_GT(std::stoul(Field(received[i], "seq")), std::stoul(Field(received[i - 1], "seq")))
            << received[i - 1] << "\n"
            << received[i];
    }
}

TEST_F(VirtualGatewayLocksimTest, EventsOfEveryTypeReachTheEventCallback) {
    Locksim locksim(folder);
    auto link = Ready(locksim);
    locksim.Command("card 4711 04A10B");
    locksim.Command("card2 70000 01ff");
    locksim.Command("pin 4711 010203");
    locksim.Command("event 0x11 4711");
    locksim.Command("event 0x12 4712");
    ASSERT_TRUE(WaitFor([&] { return recorder.Events().size() == 5; }));

    std::vector<GatewayRecorder::Event> events = recorder.Events();
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(events[0].GetEventType(), Q::QUARN_MESSAGE_CARD_READER_EVENT);
    EXPECT_EQ(events[0].GetDeviceAddress(), 4711);
    EXPECT_EQ(events[0].GetData(), "04A10B");
    EXPECT_EQ(events[1].GetEventType(), Q::QUARN_MESSAGE_CARD_READER_EVENT_2);
    EXPECT_EQ(events[1].GetDeviceAddress(), 70000 & 0xFFFF);
    EXPECT_EQ(events[1].GetData(), "01FF");
    EXPECT_EQ(events[2].GetEventType(), Q::QUARN_MESSAGE_PINCODE_EVENT);
    EXPECT_EQ(events[2].GetData(), "010203");
    EXPECT_EQ(events[3].GetEventType(), 0x11);
    EXPECT_EQ(events[3].GetData(), "");
    EXPECT_EQ(events[4].GetEventType(), 0x12);
    EXPECT_EQ(events[4].GetDeviceAddress(), 4712);
}

TEST_F(VirtualGatewayLocksimTest, AConnectionStartsWithARefreshAndAPeerCloseReconnectsWithout) {
    Locksim locksim(folder, {"--sequence", "5000"});
    auto link = Ready(locksim);
    const auto* before = Outcome(*link, Command(CommandKind::OpenLock, "before"));
    ASSERT_NE(before, nullptr);
    EXPECT_EQ(before->GetResponseCode(), Q::QUARN_RESPONSE_OK);  // the counter was adopted
    const std::string first = ReceivedLines(locksim.Output()).front();
    EXPECT_EQ(Field(first, "device"), "256");
    EXPECT_EQ(Field(first, "seq"), "1");
    locksim.Command("close");
    ASSERT_TRUE(locksim.WaitForOutput("locksim connected", 2));
    ASSERT_TRUE(WaitFor([&] { return recorder.States().size() >= 4; }));
    EXPECT_EQ(recorder.States(),
              (std::vector{Quarn::CONNECTED, Quarn::READY, Quarn::DISCONNECTED, Quarn::READY}));

    const auto* after = Outcome(*link, Command(CommandKind::OpenLock, "after"));
    ASSERT_NE(after, nullptr);
    EXPECT_EQ(after->GetResponseCode(), Q::QUARN_RESPONSE_OK);
    // Nothing but that command went over the second connection.
    const std::string output = locksim.Output();
    const std::string second = output.substr(output.rfind("locksim connected"));
    EXPECT_EQ(CountOf(second, "locksim received"), 1u);
    EXPECT_EQ(CountOf(second, "device=256"), 0u);
}

TEST_F(VirtualGatewayLocksimTest, CommandsWithoutAnswerAreReportedAsFailed) {
    Locksim locksim(folder);
    auto link =
        Ready(locksim, {.sendSpacing = 20ms, .keepAliveInterval = 3600s, .requestTimeout = 400ms});
    locksim.Command("answer off");
    ASSERT_TRUE(locksim.WaitForOutput("answer off"));

    const auto submitted = std::chrono::steady_clock::now();
    GatewayCommand command = Command(CommandKind::OpenLock, "unanswered");
    command.answersEvent = true;
    const auto* response = Outcome(*link, command);
    ASSERT_NE(response, nullptr);
    EXPECT_GE(recorder.ResponseTime("unanswered") - submitted, 400ms);
    EXPECT_EQ(response->GetFailure(), Failure::NoAnswer);
    EXPECT_NE(response->GetResponseCode(), 0u);
    // It was sent; only the answer was missing.
    EXPECT_EQ(Field(ReceivedLines(locksim.Output()).back(), "type"), "0x8a");

    locksim.Command("answer on");
    ASSERT_NE(Outcome(*link, Command(CommandKind::OpenLock, "answered")), nullptr);
    EXPECT_EQ(recorder.ResponseCount("unanswered"), 1u);
}

}  // namespace
