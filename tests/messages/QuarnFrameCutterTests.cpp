#include "messages/QuarnFrameCutter.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "messages/QuarnMessageBuilder.h"
#include "messages/QuarnMessageTypes.h"
#include "messages/QuarnReaderEventPayloads.h"

using namespace Quarn::Messages;
using Bytes = std::vector<unsigned char>;

namespace {

// Frames of three lengths: 19 (no payload), 23 (open) and 30 (a card event).
std::vector<Bytes> SomeFrames() {
    QuarnMessageBuilder builder(41, 5);
    QuarnReaderEvent event;
    event.data = {0x04, 0xA1, 0x0B};
    return {builder.BuildGetStatusMessage(0x100)->Serialize(),
            builder.BuildOpenLockMessage(4711, 0, 300, false)->Serialize(),
            builder
                .BuildBaseMessage(4711, QUARN_MESSAGE_CARD_READER_EVENT,
                                  std::make_unique<QuarnCardReaderMessagePayload>(event))
                ->Serialize()};
}

Bytes Join(const std::vector<Bytes>& parts) {
    Bytes joined;
    for (const Bytes& part : parts) {
        joined.insert(joined.end(), part.begin(), part.end());
    }
    return joined;
}

// What the cutter made of the reads: the frames, and the totals it reported on the way.
struct Outcome {
    std::vector<Bytes> frames;
    size_t discardedBytes = 0;
    int misplacedMagics = 0;
    std::vector<size_t> badCrcFrames;
};

Outcome Feed(QuarnFrameCutter& cutter, const std::vector<Bytes>& reads, bool checkCrc = true) {
    Outcome outcome;
    for (const Bytes& read : reads) {
        cutter.Append(read);
        for (;;) {
            QuarnFrameCutter::Cut cut = cutter.Next(checkCrc);
            outcome.discardedBytes += cut.discardedBytes;
            outcome.misplacedMagics += cut.misplacedMagic ? 1 : 0;
            outcome.badCrcFrames.insert(outcome.badCrcFrames.end(), cut.badCrcFrames.begin(),
                                        cut.badCrcFrames.end());
            if (cut.frame.empty()) {
                break;
            }
            outcome.frames.push_back(cut.frame);
        }
    }
    return outcome;
}

TEST(QuarnFrameCutterTest, AStreamSplitAnywhereGivesTheSameFrames) {
    const std::vector<Bytes> frames = SomeFrames();
    const Bytes stream = Join(frames);
    for (size_t split = 0; split <= stream.size(); ++split) {
        QuarnFrameCutter cutter;
        Outcome outcome = Feed(cutter, {Bytes(stream.begin(), stream.begin() + split),
                                        Bytes(stream.begin() + split, stream.end())});
        EXPECT_EQ(outcome.frames, frames) << split;
        EXPECT_EQ(outcome.discardedBytes, 0u) << split;
    }
}

TEST(QuarnFrameCutterTest, BytesThatCanNeverStartAFrameAreDiscardedAndCounted) {
    const std::vector<Bytes> frames = SomeFrames();
    QuarnFrameCutter cutter;
    // Two stray bytes; a magic at the very start; a frame start announcing 5 bytes, less
    // than the shortest frame.
    Outcome outcome = Feed(cutter, {Join({{0x01, 0x02}, frames[0]}),
                                    Join({{0xFE, 0xFD, 0x05, 0xFE, 0xFD}, frames[1]})});
    EXPECT_EQ(outcome.frames, (std::vector<Bytes>{frames[0], frames[1]}));
    EXPECT_EQ(outcome.discardedBytes, 2u + 5u);
    EXPECT_EQ(outcome.misplacedMagics, 1);

    // Without any magic only the last two bytes are kept: a length byte and a first magic
    // byte whose frame is still arriving.
    Bytes garbage(10, 0x55);
    garbage.push_back(frames[2][0]);
    garbage.push_back(frames[2][1]);
    outcome = Feed(cutter, {garbage, Bytes(frames[2].begin() + 2, frames[2].end())});
    EXPECT_EQ(outcome.frames, std::vector<Bytes>{frames[2]});
    EXPECT_EQ(outcome.discardedBytes, 10u);

    // A frame cut short by a lost connection does not swallow the next one's bytes.
    Feed(cutter, {Bytes(frames[1].begin(), frames[1].begin() + 10)});
    cutter.Clear();
    EXPECT_EQ(Feed(cutter, {frames[0]}).frames, std::vector<Bytes>{frames[0]});
}

TEST(QuarnFrameCutterTest, AFrameWithAWrongCrcIsDroppedOnlyWhenChecked) {
    const std::vector<Bytes> frames = SomeFrames();
    Bytes broken = frames[2];
    broken.back() ^= 0xFF;
    QuarnFrameCutter cutter;
    Outcome outcome = Feed(cutter, {Join({broken, frames[0]})});
    EXPECT_EQ(outcome.frames, std::vector<Bytes>{frames[0]});
    EXPECT_EQ(outcome.badCrcFrames, std::vector<size_t>{broken.size()});
    EXPECT_EQ(outcome.discardedBytes, 0u);

    outcome = Feed(cutter, {Join({broken, frames[0]})}, false);
    EXPECT_EQ(outcome.frames, (std::vector<Bytes>{broken, frames[0]}));
    EXPECT_TRUE(outcome.badCrcFrames.empty());
}

}  // namespace
