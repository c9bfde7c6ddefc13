// The gateway against locksim, a real gateway simulator process.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "gateway/VirtualGateway.h"
#include "messages/QuarnMessageTypes.h"
#include "messages/QuarnResponseCodes.h"
#include "tests/gateway/GatewayHarness.h"
#include "tests/support/TestLog.h"

namespace {

using namespace std::chrono_literals;
using Quarn::VirtualGateway;
using Quarn::VirtualGatewayTimings;
using TestSupport::Field;
using Failure = VirtualGateway::Response::Failure;
using TestSupport::GatewayRecorder;
using TestSupport::Locksim;
namespace Q = Quarn::Messages;

// Short spacing so that the suite takes seconds; long keep-alive so that only the
// refreshes a test expects are sent.
constexpr VirtualGatewayTimings kFast{20ms, 3600s, 20000ms};

class VirtualGatewayLocksimTest : public ::testing::Test {
protected:
    void SetUp() override { TestSupport::CaptureLog(); }

    // A gateway connected with refresh to locksim and READY once the refresh settled.
    std::unique_ptr<VirtualGateway> ReadyGateway(Locksim& locksim,
                                                 VirtualGatewayTimings timings = kFast) {
        auto gateway = std::make_unique<VirtualGateway>("127.0.0.1", locksim.Port(), 2000, timings);
        recorder.Attach(*gateway);
        EXPECT_TRUE(gateway->Connect(true));
        EXPECT_TRUE(recorder.WaitForStatus(Quarn::READY));
        // Both refreshes (keep-alive and connect) answered.
        EXPECT_TRUE(TestSupport::WaitFor(
            [&] { return TestSupport::CountOf(locksim.Output(), "locksim answered") == 2; }));
        return gateway;
    }

