#pragma once
// The topics of one lockhub under its prefix, in one place:
//   <prefix>/status                                     "online" or "offline", retained
//   <prefix>/gateway/<GatewayID>/status                 the gateway's status word, retained
//   <prefix>/gateway/<GatewayID>/lock/<lockID>/event    events, QoS 1
//   <prefix>/gateway/<GatewayID>/lock/<lockID>/command  commands to lockhub
// and, with Home Assistant discovery:
//   <prefix>/gateway/<GatewayID>/availability           "online" while READY, retained
//   <prefix>/gateway/<GatewayID>/lock/<lockID>/set      "LOCK", "UNLOCK" or "OPEN"
//   <prefix>/gateway/<GatewayID>/lock/<lockID>/state    the lock's state, retained
//   <prefix>/gateway/<GatewayID>/lock/<lockID>/battery  "ON" when low, retained
//   <prefix>/gateway/<GatewayID>/lock/<lockID>/reader   card and PIN events
// What waits in the outbox names its topic by the levels below the prefix (from the '/'
// after it on), which Under puts beneath this prefix: so a publication follows the bridge
// to a new prefix. A value object; any thread.

#include <cstdint>
#include <string>
#include <string_view>

namespace Mux::Mqtt {

class MqttTopics {
public:
    static constexpr std::string_view kStatusLevels = "/status";

    explicit MqttTopics(std::string prefix) : prefix_(std::move(prefix)) {}

    static std::string GatewayStatusLevels(int32_t gatewayId);
    static std::string GatewayAvailabilityLevels(int32_t gatewayId);
    static std::string EventLevels(int32_t gatewayId, int32_t lockId);
    static std::string LockSetLevels(int32_t gatewayId, int32_t lockId);
    static std::string LockStateLevels(int32_t gatewayId, int32_t lockId);
    static std::string LockBatteryLevels(int32_t gatewayId, int32_t lockId);
    static std::string LockReaderLevels(int32_t gatewayId, int32_t lockId);
    std::string Under(std::string_view levels) const { return prefix_ + std::string(levels); }

    std::string Status() const { return Under(kStatusLevels); }
    // The subscriptions that match every command topic and every set topic.
    std::string CommandFilter() const { return prefix_ + "/gateway/+/lock/+/command"; }
    std::string SetFilter() const { return prefix_ + "/gateway/+/lock/+/set"; }
    // Of a topic that matched CommandFilter or SetFilter: whether it is a set topic.
    static bool IsSetTopic(std::string_view topic);
    // The gateway and lock of a topic that matched CommandFilter or SetFilter; false when
    // either level is not a decimal 32-bit integer.
    bool ParseCommand(const std::string& topic, int32_t& gatewayId, int32_t& lockId) const;

private:
    std::string prefix_;
};

}  // namespace Mux::Mqtt
