#include "homeassistant/DiscoveryConfigs.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cctype>
#include <functional>

#include "mqtt/MqttBridge.h"
#include "mqtt/MqttTopics.h"

namespace Mux::HomeAssistant {
namespace {

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;
using Mqtt::MqttTopics;

constexpr const char* kOrigin = "lockhub";

void Text(Writer& writer, std::string_view key, std::string_view value) {
    writer.Key(key.data(), static_cast<rapidjson::SizeType>(key.size()));
    writer.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
}

// Home Assistant takes letters, digits, '_' and '-' in a topic's node and object levels.
std::string NodeId(const std::string& clientId) {
    std::string node = clientId;
    for (char& c : node) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') {
            c = '_';
        }
    }
    return node;
}

// Which availability topics an entity follows: none, lockhub's status, or lockhub's and
// its gateway's.
enum class Follows { nothing, lockhub, lockhubAndGateway };

// What every configuration of one ClientId, topic prefix and version shares.
class Announcer {
public:
    Announcer(const Mqtt::MqttSettings& settings, std::string_view version)
        : settings_(settings),
          topics_(settings.topicPrefix),
          node_(NodeId(settings.clientId)),
          version_(version) {}

    std::string ConfigTopic(std::string_view component, const std::string& object) const {
        return settings_.discovery->prefix + "/" + std::string(component) + "/" + node_ + "/" +
               object + "/config";
    }
    std::string Under(const std::string& levels) const { return topics_.Under(levels); }
    std::string UniqueId(const std::string& rest) const { return settings_.clientId + "_" + rest; }

    // An entity's configuration: its name and unique ID, the members only it has, its
    // availability, its device (a gateway's, or lockhub's when null) and the origin.
    std::string Config(const std::string& name, const std::string& uniqueId,
                       const std::function<void(Writer&)>& members, Follows follows,
                       const GatewayEntry* device) const {
        rapidjson::StringBuffer buffer;
        Writer writer(buffer);
        writer.StartObject();
        Text(writer, "name", name);
        Text(writer, "unique_id", uniqueId);
        members(writer);
        if (follows != Follows::nothing) {
            writer.Key("availability");
            writer.StartArray();
            Availability(writer, topics_.Status());
            if (follows == Follows::lockhubAndGateway) {
                Availability(writer, Under(MqttTopics::GatewayAvailabilityLevels(device->id)));
            }
            writer.EndArray();
            Text(writer, "availability_mode", "all");
        }
        Device(writer, device);
        writer.Key("origin");
        writer.StartObject();
        Text(writer, "name", kOrigin);
        Text(writer, "sw_version", version_);
        writer.EndObject();
        writer.EndObject();
        return buffer.GetString();
    }

private:
    static void Availability(Writer& writer, const std::string& topic) {
        writer.StartObject();
        Text(writer, "topic", topic);
        Text(writer, "payload_available", Mqtt::MqttBridge::kOnline);
        Text(writer, "payload_not_available", Mqtt::MqttBridge::kOffline);
        writer.EndObject();
    }

    // lockhub's device, or a gateway's (via lockhub's).
    void Device(Writer& writer, const GatewayEntry* gateway) const {
        writer.Key("device");
        writer.StartObject();
        writer.Key("identifiers");
        writer.StartArray();
        if (gateway == nullptr) {
            writer.String(settings_.clientId.c_str());
        } else {
            writer.String(UniqueId("gateway_" + std::to_string(gateway->id)).c_str());
        }
        writer.EndArray();
        if (gateway == nullptr) {
            Text(writer, "name", "lockhub");
            Text(writer, "model", "lockhub");
            Text(writer, "sw_version", version_);
        } else {
            Text(writer, "name",
                 gateway->description.empty() ? "Gateway " + std::to_string(gateway->id)
                                              : gateway->description);
            Text(writer, "model", "Lock gateway");
            Text(writer, "via_device", settings_.clientId);
        }
        writer.EndObject();
    }

    const Mqtt::MqttSettings& settings_;
    const MqttTopics topics_;
    const std::string node_;
    const std::string_view version_;
};

