#pragma once
// lockhub as Home Assistant sees it: announces the doors of the configuration in force
// (DiscoveryConfigs.h) through the MQTT bridge, and keeps their entities' retained
// messages true: each gateway's availability ("online" while READY), each lock's state and
// battery. Publishes reader events, and tells when the status polls that feed the battery
// sensors are due.
//
// A lock's state follows the answers to door commands, whoever sent them: "UNLOCKED" after
// an acknowledged open, "LOCKED" after an acknowledged close, "OPEN" after an acknowledged
// open for a time and "LOCKED" once that time has passed. A refused or unanswered command
// from Home Assistant publishes the state the lock had again, so Home Assistant shows what
// the door did, not what was asked. Unknown until the first acknowledgement.
//
// What was published is remembered by topic (a hash of each payload), so Apply publishes
// only what changed and clears, with an empty retained message, the topics of entities that
// left the configuration. The bridge publishes everything retained again after each
// reconnect and each Home Assistant birth.
//
// Threads: Apply on the starting thread before the core runs, then, like Tick, on the
// core's gateways thread; GatewayStatus, Answered, ReaderEvent, OpenTime and NextWake from
// any thread. One mutex guards the state; it is never held while the wake callback runs.
//
// Ownership: owned by the core; shares the bridge it publishes through with the core.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "homeassistant/DiscoveryConfigs.h"
#include "mqtt/MqttSettings.h"

namespace Mux::Mqtt {
class MqttBridge;
}

namespace Mux::HomeAssistant {

using LockKey = std::pair<int32_t, int32_t>;  // gateway ID, lock ID

// What an answer tells of a lock.
struct LockAnswer {
    enum class Kind { unlock, lock, openFor, status };
    LockKey lock;
    Kind kind = Kind::status;
    bool acknowledged = false;
    std::chrono::seconds openFor{0};  // openFor
    std::optional<bool> batteryLow;   // an acknowledged status with the lock's state
    bool fromHomeAssistant = false;   // answers a set command
};

class Discovery {
public:
    using Clock = std::chrono::steady_clock;

    // wake: asks the gateways thread to call Tick soon (a timer moved earlier).
    explicit Discovery(std::string version, std::function<void()> wake)
        : version_(std::move(version)), wake_(std::move(wake)) {}
    Discovery(const Discovery&) = delete;
    Discovery& operator=(const Discovery&) = delete;

    // Puts a configuration in force: the bridge (null: none), its settings (discovery off
    // when null or without discovery) and the doors. Turned off with the bridge still there,
    // it clears every topic it published.
    void Apply(std::shared_ptr<Mqtt::MqttBridge> bridge, const Mqtt::MqttSettings* settings,
               Catalog catalog, Clock::time_point now);
    // A gateway's status changed; any gateway, announced or not.
    void GatewayStatus(int32_t gatewayId, bool ready);
    void Answered(const LockAnswer& answer, Clock::time_point now);
    // A card (pin false) or PIN at a lock's reader; data: the card number or PIN.
    void ReaderEvent(int32_t gatewayId, int32_t lockId, bool pin, const std::string& data);

    // The open time of Home Assistant's "OPEN"; none while discovery is off.
    std::optional<std::chrono::seconds> OpenTime() const;
    // When Tick has work next; none when it has none.
    std::optional<Clock::time_point> NextWake() const;
    // Publishes the states whose time came, and gives the locks whose status poll is due
    // now (each then waits its period again). Locks of a gateway not READY wait for it.
    std::vector<LockKey> Tick(Clock::time_point now);

private:
    struct Lock {
        std::optional<std::string> state;
        std::optional<Clock::time_point> lockedAt;  // OPEN until then
        std::optional<bool> batteryLow;
        Clock::time_point nextPoll{};
    };

    // Publishes payload retained to topic unless it is what was published last (always
    // when forced). Under mutex_.
    void Set(const std::string& topic, const std::string& payload, bool force = false);
    std::string Topic(const std::string& levels) const;
    void PublishState(const LockKey& key, const Lock& lock, bool force);

    const std::string version_;
    const std::function<void()> wake_;

    mutable std::mutex mutex_;
    // Guarded by mutex_.
    std::shared_ptr<Mqtt::MqttBridge> bridge_;
    std::optional<Mqtt::MqttSettings> settings_;  // with discovery, or none: off
    std::map<LockKey, Lock> locks_;
    std::set<int32_t> gateways_;               // announced
    std::map<int32_t, bool> ready_;            // every gateway's, as last reported
    std::map<std::string, size_t> published_;  // topic -> hash of the payload
};

}  // namespace Mux::HomeAssistant
