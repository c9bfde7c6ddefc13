// The log lines lockhub writes about the client messages it reads and writes.

#include "mux/ClientMessages.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mux/protocol/MuxMessage.h"
#include "mux/protocol/MuxMessageBuilder.h"
#include "mux/protocol/MuxMessageCodes.h"
#include "tests/support/TestLog.h"

namespace {

using namespace Mux;
using Bytes = std::vector<unsigned char>;

// Each line's severity word and message.
std::vector<std::string> SeveritiesAndMessages(const TestSupport::LogTail& log) {
    std::vector<std::string> result;
    for (const std::string& line : log.Lines()) {
        size_t severity = line.find(' ', line.find(' ') + 1) + 1;
        size_t message = line.find("] ", line.find("] ") + 2) + 2;
        result.push_back(line.substr(severity, line.find(' ', severity) - severity) + " " +
                         line.substr(message));
    }
    return result;
}

TEST(ClientMessages, EachCheckOfAPacketLeavesItsTraceLine) {
    TestSupport::LogTail log;
    const Bytes packet = {8, 0, 'M', 'U', 'X', 'M', '{', '}'};
    std::optional<MuxPacket> read = ReadClientPacket(packet);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->GetPayloadString(), "{}");
    EXPECT_FALSE(ReadClientPacket({8, 0, 'X', 'X', 'X', 'X', '{', '}'}));
    EXPECT_EQ(
        SeveritiesAndMessages(log),
        (std::vector<std::string>{"VERB [MuxPacket::IsMuxPacket] Data is a MUX packet.",
                                  "VERB [MuxPacket::IsMuxPacket] Data is a MUX packet.",
                                  "WARN [MuxPacket::IsMuxPacket] Data is NOT a MUX packet."}));
}

TEST(ClientMessages, WritingAMessageForAClientSaysWhatIsWritten) {
    TestSupport::LogTail log;
    MuxMessage empty(1, "a", MUX_MESSAGE_ACK, nullptr);
    EXPECT_EQ(ClientText(empty), empty.ToJSON());
    MuxMessage nack(1, "b", MUX_MESSAGE_NACK, MuxMessageBuilder::BuildNackPayload(0, ""));
    EXPECT_EQ(ClientBytes(nack), nack.ToBytes());
    ClientText(MuxMessage(1, "c", MUX_MESSAGE_EVENT_CARD_READER,
                          MuxMessageBuilder::BuildCardEventPayload(1, 2, "t", "r")));
    EXPECT_EQ(
        SeveritiesAndMessages(log),
        (std::vector<std::string>{"VERB  Converting ACK Message.",
                                  "WARN Current Message data is NULL. MessageCode: 0",
                                  "VERB Converting NACK Message.",
                                  "VERB [MuxNackMessagePayload::ToJSONObject] ToJSON Object of "
                                  "MuxNackMessagePayload hit.",
                                  "VERB Current Message Code: 51"}));
}

TEST(ClientMessages, WhatTheReaderNotedIsLoggedInOrderAtItsSeverity) {
    TestSupport::LogTail log;
    auto refused = ReadClientMessage(
        R"({"MessageCode":21,"Data":{"gatewayID":1,"cardData":7,"isUIDCard":"yes"}})");
    ASSERT_NE(refused, nullptr);
    EXPECT_EQ(refused->GetPayload(), nullptr);
    EXPECT_EQ(SeveritiesAndMessages(log),
              (std::vector<std::string>{
                  "INFO Current whitelist message doesn't contain a Setup Number value. Will be "
                  "set to default (0)",
                  "INFO Current whitelist message doesn't contain an Options value. Will be set "
                  "to default (0)",
                  "WARN Card data value is not in the attended format.",
                  "WARN Card data type is not in a valid format. Will be used default value "
                  "(false)",
                  "ERROR Cannot determine card data in whitelist message. Unrecoverable error"}));

    TestSupport::LogTail quiet;
    EXPECT_NE(ReadClientMessage(R"({"MessageCode":10,"Data":{"lockID":3}})"), nullptr);
    EXPECT_EQ(ReadClientMessage("not json"), nullptr);
    EXPECT_EQ(quiet.Text(), "");
}

}  // namespace