    TestSupport::TempDir folder;
    GatewayRecorder recorder;
};

TEST_F(VirtualGatewayLocksimTest, ConnectRefreshAdoptsTheGatewayCounterAndBecomesReady) {
    Locksim locksim(folder, {"--sequence", "5000"});
    auto gateway = std::make_unique<VirtualGateway>("127.0.0.1", locksim.Port(), 2000,
                                                    VirtualGatewayTimings{300ms, 3600s, 20000ms});
    recorder.Attach(*gateway);
    ASSERT_TRUE(gateway->Connect(true));
    EXPECT_FALSE(gateway->Connect(true));  // already connected
    ASSERT_TRUE(recorder.WaitForStatus(Quarn::READY));
    ASSERT_TRUE(locksim.WaitForOutput("code=8"));

    EXPECT_EQ(recorder.States(), (std::vector{Quarn::CONNECTED, Quarn::READY}));

    // Two refreshes (keep-alive and connect): the first is rejected with the gateway's
    // counter, the second carries that counter + 1 and is accepted.
    std::vector<std::string> received = TestSupport::ReceivedLines(locksim.Output());
    ASSERT_EQ(received.size(), 2u);
    for (const std::string& line : received) {
        EXPECT_EQ(Field(line, "device"), "256");
        EXPECT_EQ(Field(line, "type"), "0x01");
    }
    EXPECT_EQ(Field(received[0], "seq"), "1");
    EXPECT_EQ(Field(received[1], "seq"), "5001");
    EXPECT_NE(Field(received[0], "ref"), Field(received[1], "ref"));
    EXPECT_TRUE(locksim.WaitForOutput("answered ref=" + Field(received[0], "ref") +
                                      " code=7 sequence=5000"));

    // The code-7 answer reaches the owner, the no-route answer does not.
    ASSERT_TRUE(
        TestSupport::WaitFor([&] { return recorder.ResponseCount("requestNewSEQID-") == 1; }));
    EXPECT_EQ(recorder.ResponseCount(""), 1u);
}

struct RequestCase {
    std::string id;
    std::function<bool(VirtualGateway&, const std::string&)> call;
    std::string type;
    std::string payload;
    uint32_t code;
};

TEST_F(VirtualGatewayLocksimTest, EachRequestOperationSendsItsFrameAndGetsItsAnswer) {
    Locksim locksim(folder, {"--locks", "4711,4712", "--status", "0F005C00000000"});
    auto gateway = ReadyGateway(locksim);
    const std::vector<unsigned char> card{0xAA, 0xBB};
    const std::vector<RequestCase> cases{
        {"open", [](auto& g, auto& id) { return g.OpenLock(id, 4711, 5, false); }, "0x0a",
         "00000005", Q::QUARN_RESPONSE_OK},
        {"open-event", [](auto& g, auto& id) { return g.OpenLock(id, 4711, 0, true); }, "0x8a",
         "00000000", Q::QUARN_RESPONSE_OK},
        {"close-event", [](auto& g, auto& id) { return g.CloseLock(id, 4712, 3, true); }, "0x8b",
         "0003", Q::QUARN_RESPONSE_OK},
        {"open-close", [](auto& g, auto& id) { return g.OpenCloseLock(id, 4711, 7, false); },
         "0x09", "07", Q::QUARN_RESPONSE_OK},
        {"denied", [](auto& g, auto& id) { return g.AccessDenied(id, 4711, true); }, "0x88", "",
         Q::QUARN_RESPONSE_OK},
        {"add",
         [&](auto& g, auto& id) { return g.AddWhitelistEntry(id, 4711, false, 3, true, card); },
         "0x03", "030102AABB", Q::QUARN_RESPONSE_OK},
        {"add-again",
         [&](auto& g, auto& id) { return g.AddWhitelistEntry(id, 4711, false, 3, true, card); },
         "0x03", "030102AABB", Q::QUARN_RESPONSE_ALREADY_IN_WHITELIST},
        // UID mode forces setup number 0: the card is reversed into 10 bytes.
        {"add-uid",
         [&](auto& g, auto& id) { return g.AddWhitelistEntry(id, 4711, true, 5, false, card); },
         "0x03", "00000A0000000000000000BBAA", Q::QUARN_RESPONSE_OK},
        {"remove",
         [&](auto& g, auto& id) { return g.RemoveWhitelistEntry(id, 4711, false, 3, card); },
         "0x04", "030002AABB", Q::QUARN_RESPONSE_OK},
        {"remove-again",
         [&](auto& g, auto& id) { return g.RemoveWhitelistEntry(id, 4711, false, 3, card); },
         "0x04", "030002AABB", Q::QUARN_RESPONSE_NOT_IN_WHITELIST},
        {"clear", [](auto& g, auto& id) { return g.ClearWhiteList(id, 4711); }, "0x05", "",
         Q::QUARN_RESPONSE_OK},
        {"enable", [](auto& g, auto& id) { return g.EnableWhitelist(id, 4711); }, "0x07", "",
         Q::QUARN_RESPONSE_OK},
        {"disable", [](auto& g, auto& id) { return g.DisableWhitelist(id, 4711); }, "0x06", "",
         Q::QUARN_RESPONSE_OK},
        {"unknown-lock", [](auto& g, auto& id) { return g.OpenLock(id, 999, 1, false); }, "0x0a",
         "00000001", Q::QUARN_RESPONSE_NO_ROUTE_FOR_DEVADDR},
    };
    for (const RequestCase& request : cases) {
        SCOPED_TRACE(request.id);
        size_t before = TestSupport::ReceivedLines(locksim.Output()).size();
        ASSERT_TRUE(request.call(*gateway, request.id));
        const auto* response = recorder.WaitForResponse(request.id);
        ASSERT_NE(response, nullptr);
        EXPECT_EQ(response->GetFailure(), Failure::None);
        EXPECT_EQ(response->GetResponseCode(), request.code);
        EXPECT_EQ(response->GetStatusPayload(), nullptr);
        std::vector<std::string> received = TestSupport::ReceivedLines(locksim.Output());
        ASSERT_EQ(received.size(), before + 1);
        EXPECT_EQ(Field(received.back(), "type"), request.type);
        EXPECT_EQ(Field(received.back(), "payload"), request.payload);
        EXPECT_EQ(Field(received.back(), "crc"), "ok");
    }

    // A status answer carries the lock's status bytes.
    ASSERT_TRUE(gateway->GetNodeStatus("status", 4712));
    const auto* status = recorder.WaitForResponse("status");
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->GetResponseCode(), 0u);
    ASSERT_NE(status->GetStatusPayload(), nullptr);
    auto bytes = status->GetStatusPayload()->GetStatusData();
    EXPECT_EQ(std::vector<unsigned char>(bytes.begin(), bytes.end()),
              (std::vector<unsigned char>{0x0F, 0x00, 0x5C, 0, 0, 0, 0}));
}

TEST_F(VirtualGatewayLocksimTest, RequestsQueuedTogetherGoOutSpacedWithConsecutiveCounters) {
    Locksim locksim(folder);
    auto gateway = ReadyGateway(locksim, VirtualGatewayTimings{});
    size_t before = TestSupport::ReceivedLines(locksim.Output()).size();
    ASSERT_TRUE(gateway->OpenLock("first", 4711, 1, false));
    ASSERT_TRUE(gateway->OpenLock("second", 4711, 2, false));

    const auto* first = recorder.WaitForResponse("first");
    auto firstAt = std::chrono::steady_clock::now();
    const auto* second = recorder.WaitForResponse("second");
    auto secondAt = std::chrono::steady_clock::now();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(first->GetResponseCode(), 0u);
    EXPECT_EQ(second->GetResponseCode(), 0u);
    // 300 ms between the sends, less some delivery jitter.
    EXPECT_GE(secondAt - firstAt, 250ms);

    std::vector<std::string> received = TestSupport::ReceivedLines(locksim.Output());
    ASSERT_EQ(received.size(), before + 2);
    const std::string& a = received[before];
    const std::string& b = received[before + 1];
    EXPECT_EQ(Field(a, "payload"), "00000001");
    EXPECT_EQ(std::stoul(Field(b, "seq")), std::stoul(Field(a, "seq")) + 1);
    EXPECT_NE(Field(a, "ref"), Field(b, "ref"));
}

