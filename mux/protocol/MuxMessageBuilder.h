#pragma once
// Turns the JSON text of a client packet into a MuxMessage with its typed request payload,
// and builds the answer and event messages and payloads the multiplexer sends. Holds no
// data: every operation may be called from any thread.
//
// No client text can end the process or use memory out of proportion to its size: nesting
// is parsed without recursion and invalid UTF-8 is refused. An integer member takes only a
// JSON integer its field can hold: a number with a fraction or an exponent, or one out of
// the field's range, counts as a value of the wrong kind and is never cut to fit.

#include <rapidjson/document.h>

#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "mux/protocol/MuxMessage.h"
#include "mux/protocol/MuxMessagePayloads.h"

namespace Mux {

class MuxMessageBuilder {
public:
    // The message of one client text (which ends at its first 0 byte), or null when the
    // text is not JSON or its root is not an object. Missing or unusable envelope members
    // count as 0 or empty; a missing or non-object "Data", or a code without a payload
    // class, gives a message without payload.
    static std::unique_ptr<MuxMessage> Build(const std::string& text);

    // The request payload for code, read from data (the "Data" object as the root of a
    // document of its own), or null for a code without a payload class or a request its
    // parser refuses.
    static std::unique_ptr<MuxMessagePayloadBase> BuildPayload(int code, rapidjson::Document data);

    // One parser per request payload class, reading the "Data" object. An absent integer
    // member reads as 0; one present but of the wrong kind gives null, with an error logged,
    // so that the request is refused. "lockID" is a device address from 0 up to the largest
    // value of the payload's field; "duration", "setupNumber" and "options" fill one byte.
    static std::unique_ptr<MuxLockOpenMessagePayload> ParseLockOpenMessage(
        const rapidjson::Value& data);
    // Also writes the addressed lock to standard output.
    static std::unique_ptr<MuxLockCloseMessagePayload> ParseLockCloseMessage(
        const rapidjson::Value& data);
    static std::unique_ptr<MuxGetLockStatusMessagePayload> ParseGetLockStatusMessage(
        const rapidjson::Value& data);
    static std::unique_ptr<MuxLockOpenCloseMessagePayload> ParseLockOpenCloseMessage(
        const rapidjson::Value& data);
    static std::unique_ptr<MuxAccessDeniedMessagePayload> ParseAccessDeniedMessage(
        const rapidjson::Value& data);
    static std::unique_ptr<MuxWhitelistClearPayload> ParseWhitelistClearMessage(
        const rapidjson::Value& data);
    static std::unique_ptr<MuxWhitelistEnablePayload> ParseWhitelistEnableMessage(
        const rapidjson::Value& data);
    static std::unique_ptr<MuxWhitelistDisablePayload> ParseWhitelistDisableMessage(
        const rapidjson::Value& data);
    // Null, with an error logged, also when the card data gives no bytes; an unusable
    // "cardData" or "isUIDCard" falls back to its default with a log line.
    static std::unique_ptr<MuxWhitelistSetPayload> ParseWhitelistSetMessage(
        const rapidjson::Value& data);
    static std::unique_ptr<MuxConfigureMessagePayload> ParseConfigureMessage(
        rapidjson::Document data);

    // Card data text to bytes: each pair of hexadecimal digits gives one byte, an odd
    // length gets a leading 0, a character that is not a digit counts as 0.
    static std::vector<unsigned char> DecodeCardData(std::string_view text);

    // A message stamped with the current time.
    static std::unique_ptr<MuxMessage> BuildMessage(int code, std::string messageId,
                                                    std::unique_ptr<MuxMessagePayloadBase> payload);

    // Answer and event payloads. The data of an ACK or NACK is another payload (a lock
    // operation result, a lock status), written as its "Data" object, or none.
    static std::unique_ptr<MuxAckMessagePayload> BuildAckPayload();
    static std::unique_ptr<MuxAckMessagePayload> BuildAckPayload(
        std::unique_ptr<MuxMessagePayloadBase> data);
    static std::unique_ptr<MuxNackMessagePayload> BuildNackPayload(int errorCode,
                                                                   std::string message);
    static std::unique_ptr<MuxNackMessagePayload> BuildNackPayload(
        int errorCode, std::string message, std::unique_ptr<MuxMessagePayloadBase> data);
    static std::unique_ptr<MuxLockOperationResponsePayload> BuildLockOperationResponsePayload(
        bool success, int errorCode);
    static std::unique_ptr<MuxGetLockStatusResponsePayload> BuildGetLockStatusResponsePayload(
        int batteryStatus, int qos, bool mechanicalActive, bool batteryWarningLevel,
        bool batteryAlarmLevel, bool readerConnected);
    // lockID is a 16-bit device address: only its low 16 bits are kept.
    static std::unique_ptr<MuxCardEventPayload> BuildCardEventPayload(int gatewayID, int lockID,
                                                                      std::string timestamp,
                                                                      std::string rfidData);
    // The local time of an event as its payload shows it: hour:minute:second day-month-year,
    // numbers without leading zeros ("9:5:7 3-12-2026").
    static std::string BuildEventTimestamp(std::time_t time);
};

}  // namespace Mux
