// The gateway's read side fed straight from the test's thread: every report is made
// before Receive returns, so the exact outcome of each read can be checked without waiting.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "gateway/VirtualGateway.h"
#include "gateway/VirtualGatewayReadSideAccess.h"
#include "messages/QuarnMessageBuilder.h"
#include "messages/QuarnMessageTypes.h"
#include "messages/QuarnReaderEventPayloads.h"
#include "messages/QuarnResponseCodes.h"
#include "messages/QuarnResponsePayload.h"
#include "tests/gateway/GatewayHarness.h"
#include "tests/support/TestLog.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<unsigned char>;
using Access = Quarn::VirtualGatewayReadSideAccess;
using Quarn::VirtualGateway;
namespace Q = Quarn::Messages;

// No periodic refresh and no answer time-out: the send thread leaves the table alone.
constexpr Quarn::VirtualGatewayTimings kIdle{1ms, 0ms, 0ms};

// A gateway's answer with the given code to the request waiting under referenceId.
Bytes Answer(uint8_t referenceId, uint8_t code, uint32_t counter = 0) {
    Q::QuarnMessageBuilder builder(0, 1);
    auto message = builder.BuildBaseMessage(
        4711, Q::QUARN_MESSAGE_RESPONSE, std::make_unique<Q::QuarnResponsePayload>(code, counter));
    message->SetReferenceId(referenceId);
    message->SetReply(true);
    return message->Serialize();
}

Bytes CardEvent(uint32_t deviceAddress, Bytes card) {
    Q::QuarnReaderEvent event;
    event.data = std::move(card);
    Q::QuarnMessageBuilder builder(0, 1);
    return builder
        .BuildBaseMessage(deviceAddress, Q::QUARN_MESSAGE_CARD_READER_EVENT,
                          std::make_unique<Q::QuarnCardReaderMessagePayload>(std::move(event)))
        ->Serialize();
}

class VirtualGatewayReadSideTest : public ::testing::Test {
protected:
    void SetUp() override {
        TestSupport::CaptureLog();
        recorder.Attach(gateway);
    }

    // A request waiting under referenceId, as if the send thread had sent it.
    void Wait(const std::string& requestId, uint8_t referenceId, bool refresh = false) {
        Q::QuarnMessageBuilder builder(0, 1);
        auto request = std::make_unique<Quarn::MessageRequestInfo>(
            requestId, builder.BuildGetStatusMessage(4711), refresh);
        request->referenceId = referenceId;
        Access::Wait(gateway, std::move(request));
    }

    // Outlives the gateway that reports to it.
    TestSupport::GatewayRecorder recorder;
    VirtualGateway gateway{"127.0.0.1", VirtualGateway::kDefaultPort, 2000, kIdle};
};

TEST_F(VirtualGatewayReadSideTest, AnAnswerSplitAnywhereReachesItsRequestOnce) {
    const Bytes answer = Answer(5, Q::QUARN_RESPONSE_WHITELIST_FULL);
    for (size_t split = 0; split <= answer.size(); ++split) {
        const std::string id = "split-" + std::to_string(split);
        Wait(id, 5);
        Access::Receive(gateway, Bytes(answer.begin(), answer.begin() + split));
        Access::Receive(gateway, Bytes(answer.begin() + split, answer.end()));
        const auto* response = recorder.WaitForResponse(id, 0ms);
        ASSERT_NE(response, nullptr) << split;
        EXPECT_EQ(response->GetResponseCode(), Q::QUARN_RESPONSE_WHITELIST_FULL);
        EXPECT_EQ(response->GetFailure(), VirtualGateway::Response::Failure::None);
        ASSERT_EQ(recorder.ResponseCount(""), split + 1);
    }

    // The same answer again finds no request waiting any more.
    TestSupport::LogTail log;
    Access::Receive(gateway, answer);
    EXPECT_EQ(recorder.ResponseCount(""), answer.size() + 1);
    EXPECT_TRUE(
        log.WaitFor("A reply message was sent from gateway. But no request message was "
                    "found in the waiting message map. The message is lost"));
}

TEST_F(VirtualGatewayReadSideTest, OneReadOfEventsAndAnswersIsReportedInStreamOrder) {
    Wait("open", 1);
    Wait("requestNewSEQID-1", 2, true);
    Wait("requestNewSEQID-2", 3, true);
    Bytes read = CardEvent(0x00051267, {0xDE, 0xAD, 0xBE, 0xEF});
    for (const Bytes& frame : {Answer(9, Q::QUARN_RESPONSE_OK), Answer(2, Q::QUARN_RESPONSE_OK),
                               Answer(3, Q::QUARN_RESPONSE_SEQUENCE_COUNTER_ERROR, 0x1000),
                               CardEvent(4712, {}), Answer(1, Q::QUARN_RESPONSE_OK)}) {
        read.insert(read.end(), frame.begin(), frame.end());
    }
    Access::Receive(gateway, read);

    // Events carry the low 16 bits of their frame's address. A refresh answered OK is not
    // reported; one answered with the gateway's counter is.
    std::vector<VirtualGateway::Event> events = recorder.Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].GetDeviceAddress(), 0x1267);
    EXPECT_EQ(events[0].GetData(), "DEADBEEF");
    EXPECT_EQ(events[1].GetDeviceAddress(), 4712);
    EXPECT_EQ(events[1].GetData(), "");
    EXPECT_EQ(recorder.ResponseCount(""), 2u);
    ASSERT_NE(recorder.WaitForResponse("open", 0ms), nullptr);
    ASSERT_NE(recorder.WaitForResponse("requestNewSEQID-2", 0ms), nullptr);
    EXPECT_EQ(recorder.WaitForResponse("requestNewSEQID-2", 0ms)->GetResponseCode(),
              Q::QUARN_RESPONSE_SEQUENCE_COUNTER_ERROR);

    // What is left waiting is forgotten without a report.
    Wait("forgotten", 4);
    Access::Reset(gateway);
    Access::Receive(gateway, Answer(4, Q::QUARN_RESPONSE_OK));
    EXPECT_EQ(recorder.ResponseCount(""), 2u);
}

}  // namespace
