#pragma once
// Builds the frames sent to one gateway and parses the frames it sends back.
//
// The builder holds the gateway's sequence counter (the last one the gateway is known to
// accept; a frame carries it + 1) and the reference identifier the next frame carries.
// Owned by one virtual gateway. Threads: the Build* factories and the getters may run on
// any thread; Stamp, IncrementSequenceCounter and NextReferenceId are meant for the one
// thread that sends frames; SetSequenceCounter for the thread that reads the gateway's
// answers. The counters are atomic, so none of these race.

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "messages/QuarnMessage.h"
#include "messages/QuarnMessagePayload.h"

namespace Quarn::Messages {

class QuarnMessageBuilder {
public:
    QuarnMessageBuilder(uint32_t sequenceCounter, uint8_t referenceId);
    QuarnMessageBuilder(const QuarnMessageBuilder&) = delete;
    QuarnMessageBuilder& operator=(const QuarnMessageBuilder&) = delete;

    // Adds 1 to the sequence counter (wrapping at 32 bits).
    void IncrementSequenceCounter();
    // The reference identifier becomes (id + 1) modulo 256, or 1 if that is above 63:
    // from 1 on it runs 1, 2, ..., 63, 1, ...
    void NextReferenceId();

    uint32_t GetSequenceCounter() const;
    // Adopts the counter the gateway reported.
    void SetSequenceCounter(uint32_t sequenceCounter);
    uint8_t GetReferenceId() const;

    // Writes the builder's sequence counter + 1 and its reference identifier into a frame
    // that is about to be sent (the reply flag is kept). The counters do not move; the
    // sender advances them after the send.
    void Stamp(QuarnMessage& message) const;

    // Reads a received frame (header fields and, by type, its payload). Never throws for
    // any input (allocation failure aside): a frame too short for the header or for the
    // payload its type calls for is logged at warning and yields null. The length byte,
    // magic, inner length and CRC are not checked here; the reader that cut the frame out
    // of the byte stream used the first two. Pure; safe on any thread.
    static std::unique_ptr<QuarnMessage> Parse(const std::vector<unsigned char>& frame);

    // A frame of the given type carrying payload (may be null: no payload bytes), stamped
    // with the builder's counter + 1 and reference identifier; lengths filled in from the
    // payload. Null, after an error line, when the payload does not fit in a frame
    // (more than 236 bytes). The counters do not move.
    std::unique_ptr<QuarnMessage> BuildBaseMessage(
        uint32_t deviceAddress, uint8_t messageType,
        std::unique_ptr<QuarnMessagePayload> payload) const;

    // One factory per request. eventResponse sets QUARN_MESSAGE_EVENT_RESPONSE_FLAG on the
    // type. Each returns null only where BuildBaseMessage does (whitelist card data too long
    // for a frame).
    std::unique_ptr<QuarnMessage> BuildGetStatusMessage(uint32_t deviceAddress) const;
    std::unique_ptr<QuarnMessage> BuildOpenCloseLockMessage(uint32_t deviceAddress,
                                                            uint8_t duration,
                                                            bool eventResponse) const;
    std::unique_ptr<QuarnMessage> BuildOpenLockMessage(uint32_t deviceAddress, uint16_t parameter,
                                                       uint16_t time, bool eventResponse) const;
    std::unique_ptr<QuarnMessage> BuildCloseLockMessage(uint32_t deviceAddress, uint16_t delay,
                                                        bool eventResponse) const;
    std::unique_ptr<QuarnMessage> BuildAccessDeniedMessage(uint32_t deviceAddress,
                                                           bool eventResponse) const;
    std::unique_ptr<QuarnMessage> BuildAddToWhitelistMessage(
        uint32_t deviceAddress, bool uidMode, uint8_t setupNo, uint8_t options,
        const std::vector<unsigned char>& cardData) const;
    std::unique_ptr<QuarnMessage> BuildRemoveFromWhitelistMessage(
        uint32_t deviceAddress, bool uidMode, uint8_t setupNo, uint8_t options,
        const std::vector<unsigned char>& cardData) const;
    std::unique_ptr<QuarnMessage> BuildDeleteWholeWhitelistMessage(uint32_t deviceAddress) const;
    std::unique_ptr<QuarnMessage> BuildEnableWhitelistMessage(uint32_t deviceAddress) const;
    std::unique_ptr<QuarnMessage> BuildDisableWhitelistMessage(uint32_t deviceAddress) const;

private:
    std::atomic<uint32_t> sequenceCounter_;
    std::atomic<uint8_t> referenceId_;
};

}  // namespace Quarn::Messages
