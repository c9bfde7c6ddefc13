#pragma once
// Turns the JSON text of a client packet into a MuxMessage with its typed request payload,
// and builds the answer and event messages and payloads the multiplexer sends. Holds no
// data: every operation may be called from any thread. Writes no log and nothing to
// standard output: what the reading has to say comes back as notes.
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
#include "mux/protocol/MuxRequestTypes.h"

namespace Mux {

class MuxMessageBuilder {
public:
    // The message of one client text (which ends at its first 0 byte), or null when the
    // text is not JSON or its root is not an object. Missing or unusable envelope members
    // count as 0 or empty; a missing or non-object "Data", or a code without a payload
    // class, gives a message without payload. What the payload's reader noted is appended
    // to notes when given.
    static std::unique_ptr<MuxMessage> Build(const std::string& text,
                                             MuxParseNotes* notes = nullptr);

    // The request payload for code, read from data (the "Data" object as the root of a
    // document of its own) by the reader of the code's request type, or null for a code
    // without a payload class or a request its reader refuses. An absent integer member
    // reads as 0; one present but of the wrong kind refuses the request, with an error
    // noted. "lockID" is a device address from 0 up to the largest its request type takes;
    // "duration", "setupNumber" and "options" fill one byte.
    static std::unique_ptr<MuxMessagePayloadBase> BuildPayload(int code, rapidjson::Document data,
                                                               MuxParseNotes& notes);

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
