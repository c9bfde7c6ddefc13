#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "MessagesLog.h"
#include "messages/CRC16.h"
#include "messages/QuarnAddOrRemoveFromWhitelistPayload.h"
#include "messages/QuarnMessage.h"
#include "messages/QuarnMessageBuilder.h"
#include "messages/QuarnMessageTypes.h"
#include "messages/QuarnResponseCodes.h"
#include "messages/QuarnResponsePayload.h"
#include "tests/support/TestSupport.h"

using namespace Quarn::Messages;
using Bytes = std::vector<unsigned char>;

namespace {

Bytes Ascii(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

TEST(CRC16Test, XModemCheckValueAndEmptyInput) {
    EXPECT_EQ(Quarn::CRC::CRC16::XModem(Ascii("123456789")), 0x31C3);
    EXPECT_EQ(Quarn::CRC::CRC16::XModem(Bytes{}), 0);
}

TEST(QuarnMessageTest, GetStatusToDevice256WithCounter41AndReference5) {
    QuarnMessageBuilder builder(41, 5);
    auto message = builder.BuildGetStatusMessage(0x100);
    ASSERT_NE(message, nullptr);

    const Bytes expected{0x13, 0xFE, 0xFD, 0x0E, 0x01, 0x00, 0x00, 0x05, 0x00, 0x00,
                         0x00, 0x2A, 0x00, 0x00, 0x01, 0x00, 0x01, 0x53, 0xD4};
    EXPECT_EQ(message->Serialize(), expected);
    EXPECT_EQ(message->ComputeCRC(), 0x53D4);
    EXPECT_EQ(message->ToHexString(), "13 fe fd 0e 01 00 00 05 00 00 00 2a 00 00 01 00 01 53 d4");
    // Building does not move the builder's counters.
    EXPECT_EQ(builder.GetSequenceCounter(), 41u);
    EXPECT_EQ(builder.GetReferenceId(), 5);
}

struct FactoryCase {
    const char* name;
    std::function<std::unique_ptr<QuarnMessage>(const QuarnMessageBuilder&)> build;
    Bytes frame;
};

// Every factory, built with counter 1000 (so 1001 = 0x3E9 on the wire), reference 7 and
// device 0x12345.
std::vector<FactoryCase> FactoryCases() {
    const uint32_t device = 0x12345;
    const Bytes head{0x01, 0x00, 0x00, 0x07, 0x00, 0x00, 0x03, 0xE9, 0x00, 0x01, 0x23, 0x45};
    auto frame = [&](std::initializer_list<unsigned char> lengths,
                     std::initializer_list<unsigned char> rest) {
        Bytes bytes(lengths);
        bytes.insert(bytes.end(), head.begin(), head.end());
        bytes.insert(bytes.end(), rest);
        return bytes;
    };
    const Bytes card{0x04, 0xA1, 0xB2, 0xC3};
    return {
        {"open", [=](auto& b) { return b.BuildOpenLockMessage(device, 0, 300, false); },
         frame({0x17, 0xFE, 0xFD, 0x12}, {0x0A, 0x00, 0x00, 0x01, 0x2C, 0x30, 0x11})},
        {"open for event", [=](auto& b) { return b.BuildOpenLockMessage(device, 0, 300, true); },
         frame({0x17, 0xFE, 0xFD, 0x12}, {0x8A, 0x00, 0x00, 0x01, 0x2C, 0x12, 0xC1})},
        {"close", [=](auto& b) { return b.BuildCloseLockMessage(device, 5, false); },
         frame({0x15, 0xFE, 0xFD, 0x10}, {0x0B, 0x00, 0x05, 0x62, 0x81})},
        {"close for event", [=](auto& b) { return b.BuildCloseLockMessage(device, 5, true); },
         frame({0x15, 0xFE, 0xFD, 0x10}, {0x8B, 0x00, 0x05, 0x59, 0xDB})},
        {"open-close", [=](auto& b) { return b.BuildOpenCloseLockMessage(device, 7, false); },
         frame({0x14, 0xFE, 0xFD, 0x0F}, {0x09, 0x07, 0x59, 0x8A})},
        {"open-close for event",
         [=](auto& b) { return b.BuildOpenCloseLockMessage(device, 7, true); },
         frame({0x14, 0xFE, 0xFD, 0x0F}, {0x89, 0x07, 0x42, 0x12})},
        {"access denied", [=](auto& b) { return b.BuildAccessDeniedMessage(device, false); },
         frame({0x13, 0xFE, 0xFD, 0x0E}, {0x08, 0xD8, 0x0E})},
        {"access denied for event",
         [=](auto& b) { return b.BuildAccessDeniedMessage(device, true); },
         frame({0x13, 0xFE, 0xFD, 0x0E}, {0x88, 0x49, 0x86})},
        {"add to whitelist",
         [=](auto& b) { return b.BuildAddToWhitelistMessage(device, true, 0, 1, card); },
         frame({0x20, 0xFE, 0xFD, 0x1B}, {0x03, 0x00, 0x01, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00,
                                          0x00, 0xC3, 0xB2, 0xA1, 0x04, 0xEC, 0x0B})},
        {"remove from whitelist",
         [=](auto& b) {
             return b.BuildRemoveFromWhitelistMessage(device, false, 2, 0, Bytes{0x04, 0xA1, 0xB2});
         },
         frame({0x19, 0xFE, 0xFD, 0x14}, {0x04, 0x02, 0x00, 0x03, 0x04, 0xA1, 0xB2, 0x3E, 0x1E})},
        {"delete whole whitelist",
         [=](auto& b) { return b.BuildDeleteWholeWhitelistMessage(device); },
         frame({0x13, 0xFE, 0xFD, 0x0E}, {0x05, 0x09, 0xA3})},
        {"enable whitelist", [=](auto& b) { return b.BuildEnableWhitelistMessage(device); },
         frame({0x13, 0xFE, 0xFD, 0x0E}, {0x07, 0x29, 0xE1})},
        {"disable whitelist", [=](auto& b) { return b.BuildDisableWhitelistMessage(device); },
         frame({0x13, 0xFE, 0xFD, 0x0E}, {0x06, 0x39, 0xC0})},
    };
}

TEST(QuarnMessageTest, EveryFactoryBuildsItsExactFrame) {
    QuarnMessageBuilder builder(1000, 7);
    for (const FactoryCase& factory : FactoryCases()) {
        SCOPED_TRACE(factory.name);
        auto message = factory.build(builder);
        ASSERT_NE(message, nullptr);
        EXPECT_EQ(message->Serialize(), factory.frame);
        EXPECT_EQ(message->GetFrameLength(), factory.frame.size());
    }
}

TEST(QuarnMessageTest, EveryFactorysFrameParsesBackToItsHeader) {
    QuarnMessageBuilder builder(0xFFFFFFFF, 63);
    for (const FactoryCase& factory : FactoryCases()) {
        SCOPED_TRACE(factory.name);
        auto built = factory.build(builder);
        ASSERT_NE(built, nullptr);
        auto parsed = QuarnMessageBuilder::Parse(built->Serialize());
        ASSERT_NE(parsed, nullptr);
        EXPECT_EQ(parsed->GetFrameLength(), built->GetFrameLength());
        EXPECT_EQ(parsed->GetInnerLength(), built->GetInnerLength());
        EXPECT_EQ(parsed->GetHeaderVersion(), 1);
        EXPECT_EQ(parsed->GetReferenceByte(), 63);
        EXPECT_EQ(parsed->GetReferenceId(), 63);
        EXPECT_FALSE(parsed->IsReply());
        EXPECT_EQ(parsed->GetSequenceCounter(), 0u);  // 0xFFFFFFFF + 1 wraps
        EXPECT_EQ(parsed->GetDeviceAddress(), 0x12345u);
        EXPECT_EQ(parsed->GetMessageType(), built->GetMessageType());
        // Requests carry nothing the receiving side decodes.
        EXPECT_EQ(parsed->GetPayload(), nullptr);
    }
    auto status = builder.BuildGetStatusMessage(0x100);
    auto parsed = QuarnMessageBuilder::Parse(status->Serialize());
    ASSERT_NE(parsed, nullptr);
    EXPECT_EQ(parsed->GetMessageType(), QUARN_MESSAGE_GET_STATUS);
    EXPECT_EQ(parsed->GetPayload(), nullptr);
}

TEST(QuarnMessageTest, ParseIgnoresTheCrcAndKeepsReplyFlag) {
    QuarnMessageBuilder builder(9, 12);
    auto reply = builder.BuildBaseMessage(
        0xA1B2C3D4, QUARN_MESSAGE_RESPONSE,
        std::make_unique<QuarnResponsePayload>(QUARN_RESPONSE_SEQUENCE_COUNTER_ERROR, 0x01020304));
    reply->SetReply(true);
    Bytes frame = reply->Serialize();
    ASSERT_EQ(frame.size(), 24u);
    frame[22] ^= 0xFF;  // corrupt the CRC

    auto parsed = QuarnMessageBuilder::Parse(frame);
    ASSERT_NE(parsed, nullptr);
    EXPECT_TRUE(parsed->IsReply());
    EXPECT_EQ(parsed->GetReferenceByte(), 0x80 | 12);
    EXPECT_EQ(parsed->GetReferenceId(), 12);
    EXPECT_EQ(parsed->GetSequenceCounter(), 10u);
    EXPECT_EQ(parsed->GetDeviceAddress(), 0xA1B2C3D4u);
    auto* payload = dynamic_cast<const QuarnResponsePayload*>(parsed->GetPayload());
    ASSERT_NE(payload, nullptr);
    EXPECT_EQ(payload->GetResponseCode(), QUARN_RESPONSE_SEQUENCE_COUNTER_ERROR);
    EXPECT_EQ(payload->GetSequenceCounter(), 0x01020304u);
    // Recomputed, not taken from the frame.
    EXPECT_EQ(parsed->ComputeCRC(), reply->ComputeCRC());
}

TEST(QuarnMessageTest, ParseTurnsShortFramesIntoNullWithoutThrowing) {
    QuarnMessageBuilder builder(0, 1);
    const Bytes full = builder.BuildOpenLockMessage(1, 0, 0, false)->Serialize();
    MessagesTest::NewLogText();
    const std::vector<Bytes> shortFrames{
        {},
        Bytes(full.begin(), full.begin() + 16),                                 // no type byte
        {0x13, 0xFE, 0xFD, 0x0E, 1, 0, 0, 0x81, 0, 0, 0, 1, 0, 0, 0, 1, 0x00},  // no code
        {0x13, 0xFE, 0xFD, 0x0E, 1, 0, 0, 0x81, 0, 0, 0, 1, 0, 0, 0, 1, 0x00, 0x07, 0, 0, 1},
    };
    for (const Bytes& frame : shortFrames) {
        SCOPED_TRACE(frame.size());
        std::unique_ptr<QuarnMessage> parsed;
        EXPECT_NO_THROW(parsed = QuarnMessageBuilder::Parse(frame));
        EXPECT_EQ(parsed, nullptr);
    }
    EXPECT_NE(MessagesTest::NewLogText().find(
                  "Gateway frame of 0 bytes is too short for its message type. Frame not parsed."),
              std::string::npos);
}

TEST(QuarnMessageTest, LockCommandWithEventFlagAndUndecodedEventsParseWithoutPayload) {
    for (uint8_t type : {uint8_t{0x8A}, QUARN_MESSAGE_CARD_READER_EVENT_3}) {
        Bytes frame{0x13, 0xFE, 0xFD, 0x0E, 1, 0, 0, 0x80, 0, 0, 0, 1, 0, 0, 0, 2, type, 0, 0};
        auto parsed = QuarnMessageBuilder::Parse(frame);
        ASSERT_NE(parsed, nullptr);
        EXPECT_EQ(parsed->GetMessageType(), type);
        EXPECT_EQ(parsed->GetPayload(), nullptr);
    }
}

TEST(QuarnMessageBuilderTest, NextReferenceIdCyclesThrough1To63) {
    const std::vector<std::pair<uint8_t, uint8_t>> steps{{1, 2},  {62, 63}, {63, 1}, {0, 1},
                                                         {64, 1}, {100, 1}, {255, 0}};
    for (auto [from, to] : steps) {
        QuarnMessageBuilder builder(0, from);
        builder.NextReferenceId();
        EXPECT_EQ(builder.GetReferenceId(), to) << "from " << int{from};
    }
    QuarnMessageBuilder builder(0, 1);
    for (int i = 0; i < 63 * 3; ++i) {
        builder.NextReferenceId();
        ASSERT_GE(builder.GetReferenceId(), 1);
        ASSERT_LE(builder.GetReferenceId(), 63);
    }
    EXPECT_EQ(builder.GetReferenceId(), 1);
}

TEST(QuarnMessageBuilderTest, SequenceCounterWrapsAt32Bits) {
    QuarnMessageBuilder builder(0xFFFFFFFE, 1);
    builder.IncrementSequenceCounter();
    EXPECT_EQ(builder.GetSequenceCounter(), 0xFFFFFFFFu);
    builder.IncrementSequenceCounter();
    EXPECT_EQ(builder.GetSequenceCounter(), 0u);
}

TEST(QuarnMessageBuilderTest, StampWritesTheSendersCountersAndKeepsTheReplyFlag) {
    QuarnMessageBuilder builder(41, 5);
    auto first = builder.BuildGetStatusMessage(0x100);
    auto second = builder.BuildGetStatusMessage(0x100);
    // The sender stamps each frame as it goes out, then advances.
    builder.Stamp(*first);
    builder.IncrementSequenceCounter();
    builder.NextReferenceId();
    builder.SetSequenceCounter(99);  // the gateway reported its counter meanwhile
    second->SetReply(true);
    builder.Stamp(*second);

    EXPECT_EQ(first->GetSequenceCounter(), 42u);
    EXPECT_EQ(first->GetReferenceId(), 5);
    EXPECT_EQ(second->GetSequenceCounter(), 100u);
    EXPECT_EQ(second->GetReferenceByte(), 0x80 | 6);
    const Bytes bytes = second->Serialize();
    EXPECT_EQ(Bytes(bytes.begin() + 7, bytes.begin() + 12), (Bytes{0x86, 0, 0, 0, 100}));
}

TEST(QuarnMessageBuilderTest, ReferenceIdAbove63IsLoggedAndSentAsZero) {
    MessagesTest::NewLogText();
    QuarnMessageBuilder builder(0, 64);
    auto message = builder.BuildCloseLockMessage(3, 0, false);
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(message->GetReferenceByte(), 0);
    EXPECT_EQ(message->Serialize()[7], 0);
    EXPECT_EQ(TestSupport::CountOf(MessagesTest::NewLogText(), "ReferenceID out of scope."), 1u);
}

TEST(QuarnMessageBuilderTest, PayloadThatDoesNotFitInAFrameIsRefused) {
    QuarnMessageBuilder builder(0, 1);
    // Setup number 1: card data taken as is; 3 bytes of payload head + data.
    auto largest = builder.BuildAddToWhitelistMessage(1, false, 1, 0, Bytes(233, 0xAB));
    ASSERT_NE(largest, nullptr);
    EXPECT_EQ(largest->GetFrameLength(), 255);
    EXPECT_EQ(largest->GetInnerLength(), 250);
    EXPECT_EQ(largest->Serialize().size(), 255u);

    MessagesTest::NewLogText();
    EXPECT_EQ(builder.BuildAddToWhitelistMessage(1, false, 1, 0, Bytes(234, 0xAB)), nullptr);
    EXPECT_EQ(builder.BuildRemoveFromWhitelistMessage(1, false, 0, 0, Bytes(300, 0xAB)), nullptr);
    EXPECT_NE(MessagesTest::NewLogText().find(
                  "Payload of 237 bytes does not fit in a gateway frame. Message not built."),
              std::string::npos);
}

}  // namespace
