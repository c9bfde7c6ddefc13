#include "messages/QuarnLockState.h"

#include "diagnostics/Log.h"

namespace Quarn::Messages {

namespace {

constexpr uint8_t BATTERY_STATUS_MASK = 0x03;
constexpr uint8_t QOS_MASK = 0x0C;
constexpr int QOS_SHIFT = 2;
constexpr uint8_t MECHANICAL_ACTIVE_BIT = 0x04;
constexpr uint8_t BATTERY_WARNING_BIT = 0x08;
constexpr uint8_t BATTERY_ALARM_BIT = 0x10;
constexpr uint8_t READER_CONNECTED_BIT = 0x40;

constexpr const char* BATTERY_STATUS_TEXTS[] = {
    "No battery status available.", "Internal resistance too high.", "Battery status medium.",
    "Battery status OK (full)."};
constexpr const char* QOS_TEXTS[] = {"< 80%", "minimum 80%", "minimum 90%", "minimum 95%"};

}  // namespace

QuarnLockState QuarnLockState::ParseFromBuffer(const QuarnGetStatusPayload* payload) {
    QuarnLockState state;
    if (payload == nullptr) {
        LOG_WARNING << "Quarn Lock State payload is nullptr. Cannot parse lock status data.";
        return state;
    }
    LOG_DEBUG << "Quarn Lock State payload is valid.";
    const QuarnGetStatusPayload::StatusData status = payload->GetStatusData();

    state.batteryStatus_ = status[0] & BATTERY_STATUS_MASK;
    LOG_DEBUG << BATTERY_STATUS_TEXTS[state.batteryStatus_];
    state.qos_ = (status[0] & QOS_MASK) >> QOS_SHIFT;
    LOG_DEBUG << QOS_TEXTS[state.qos_];

    state.mechanicalActive_ = (status[2] & MECHANICAL_ACTIVE_BIT) != 0;
    LOG_DEBUG << (state.mechanicalActive_ ? "Lock mechanical active."
                                          : "Lock mechanical non active.");
    state.batteryWarning_ = (status[2] & BATTERY_WARNING_BIT) != 0;
    LOG_DEBUG << (state.batteryWarning_ ? "Current lock is in battery warning."
                                        : "Current lock is not in battery warning.");
    state.batteryAlarm_ = (status[2] & BATTERY_ALARM_BIT) != 0;
    LOG_DEBUG << (state.batteryAlarm_ ? "Current lock is in battery alarm."
                                      : "Current lock is not in battery alarm.");
    state.readerConnected_ = (status[2] & READER_CONNECTED_BIT) != 0;
    return state;
}

}  // namespace Quarn::Messages
