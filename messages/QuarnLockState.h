#pragma once
// A lock's status decoded from the 7 status bytes of a get-status answer. A plain value.

#include <cstdint>

#include "messages/QuarnGetStatusPayload.h"

namespace Quarn::Messages {

class QuarnLockState {
public:
    // Decodes the payload's status record, logging each value at debug. A null payload
    // (logged at warning), or one without a status record, gives the all-zero state.
    // Borrows payload for the call only.
    static QuarnLockState ParseFromBuffer(const QuarnGetStatusPayload* payload);

    // 0 none available, 1 internal resistance too high, 2 medium, 3 OK (full).
    uint32_t GetBatteryStatus() const { return batteryStatus_; }
    // 0 below 80%, 1 at least 80%, 2 at least 90%, 3 at least 95%.
    uint32_t GetQoS() const { return qos_; }
    bool IsBatteryAlarm() const { return batteryAlarm_; }
    bool IsBatteryWarning() const { return batteryWarning_; }
    bool IsMechanicalActive() const { return mechanicalActive_; }
    bool IsReaderConnected() const { return readerConnected_; }

private:
    uint32_t batteryStatus_ = 0;
    uint32_t qos_ = 0;
    bool batteryAlarm_ = false;
    bool batteryWarning_ = false;
    bool mechanicalActive_ = false;
    bool readerConnected_ = false;
};

}  // namespace Quarn::Messages
