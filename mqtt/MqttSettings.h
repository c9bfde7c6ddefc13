#pragma once
// How lockhub reaches its MQTT broker: the configuration's "Mqtt" object (its schema is the
// configuration's). A value type; the functions run on any thread and log nothing.

#include <optional>
#include <string>

namespace Mux::Mqtt {

inline constexpr int kDefaultBrokerPort = 1883;

// Home Assistant's MQTT discovery ("Discovery" in "Mqtt"): where lockhub announces its
// doors, and how its entities behave.
struct DiscoverySettings {
    // Home Assistant's discovery prefix: the configurations go below it, and its birth
    // message arrives on <prefix>/status.
    std::string prefix;
    // How long "OPEN" opens a door for, in seconds (1 to 255).
    int openSeconds = 5;
    // How often each lock's status is asked for its battery; 0: never.
    int statusSeconds = 3600;
    // Whether reader events carry the card number or PIN.
    bool exposeCredentials = false;
    bool operator==(const DiscoverySettings&) const = default;
};

struct MqttSettings {
    std::string host;  // a name or an IP address (IPv6 without its brackets)
    int port = kDefaultBrokerPort;
    std::string clientId;
    // The first topic levels of everything lockhub publishes and subscribes to; no
    // wildcards, no '/' at its end.
    std::string topicPrefix;
    // Sent only when username is not empty; a password needs a username.
    std::string username;
    std::string password;
    // TLS is on when caFile is set; the client certificate and key go together.
    std::string caFile;
    std::string certificateFile;
    std::string keyFile;
    // Home Assistant discovery; none: off.
    std::optional<DiscoverySettings> discovery;

    bool UsesTls() const { return !caFile.empty(); }
    bool operator==(const MqttSettings&) const = default;
    // Whether a bridge with these settings and one with other's talk to the same broker in
    // the same way and subscribe to the same topics: what discovery only shapes in its
    // messages (open time, status period, credentials) may differ.
    bool SameLink(const MqttSettings& other) const;
    // "host:port" as the log names the broker ("[::1]:1883" for IPv6).
    std::string BrokerName() const;
};

// Reads "Broker": "host", "host:port", "[IPv6]" or "[IPv6]:port" into the settings' host
// and port. Empty when good, else what is wrong, in words that follow the key's name.
std::string ReadBroker(const std::string& text, MqttSettings& settings);
// Empty when prefix may be a topic prefix (no wildcard, no '/' at its end), else why not.
std::string CheckTopicPrefix(const std::string& prefix);

}  // namespace Mux::Mqtt
