#include "mux/protocol/MuxMessageBuilder.h"

#include <cstdio>

#include "mux/protocol/JsonMembers.h"

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

std::unique_ptr<MuxMessage> MuxMessageBuilder::Build(const std::string& text,
                                                     MuxParseNotes* notes) {
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
    Json::ReadInteger(document, "Timestamp", timestamp);
    const rapidjson::Value* member = Json::Member(document, "MessageID");
    std::string messageId = member != nullptr && member->IsString()
                                ? std::string(member->GetString(), member->GetStringLength())
                                : std::string();
    int code = 0;
    Json::ReadInteger(document, "MessageCode", code);

    std::unique_ptr<MuxMessagePayloadBase> payload;
    if (document.HasMember("Data") && document["Data"].IsObject()) {
        // "Data" becomes the root of the parsed document, which the payload parsers (and
        // the configuration payload, which keeps it) then own; nothing is copied.
        rapidjson::Value root;
        root.Swap(document["Data"]);
        static_cast<rapidjson::Value&>(document).Swap(root);
        MuxParseNotes unwanted;
        payload = BuildPayload(code, std::move(document), notes != nullptr ? *notes : unwanted);
    }
    return std::make_unique<MuxMessage>(static_cast<int32_t>(timestamp), std::move(messageId), code,
                                        std::move(payload));
}

std::unique_ptr<MuxMessagePayloadBase> MuxMessageBuilder::BuildPayload(int code,
                                                                       rapidjson::Document data,
                                                                       MuxParseNotes& notes) {
    const MuxRequestType* type = FindRequestType(code);
    if (type == nullptr || type->read == nullptr) {
        return nullptr;
    }
    return type->read(*type, data, notes);
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
