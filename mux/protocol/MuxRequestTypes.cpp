#include "mux/protocol/MuxRequestTypes.h"

#include <algorithm>
#include <limits>
#include <string>
#include <string_view>

#include "mux/protocol/JsonMembers.h"
#include "mux/protocol/MuxMessageBuilder.h"
#include "mux/protocol/MuxMessageCodes.h"

namespace Mux {
namespace {

using Json::IntegerMember;
using Json::ReadInteger;
using Severity = MuxParseNote::Severity;

// Any lock a gateway may serve; status and access-denied requests name a 16-bit device
// address.
constexpr int32_t kAnyLock = std::numeric_limits<int32_t>::max();
constexpr int32_t kDeviceAddress = std::numeric_limits<uint16_t>::max();

// The lock a request addresses: "gatewayID" a signed 32-bit integer (a configured gateway's
// "ID"), "lockID" a device address from 0 to the type's largest; each 0 when absent. False,
// with an error noted, when either is present but unusable: the request is then refused.
bool ReadLockAddress(const MuxRequestType& type, const rapidjson::Value& data, int32_t& gatewayID,
                     int32_t& lockID, MuxParseNotes& notes) {
    if (ReadInteger(data, "gatewayID", gatewayID) == IntegerMember::unusable) {
        notes.push_back({Severity::error, "Cannot parse gateway ID for current message."});
        return false;
    }
    if (ReadInteger(data, "lockID", lockID, 0, type.highestLockID) == IntegerMember::unusable) {
        notes.push_back({Severity::error, "Cannot parse lock ID for current message."});
        return false;
    }
    return true;
}

// A request that carries nothing but its lock address.
template <class Payload>
std::unique_ptr<MuxMessagePayloadBase> ParseLockAddressMessage(const MuxRequestType& type,
                                                               rapidjson::Document& data,
                                                               MuxParseNotes& notes) {
    int32_t gatewayID = 0;
    int32_t lockID = 0;
    if (!ReadLockAddress(type, data, gatewayID, lockID, notes)) {
        return nullptr;
    }
    return std::make_unique<Payload>(gatewayID, lockID);
}

std::unique_ptr<MuxMessagePayloadBase> ParseLockOpenCloseMessage(const MuxRequestType& type,
                                                                 rapidjson::Document& data,
                                                                 MuxParseNotes& notes) {
    int32_t gatewayID = 0;
    int32_t lockID = 0;
    if (!ReadLockAddress(type, data, gatewayID, lockID, notes)) {
        return nullptr;
    }
    uint8_t duration = 0;
    if (ReadInteger(data, "duration", duration) == IntegerMember::unusable) {
        notes.push_back({Severity::error, "Cannot parse duration for current message."});
        return nullptr;
    }
    return std::make_unique<MuxLockOpenCloseMessagePayload>(gatewayID, lockID, duration);
}

// A one-byte setting of a whitelist entry, 0 when absent; false when present but unusable.
bool ReadEntrySetting(const rapidjson::Value& data, const char* name, uint8_t& setting,
                      const char* absentText, const char* unusableText, MuxParseNotes& notes) {
    switch (ReadInteger(data, name, setting)) {
        case IntegerMember::absent:
            notes.push_back({Severity::info, absentText});
            return true;
        case IntegerMember::unusable:
            notes.push_back({Severity::error, unusableText});
            return false;
        case IntegerMember::read:
            return true;
    }
    return false;
}

// Adding a card to a whitelist and removing it read the same members. An unusable
// "cardData" or "isUIDCard" falls back to its default; no card bytes refuse the request.
std::unique_ptr<MuxMessagePayloadBase> ParseWhitelistSetMessage(const MuxRequestType& type,
                                                                rapidjson::Document& data,
                                                                MuxParseNotes& notes) {
    int32_t gatewayID = 0;
    int32_t lockID = 0;
    if (!ReadLockAddress(type, data, gatewayID, lockID, notes)) {
        return nullptr;
    }
    uint8_t setupNumber = 0;
    uint8_t options = 0;
    if (!ReadEntrySetting(data, "setupNumber", setupNumber,
                          "Current whitelist message doesn't contain a Setup Number value. Will be "
                          "set to default (0)",
                          "Cannot parse setup number for current message.", notes) ||
        !ReadEntrySetting(data, "options", options,
                          "Current whitelist message doesn't contain an Options value. Will be set "
                          "to default (0)",
                          "Cannot parse options value for current message.", notes)) {
        return nullptr;
    }
    std::vector<unsigned char> cardData;
    if (const rapidjson::Value* value = Json::Member(data, "cardData")) {
        if (value->IsString()) {
            cardData = MuxMessageBuilder::DecodeCardData(
                std::string_view(value->GetString(), value->GetStringLength()));
        } else {
            notes.push_back({Severity::warning, "Card data value is not in the attended format."});
        }
    } else {
        notes.push_back({Severity::error,
                         "Received a Mux Set Whitelist payload, but the card data is nullptr"});
    }
    bool isUIDCard = false;
    if (const rapidjson::Value* value = Json::Member(data, "isUIDCard")) {
        if (value->IsBool()) {
            isUIDCard = value->GetBool();
        } else {
            notes.push_back({Severity::warning,
                             "Card data type is not in a valid format. Will be used default value "
                             "(false)"});
        }
    } else {
        notes.push_back(
            {Severity::error, "Card data type is not specified. Default su IsUIDCard false"});
    }
    if (cardData.empty()) {
        notes.push_back({Severity::error,
                         "Cannot determine card data in whitelist message. Unrecoverable error"});
        return nullptr;
    }
    notes.push_back({Severity::debug, "Finished parsing whitelist message payload."});
    return std::make_unique<MuxWhitelistSetPayload>(std::move(cardData), gatewayID, lockID,
                                                    setupNumber, options, isUIDCard);
}

// The configuration a client sent is kept whole, as it came.
std::unique_ptr<MuxMessagePayloadBase> ParseConfigureMessage(const MuxRequestType&,
                                                             rapidjson::Document& data,
                                                             MuxParseNotes&) {
    return std::make_unique<MuxConfigureMessagePayload>(std::move(data));
}

// A whitelist entry request as a client sends it. lockhub's own whitelist payload writes
// only the lock's address; the request also carries the card and its settings.
class WhitelistEntryRequest : public MuxWhitelistSetPayload {
public:
    using MuxWhitelistSetPayload::MuxWhitelistSetPayload;

