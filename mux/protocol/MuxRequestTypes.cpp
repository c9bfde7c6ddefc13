#include "mux/protocol/MuxRequestTypes.h"

#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "diagnostics/HexBytes.h"
#include "mux/protocol/JsonMembers.h"
#include "mux/protocol/MuxMessageBuilder.h"
#include "mux/protocol/MuxMessageCodes.h"

namespace Mux {
namespace {

using Json::IntegerMember;
using Json::ReadInteger;
using Severity = MuxParseNote::Severity;

// The lock of status and access-denied requests is a 16-bit device address.
constexpr int32_t kDeviceAddress = std::numeric_limits<uint16_t>::max();

struct LockAddress {
    int32_t gatewayID = 0;
    int32_t lockID = 0;
};

// The lock a request addresses: "gatewayID" a signed 32-bit integer (a configured gateway's
// "ID"), "lockID" a device address from 0 to the type's largest; each 0 when absent. None,
// with an error noted, when either is present but unusable: the request is then refused.
std::optional<LockAddress> ReadLockAddress(const MuxRequestType& type, const rapidjson::Value& data,
                                           MuxParseNotes& notes) {
    LockAddress address;
    if (ReadInteger(data, "gatewayID", address.gatewayID) == IntegerMember::unusable) {
        notes.push_back({Severity::error, "Cannot parse gateway ID for current message."});
        return std::nullopt;
    }
    if (ReadInteger(data, "lockID", address.lockID, 0, type.highestLockID) ==
        IntegerMember::unusable) {
        notes.push_back({Severity::error, "Cannot parse lock ID for current message."});
        return std::nullopt;
    }
    return address;
}

// A request that carries nothing but its lock address.
template <class Payload>
std::unique_ptr<MuxMessagePayloadBase> ParseLockAddressMessage(const MuxRequestType& type,
                                                               rapidjson::Document& data,
                                                               MuxParseNotes& notes) {
    std::optional<LockAddress> address = ReadLockAddress(type, data, notes);
    return address ? std::make_unique<Payload>(address->gatewayID, address->lockID) : nullptr;
}

std::unique_ptr<MuxMessagePayloadBase> ParseLockOpenCloseMessage(const MuxRequestType& type,
                                                                 rapidjson::Document& data,
                                                                 MuxParseNotes& notes) {
    std::optional<LockAddress> address = ReadLockAddress(type, data, notes);
    if (!address) {
        return nullptr;
    }
    uint8_t duration = 0;
    if (ReadInteger(data, "duration", duration) == IntegerMember::unusable) {
        notes.push_back({Severity::error, "Cannot parse duration for current message."});
        return nullptr;
    }
    return std::make_unique<MuxLockOpenCloseMessagePayload>(address->gatewayID, address->lockID,
                                                            duration);
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
    std::optional<LockAddress> address = ReadLockAddress(type, data, notes);
    if (!address) {
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
    return std::make_unique<MuxWhitelistSetPayload>(
        std::move(cardData), address->gatewayID, address->lockID, setupNumber, options, isUIDCard);
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
        std::string hex = Diagnostics::HexBytes(cardData, Diagnostics::HexStyle::UpperPacked);
        object.AddMember("cardData", rapidjson::Value(hex.c_str(), allocator), allocator);
        object.AddMember("isUIDCard", isUIDCard, allocator);
        return object;
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

// A request of lockhub's own that carries no "Data".
std::unique_ptr<MuxMessagePayloadBase> BuildWithoutData(const MuxRequestValues&) {
    return nullptr;
}

// A request that carries its lock address alone, read into and built as Payload.
template <class Payload>
constexpr MuxRequestType LockAddressRequest(MuxRequestType type) {
    type.read = ParseLockAddressMessage<Payload>;
    type.build = BuildLockAddressRequest<Payload>;
    return type;
}

// A request that adds a card to a whitelist or removes it.
constexpr MuxRequestType WhitelistEntryRequest(MuxRequestType type) {
    type.kind = "whitelist";
    type.changesLock = true;
    type.members |= kCardMembers;
    type.read = ParseWhitelistSetMessage;
    type.build = BuildWhitelistEntryRequest;
    return type;
}

// The answer to a card-reader event: the same request under a code and name of its own.
constexpr MuxRequestType EventTwin(MuxRequestType plain, int code, const char* name) {
    plain.code = code;
    plain.name = name;
    plain.answersEvent = true;
    plain.summary = nullptr;
    return plain;
}

constexpr MuxRequestType kLockOpen =
    LockAddressRequest<MuxLockOpenMessagePayload>({.code = MUX_MESSAGE_LOCK_OPEN,
                                                   .name = "LOCK OPEN",
                                                   .kind = "open",
                                                   .changesLock = true,
                                                   .command = "open",
                                                   .summary = "open a lock"});
constexpr MuxRequestType kLockClose =
    LockAddressRequest<MuxLockCloseMessagePayload>({.code = MUX_MESSAGE_LOCK_CLOSE,
                                                    .name = "LOCK CLOSE",
                                                    .kind = "close",
                                                    .changesLock = true,
                                                    .command = "close",
                                                    .summary = "close a lock"});
constexpr MuxRequestType kLockOpenClose = {.code = MUX_MESSAGE_LOCK_OPEN_CLOSE,
                                           .name = "LOCK OPEN-CLOSE",
                                           .kind = "open",
                                           .changesLock = true,
                                           .members = kDurationMember,
                                           .read = ParseLockOpenCloseMessage,
                                           .build = BuildLockOpenCloseRequest,
                                           .command = "open-close",
                                           .summary = "open a lock for --duration seconds"};
constexpr MuxRequestType kAccessDenied = LockAddressRequest<MuxAccessDeniedMessagePayload>(
    {.code = MUX_MESSAGE_ACCESS_DENIED,
     .name = "ACCESS DENIED",
     .kind = "denied",
     .changesLock = true,
     .highestLockID = kDeviceAddress,
     .command = "access-denied",
     .summary = "signal access denied at a lock"});

constexpr MuxRequestType kRequestTypes[] = {
    kLockOpen,
    EventTwin(kLockOpen, MUX_MESSAGE_EVENT_LOCK_OPEN, "LOCK OPEN EVENT RESPONSE"),
    kLockClose,
    EventTwin(kLockClose, MUX_MESSAGE_EVENT_LOCK_CLOSE, "LOCK CLOSE EVENT RESPONSE"),
    kLockOpenClose,
    EventTwin(kLockOpenClose, MUX_MESSAGE_EVENT_LOCK_OPEN_CLOSE, "LOCK OPEN-CLOSE EVENT RESPONSE"),
    LockAddressRequest<MuxGetLockStatusMessagePayload>({.code = MUX_MESSAGE_LOCK_GET_STATUS,
                                                        .name = "LOCK GET-STATUS",
                                                        .kind = "status",
                                                        .highestLockID = kDeviceAddress,
                                                        .command = "status",
                                                        .summary = "read a lock's status"}),
    kAccessDenied,
    EventTwin(kAccessDenied, MUX_MESSAGE_EVENT_ACCESS_DENIED, "EVENT ACCESS DENIED"),
    WhitelistEntryRequest({.code = MUX_MESSAGE_LOCK_WHITELIST_SET,
                           .name = "WHITELIST SET",
                           .members = kCardOptionsMember,
                           .command = "whitelist-add",
                           .summary = "add a card to a lock's whitelist"}),
    // Reads "options" as an addition does, but removing an entry does not use it.
    WhitelistEntryRequest({.code = MUX_MESSAGE_LOCK_WHITELIST_REMOVE,
                           .command = "whitelist-remove",
                           .summary = "remove a card from a lock's whitelist"}),
    LockAddressRequest<MuxWhitelistClearPayload>({.code = MUX_MESSAGE_CLEAR_WHITELIST,
                                                  .name = "WHITELIST CLEAR",
                                                  .kind = "whitelist",
                                                  .changesLock = true,
                                                  .command = "whitelist-clear",
                                                  .summary = "delete a lock's whole whitelist"}),
    LockAddressRequest<MuxWhitelistEnablePayload>({.code = MUX_MESSAGE_ENABLE_WHITELIST,
                                                   .name = "WHITELIST ENABLE",
                                                   .kind = "whitelist",
                                                   .changesLock = true,
                                                   .command = "whitelist-enable",
                                                   .summary = "switch a lock's whitelist on"}),
    LockAddressRequest<MuxWhitelistDisablePayload>({.code = MUX_MESSAGE_DISABLE_WHITELIST,
                                                    .name = "WHITELIST DISABLE",
                                                    .kind = "whitelist",
                                                    .changesLock = true,
                                                    .command = "whitelist-disable",
                                                    .summary = "switch a lock's whitelist off"}),
    // Not supported: read without a payload and refused.
    {.code = MUX_MESSAGE_GET_WHITELIST, .name = "WHITELIST GET", .kind = "whitelist"},
    // Read, but never applied.
    {.code = MUX_MESSAGE_CONFIGURE, .read = ParseConfigureMessage},
    // Answered by lockhub itself. lockctl watch --gateways sends the subscription.
    {.code = MUX_MESSAGE_GATEWAYS,
     .name = "GATEWAYS",
     .addressesLock = false,
     .build = BuildWithoutData,
     .command = "gateways",
     .summary = "list the gateways and their health"},
    {.code = MUX_MESSAGE_SUBSCRIBE_GATEWAY_STATUS,
     .name = "SUBSCRIBE GATEWAY STATUS",
     .addressesLock = false,
     .build = BuildWithoutData},
};

}  // namespace

std::span<const MuxRequestType> RequestTypes() {
    return kRequestTypes;
}

const MuxRequestType* FindRequestType(int code) {
    return FindByCode(kRequestTypes, code);
}

}  // namespace Mux
