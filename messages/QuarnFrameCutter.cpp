#include "messages/QuarnFrameCutter.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <utility>

#include "messages/CRC16.h"
#include "messages/QuarnMessageTypes.h"

namespace Quarn::Messages {

namespace {

constexpr unsigned char kMagic[] = {QUARN_FRAME_MAGIC_1, QUARN_FRAME_MAGIC_2};
// The shortest frame: the header and the CRC, no payload.
constexpr size_t kMinFrameSize = QUARN_FRAME_HEADER_SIZE + QUARN_FRAME_CRC_SIZE;
// The length byte and the magic: what a frame start announcing too short a length costs.
constexpr size_t kFrameStartSize = 1 + sizeof kMagic;

bool HasValidCrc(const std::vector<unsigned char>& frame) {
    const size_t covered = frame.size() - QUARN_FRAME_CRC_SIZE;
    const uint16_t carried = static_cast<uint16_t>(frame[covered] << 8 | frame[covered + 1]);
    return CRC::CRC16::XModem({frame.begin(), frame.begin() + covered}) == carried;
}

}  // namespace

void QuarnFrameCutter::Append(std::span<const unsigned char> bytes) {
    if (start_ > 0) {
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
}

void QuarnFrameCutter::Clear() {
    pending_.clear();
    start_ = 0;
}

void QuarnFrameCutter::Discard(Cut& cut, size_t count) {
    cut.discardedBytes += count;
    start_ += count;
}

QuarnFrameCutter::Cut QuarnFrameCutter::Next(bool checkCrc) {
    Cut cut;
    for (;;) {
        const auto first = pending_.begin() + static_cast<std::ptrdiff_t>(start_);
        const auto magic = std::search(first, pending_.end(), std::begin(kMagic), std::end(kMagic));
        if (magic == pending_.end()) {
            // A length byte and the first magic byte may be the start of a frame still
            // arriving; anything before them can never become one.
            if (PendingSize() > sizeof kMagic) {
                Discard(cut, PendingSize() - sizeof kMagic);
            }
            return cut;
        }
        if (magic == first) {
            cut.misplacedMagic = true;
            Discard(cut, 1);
            continue;
        }
        // The frame starts with its length byte, just ahead of the magic.
        Discard(cut, static_cast<size_t>(magic - first) - 1);
        const size_t length = pending_[start_];
        if (length < kMinFrameSize) {
            Discard(cut, kFrameStartSize);
            continue;
        }
        if (PendingSize() < length) {
            return cut;  // the rest of the frame is still arriving
        }
        const auto frameStart = pending_.begin() + static_cast<std::ptrdiff_t>(start_);
        std::vector<unsigned char> frame(frameStart,
                                         frameStart + static_cast<std::ptrdiff_t>(length));
        start_ += length;
        if (checkCrc && !HasValidCrc(frame)) {
            cut.badCrcFrames.push_back(length);
            continue;
        }
        cut.frame = std::move(frame);
        return cut;
    }
}

}  // namespace Quarn::Messages