void BinarySensor(Writer& writer, std::string_view deviceClass, const std::string& stateTopic,
                  std::string_view on, std::string_view off) {
    Text(writer, "device_class", deviceClass);
    Text(writer, "state_topic", stateTopic);
    Text(writer, "payload_on", on);
    Text(writer, "payload_off", off);
}

}  // namespace

std::string LockName(const LockEntry& lock) {
    return lock.name.empty() ? "Lock " + std::to_string(lock.id) : lock.name;
}

std::map<std::string, std::string> DiscoveryConfigs(const Mqtt::MqttSettings& settings,
                                                    const Catalog& catalog,
                                                    std::string_view version) {
    const Announcer announce(settings, version);
    std::map<std::string, std::string> configs;
    const std::string online = Mqtt::MqttBridge::kOnline;
    const std::string offline = Mqtt::MqttBridge::kOffline;
    // lockhub's own connection: its state is lockhub's status, so it has no availability
    // of its own (it would turn unavailable where it should read off).
    configs[announce.ConfigTopic("binary_sensor", "connectivity")] = announce.Config(
        "Connection", announce.UniqueId("connectivity"),
        [&](Writer& writer) {
            BinarySensor(writer, "connectivity",
                         announce.Under(std::string(MqttTopics::kStatusLevels)), online, offline);
            Text(writer, "entity_category", "diagnostic");
        },
        Follows::nothing, nullptr);
    for (const GatewayEntry& gateway : catalog) {
        const std::string g = std::to_string(gateway.id);
        // Available while lockhub is: it tells whether the gateway is, as on and off.
        configs[announce.ConfigTopic("binary_sensor", "g" + g + "_connectivity")] = announce.Config(
            "Connection", announce.UniqueId(g + "_connectivity"),
            [&](Writer& writer) {
                BinarySensor(writer, "connectivity",
                             announce.Under(MqttTopics::GatewayAvailabilityLevels(gateway.id)),
                             online, offline);
                Text(writer, "entity_category", "diagnostic");
            },
            Follows::lockhub, &gateway);
        for (const LockEntry& lock : gateway.locks) {
            const std::string object = "g" + g + "_l" + std::to_string(lock.id);
            const std::string ids = g + "_" + std::to_string(lock.id);
            const std::string name = LockName(lock);
            configs[announce.ConfigTopic("lock", object)] = announce.Config(
                name, announce.UniqueId(ids + "_lock"),
                [&](Writer& writer) {
                    Text(writer, "command_topic",
                         announce.Under(MqttTopics::LockSetLevels(gateway.id, lock.id)));
                    Text(writer, "state_topic",
                         announce.Under(MqttTopics::LockStateLevels(gateway.id, lock.id)));
                    Text(writer, "payload_lock", kLockPayload);
                    Text(writer, "payload_unlock", kUnlockPayload);
                    Text(writer, "payload_open", kOpenPayload);
                    Text(writer, "state_locked", kLocked);
                    Text(writer, "state_unlocked", kUnlocked);
                    Text(writer, "state_open", kOpen);
                    writer.Key("optimistic");
                    writer.Bool(false);
                    writer.Key("qos");
                    writer.Int(1);
                    writer.Key("retain");
                    writer.Bool(false);
                },
                Follows::lockhubAndGateway, &gateway);
            configs[announce.ConfigTopic("event", object + "_reader")] = announce.Config(
                name + " reader", announce.UniqueId(ids + "_reader"),
                [&](Writer& writer) {
                    Text(writer, "state_topic",
                         announce.Under(MqttTopics::LockReaderLevels(gateway.id, lock.id)));
                    writer.Key("event_types");
                    writer.StartArray();
                    writer.String("card");
                    writer.String("pin");
                    writer.EndArray();
                },
                Follows::lockhubAndGateway, &gateway);
            configs[announce.ConfigTopic("binary_sensor", object + "_battery")] = announce.Config(
                name + " battery", announce.UniqueId(ids + "_battery"),
                [&](Writer& writer) {
                    BinarySensor(writer, "battery",
                                 announce.Under(MqttTopics::LockBatteryLevels(gateway.id, lock.id)),
                                 kOn, kOff);
                },
                Follows::lockhubAndGateway, &gateway);
        }
    }
    return configs;
}

}  // namespace Mux::HomeAssistant
