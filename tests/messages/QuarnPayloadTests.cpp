#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "MessagesLog.h"
#include "messages/QuarnAddOrRemoveFromWhitelistPayload.h"
#include "messages/QuarnMessageBuilder.h"
#include "messages/QuarnMessageTypes.h"
#include "messages/QuarnReaderEventPayloads.h"
#include "messages/QuarnResponseCodes.h"
#include "messages/QuarnResponsePayload.h"
#include "tests/support/TestSupport.h"

using namespace Quarn::Messages;
using Bytes = std::vector<unsigned char>;
using Whitelist = QuarnAddOrRemoveFromWhitelistPayload;

namespace {

// A received frame: 17 header bytes of the given type, then the payload and two CRC bytes.
Bytes Frame(uint8_t type, const Bytes& payload) {
    Bytes frame{static_cast<unsigned char>(payload.size() + 19),
                0xFE,
                0xFD,
                static_cast<unsigned char>(payload.size() + 14),
                1,
                0,
                0,
                0x81,
                0,
                0,
                0,
                1,
                0,
                0,
                0,
                7,
                type};
    frame.insert(frame.end(), payload.begin(), payload.end());
    frame.insert(frame.end(), {0xCC, 0xCC});
    return frame;
}

TEST(QuarnResponsePayloadTest, CounterIsReadOnlyWithSequenceCounterError) {
    QuarnResponsePayload error(Frame(QUARN_MESSAGE_RESPONSE, {0x07, 0x00, 0x00, 0x01, 0x00}));
    EXPECT_EQ(error.GetResponseCode(), QUARN_RESPONSE_SEQUENCE_COUNTER_ERROR);
    EXPECT_EQ(error.GetSequenceCounter(), 256u);
    EXPECT_EQ(error.ToByteArray(), (Bytes{0x07, 0x00, 0x00, 0x01, 0x00}));

    QuarnResponsePayload ok(Frame(QUARN_MESSAGE_RESPONSE, {0x00, 0x00, 0x00, 0x01, 0x00}));
    EXPECT_EQ(ok.GetResponseCode(), QUARN_RESPONSE_OK);
    EXPECT_EQ(ok.GetSequenceCounter(), 0u);
    EXPECT_EQ(ok.ToByteArray(), (Bytes{0x00}));

    EXPECT_EQ(QuarnResponsePayload(QUARN_RESPONSE_NOT_IN_WHITELIST, 5).ToByteArray(),
              (Bytes{0x04}));
    // Code 7 whose counter runs into the end of the frame.
    EXPECT_THROW(QuarnResponsePayload(Bytes(Frame(QUARN_MESSAGE_RESPONSE, {0x07, 0x00}))),
                 std::out_of_range);
}

TEST(GenerateUIDDataTest, UidCardBytesAreReversedAndRightAligned) {
    EXPECT_EQ(Whitelist::GenerateUIDData(true, {0x04, 0xA1, 0xB2, 0xC3}),
              (Bytes{0, 0, 0, 0, 0, 0, 0xC3, 0xB2, 0xA1, 0x04}));
    EXPECT_EQ(Whitelist::GenerateUIDData(true, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}),
              (Bytes{10, 9, 8, 7, 6, 5, 4, 3, 2, 1}));
    EXPECT_EQ(Whitelist::GenerateUIDData(true, Bytes(11, 1)), std::nullopt);
    EXPECT_EQ(Whitelist::GenerateUIDData(true, {}), std::nullopt);
    EXPECT_EQ(Whitelist::GenerateUIDData(false, {}), std::nullopt);
    const Bytes twelve{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    EXPECT_EQ(Whitelist::GenerateUIDData(false, twelve), twelve);
}

TEST(QuarnWhitelistPayloadTest, CardDataRules) {
    const Bytes twelve{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    Whitelist copied(false, 0, 4, twelve);
    Bytes wire{0, 4, 12};
    wire.insert(wire.end(), twelve.begin(), twelve.end());
    EXPECT_EQ(copied.ToByteArray(), wire);

    // A setup number other than 0 takes the card data unchanged, UID mode or not.
    Whitelist setup(true, 3, 0, {0x04, 0xA1});
    EXPECT_EQ(setup.ToByteArray(), (Bytes{3, 0, 2, 0x04, 0xA1}));

    Whitelist uid(true, 0, 1, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    EXPECT_EQ(uid.ToByteArray(), (Bytes{0, 1, 10, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1}));

    MessagesTest::NewLogText();
    Whitelist invalid(true, 0, 1, Bytes(11, 0xEE));
    EXPECT_EQ(invalid.ToByteArray(), (Bytes{0, 1, 0}));
    const std::string log = MessagesTest::NewLogText();
    EXPECT_EQ(
        TestSupport::CountOf(log, "Invalid card data. Whitelist message cannot be processed."), 1u);
    EXPECT_EQ(TestSupport::CountOf(log, "Message card data bytes are null."), 1u);

    // The frame still goes out, with a data length of 0.
    QuarnMessageBuilder builder(0, 1);
    auto frame = builder.BuildAddToWhitelistMessage(9, true, 0, 1, Bytes(11, 0xEE));
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->Serialize().size(), 22u);
}

TEST(QuarnReaderEventTest, CardReaderFrameIsReadFieldByField) {
    const Bytes payload{0xDE, 0xAD, 0xBE, 0xEF, 0x11, 0x22, 0x33, 0x03, 0x04, 0xA1, 0x0B};
    auto parsed = QuarnMessageBuilder::Parse(Frame(QUARN_MESSAGE_CARD_READER_EVENT, payload));
    ASSERT_NE(parsed, nullptr);
    auto* card = dynamic_cast<const QuarnCardReaderMessagePayload*>(parsed->GetPayload());
    ASSERT_NE(card, nullptr);
    EXPECT_EQ(card->GetPayloadType(), '2');
    EXPECT_EQ(card->GetData(), (Bytes{0x04, 0xA1, 0x0B}));
    // Every field is written back as it was read, so the recomputed CRC matches the
    // frame's.
    EXPECT_EQ(card->ToByteArray(), payload);
}

TEST(QuarnReaderEventTest, DataLengthZeroAndDataLengthPastTheFrameEnd) {
    auto empty = QuarnMessageBuilder::Parse(
        Frame(QUARN_MESSAGE_CARD_READER_EVENT_2, {1, 2, 3, 4, 5, 6, 7, 0}));
    ASSERT_NE(empty, nullptr);
    auto* card = dynamic_cast<const QuarnCardReaderMessagePayload*>(empty->GetPayload());
    ASSERT_NE(card, nullptr);
    EXPECT_TRUE(card->GetData().empty());

    // Three data bytes announced, one present: with the two CRC bytes the frame ends
    // exactly at the last one; a fourth is past the end.
    const Bytes fits = Frame(QUARN_MESSAGE_CARD_READER_EVENT, {1, 2, 3, 4, 5, 6, 7, 3, 0x42});
    EXPECT_EQ(QuarnCardReaderMessagePayload(fits).GetData(), (Bytes{0x42, 0xCC, 0xCC}));
    const Bytes tooLong = Frame(QUARN_MESSAGE_CARD_READER_EVENT, {1, 2, 3, 4, 5, 6, 7, 4, 0x42});
    EXPECT_THROW(QuarnCardReaderMessagePayload{tooLong}, std::out_of_range);
    EXPECT_EQ(QuarnMessageBuilder::Parse(tooLong), nullptr);
    EXPECT_EQ(QuarnMessageBuilder::Parse(Frame(QUARN_MESSAGE_PINCODE_EVENT, {1, 2, 3})), nullptr);
}

TEST(QuarnReaderEventTest, PinCodeFrameRoundTripsAndLogsItsType) {
    QuarnReaderEvent event;
    event.eventHeader = {9, 8, 7, 6};
    event.data = {0x01, 0x02, 0x03, 0x04};
    QuarnMessageBuilder builder(0, 1);
    auto sent = builder.BuildBaseMessage(0x42, QUARN_MESSAGE_PINCODE_EVENT,
                                         std::make_unique<QuarnPincodeMessagePayload>(event));
    ASSERT_NE(sent, nullptr);

    MessagesTest::NewLogText();
    auto parsed = QuarnMessageBuilder::Parse(sent->Serialize());
    ASSERT_NE(parsed, nullptr);
    auto* pin = dynamic_cast<const QuarnPincodeMessagePayload*>(parsed->GetPayload());
    ASSERT_NE(pin, nullptr);
    EXPECT_EQ(pin->GetData(), event.data);
    EXPECT_EQ(parsed->ComputeCRC(), sent->ComputeCRC());
    const std::string log = MessagesTest::NewLogText();
    EXPECT_EQ(TestSupport::CountOf(log, "[QuarnPincodeMessagePayload] Payload Type: 3\n"), 1u);
    EXPECT_EQ(TestSupport::CountOf(log, "Attached payload data to message. Payload data type: 3\n"),
              1u);
}

}  // namespace
