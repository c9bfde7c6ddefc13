#include "mux/protocol/MuxRequestTypes.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "mux/protocol/MuxMessageBuilder.h"
#include "mux/protocol/MuxMessageCodes.h"

namespace {

using namespace Mux;

// What lockhub reads back from the text a client built for the type with these values.
std::unique_ptr<MuxMessage> SendAndRead(const MuxRequestType& type, const MuxRequestValues& values,
                                        MuxParseNotes& notes) {
    std::string text =
        MuxMessageBuilder::BuildMessage(type.code, "id", type.build(values))->ToJSON();
    return MuxMessageBuilder::Build(text, &notes);
}

// lockctl builds its requests with the protocol's builders: every member a request uses must
// reach lockhub's reader as the client gave it, up to the largest lock the request takes.
TEST(MuxRequestTypes, WhatAClientBuildsIsReadBackAsBuilt) {
    MuxRequestValues values;
    values.gatewayID = -7;
    values.duration = 255;
    values.cardData = {0x04, 0xA1, 0x0B};
    values.setupNumber = 3;
    values.options = 1;
    values.isUIDCard = true;
    size_t offered = 0;
    for (const MuxRequestType& type : RequestTypes()) {
        if (type.build == nullptr) {
            continue;
        }
        ++offered;
        values.lockID = type.highestLockID;
        MuxParseNotes notes;
        auto message = SendAndRead(type, values, notes);
        ASSERT_NE(message, nullptr) << type.code;
        EXPECT_EQ(message->GetMessageCode(), type.code);
        if (!type.addressesLock) {
            EXPECT_EQ(message->GetPayload(), nullptr) << type.code;
            continue;
        }
        ASSERT_NE(message->GetPayload(), nullptr) << type.code;
        const MuxLockAddressPayload* address = message->GetPayload()->GetLockAddress();
        ASSERT_NE(address, nullptr) << type.code;
        EXPECT_EQ(address->gatewayID, -7) << type.code;
        EXPECT_EQ(address->lockID, type.highestLockID) << type.code;
        if (type.members & kDurationMember) {
            EXPECT_EQ(message->GetPayloadAs<MuxLockOpenCloseMessagePayload>()->duration, 255);
        }
        if (type.members & kCardMembers) {
            auto* card = message->GetPayloadAs<MuxWhitelistSetPayload>();
            ASSERT_NE(card, nullptr) << type.code;
            EXPECT_EQ(card->cardData, values.cardData);
            EXPECT_EQ(card->setupNumber, 3);
            EXPECT_TRUE(card->isUIDCard);
            EXPECT_EQ(card->options, values.options);
        }
        for (const MuxParseNote& note : notes) {
            EXPECT_EQ(note.severity, MuxParseNote::Severity::debug) << type.code << note.text;
        }
    }
    EXPECT_EQ(offered, 16u);
}

TEST(MuxRequestTypes, ALockBeyondTheLargestTheRequestTakesIsRefused) {
    for (const MuxRequestType& type : RequestTypes()) {
        if (type.build == nullptr || type.highestLockID == std::numeric_limits<int32_t>::max()) {
            continue;
        }
        MuxRequestValues values;
        values.lockID = type.highestLockID + 1;
        MuxParseNotes notes;
        auto message = SendAndRead(type, values, notes);
        ASSERT_NE(message, nullptr);
        EXPECT_EQ(message->GetPayload(), nullptr) << type.code;
        ASSERT_EQ(notes.size(), 1u);
        EXPECT_STREQ(notes[0].text, "Cannot parse lock ID for current message.");
    }
}

TEST(MuxRequestTypes, OnlyRequestsLockhubReadsHaveATypeAndEachTypeOneCode) {
    for (int code :
         std::initializer_list<int>{MUX_MESSAGE_ACK, MUX_MESSAGE_NACK, MUX_MESSAGE_ACCESS_ALLOWED,
                                    MUX_MESSAGE_EVENT_CARD_READER, MUX_MESSAGE_EVENT_INFO, 99}) {
        EXPECT_EQ(FindRequestType(code), nullptr) << code;
    }
    for (const MuxRequestType& type : RequestTypes()) {
        EXPECT_EQ(FindRequestType(type.code), &type);
    }
}

}  // namespace
