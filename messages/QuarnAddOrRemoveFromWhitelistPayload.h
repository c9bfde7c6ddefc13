#pragma once
// The payload that adds a card to, or removes it from, a lock's whitelist:
// setup number, options, data length, card data.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "messages/QuarnMessagePayload.h"

namespace Quarn::Messages {

class QuarnAddOrRemoveFromWhitelistPayload : public QuarnMessagePayload {
public:
    static constexpr uint8_t PAYLOAD_TYPE = 0;
    // Card data in UID mode always goes on the wire as this many bytes.
    static constexpr size_t UID_DATA_SIZE = 10;

    // With setupNo not 0 the card data is taken unchanged. With setupNo 0 it is converted
    // by GenerateUIDData; invalid card data (empty, or over 10 bytes in UID mode) gives a
    // payload with data length 0, which the gateway answers with an error.
    QuarnAddOrRemoveFromWhitelistPayload(bool uidMode, uint8_t setupNo, uint8_t options,
                                         const std::vector<unsigned char>& cardData);

    // The card data as it goes on the wire, or nothing when it is invalid. UID mode: the
    // 1 to 10 card bytes reversed and right-aligned in 10 bytes, zero-filled in front
    // (04 A1 B2 C3 -> 00 00 00 00 00 00 C3 B2 A1 04). Otherwise a copy.
    static std::optional<std::vector<unsigned char>> GenerateUIDData(
        bool uidMode, const std::vector<unsigned char>& cardData);

    // setupNo, options, data length (the card data's size modulo 256), then the card
    // data.
    std::vector<unsigned char> ToByteArray() const override;

private:
    uint8_t setupNo_;
    uint8_t options_;
    uint8_t dataLength_ = 0;
    std::vector<unsigned char> data_;
};

}  // namespace Quarn::Messages
