#pragma once
// Payloads of the lock and whitelist commands sent to a gateway.

#include <cstdint>
#include <vector>

#include "messages/QuarnMessagePayload.h"

namespace Quarn::Messages {

// No bytes; its tag is the message type it is built for (6, 7 or 8).
class QuarnDeviceOnlyPayload : public QuarnMessagePayload {
public:
    explicit QuarnDeviceOnlyPayload(uint8_t type) : QuarnMessagePayload(type) {}
};

// Open-close: the open time, one byte.
class QuarnShortTermActivationPayload : public QuarnMessagePayload {
public:
    static constexpr uint8_t PAYLOAD_TYPE = 10;
    explicit QuarnShortTermActivationPayload(uint8_t duration)
        : QuarnMessagePayload(PAYLOAD_TYPE), duration_(duration) {}
    std::vector<unsigned char> ToByteArray() const override;

private:
    uint8_t duration_;
};

// Open: parameter and time, two bytes each, big-endian.
class QuarnLongTermActivationPayload : public QuarnMessagePayload {
public:
    static constexpr uint8_t PAYLOAD_TYPE = 11;
    QuarnLongTermActivationPayload(uint16_t parameter, uint16_t time)
        : QuarnMessagePayload(PAYLOAD_TYPE), parameter_(parameter), time_(time) {}
    std::vector<unsigned char> ToByteArray() const override;

private:
    uint16_t parameter_;
    uint16_t time_;
};

// Close: the delay, two bytes, big-endian.
class QuarnLongTermReleasePayload : public QuarnMessagePayload {
public:
    static constexpr uint8_t PAYLOAD_TYPE = 12;
    explicit QuarnLongTermReleasePayload(uint16_t delay)
        : QuarnMessagePayload(PAYLOAD_TYPE), delay_(delay) {}
    std::vector<unsigned char> ToByteArray() const override;

private:
    uint16_t delay_;
};

}  // namespace Quarn::Messages
