#pragma once
// The payloads of client protocol messages: the requests a client sends (read from the
// "Data" object by the reader of their request type, MuxRequestTypes.h) and the answers and
// events the multiplexer sends.
// Each writes itself as the "Data" object of its envelope. Plain value holders, owned by
// their MuxMessage; not shared between threads while being changed.

#include <rapidjson/document.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Mux {

class MuxLockAddressPayload;

class MuxMessagePayloadBase {
public:
    virtual ~MuxMessagePayloadBase() = default;

    // This payload as a JSON object built with document's allocator (texts copied), or a
    // null value when it writes none. The payload is left unchanged, so a message written
    // twice (a send retried, an event sent to several clients) gives the same text.
    virtual rapidjson::Value ToJSONObject(rapidjson::Document& document) const;

    // The lock this request addresses; null for a payload that addresses none.
    virtual const MuxLockAddressPayload* GetLockAddress() const { return nullptr; }

protected:
    MuxMessagePayloadBase() = default;
};

// A request addressed to one lock of one gateway: writes "gatewayID" and "lockID". Every
// request that goes to a gateway derives from it.
class MuxLockAddressPayload : public MuxMessagePayloadBase {
public:
    MuxLockAddressPayload(int32_t gatewayID, int32_t lockID)
        : gatewayID(gatewayID), lockID(lockID) {}
    rapidjson::Value ToJSONObject(rapidjson::Document& document) const override;
    const MuxLockAddressPayload* GetLockAddress() const override { return this; }

    int32_t gatewayID;
    // The lock's device address, from 0 up to the largest its request type takes.
    int32_t lockID;
};

class MuxLockOpenMessagePayload : public MuxLockAddressPayload {
public:
    using MuxLockAddressPayload::MuxLockAddressPayload;
};

class MuxLockCloseMessagePayload : public MuxLockAddressPayload {
public:
    using MuxLockAddressPayload::MuxLockAddressPayload;
};

class MuxWhitelistClearPayload : public MuxLockAddressPayload {
public:
    using MuxLockAddressPayload::MuxLockAddressPayload;
};

class MuxWhitelistEnablePayload : public MuxLockAddressPayload {
public:
    using MuxLockAddressPayload::MuxLockAddressPayload;
};

class MuxWhitelistDisablePayload : public MuxLockAddressPayload {
public:
    using MuxLockAddressPayload::MuxLockAddressPayload;
};

// The lock of a status request is a 16-bit device address.
class MuxGetLockStatusMessagePayload : public MuxLockAddressPayload {
public:
    using MuxLockAddressPayload::MuxLockAddressPayload;
};

// The lock of an access-denied request is a 16-bit device address.
class MuxAccessDeniedMessagePayload : public MuxLockAddressPayload {
public:
    using MuxLockAddressPayload::MuxLockAddressPayload;
};

// Opens a lock for a duration; writes "gatewayID", "lockID" and "duration".
class MuxLockOpenCloseMessagePayload : public MuxLockAddressPayload {
public:
    MuxLockOpenCloseMessagePayload(int32_t gatewayID, int32_t lockID, uint8_t duration)
        : MuxLockAddressPayload(gatewayID, lockID), duration(duration) {}
    rapidjson::Value ToJSONObject(rapidjson::Document& document) const override;

    uint8_t duration;
};

// Adds a card to a lock's whitelist (code 21) or removes it (code 25). Writes only
// "gatewayID" and "lockID".
class MuxWhitelistSetPayload : public MuxLockAddressPayload {
public:
    MuxWhitelistSetPayload(std::vector<unsigned char> cardData, int32_t gatewayID, int32_t lockID,
                           uint8_t setupNumber, uint8_t options, bool isUIDCard)
        : MuxLockAddressPayload(gatewayID, lockID),
          cardData(std::move(cardData)),
          setupNumber(setupNumber),
          options(options),
          isUIDCard(isUIDCard) {}

    std::vector<unsigned char> cardData;
    uint8_t setupNumber;
    uint8_t options;
    bool isUIDCard;
};

// The configuration a client sent; not applied, and written as no object.
class MuxConfigureMessagePayload : public MuxMessagePayloadBase {
public:
    explicit MuxConfigureMessagePayload(rapidjson::Document configuration)
        : configuration_(std::move(configuration)) {}
    const rapidjson::Value& GetConfiguration() const { return configuration_; }

private:
    rapidjson::Document configuration_;
};

// A positive answer; writes "Data": the object of its data payload (a lock operation
// result, a lock status), or null.
class MuxAckMessagePayload : public MuxMessagePayloadBase {
public:
    MuxAckMessagePayload() = default;
    explicit MuxAckMessagePayload(std::unique_ptr<MuxMessagePayloadBase> data)
        : data_(std::move(data)) {}
    rapidjson::Value ToJSONObject(rapidjson::Document& document) const override;

private:
    std::unique_ptr<MuxMessagePayloadBase> data_;  // null when there is no data
};

