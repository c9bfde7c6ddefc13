#include "net/PacketCutter.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
using Quarn::Net::PacketCutter;

// A packet of the given total length: length prefix, "MUXM", then fill bytes.
Bytes MakePacket(size_t length, unsigned char fill) {
    Bytes packet{static_cast<unsigned char>(length & 0xFF),
                 static_cast<unsigned char>(length >> 8),
                 'M',
                 'U',
                 'X',
                 'M'};
    packet.resize(length, fill);
    return packet;
}

Bytes Join(const Bytes& first, const Bytes& second) {
    Bytes joined = first;
    joined.insert(joined.end(), second.begin(), second.end());
    return joined;
}

// Feeds one read and returns every packet it completed.
std::vector<Bytes> Feed(PacketCutter& cutter, const Bytes& read) {
    cutter.Append(read.data(), read.size());
    std::vector<Bytes> packets;
    while (auto packet = cutter.Next()) {
        packets.push_back(*packet);
    }
    return packets;
}

TEST(PacketCutter, ReadsTheLengthLowByteFirst) {
    const unsigned char bytes[] = {0x34, 0x12, 0xFF};
    EXPECT_EQ(PacketCutter::GetExpectedSize(bytes, 3), 0x1234);
    EXPECT_EQ(PacketCutter::GetExpectedSize(bytes, 1), 0);
    EXPECT_EQ(PacketCutter::GetExpectedSize(bytes, 0), 0);
}

TEST(PacketCutter, CutsEveryWholePacketOfOneReadInOrderAndKeepsTheRest) {
    PacketCutter cutter;
    Bytes first = MakePacket(20, 'a');
    Bytes second = MakePacket(6, 'b');
    Bytes third = MakePacket(40, 'c');
    Bytes read = Join(Join(first, second), Bytes(third.begin(), third.begin() + 15));

    EXPECT_EQ(Feed(cutter, read), (std::vector<Bytes>{first, second}));
    EXPECT_EQ(cutter.PendingSize(), 15u);
    EXPECT_EQ(cutter.ExpectedSize(), 40);
    EXPECT_EQ(Feed(cutter, Bytes(third.begin() + 15, third.end())), std::vector<Bytes>{third});
    EXPECT_EQ(cutter.PendingSize(), 0u);
}

TEST(PacketCutter, CompletesAPacketSplitAnywhere) {
    Bytes big = MakePacket(1500, 'x');
    for (size_t split : {size_t{1}, size_t{2}, size_t{6}, size_t{1024}, size_t{1499}}) {
        PacketCutter cutter;
        EXPECT_TRUE(Feed(cutter, Bytes(big.begin(), big.begin() + split)).empty()) << split;
        EXPECT_EQ(Feed(cutter, Bytes(big.begin() + split, big.end())), std::vector<Bytes>{big})
            << split;
    }
    // Over three reads, the length field itself split between the first two.
    PacketCutter cutter;
    EXPECT_TRUE(Feed(cutter, Bytes(big.begin(), big.begin() + 1)).empty());
    EXPECT_TRUE(Feed(cutter, Bytes(big.begin() + 1, big.begin() + 700)).empty());
    EXPECT_EQ(Feed(cutter, Join(Bytes(big.begin() + 700, big.end()), MakePacket(8, 'y'))),
              (std::vector<Bytes>{big, MakePacket(8, 'y')}));
}

TEST(PacketCutter, DropsWaitingBytesWhoseLengthCannotBeAPacket) {
    for (size_t length : {size_t{0}, size_t{1}, size_t{5}}) {
        PacketCutter cutter;
        Bytes good = MakePacket(10, 'g');
        Bytes bad = {static_cast<unsigned char>(length), 0, 'M', 'U', 'X', 'M', 'z', 'z'};
        // What came before the bad length is still delivered; the bad bytes never are,
        // and the next read starts clean.
        EXPECT_EQ(Feed(cutter, Join(good, bad)), std::vector<Bytes>{good}) << length;
        EXPECT_EQ(cutter.PendingSize(), 0u) << length;
        EXPECT_EQ(Feed(cutter, good), std::vector<Bytes>{good}) << length;
    }
}

TEST(PacketCutter, WaitsForTheLargestPacket) {
    PacketCutter cutter;
    Bytes largest = MakePacket(65535, 'L');
    for (size_t offset = 0; offset + 1024 < largest.size(); offset += 1024) {
        ASSERT_TRUE(
            Feed(cutter, Bytes(largest.begin() + offset, largest.begin() + offset + 1024)).empty());
    }
    size_t rest = largest.size() % 1024;
    EXPECT_EQ(Feed(cutter, Bytes(largest.end() - rest, largest.end())),
              std::vector<Bytes>{largest});
}

}  // namespace
