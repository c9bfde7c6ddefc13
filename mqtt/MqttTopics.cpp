#include "mqtt/MqttTopics.h"

#include <charconv>
#include <string_view>

namespace Mux::Mqtt {
namespace {

constexpr std::string_view kGatewayLevel = "/gateway/";
constexpr std::string_view kLockLevel = "/lock/";
constexpr std::string_view kCommandLevel = "/command";
constexpr std::string_view kSetLevel = "/set";

std::string LockLevels(int32_t gatewayId, int32_t lockId, std::string_view last) {
    return std::string(kGatewayLevel) + std::to_string(gatewayId) + std::string(kLockLevel) +
           std::to_string(lockId) + std::string(last);
}

// Reads the decimal integer that text starts with, up to the next '/', and moves text past
// it.
bool TakeId(std::string_view& text, int32_t& id) {
    size_t slash = text.find('/');
    std::string_view level = text.substr(0, slash);
    auto [stop, failure] = std::from_chars(level.data(), level.data() + level.size(), id);
    if (level.empty() || failure != std::errc() || stop != level.data() + level.size()) {
        return false;
    }
    text.remove_prefix(level.size());
    return true;
}

bool TakeText(std::string_view& text, std::string_view expected) {
    if (!text.starts_with(expected)) {
        return false;
    }
    text.remove_prefix(expected.size());
    return true;
}

}  // namespace

std::string MqttTopics::GatewayStatusLevels(int32_t gatewayId) {
    return std::string(kGatewayLevel) + std::to_string(gatewayId) + "/status";
}

std::string MqttTopics::GatewayAvailabilityLevels(int32_t gatewayId) {
    return std::string(kGatewayLevel) + std::to_string(gatewayId) + "/availability";
}

std::string MqttTopics::EventLevels(int32_t gatewayId, int32_t lockId) {
    return LockLevels(gatewayId, lockId, "/event");
}

std::string MqttTopics::LockSetLevels(int32_t gatewayId, int32_t lockId) {
    return LockLevels(gatewayId, lockId, kSetLevel);
}

std::string MqttTopics::LockStateLevels(int32_t gatewayId, int32_t lockId) {
    return LockLevels(gatewayId, lockId, "/state");
}

std::string MqttTopics::LockBatteryLevels(int32_t gatewayId, int32_t lockId) {
    return LockLevels(gatewayId, lockId, "/battery");
}

std::string MqttTopics::LockReaderLevels(int32_t gatewayId, int32_t lockId) {
    return LockLevels(gatewayId, lockId, "/reader");
}

bool MqttTopics::IsSetTopic(std::string_view topic) {
    return topic.ends_with(kSetLevel);
}

bool MqttTopics::ParseCommand(const std::string& topic, int32_t& gatewayId, int32_t& lockId) const {
    std::string_view rest = topic;
    return TakeText(rest, prefix_) && TakeText(rest, kGatewayLevel) && TakeId(rest, gatewayId) &&
           TakeText(rest, kLockLevel) && TakeId(rest, lockId) &&
           (rest == kCommandLevel || rest == kSetLevel);
}

}  // namespace Mux::Mqtt
