#pragma once
// The discovery configurations that make lockhub's doors appear in Home Assistant, one
// retained message each, under the discovery prefix:
//   <prefix>/binary_sensor/<node>/connectivity/config       lockhub's own connection
//   <prefix>/binary_sensor/<node>/g<G>_connectivity/config  each gateway's connection
//   <prefix>/lock/<node>/g<G>_l<L>/config                   each lock
//   <prefix>/event/<node>/g<G>_l<L>_reader/config           each lock's reader
//   <prefix>/binary_sensor/<node>/g<G>_l<L>_battery/config  each lock's battery
// where <node> is the bridge's ClientId with every character Home Assistant does not take
// in a topic's node level replaced by '_'. Devices: lockhub's (identified by the ClientId),
// and one per gateway, via lockhub's. Unique IDs are made of the ClientId, the gateway ID
// and the lock ID, so they stay the same across restarts and reloads.
//
// Pure functions of their arguments; any thread.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mqtt/MqttSettings.h"

namespace Mux::HomeAssistant {

struct LockEntry {
    int32_t id = 0;
    std::string name;  // the lock's "Name"; may be empty
    bool operator==(const LockEntry&) const = default;
};

struct GatewayEntry {
    int32_t id = 0;
    std::string description;  // the gateway's "Description"; may be empty
    std::vector<LockEntry> locks;
    bool operator==(const GatewayEntry&) const = default;
};

// The doors to announce: the routed gateways, each lock once.
using Catalog = std::vector<GatewayEntry>;

// The state words of the lock entity and the payloads of its set topic.
inline constexpr std::string_view kLocked = "LOCKED";
inline constexpr std::string_view kUnlocked = "UNLOCKED";
inline constexpr std::string_view kOpen = "OPEN";
inline constexpr std::string_view kLockPayload = "LOCK";
inline constexpr std::string_view kUnlockPayload = "UNLOCK";
inline constexpr std::string_view kOpenPayload = "OPEN";
// The binary sensors' words.
inline constexpr std::string_view kOn = "ON";
inline constexpr std::string_view kOff = "OFF";

// The name a lock shows: its "Name", or "Lock <ID>" without one.
std::string LockName(const LockEntry& lock);

// Every configuration, by topic. settings must have discovery.
std::map<std::string, std::string> DiscoveryConfigs(const Mqtt::MqttSettings& settings,
                                                    const Catalog& catalog,
                                                    std::string_view version);

}  // namespace Mux::HomeAssistant
