#pragma once
// Payloads of the events a lock's reader sends: a card presented (types 0x0E, 0x0F) or a
// PIN entered (0x16). Both have the same layout:
//   offset 17: event header (4 bytes, kept in the order received)
//   21, 22, 23: three event bytes
//   24: data length
//   25..: data (the card identifier or the PIN digits)

#include <array>
#include <cstdint>
#include <vector>

#include "messages/QuarnMessagePayload.h"

namespace Quarn::Messages {

// The fields common to both reader events.
struct QuarnReaderEvent {
    std::array<unsigned char, 4> eventHeader{};
    uint8_t eventByte1 = 0;
    uint8_t eventByte2 = 0;
    uint8_t eventByte3 = 0;
    std::vector<unsigned char> data;  // as many bytes as the data length byte says

    // An empty frame gives all fields 0 and no data. Throws std::out_of_range when a
    // non-empty frame ends before a byte it reads (the CRC bytes count as frame bytes).
    static QuarnReaderEvent Read(const std::vector<unsigned char>& frame);
    // The layout above from offset 17 on; the data length is the data's size modulo 256.
    std::vector<unsigned char> ToByteArray() const;
};

class QuarnCardReaderMessagePayload : public QuarnMessagePayload {
public:
    static constexpr uint8_t PAYLOAD_TYPE = '2';

    // See QuarnReaderEvent::Read.
    explicit QuarnCardReaderMessagePayload(const std::vector<unsigned char>& frame);
    // An event to send, as a gateway does.
    explicit QuarnCardReaderMessagePayload(QuarnReaderEvent event);

    std::vector<unsigned char> ToByteArray() const override { return event_.ToByteArray(); }

    // The card identifier; empty when the data length was 0.
    const std::vector<unsigned char>& GetData() const { return event_.data; }

private:
    QuarnReaderEvent event_;
};

class QuarnPincodeMessagePayload : public QuarnMessagePayload {
public:
    static constexpr uint8_t PAYLOAD_TYPE = '3';

    // See QuarnReaderEvent::Read.
    explicit QuarnPincodeMessagePayload(const std::vector<unsigned char>& frame);
    // An event to send, as a gateway does.
    explicit QuarnPincodeMessagePayload(QuarnReaderEvent event);

    std::vector<unsigned char> ToByteArray() const override { return event_.ToByteArray(); }

    // The PIN digits; empty when the data length was 0.
    const std::vector<unsigned char>& GetData() const { return event_.data; }

private:
    QuarnReaderEvent event_;
};

}  // namespace Quarn::Messages
