#pragma once
// Cuts gateway frames out of the byte stream of one connection. A frame starts with its
// length byte, followed by the magic 0xFE 0xFD; its last two bytes are the CRC of all
// before them. Bytes that can never start a frame are discarded, so that stray bytes do
// not hold the frames behind them back; what may still become a frame waits for the next
// bytes. Nothing is logged here: each call reports what it threw away, and the caller
// writes its own lines.
//
// Not thread-safe: used by the one thread that reads the connection.

#include <cstddef>
#include <span>
#include <vector>

namespace Quarn::Messages {

class QuarnFrameCutter {
public:
    // The outcome of one call of Next: the frame, and what was thrown away before it.
    struct Cut {
        // One whole frame, length byte to CRC; empty when none is at hand yet.
        std::vector<unsigned char> frame;
        // A magic stood at the very start, with no length byte before it.
        bool misplacedMagic = false;
        // Bytes discarded because they can never start a frame (a misplaced magic's byte
        // and a frame start announcing a length below the shortest frame included).
        size_t discardedBytes = 0;
        // The lengths of the whole frames dropped for a wrong CRC, in stream order.
        std::vector<size_t> badCrcFrames;
    };

    // Adds the bytes of one read after those still waiting.
    void Append(std::span<const unsigned char> bytes);
    // Takes the next whole frame out of the bytes at hand. checkCrc: a frame whose CRC
    // is wrong is dropped and the search goes on behind it.
    Cut Next(bool checkCrc);
    // Forgets every waiting byte (the connection they came from is gone).
    void Clear();

private:
    size_t PendingSize() const { return pending_.size() - start_; }
    void Discard(Cut& cut, size_t count);

    // Bytes before start_ were taken already; they are erased at the next Append, so
    // cutting a run of frames moves the rest only once.
    std::vector<unsigned char> pending_;
    size_t start_ = 0;
};

}  // namespace Quarn::Messages
