#include "mux/protocol/MuxMessageBuilder.h"

#include <concepts>
#include <cstdio>
#include <limits>
#include <utility>

#include "diagnostics/Log.h"
#include "diagnostics/Logger.h"
#include "mux/protocol/MuxMessageCodes.h"

namespace Mux {

namespace {

// Nesting is parsed with a heap stack instead of recursion, so a deep text cannot
// overflow the thread's stack. The encoding is checked before parsing (IsValidUtf8): the
// parser's own check reads past the end of a text that stops inside a character.
constexpr unsigned kParseFlags = rapidjson::kParseIterativeFlag;

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        unsigned char lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        size_t length;
        uint32_t codePoint;
        uint32_t smallest;
        if ((lead & 0xE0) == 0xC0) {
            length = 2;
            codePoint = lead & 0x1Fu;
            smallest = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            codePoint = lead & 0x0Fu;
            smallest = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            codePoint = lead & 0x07u;
            smallest = 0x10000;
        } else {
            return false;
        }
        if (text.size() - i < length) {
            return false;
        }
        for (size_t k = 1; k < length; ++k) {
            unsigned char tail = static_cast<unsigned char>(text[i + k]);
            if ((tail & 0xC0) != 0x80) {
                return false;
            }
            codePoint = (codePoint << 6) | (tail & 0x3Fu);
        }
        if (codePoint < smallest || codePoint > 0x10FFFF ||
            (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

// The member's value, or null when absent (or when object is not an object at all).
const rapidjson::Value* Member(const rapidjson::Value& object, const char* name) {
    if (!object.IsObject()) {
        return nullptr;
    }
    auto member = object.FindMember(name);
    return member == object.MemberEnd() ? nullptr : &member->value;
}

// What reading an integer member of a client text found.
enum class IntegerMember { absent, unusable, read };

// Reads the member name into field when it is a JSON integer from lowest to the largest
// value of Field; leaves field as it was when the member is absent or unusable. The one rule
// for every integer a client sends: a number with a fraction or an exponent (1.0, 4.2e9),
// a value out of the field's range, or any other kind of value is never rounded, cut or
// wrapped into one the field can hold.
template <std::integral Field>
IntegerMember ReadInteger(const rapidjson::Value& object, const char* name, Field& field,
                          Field lowest = std::numeric_limits<Field>::min()) {
    const rapidjson::Value* value = Member(object, name);
    if (value == nullptr) {
        return IntegerMember::absent;
    }
    auto fits = [lowest](auto number) {
        return std::cmp_less_equal(lowest, number) && std::in_range<Field>(number);
    };
    if (value->IsInt64() && fits(value->GetInt64())) {
        field = static_cast<Field>(value->GetInt64());
        return IntegerMember::read;
    }
    if (value->IsUint64() && fits(value->GetUint64())) {
        field = static_cast<Field>(value->GetUint64());
        return IntegerMember::read;
    }
    return IntegerMember::unusable;
}

// The lock a request addresses: "gatewayID" a signed 32-bit integer (a configured gateway's
// "ID"), "lockID" a device address from 0 to the largest LockId; each 0 when absent. False,
// with an error line, when either is present but unusable: the request is then refused.
template <class LockId>
bool ReadLockAddress(const rapidjson::Value& data, int32_t& gatewayID, LockId& lockID) {
    if (ReadInteger(data, "gatewayID", gatewayID) == IntegerMember::unusable) {
        LOG_ERROR << "Cannot parse gateway ID for current message.";
        return false;
    }
    if (ReadInteger(data, "lockID", lockID, LockId{0}) == IntegerMember::unusable) {
        LOG_ERROR << "Cannot parse lock ID for current message.";
        return false;
    }
    return true;
}

// A request that carries nothing but its lock address, or null when that is unusable.
template <class Payload>
std::unique_ptr<Payload> ParseLockAddress(const rapidjson::Value& data) {
    int32_t gatewayID = 0;
    decltype(Payload::lockID) lockID = 0;
    if (!ReadLockAddress(data, gatewayID, lockID)) {
        return nullptr;
    }
    return std::make_unique<Payload>(gatewayID, lockID);
}

unsigned DigitValue(char digit) {
    if (digit >= '0' && digit <= '9') {
        return static_cast<unsigned>(digit - '0');
    }
    if (digit >= 'A' && digit <= 'F') {
        return static_cast<unsigned>(digit - 'A' + 10);
    }
    if (digit >= 'a' && digit <= 'f') {
        return static_cast<unsigned>(digit - 'a' + 10);
    }
    return 0;
}

}  // namespace

std::unique_ptr<MuxMessage> MuxMessageBuilder::Build(const std::string& text) {
    // The text ends at its first 0 byte.
    if (!IsValidUtf8(std::string_view(text.c_str()))) {
        return nullptr;
    }
    rapidjson::Document document;
    document.Parse<kParseFlags>(text.c_str());
    if (document.HasParseError() || !document.IsObject()) {
        return nullptr;
    }
    // The envelope's integers follow the payload's rule, but an unusable one counts as
    // absent: the message stays, and one without a usable code is answered as unrouted. The
    // timestamp is read as a 64-bit number and kept in 32 bits.
    int64_t timestamp = 0;
    ReadInteger(document, "Timestamp", timestamp);
    const rapidjson::Value* member = Member(document, "MessageID");
    std::string messageId = member != nullptr && member->IsString()
                                ? std::string(member->GetString(), member->GetStringLength())
                                : std::string();
    int code = 0;
    ReadInteger(document, "MessageCode", code);

    std::unique_ptr<MuxMessagePayloadBase> payload;
    if (document.HasMember("Data") && document["Data"].IsObject()) {
        // "Data" becomes the root of the parsed document, which the payload parsers (and
        // the configuration payload, which keeps it) then own; nothing is copied.
        rapidjson::Value root;
        root.Swap(document["Data"]);
        static_cast<rapidjson::Value&>(document).Swap(root);
        payload = BuildPayload(code, std::move(document));
    }
    return std::make_unique<MuxMessage>(static_cast<int32_t>(timestamp), std::move(messageId), code,
                                        std::move(payload));
}

std::unique_ptr<MuxMessagePayloadBase> MuxMessageBuilder::BuildPayload(int code,
                                                                       rapidjson::Document data) {
    switch (code) {
        case MUX_MESSAGE_CONFIGURE:
            return ParseConfigureMessage(std::move(data));
        case MUX_MESSAGE_LOCK_OPEN:
        case MUX_MESSAGE_EVENT_LOCK_OPEN:
            return ParseLockOpenMessage(data);
        case MUX_MESSAGE_LOCK_CLOSE:
        case MUX_MESSAGE_EVENT_LOCK_CLOSE:
            return ParseLockCloseMessage(data);
        case MUX_MESSAGE_LOCK_GET_STATUS:
            return ParseGetLockStatusMessage(data);
        case MUX_MESSAGE_LOCK_OPEN_CLOSE:
        case MUX_MESSAGE_EVENT_LOCK_OPEN_CLOSE:
            return ParseLockOpenCloseMessage(data);
        case MUX_MESSAGE_ACCESS_DENIED:
        case MUX_MESSAGE_EVENT_ACCESS_DENIED:
            return ParseAccessDeniedMessage(data);
        case MUX_MESSAGE_LOCK_WHITELIST_SET:
        case MUX_MESSAGE_LOCK_WHITELIST_REMOVE:
            return ParseWhitelistSetMessage(data);
        case MUX_MESSAGE_CLEAR_WHITELIST:
            return ParseWhitelistClearMessage(data);
        case MUX_MESSAGE_ENABLE_WHITELIST:
            return ParseWhitelistEnableMessage(data);
        case MUX_MESSAGE_DISABLE_WHITELIST:
            return ParseWhitelistDisableMessage(data);
        default:
            return nullptr;
    }
}

std::unique_ptr<MuxLockOpenMessagePayload> MuxMessageBuilder::ParseLockOpenMessage(
    const rapidjson::Value& data) {
    return ParseLockAddress<MuxLockOpenMessagePayload>(data);
}

std::unique_ptr<MuxLockCloseMessagePayload> MuxMessageBuilder::ParseLockCloseMessage(
    const rapidjson::Value& data) {
    auto payload = ParseLockAddress<MuxLockCloseMessagePayload>(data);
    if (payload != nullptr) {
        // Standard output carries the log lines too: the text goes whole, on a line of its own.
        Diagnostics::WriteToStandardOutput(
            "MuxMessageBuilder - gatewayID :" + std::to_string(payload->gatewayID) +
            " lockID : " + std::to_string(payload->lockID) + "\n");
    }
    return payload;
}

std::unique_ptr<MuxGetLockStatusMessagePayload> MuxMessageBuilder::ParseGetLockStatusMessage(
    const rapidjson::Value& data) {
    return ParseLockAddress<MuxGetLockStatusMessagePayload>(data);
}

std::unique_ptr<MuxLockOpenCloseMessagePayload> MuxMessageBuilder::ParseLockOpenCloseMessage(
    const rapidjson::Value& data) {
    int32_t gatewayID = 0;
    int32_t lockID = 0;
    if (!ReadLockAddress(data, gatewayID, lockID)) {
        return nullptr;
    }
    uint8_t duration = 0;
    if (ReadInteger(data, "duration", duration) == IntegerMember::unusable) {
        LOG_ERROR << "Cannot parse duration for current message.";
        return nullptr;
    }
    return std::make_unique<MuxLockOpenCloseMessagePayload>(gatewayID, lockID, duration);
}

std::unique_ptr<MuxAccessDeniedMessagePayload> MuxMessageBuilder::ParseAccessDeniedMessage(
    const rapidjson::Value& data) {
    return ParseLockAddress<MuxAccessDeniedMessagePayload>(data);
}

std::unique_ptr<MuxWhitelistClearPayload> MuxMessageBuilder::ParseWhitelistClearMessage(
    const rapidjson::Value& data) {
    return ParseLockAddress<MuxWhitelistClearPayload>(data);
}

std::unique_ptr<MuxWhitelistEnablePayload> MuxMessageBuilder::ParseWhitelistEnableMessage(
    const rapidjson::Value& data) {
    return ParseLockAddress<MuxWhitelistEnablePayload>(data);
}

std::unique_ptr<MuxWhitelistDisablePayload> MuxMessageBuilder::ParseWhitelistDisableMessage(
    const rapidjson::Value& data) {
    return ParseLockAddress<MuxWhitelistDisablePayload>(data);
}

std::unique_ptr<MuxWhitelistSetPayload> MuxMessageBuilder::ParseWhitelistSetMessage(
    const rapidjson::Value& data) {
    int32_t gatewayID = 0;
    int32_t lockID = 0;
    if (!ReadLockAddress(data, gatewayID, lockID)) {
        return nullptr;
    }
    uint8_t setupNumber = 0;
    switch (ReadInteger(data, "setupNumber", setupNumber)) {
        case IntegerMember::absent:
            LOG_INFO << "Current whitelist message doesn't contain a Setup Number value. Will be "
                        "set to default (0)";
            break;
        case IntegerMember::unusable:
            LOG_ERROR << "Cannot parse setup number for current message.";
            return nullptr;
        case IntegerMember::read:
            break;
    }
    uint8_t options = 0;
    switch (ReadInteger(data, "options", options)) {
        case IntegerMember::absent:
            LOG_INFO << "Current whitelist message doesn't contain an Options value. Will be set "
                        "to default (0)";
            break;
        case IntegerMember::unusable:
            LOG_ERROR << "Cannot parse options value for current message.";
            return nullptr;
        case IntegerMember::read:
            break;
    }
    std::vector<unsigned char> cardData;
    if (const rapidjson::Value* value = Member(data, "cardData")) {
        if (value->IsString()) {
            cardData =
                DecodeCardData(std::string_view(value->GetString(), value->GetStringLength()));
        } else {
            LOG_WARNING << "Card data value is not in the attended format.";
        }
    } else {
        LOG_ERROR << "Received a Mux Set Whitelist payload, but the card data is nullptr";
    }
    bool isUIDCard = false;
    if (const rapidjson::Value* value = Member(data, "isUIDCard")) {
        if (value->IsBool()) {
            isUIDCard = value->GetBool();
        } else {
            LOG_WARNING << "Card data type is not in a valid format. Will be used default value "
                           "(false)";
        }
    } else {
        LOG_ERROR << "Card data type is not specified. Default su IsUIDCard false";
    }
    if (cardData.empty()) {
        LOG_ERROR << "Cannot determine card data in whitelist message. Unrecoverable error";
        return nullptr;
    }
    LOG_DEBUG << "Finished parsing whitelist message payload.";
    return std::make_unique<MuxWhitelistSetPayload>(std::move(cardData), gatewayID, lockID,
                                                    setupNumber, options, isUIDCard);
}

std::unique_ptr<MuxConfigureMessagePayload> MuxMessageBuilder::ParseConfigureMessage(
    rapidjson::Document data) {
    return std::make_unique<MuxConfigureMessagePayload>(std::move(data));
}

std::vector<unsigned char> MuxMessageBuilder::DecodeCardData(std::string_view text) {
    std::vector<unsigned char> bytes((text.size() + 1) / 2);
    // With an odd length the first byte has only its low digit.
    size_t digit = text.size() % 2 == 0 ? 0 : 1;
    for (size_t i = 0; i < text.size(); ++i, ++digit) {
        unsigned value = DigitValue(text[i]);
        bytes[digit / 2] |= static_cast<unsigned char>(digit % 2 == 0 ? value << 4 : value);
    }
    return bytes;
}

std::unique_ptr<MuxMessage> MuxMessageBuilder::BuildMessage(
    int code, std::string messageId, std::unique_ptr<MuxMessagePayloadBase> payload) {
    return std::make_unique<MuxMessage>(static_cast<int32_t>(std::time(nullptr)),
                                        std::move(messageId), code, std::move(payload));
}

std::unique_ptr<MuxAckMessagePayload> MuxMessageBuilder::BuildAckPayload() {
    return std::make_unique<MuxAckMessagePayload>();
}

std::unique_ptr<MuxAckMessagePayload> MuxMessageBuilder::BuildAckPayload(
    std::unique_ptr<MuxMessagePayloadBase> data) {
    return std::make_unique<MuxAckMessagePayload>(std::move(data));
}

std::unique_ptr<MuxNackMessagePayload> MuxMessageBuilder::BuildNackPayload(int errorCode,
                                                                           std::string message) {
    return std::make_unique<MuxNackMessagePayload>(errorCode, std::move(message));
}

std::unique_ptr<MuxNackMessagePayload> MuxMessageBuilder::BuildNackPayload(
    int errorCode, std::string message, std::unique_ptr<MuxMessagePayloadBase> data) {
    return std::make_unique<MuxNackMessagePayload>(errorCode, std::move(message), std::move(data));
}

std::unique_ptr<MuxLockOperationResponsePayload>
MuxMessageBuilder::BuildLockOperationResponsePayload(bool success, int errorCode) {
    return std::make_unique<MuxLockOperationResponsePayload>(success, errorCode);
}

std::unique_ptr<MuxGetLockStatusResponsePayload>
MuxMessageBuilder::BuildGetLockStatusResponsePayload(int batteryStatus, int qos,
                                                     bool mechanicalActive,
                                                     bool batteryWarningLevel,
                                                     bool batteryAlarmLevel, bool readerConnected) {
    return std::make_unique<MuxGetLockStatusResponsePayload>(batteryStatus, qos, mechanicalActive,
                                                             batteryWarningLevel, batteryAlarmLevel,
                                                             readerConnected);
}

std::unique_ptr<MuxCardEventPayload> MuxMessageBuilder::BuildCardEventPayload(
    int gatewayID, int lockID, std::string timestamp, std::string rfidData) {
    return std::make_unique<MuxCardEventPayload>(gatewayID, static_cast<uint16_t>(lockID),
                                                 std::move(timestamp), std::move(rfidData));
}

std::string MuxMessageBuilder::BuildEventTimestamp(std::time_t time) {
    std::tm local{};
    ::localtime_r(&time, &local);
    char text[64];
    std::snprintf(text, sizeof text, "%d:%d:%d %d-%d-%d", local.tm_hour, local.tm_min, local.tm_sec,
                  local.tm_mday, local.tm_mon + 1, local.tm_year + 1900);
    return text;
}

}  // namespace Mux
