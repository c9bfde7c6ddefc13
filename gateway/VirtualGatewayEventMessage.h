#pragma once
// An event a lock sent through its gateway (a card presented at its reader, a PIN
// entered), as the gateway hands it to its event callback. A plain value.

#include <cstdint>
#include <string>

namespace Quarn::Messages::VG {

class VirtualGatewayEventMessage {
public:
    // data: the card identifier or PIN as upper-case hexadecimal, two digits per byte;
    // empty when the event carried none.
    VirtualGatewayEventMessage(uint8_t eventType, uint16_t deviceAddress, std::string data)
        : eventType_(eventType), deviceAddress_(deviceAddress), data_(std::move(data)) {}

    // The message type of the event frame: 0x0E, 0x0F, 0x11, 0x12 (card reader) or 0x16
    // (PIN code).
    uint8_t GetEventType() const { return eventType_; }
    // The low 16 bits of the frame's device address.
    uint16_t GetDeviceAddress() const { return deviceAddress_; }
    std::string GetData() const { return data_; }

private:
    uint8_t eventType_;
    uint16_t deviceAddress_;
    std::string data_;
};

}  // namespace Quarn::Messages::VG