TEST_F(VirtualGatewayLocksimTest, EventsOfEveryTypeReachTheEventCallback) {
    Locksim locksim(folder);
    auto gateway = ReadyGateway(locksim);
    locksim.Command("card 4711 04A10B");
    locksim.Command("card2 70000 01ff");
    locksim.Command("pin 4711 010203");
    locksim.Command("event 0x11 4711");
    locksim.Command("event 0x12 4712");
    ASSERT_TRUE(recorder.WaitForEvents(5));

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
    EXPECT_NE(TestSupport::CapturedLog().find("cardReaderPayload is NULL!"), std::string::npos);
}

TEST_F(VirtualGatewayLocksimTest, PeerCloseReconnectsWithoutRefresh) {
    // The two refreshes and one request, then locksim closes the connection.
    Locksim locksim(folder, {"--close-after", "3"});
    auto gateway = ReadyGateway(locksim);
    ASSERT_TRUE(gateway->OpenLock("before", 4711, 1, false));
    ASSERT_NE(recorder.WaitForResponse("before"), nullptr);

    ASSERT_TRUE(TestSupport::WaitFor(
        [&] { return TestSupport::CountOf(locksim.Output(), "locksim connected") == 2; }));
    ASSERT_TRUE(TestSupport::WaitFor([&] { return recorder.States().size() >= 4; }));
    std::vector<Quarn::VirtualGatewayStatuses> states = recorder.States();
    ASSERT_EQ(states.size(), 4u);
    EXPECT_EQ(states[2], Quarn::DISCONNECTED);
    EXPECT_EQ(states[3], Quarn::READY);

    ASSERT_TRUE(gateway->OpenLock("after", 4711, 1, false));
    const auto* after = recorder.WaitForResponse("after");
    ASSERT_NE(after, nullptr);
    EXPECT_EQ(after->GetResponseCode(), 0u);
    // Nothing but that request went over the second connection.
    std::string output = locksim.Output();
    std::string second = output.substr(output.rfind("locksim connected"));
    EXPECT_EQ(TestSupport::CountOf(second, "locksim received"), 1u);
    EXPECT_EQ(TestSupport::CountOf(second, "device=256"), 0u);
    EXPECT_NE(
        TestSupport::CapturedLog().find("Connection gracefully closed. The VGs will reconnect."),
        std::string::npos);
}

TEST_F(VirtualGatewayLocksimTest, RequestsWithoutAnswerAreReportedAsFailed) {
    Locksim locksim(folder);
    auto gateway = ReadyGateway(locksim, VirtualGatewayTimings{20ms, 3600s, 400ms});
    locksim.Command("answer off");
    ASSERT_TRUE(locksim.WaitForOutput("answer off"));

    auto queuedAt = std::chrono::steady_clock::now();
    ASSERT_TRUE(gateway->OpenLock("unanswered", 4711, 1, true));
    const auto* response = recorder.WaitForResponse("unanswered");
    ASSERT_NE(response, nullptr);
    EXPECT_GE(std::chrono::steady_clock::now() - queuedAt, 400ms);
    EXPECT_EQ(response->GetFailure(), Failure::NoAnswer);
    EXPECT_NE(response->GetResponseCode(), 0u);
    // The gateway sent it; only the answer was missing.
    EXPECT_EQ(Field(TestSupport::ReceivedLines(locksim.Output()).back(), "type"), "0x8a");

    locksim.Command("answer on");
    ASSERT_TRUE(gateway->OpenLock("answered", 4711, 1, false));
    ASSERT_NE(recorder.WaitForResponse("answered"), nullptr);
    EXPECT_EQ(recorder.ResponseCount("unanswered"), 1u);
}

TEST_F(VirtualGatewayLocksimTest, QueuedRequestOfAnUnconnectedGatewayTimesOut) {
    Locksim locksim(folder);
    VirtualGateway gateway("127.0.0.1", locksim.Port(), 2000, {20ms, 3600s, 300ms});
    recorder.Attach(gateway);
    // Status requests are accepted whatever the status, and wait in the queue.
    ASSERT_TRUE(gateway.GetNodeStatus("never-sent", 4712));
    const auto* response = recorder.WaitForResponse("never-sent");
    ASSERT_NE(response, nullptr);
    EXPECT_EQ(response->GetFailure(), Failure::NotSent);

    // Connecting later does not send it after all.
    ASSERT_TRUE(gateway.Connect(false));
    ASSERT_TRUE(gateway.OpenLock("fresh", 4711, 1, false));
    ASSERT_NE(recorder.WaitForResponse("fresh"), nullptr);
    for (const std::string& line : TestSupport::ReceivedLines(locksim.Output())) {
        EXPECT_NE(Field(line, "device"), "4712") << line;
    }
}

}  // namespace
