#pragma once
// How lockhub reaches its MQTT broker: the configuration's "Mqtt" object, read and checked.
// A value type; ReadMqttSettings runs on any thread and logs nothing.

#include <rapidjson/fwd.h>

#include <optional>
#include <string>

namespace Mux::Mqtt {

inline constexpr int kDefaultBrokerPort = 1883;

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

    bool UsesTls() const { return !caFile.empty(); }
    // "host:port" as the log names the broker ("[::1]:1883" for IPv6).
    std::string BrokerName() const;
};

// Reads the value of the configuration's "Mqtt" key: "Broker" ("host:port" or "host",
// port 1883), "ClientId" and "TopicPrefix" are required; "Username", "Password", "CA",
// "Certificate" and "Key" are optional texts, and the files named must be readable. Any
// other key, a value of the wrong kind or out of range refuses the whole object:
// nullopt, with error set to one line that names the key and says what is wrong.
std::optional<MqttSettings> ReadMqttSettings(const rapidjson::Value& mqtt, std::string& error);

}  // namespace Mux::Mqtt
