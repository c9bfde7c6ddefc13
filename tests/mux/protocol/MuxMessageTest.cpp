#include "mux/protocol/MuxAnswerStream.h"
#include "mux/protocol/MuxMessage.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "mux/protocol/MuxMessageBuilder.h"
#include "mux/protocol/MuxMessageCodes.h"
#include "mux/protocol/MuxPacket.h"
#include "tests/mux/protocol/ProtocolLog.h"
#include "tests/support/TestLog.h"

namespace {

using namespace Mux;

// The "Data" text of a message written with the given payload.
std::string DataOf(std::unique_ptr<MuxMessagePayloadBase> payload, int code = MUX_MESSAGE_ACK) {
    MuxMessage message(1, "id", code, std::move(payload));
    std::string text = message.ToJSON();
    const std::string head =
        "{\"Timestamp\":1,\"MessageID\":\"id\",\"MessageCode\":" + std::to_string(code) +
        ",\"Data\":";
    EXPECT_EQ(text.compare(0, head.size(), head), 0) << text;
    return text.substr(head.size(), text.size() - head.size() - 1);
}

TEST(MuxMessage, WritesTheEnvelopeCompactInItsFixedOrder) {
    MuxMessage ack(1700000000, "req-7", MUX_MESSAGE_ACK, MuxMessageBuilder::BuildAckPayload());
    EXPECT_EQ(ack.ToJSON(),
              "{\"Timestamp\":1700000000,\"MessageID\":\"req-7\",\"MessageCode\":0,"
              "\"Data\":{\"Data\":null}}");
    std::string text = ack.ToJSON();
    // Answers go out as bare JSON: no length, no magic, no terminator.
    EXPECT_EQ(ack.ToBytes(), std::vector<unsigned char>(text.begin(), text.end()));

    MuxMessage negative(-5, std::string("a\"b\\c\0d", 7), 99, nullptr);
    EXPECT_EQ(negative.ToJSON(),
              "{\"Timestamp\":-5,\"MessageID\":\"a\\\"b\\\\c\\u0000d\",\"MessageCode\":99,"
              "\"Data\":null}");
}

// lockhub logs what the protocol reads and writes; lockctl, which links the protocol too,
// must see neither log lines nor anything on its standard output but its own.
TEST(MuxMessage, TheProtocolWritesNoLogAndNothingToStandardOutput) {
    TestSupport::LogTail log;
    ProtocolTest::StandardOutputCapture output;
    for (int code : {10, 11, 111, 12, 13, 21, 25, 2, 50, 99}) {
        for (const char* data :
             {"{\"gatewayID\":4,\"lockID\":9}", "{\"gatewayID\":\"x\",\"cardData\":7}", "null"}) {
            auto message = MuxMessageBuilder::Build(
                "{\"MessageID\":\"m\",\"MessageCode\":" + std::to_string(code) +
                ",\"Data\":" + data + "}");
            ASSERT_NE(message, nullptr);
            message->ToJSON();
        }
    }
    MuxMessage(1, "a", MUX_MESSAGE_ACK, nullptr).ToJSON();
    MuxMessage(1, "b", MUX_MESSAGE_NACK, MuxMessageBuilder::BuildNackPayload(0, "")).ToBytes();
    const std::vector<unsigned char> packet = {8, 0, 'M', 'U', 'X', 'M', '{', '}'};
    EXPECT_TRUE(MuxPacket::IsMuxPacket(packet));
    EXPECT_FALSE(MuxPacket::IsMuxPacket({1, 2, 3}));
    EXPECT_EQ(MuxPacket(packet).GetPayloadString(), "{}");
    EXPECT_EQ(output.Finish(), "");
    EXPECT_EQ(log.Text(), "");
}

TEST(MuxMessage, AnswerPayloadsWriteTheirMembersInOrder) {
    EXPECT_EQ(DataOf(MuxMessageBuilder::BuildNackPayload(0, "Error in request"), MUX_MESSAGE_NACK),
              "{\"ErrorCode\":0,\"Message\":\"Error in request\",\"Data\":null}");
    EXPECT_EQ(DataOf(MuxMessageBuilder::BuildNackPayload(4, ""), MUX_MESSAGE_NACK),
              "{\"ErrorCode\":4,\"Message\":\"\",\"Data\":null}");
    EXPECT_EQ(DataOf(MuxMessageBuilder::BuildLockOperationResponsePayload(true, 0)),
              "{\"Success\":true,\"ErrorCode\":0}");
    EXPECT_EQ(
        DataOf(MuxMessageBuilder::BuildGetLockStatusResponsePayload(3, 2, true, false, true, true)),
        "{\"BatteryStatus\":3,\"QoS\":2,\"MechanicalActive\":true,\"BatteryWarningLevel\":false,"
        "\"BatteryAlarmLevel\":true,\"ScandinavianFireMode\":false,\"ReaderConnected\":true}");
    EXPECT_EQ(DataOf(MuxMessageBuilder::BuildCardEventPayload(4, 300, "9:5:7 3-12-2026", "04A1"),
                     MUX_MESSAGE_EVENT_CARD_READER),
              "{\"gatewayID\":4,\"lockID\":300,\"timestamp\":\"9:5:7 3-12-2026\","
              "\"RFIDData\":\"04A1\"}");
    EXPECT_EQ(
        DataOf(MuxMessageBuilder::BuildCardEventPayload(-1, 70000, "", ""), MUX_MESSAGE_EVENT_INFO),
        "{\"gatewayID\":-1,\"lockID\":4464,\"timestamp\":\"\",\"RFIDData\":\"\"}");
}

TEST(MuxMessage, AnswerDataIsAnotherPayloadsObjectWrittenEveryTime) {
    auto result = MuxMessageBuilder::BuildLockOperationResponsePayload(false, 4);
    MuxMessage nack(
        1, "id", MUX_MESSAGE_NACK,
        MuxMessageBuilder::BuildNackPayload(0, "Not in whitelist for device address 7 on gateway 2",
                                            std::move(result)));
    const std::string expected =
        "{\"Timestamp\":1,\"MessageID\":\"id\",\"MessageCode\":1,\"Data\":{\"ErrorCode\":0,"
        "\"Message\":\"Not in whitelist for device address 7 on gateway 2\","
        "\"Data\":{\"Success\":false,\"ErrorCode\":4}}}";
    // A retried send writes the message again and must send the same text.
    EXPECT_EQ(nack.ToJSON(), expected);
    EXPECT_EQ(nack.ToJSON(), expected);

    auto status =
        MuxMessageBuilder::BuildGetLockStatusResponsePayload(1, 0, false, false, false, false);
    MuxMessage ack(1, "id", MUX_MESSAGE_ACK, MuxMessageBuilder::BuildAckPayload(std::move(status)));
    const std::string expectedAck =
        "{\"Timestamp\":1,\"MessageID\":\"id\",\"MessageCode\":0,\"Data\":{\"Data\":{"
        "\"BatteryStatus\":1,\"QoS\":0,\"MechanicalActive\":false,\"BatteryWarningLevel\":false,"
        "\"BatteryAlarmLevel\":false,\"ScandinavianFireMode\":false,\"ReaderConnected\":false}}}";
    EXPECT_EQ(ack.ToJSON(), expectedAck);
    EXPECT_EQ(ack.ToJSON(), expectedAck);
}

TEST(MuxMessage, RequestsAreWrittenBackWithTheirAddressOnly) {
    struct Case {
        int code;
        std::string data;
        std::string written;
    };
    const Case cases[] = {
        {10, "{\"lockID\":7,\"gatewayID\":3}", "{\"gatewayID\":3,\"lockID\":7}"},
        {111, "{\"lockID\":7,\"gatewayID\":3}", "{\"gatewayID\":3,\"lockID\":7}"},
        {13, "{\"lockID\":7,\"gatewayID\":3,\"duration\":255}",
         "{\"gatewayID\":3,\"lockID\":7,\"duration\":255}"},
        {12, "{\"lockID\":65535,\"gatewayID\":3}", "{\"gatewayID\":3,\"lockID\":65535}"},
        {14, "{\"lockID\":4464,\"gatewayID\":3}", "{\"gatewayID\":3,\"lockID\":4464}"},
        {21,
         "{\"lockID\":7,\"gatewayID\":3,\"cardData\":\"AB\",\"setupNumber\":1,\"options\":1,"
         "\"isUIDCard\":true}",
         "{\"gatewayID\":3,\"lockID\":7}"},
        {22, "{\"lockID\":7,\"gatewayID\":3}", "{\"gatewayID\":3,\"lockID\":7}"},
        {23, "{\"lockID\":7}", "{\"gatewayID\":0,\"lockID\":7}"},
        {24, "{\"gatewayID\":3}", "{\"gatewayID\":3,\"lockID\":0}"},
        {2, "{\"Gateways\":[]}", "null"},
        {20, "{\"lockID\":7}", "null"},
    };
    for (const Case& test : cases) {
        std::string text =
            "{\"Timestamp\":1,\"MessageID\":\"id\",\"MessageCode\":" + std::to_string(test.code) +
            ",\"Data\":" + test.data + "}";
        auto message = MuxMessageBuilder::Build(text);
        ASSERT_NE(message, nullptr) << test.code;
        EXPECT_EQ(message->ToJSON(), "{\"Timestamp\":1,\"MessageID\":\"id\",\"MessageCode\":" +
                                         std::to_string(test.code) + ",\"Data\":" + test.written +
                                         "}")
            << test.code;
    }
}

TEST(MuxMessage, EventTimestampsHaveNoLeadingZeros) {
    std::tm local{};
    local.tm_year = 2026 - 1900;
    local.tm_mon = 11;
    local.tm_mday = 3;
    local.tm_hour = 9;
    local.tm_min = 5;
    local.tm_sec = 7;
    local.tm_isdst = -1;
    EXPECT_EQ(MuxMessageBuilder::BuildEventTimestamp(std::mktime(&local)), "9:5:7 3-12-2026");
    local.tm_mon = 0;
    local.tm_mday = 31;
    local.tm_hour = 23;
    local.tm_min = 59;
    local.tm_sec = 0;
    EXPECT_EQ(MuxMessageBuilder::BuildEventTimestamp(std::mktime(&local)), "23:59:0 31-1-2026");
}

}  // namespace

TEST(MuxAnswerStream, CutsWholeObjectsOutOfTheStream) {
    EXPECT_EQ(Mux::CompleteObjectLength(""), 0u);
    EXPECT_EQ(Mux::CompleteObjectLength(R"({"a":{"b":1})"), 0u);
    EXPECT_EQ(Mux::CompleteObjectLength(R"({"a":{"b":1}}{"next":2})"), 13u);
    EXPECT_EQ(Mux::CompleteObjectLength(R"({"m":"}{ \"}"}X)"), 14u);
}
