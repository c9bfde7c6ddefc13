#include "mux/protocol/MuxPacket.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
using Mux::MuxPacket;

Bytes BytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// A packet whose length field counts the whole packet.
Bytes MakePacket(const std::string& json) {
    size_t length = json.size() + 6;
    return BytesOf(std::string{static_cast<char>(length & 0xFF), static_cast<char>(length >> 8)} +
                   "MUXM" + json);
}

TEST(MuxPacket, RecognisesOnlyALengthAndTheMagic) {
    EXPECT_TRUE(MuxPacket::IsMuxPacket(MakePacket("{}")));
    EXPECT_TRUE(MuxPacket::IsMuxPacket(MakePacket("")));
    // The length field is not checked against the size, only against 0.
    EXPECT_TRUE(MuxPacket::IsMuxPacket(BytesOf(std::string("\x01\x00MUXM", 6))));
    EXPECT_FALSE(MuxPacket::IsMuxPacket(BytesOf(std::string("\x00\x00MUXM{}", 8))));
    EXPECT_FALSE(MuxPacket::IsMuxPacket(BytesOf(std::string("\x08\x00MUXm{}", 8))));
    EXPECT_FALSE(MuxPacket::IsMuxPacket(BytesOf(std::string("\x05\x00MUX", 5))));
    EXPECT_FALSE(MuxPacket::IsMuxPacket(Bytes{0x06}));
    EXPECT_FALSE(MuxPacket::IsMuxPacket(Bytes{}));
}

TEST(MuxPacket, TextEndsAtTheFirstZeroByte) {
    MuxPacket packet(MakePacket(std::string("{\"a\":1}\0tail", 12)));
    EXPECT_EQ(packet.GetPacketLength(), 18);
    EXPECT_EQ(packet.GetPayloadString(), "{\"a\":1}");
    Bytes payload = BytesOf(std::string("{\"a\":1}\0tail\0", 13));
    EXPECT_EQ(packet.GetPayload(), payload);
}

TEST(MuxPacket, StaysEmptyForOtherBytes) {
    MuxPacket packet(BytesOf(std::string("\x08\x00XXXX{}", 8)));
    EXPECT_EQ(packet.GetPacketLength(), 0);
    EXPECT_TRUE(packet.GetPayload().empty());
    EXPECT_TRUE(packet.GetPayloadString().empty());
}

}  // namespace
