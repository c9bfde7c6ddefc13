#pragma once
// The topics of one lockhub under its prefix, in one place:
//   <prefix>/status                                     "online" or "offline", retained
//   <prefix>/gateway/<GatewayID>/status                 the gateway's status word, retained
//   <prefix>/gateway/<GatewayID>/lock/<lockID>/event    events, QoS 1
//   <prefix>/gateway/<GatewayID>/lock/<lockID>/command  commands to lockhub
// A value object; any thread.

#include <cstdint>
#include <string>

namespace Mux::Mqtt {

class MqttTopics {
public:
    explicit MqttTopics(std::string prefix) : prefix_(std::move(prefix)) {}

    std::string Status() const { return prefix_ + "/status"; }
    std::string GatewayStatus(int32_t gatewayId) const;
    std::string Event(int32_t gatewayId, int32_t lockId) const;
    // The subscription that matches every command topic.
    std::string CommandFilter() const { return prefix_ + "/gateway/+/lock/+/command"; }
    // The gateway and lock of a topic that matched CommandFilter; false when either level
    // is not a decimal 32-bit integer.
    bool ParseCommand(const std::string& topic, int32_t& gatewayId, int32_t& lockId) const;

private:
    std::string prefix_;
};

}  // namespace Mux::Mqtt
