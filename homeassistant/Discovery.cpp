#include "homeassistant/Discovery.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>

#include "diagnostics/Log.h"
#include "mqtt/MqttBridge.h"
#include "mqtt/MqttTopics.h"

namespace Mux::HomeAssistant {

using Mqtt::MqttTopics;

namespace {

// The payloads of a gateway's availability and of a lock's battery sensor.
std::string AvailabilityWord(bool ready) {
    return ready ? Mqtt::MqttBridge::kOnline : Mqtt::MqttBridge::kOffline;
}

std::string BatteryWord(bool low) {
    return std::string(low ? kOn : kOff);
}

}  // namespace

void Discovery::Apply(std::shared_ptr<Mqtt::MqttBridge> bridge, const Mqtt::MqttSettings* settings,
                      Catalog catalog, Clock::time_point now) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (bridge != bridge_) {
            // A new bridge starts with nothing published.
            published_.clear();
        }
        bridge_ = std::move(bridge);
        const bool on = bridge_ && settings != nullptr && settings->discovery;
        settings_ = on ? std::optional<Mqtt::MqttSettings>(*settings) : std::nullopt;
        std::map<LockKey, Lock> locks;
        gateways_.clear();
        std::map<std::string, std::string> wanted;
        if (on) {
            wanted = DiscoveryConfigs(*settings_, catalog, version_);
            for (const GatewayEntry& gateway : catalog) {
                gateways_.insert(gateway.id);
                wanted[Topic(MqttTopics::GatewayAvailabilityLevels(gateway.id))] =
                    AvailabilityWord(ready_[gateway.id]);
                for (const LockEntry& entry : gateway.locks) {
                    const LockKey key{gateway.id, entry.id};
                    auto known = locks_.find(key);
                    // A lock new to the announcement is polled as soon as its gateway is READY.
                    Lock& kept = locks[key] = known != locks_.end() ? known->second : Lock{};
                    if (known == locks_.end()) {
                        kept.nextPoll = now;
                        wake = true;
                    }
                    if (kept.state) {
                        wanted[Topic(MqttTopics::LockStateLevels(key.first, key.second))] =
                            *kept.state;
                    }
                    if (kept.batteryLow) {
                        wanted[Topic(MqttTopics::LockBatteryLevels(key.first, key.second))] =
                            BatteryWord(*kept.batteryLow);
                    }
                }
            }
        }
        locks_ = std::move(locks);
        size_t cleared = 0;
        for (auto entry = published_.begin(); entry != published_.end();) {
            if (wanted.contains(entry->first)) {
                ++entry;
                continue;
            }
            bridge_->PublishRetained(entry->first, "");
            entry = published_.erase(entry);
            ++cleared;
        }
        size_t before = published_.size();
        for (const auto& [topic, payload] : wanted) {
            Set(topic, payload);
        }
        if (on || cleared > 0) {
            LOG_INFO << "Home Assistant: " << gateways_.size() << " gateways and " << locks_.size()
                     << " locks announced; " << cleared << " topics cleared, "
                     << published_.size() - before << " added.";
        }
    }
    if (wake) {
        wake_();
    }
}

void Discovery::GatewayStatus(int32_t gatewayId, bool ready) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const bool was = std::exchange(ready_[gatewayId], ready);
        if (!settings_ || !gateways_.contains(gatewayId) || was == ready) {
            return;
        }
        Set(Topic(MqttTopics::GatewayAvailabilityLevels(gatewayId)), AvailabilityWord(ready));
        wake = ready && settings_->discovery->statusSeconds > 0;
    }
    if (wake) {
        wake_();
    }
}

