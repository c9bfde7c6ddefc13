#include "messages/QuarnAddOrRemoveFromWhitelistPayload.h"

#include <algorithm>
#include <utility>

#include "diagnostics/HexBytes.h"
#include "diagnostics/Log.h"

namespace Quarn::Messages {

QuarnAddOrRemoveFromWhitelistPayload::QuarnAddOrRemoveFromWhitelistPayload(
    bool uidMode, uint8_t setupNo, uint8_t options, const std::vector<unsigned char>& cardData)
    : QuarnMessagePayload(PAYLOAD_TYPE), setupNo_(setupNo), options_(options) {
    if (setupNo != 0) {
        data_ = cardData;
        dataLength_ = static_cast<uint8_t>(cardData.size());
        return;
    }
    std::optional<std::vector<unsigned char>> data = GenerateUIDData(uidMode, cardData);
    if (!data) {
        LOG_WARNING << "Message card data bytes are null. This means no valid data was "
                       "provided. Whitelist message payload will be filled with dummy data, "
                       "so Quarn Gateway will return a correlated error for the request.";
        return;
    }
    data_ = std::move(*data);
    dataLength_ = static_cast<uint8_t>(data_.size());
}

std::optional<std::vector<unsigned char>> QuarnAddOrRemoveFromWhitelistPayload::GenerateUIDData(
    bool uidMode, const std::vector<unsigned char>& cardData) {
    if (cardData.empty()) {
        LOG_ERROR << "Whitelist card UUID vector is empty. Cannot request message.";
        return std::nullopt;
    }
    if (!uidMode) {
        LOG_DEBUG << "Card data is not UID mode. So the data will be simply copied.";
        return cardData;
    }
    if (cardData.size() > UID_DATA_SIZE) {
        LOG_WARNING << "Invalid card data. Whitelist message cannot be processed.";
        return std::nullopt;
    }
    LOG_DEBUG << "Card data is of valid dimension for UID mode. The data will be simply copied.";
    // Reversed and right-aligned: the last card byte lands at 10 - n, the first at 9.
    std::vector<unsigned char> uid(UID_DATA_SIZE, 0);
    std::copy(cardData.rbegin(), cardData.rend(),
              uid.end() - static_cast<std::ptrdiff_t>(cardData.size()));
    if (cardData.size() == UID_DATA_SIZE) {
        LOG_DEBUG << "Card data is of UID mode length. A simple copy of the data will be done.";
    } else {
        LOG_DEBUG << "The data isn't of UID mode length. It will be zero filled.";
        LOG_DEBUG << "The card data converted in QUARN Message data is "
                  << Diagnostics::HexBytes(uid, Diagnostics::HexStyle::LowerSpaced);
    }
    return uid;
}

std::vector<unsigned char> QuarnAddOrRemoveFromWhitelistPayload::ToByteArray() const {
    std::vector<unsigned char> bytes;
    bytes.reserve(3 + data_.size());
    bytes.push_back(setupNo_);
    bytes.push_back(options_);
    bytes.push_back(dataLength_);
    bytes.insert(bytes.end(), data_.begin(), data_.end());
    return bytes;
}

}  // namespace Quarn::Messages