// A negative answer; writes "ErrorCode", "Message" and "Data" (the object of its data
// payload, or null).
class MuxNackMessagePayload : public MuxMessagePayloadBase {
public:
    MuxNackMessagePayload(int errorCode, std::string message)
        : errorCode(errorCode), message(std::move(message)) {}
    MuxNackMessagePayload(int errorCode, std::string message,
                          std::unique_ptr<MuxMessagePayloadBase> data)
        : errorCode(errorCode), message(std::move(message)), data_(std::move(data)) {}
    rapidjson::Value ToJSONObject(rapidjson::Document& document) const override;

    int errorCode;
    std::string message;

private:
    std::unique_ptr<MuxMessagePayloadBase> data_;  // null when there is no data
};

// The outcome of a lock operation; writes "Success" and "ErrorCode".
class MuxLockOperationResponsePayload : public MuxMessagePayloadBase {
public:
    MuxLockOperationResponsePayload(bool success, int errorCode)
        : success(success), errorCode(errorCode) {}
    rapidjson::Value ToJSONObject(rapidjson::Document& document) const override;

    bool success;
    int errorCode;
};

// A lock's decoded status. The fire-mode flag is not reported by the gateways and is
// always written as false.
class MuxGetLockStatusResponsePayload : public MuxMessagePayloadBase {
public:
    MuxGetLockStatusResponsePayload(int batteryStatus, int qos, bool mechanicalActive,
                                    bool batteryWarningLevel, bool batteryAlarmLevel,
                                    bool readerConnected)
        : batteryStatus(batteryStatus),
          qos(qos),
          mechanicalActive(mechanicalActive),
          batteryWarningLevel(batteryWarningLevel),
          batteryAlarmLevel(batteryAlarmLevel),
          readerConnected(readerConnected) {}
    rapidjson::Value ToJSONObject(rapidjson::Document& document) const override;

    int batteryStatus;
    int qos;
    bool mechanicalActive;
    bool batteryWarningLevel;
    bool batteryAlarmLevel;
    bool scandinavianFireMode = false;
    bool readerConnected;
};

// An event from a lock's reader; writes "gatewayID", "lockID", "timestamp", "RFIDData".
class MuxCardEventPayload : public MuxMessagePayloadBase {
public:
    MuxCardEventPayload(int32_t gatewayID, uint16_t lockID, std::string timestamp,
                        std::string rfidData)
        : gatewayID(gatewayID),
          lockID(lockID),
          timestamp(std::move(timestamp)),
          rfidData(std::move(rfidData)) {}
    rapidjson::Value ToJSONObject(rapidjson::Document& document) const override;

    int32_t gatewayID;
    uint16_t lockID;
    std::string timestamp;
    std::string rfidData;
};

// One configured gateway as the answer to GATEWAYS (code 100) shows it.
struct MuxGatewayEntry {
    int32_t id = 0;
    std::string description;
    std::string ipAddress;
    int port = 0;
    std::string status;                 // the status word ("READY", ...)
    int64_t since = 0;                  // unix seconds: when it took that status
    std::optional<int64_t> lastFrame;   // unix seconds: its last frame; none yet
    uint64_t queued = 0;                // frames waiting to be sent
    uint64_t waiting = 0;               // frames sent, waiting for their answer
    uint64_t connectAttempts = 0;       // failed connection attempts since the last success
    uint64_t crcErrors = 0;             // frames dropped for a wrong CRC
};

// The result of GATEWAYS: writes "Gateways", one object per gateway, its members "ID",
// "Description", "IpAddress", "Port", "Status", "Since", "LastFrame" (null when none),
// "Queued", "Waiting", "ConnectAttempts", "CrcErrors" in this order.
class MuxGatewaysPayload : public MuxMessagePayloadBase {
public:
    explicit MuxGatewaysPayload(std::vector<MuxGatewayEntry> gateways)
        : gateways(std::move(gateways)) {}
    rapidjson::Value ToJSONObject(rapidjson::Document& document) const override;

    std::vector<MuxGatewayEntry> gateways;
};

// A gateway's status changed (code 102): writes "GatewayID", "Status" and "Previous",
// the two status words.
class MuxGatewayStatusEventPayload : public MuxMessagePayloadBase {
public:
    MuxGatewayStatusEventPayload(int32_t gatewayID, std::string status, std::string previous)
        : gatewayID(gatewayID), status(std::move(status)), previous(std::move(previous)) {}
    rapidjson::Value ToJSONObject(rapidjson::Document& document) const override;

    int32_t gatewayID;
    std::string status;
    std::string previous;
};

}  // namespace Mux