    rapidjson::Value ToJSONObject(rapidjson::Document& document) const override {
        rapidjson::Value object = MuxWhitelistSetPayload::ToJSONObject(document);
        auto& allocator = document.GetAllocator();
        object.AddMember("setupNumber", static_cast<int>(setupNumber), allocator);
        object.AddMember("options", static_cast<int>(options), allocator);
        std::string hex = HexText();
        object.AddMember("cardData", rapidjson::Value(hex.c_str(), allocator), allocator);
        object.AddMember("isUIDCard", isUIDCard, allocator);
        return object;
    }

private:
    std::string HexText() const {
        static constexpr char kDigits[] = "0123456789ABCDEF";
        std::string text;
        for (unsigned char byte : cardData) {
            text += kDigits[byte >> 4];
            text += kDigits[byte & 0x0F];
        }
        return text;
    }
};

template <class Payload>
std::unique_ptr<MuxMessagePayloadBase> BuildLockAddressRequest(const MuxRequestValues& values) {
    return std::make_unique<Payload>(values.gatewayID, values.lockID);
}

std::unique_ptr<MuxMessagePayloadBase> BuildLockOpenCloseRequest(const MuxRequestValues& values) {
    return std::make_unique<MuxLockOpenCloseMessagePayload>(values.gatewayID, values.lockID,
                                                            values.duration);
}

std::unique_ptr<MuxMessagePayloadBase> BuildWhitelistEntryRequest(const MuxRequestValues& values) {
    return std::make_unique<WhitelistEntryRequest>(values.cardData, values.gatewayID, values.lockID,
                                                   values.setupNumber, values.options,
                                                   values.isUIDCard);
}

constexpr MuxRequestType kRequestTypes[] = {
    {.code = MUX_MESSAGE_LOCK_OPEN,
     .name = "LOCK OPEN",
     .kind = "open",
     .highestLockID = kAnyLock,
     .read = ParseLockAddressMessage<MuxLockOpenMessagePayload>,
     .build = BuildLockAddressRequest<MuxLockOpenMessagePayload>,
     .command = "open",
     .summary = "open a lock"},
    {.code = MUX_MESSAGE_EVENT_LOCK_OPEN,
     .name = "LOCK OPEN EVENT RESPONSE",
     .kind = "open",
     .answersEvent = true,
     .highestLockID = kAnyLock,
     .read = ParseLockAddressMessage<MuxLockOpenMessagePayload>,
     .build = BuildLockAddressRequest<MuxLockOpenMessagePayload>,
     .command = "open"},
    {.code = MUX_MESSAGE_LOCK_CLOSE,
     .name = "LOCK CLOSE",
     .kind = "close",
     .highestLockID = kAnyLock,
     .read = ParseLockAddressMessage<MuxLockCloseMessagePayload>,
     .build = BuildLockAddressRequest<MuxLockCloseMessagePayload>,
     .command = "close",
     .summary = "close a lock"},
    {.code = MUX_MESSAGE_EVENT_LOCK_CLOSE,
     .name = "LOCK CLOSE EVENT RESPONSE",
     .kind = "close",
     .answersEvent = true,
     .highestLockID = kAnyLock,
     .read = ParseLockAddressMessage<MuxLockCloseMessagePayload>,
     .build = BuildLockAddressRequest<MuxLockCloseMessagePayload>,
     .command = "close"},
    {.code = MUX_MESSAGE_LOCK_OPEN_CLOSE,
     .name = "LOCK OPEN-CLOSE",
     .kind = "open",
     .highestLockID = kAnyLock,
     .members = kDurationMember,
     .read = ParseLockOpenCloseMessage,
     .build = BuildLockOpenCloseRequest,
     .command = "open-close",
     .summary = "open a lock for --duration seconds"},
    {.code = MUX_MESSAGE_EVENT_LOCK_OPEN_CLOSE,
     .name = "LOCK OPEN-CLOSE EVENT RESPONSE",
     .kind = "open",
     .answersEvent = true,
     .highestLockID = kAnyLock,
     .members = kDurationMember,
     .read = ParseLockOpenCloseMessage,
     .build = BuildLockOpenCloseRequest,
     .command = "open-close"},
    {.code = MUX_MESSAGE_LOCK_GET_STATUS,
     .name = "LOCK GET-STATUS",
     .kind = "status",
     .highestLockID = kDeviceAddress,
     .read = ParseLockAddressMessage<MuxGetLockStatusMessagePayload>,
     .build = BuildLockAddressRequest<MuxGetLockStatusMessagePayload>,
     .command = "status",
     .summary = "read a lock's status"},
    {.code = MUX_MESSAGE_ACCESS_DENIED,
     .name = "ACCESS DENIED",
     .kind = "denied",
     .highestLockID = kDeviceAddress,
     .read = ParseLockAddressMessage<MuxAccessDeniedMessagePayload>,
     .build = BuildLockAddressRequest<MuxAccessDeniedMessagePayload>,
     .command = "access-denied",
     .summary = "signal access denied at a lock"},
    {.code = MUX_MESSAGE_EVENT_ACCESS_DENIED,
     .name = "EVENT ACCESS DENIED",
     .kind = "denied",
     .answersEvent = true,
     .highestLockID = kDeviceAddress,
     .read = ParseLockAddressMessage<MuxAccessDeniedMessagePayload>,
     .build = BuildLockAddressRequest<MuxAccessDeniedMessagePayload>,
     .command = "access-denied"},
    {.code = MUX_MESSAGE_LOCK_WHITELIST_SET,
     .name = "WHITELIST SET",
     .kind = "whitelist",
     .highestLockID = kAnyLock,
     .members = kCardMembers | kCardOptionsMember,
     .read = ParseWhitelistSetMessage,
     .build = BuildWhitelistEntryRequest,
     .command = "whitelist-add",
     .summary = "add a card to a lock's whitelist"},
    // Reads "options" as an addition does, but removing an entry does not use it.
    {.code = MUX_MESSAGE_LOCK_WHITELIST_REMOVE,
     .kind = "whitelist",
     .highestLockID = kAnyLock,
     .members = kCardMembers,
     .read = ParseWhitelistSetMessage,
     .build = BuildWhitelistEntryRequest,
     .command = "whitelist-remove",
     .summary = "remove a card from a lock's whitelist"},
    {.code = MUX_MESSAGE_CLEAR_WHITELIST,
     .name = "WHITELIST CLEAR",
     .kind = "whitelist",
     .highestLockID = kAnyLock,
     .read = ParseLockAddressMessage<MuxWhitelistClearPayload>,
     .build = BuildLockAddressRequest<MuxWhitelistClearPayload>,
     .command = "whitelist-clear",
     .summary = "delete a lock's whole whitelist"},
    {.code = MUX_MESSAGE_ENABLE_WHITELIST,
     .name = "WHITELIST ENABLE",
     .kind = "whitelist",
     .highestLockID = kAnyLock,
     .read = ParseLockAddressMessage<MuxWhitelistEnablePayload>,
     .build = BuildLockAddressRequest<MuxWhitelistEnablePayload>,
     .command = "whitelist-enable",
     .summary = "switch a lock's whitelist on"},
    {.code = MUX_MESSAGE_DISABLE_WHITELIST,
     .name = "WHITELIST DISABLE",
     .kind = "whitelist",
     .highestLockID = kAnyLock,
     .read = ParseLockAddressMessage<MuxWhitelistDisablePayload>,
     .build = BuildLockAddressRequest<MuxWhitelistDisablePayload>,
     .command = "whitelist-disable",
     .summary = "switch a lock's whitelist off"},
    // Not supported: read without a payload and refused.
    {.code = MUX_MESSAGE_GET_WHITELIST, .name = "WHITELIST GET", .kind = "whitelist"},
    // Read, but never applied.
    {.code = MUX_MESSAGE_CONFIGURE, .read = ParseConfigureMessage},
};

}  // namespace

std::span<const MuxRequestType> RequestTypes() {
    return kRequestTypes;
}

const MuxRequestType* FindRequestType(int code) {
    const MuxRequestType* type =
        std::find_if(std::begin(kRequestTypes), std::end(kRequestTypes),
                     [code](const MuxRequestType& candidate) { return candidate.code == code; });
    return type == std::end(kRequestTypes) ? nullptr : type;
}

}  // namespace Mux