void Discovery::Answered(const LockAnswer& answer, Clock::time_point now) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = locks_.find(answer.lock);
        if (!settings_ || found == locks_.end()) {
            return;
        }
        Lock& entry = found->second;
        if (answer.kind == LockAnswer::Kind::status) {
            if (answer.acknowledged && answer.batteryLow) {
                entry.batteryLow = answer.batteryLow;
                Set(Topic(MqttTopics::LockBatteryLevels(answer.lock.first, answer.lock.second)),
                    BatteryWord(*answer.batteryLow));
            }
            return;
        }
        if (!answer.acknowledged) {
            if (answer.fromHomeAssistant) {
                PublishState(answer.lock, entry, true);
            }
            return;
        }
        entry.lockedAt.reset();
        switch (answer.kind) {
            case LockAnswer::Kind::unlock:
                entry.state = kUnlocked;
                break;
            case LockAnswer::Kind::lock:
                entry.state = kLocked;
                break;
            case LockAnswer::Kind::openFor:
                entry.state = kOpen;
                entry.lockedAt = now + answer.openFor;
                wake = true;
                break;
            case LockAnswer::Kind::status:
                break;
        }
        PublishState(answer.lock, entry, false);
    }
    if (wake) {
        wake_();
    }
}

void Discovery::ReaderEvent(int32_t gatewayId, int32_t lockId, bool pin, const std::string& data) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!settings_ || !locks_.contains({gatewayId, lockId})) {
        return;
    }
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartObject();
    writer.Key("event_type");
    writer.String(pin ? "pin" : "card");
    writer.Key("gatewayID");
    writer.Int(gatewayId);
    writer.Key("lockID");
    writer.Int(lockId);
    if (settings_->discovery->exposeCredentials) {
        writer.Key("RFIDData");
        writer.String(data.c_str(), static_cast<rapidjson::SizeType>(data.size()));
    }
    writer.EndObject();
    bridge_->PublishNotice(Topic(MqttTopics::LockReaderLevels(gatewayId, lockId)),
                           buffer.GetString());
}

std::optional<std::chrono::seconds> Discovery::OpenTime() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!settings_) {
        return std::nullopt;
    }
    return std::chrono::seconds(settings_->discovery->openSeconds);
}

std::optional<Discovery::Clock::time_point> Discovery::NextWake() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::optional<Clock::time_point> next;
    if (!settings_) {
        return next;
    }
    const bool polls = settings_->discovery->statusSeconds > 0;
    for (const auto& [key, entry] : locks_) {
        if (entry.lockedAt) {
            next = std::min(next.value_or(*entry.lockedAt), *entry.lockedAt);
        }
        if (polls && ready_.contains(key.first) && ready_.at(key.first)) {
            next = std::min(next.value_or(entry.nextPoll), entry.nextPoll);
        }
    }
    return next;
}

std::vector<LockKey> Discovery::Tick(Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<LockKey> due;
    if (!settings_) {
        return due;
    }
    const std::chrono::seconds period(settings_->discovery->statusSeconds);
    for (auto& [key, entry] : locks_) {
        if (entry.lockedAt && *entry.lockedAt <= now) {
            entry.lockedAt.reset();
            entry.state = kLocked;
            PublishState(key, entry, false);
        }
        if (period.count() > 0 && entry.nextPoll <= now && ready_[key.first]) {
            entry.nextPoll = now + period;
            due.push_back(key);
        }
    }
    return due;
}

void Discovery::Set(const std::string& topic, const std::string& payload, bool force) {
    const size_t hash = std::hash<std::string>{}(payload);
    auto [entry, added] = published_.try_emplace(topic, hash);
    if (!added && entry->second == hash && !force) {
        return;
    }
    entry->second = hash;
    bridge_->PublishRetained(topic, payload);
}

std::string Discovery::Topic(const std::string& levels) const {
    return MqttTopics(settings_->topicPrefix).Under(levels);
}

void Discovery::PublishState(const LockKey& key, const Lock& lock, bool force) {
    if (lock.state) {
        Set(Topic(MqttTopics::LockStateLevels(key.first, key.second)), *lock.state, force);
    }
}

}  // namespace Mux::HomeAssistant
