#include "mqtt/MqttSettings.h"

#include <rapidjson/document.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <limits>

namespace Mux::Mqtt {
namespace {

using rapidjson::Value;

// The keys of the "Mqtt" object and where each one goes.
struct TextKey {
    const char* name;
    std::string MqttSettings::*field;
    bool required;
    bool file;  // names a file that must be readable
};

constexpr TextKey kKeys[] = {
    {"Broker", nullptr, true, false},  // split into host and port
    {"ClientId", &MqttSettings::clientId, true, false},
    {"TopicPrefix", &MqttSettings::topicPrefix, true, false},
    {"Username", &MqttSettings::username, false, false},
    {"Password", &MqttSettings::password, false, false},
    {"CA", &MqttSettings::caFile, false, true},
    {"Certificate", &MqttSettings::certificateFile, false, true},
    {"Key", &MqttSettings::keyFile, false, true},
};

std::string Named(const char* key) {
    return std::string("Mqtt \"") + key + "\": ";
}

bool ParsePort(std::string_view text, int& port) {
    const char* end = text.data() + text.size();
    auto [stop, failure] = std::from_chars(text.data(), end, port);
    return failure == std::errc() && stop == end && port >= 1 &&
           port <= std::numeric_limits<uint16_t>::max();
}

// "host", "host:port", "[IPv6]" or "[IPv6]:port". Empty when good, else what is wrong.
std::string ParseBroker(const std::string& text, MqttSettings& settings) {
    std::string_view rest;
    if (!text.empty() && text.front() == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos) {
            return "\"" + text + "\" lacks the ']' of its IPv6 address";
        }
        settings.host = text.substr(1, close - 1);
        rest = std::string_view(text).substr(close + 1);
        if (!rest.empty() && rest.front() != ':') {
            return "\"" + text + "\" has something other than \":port\" after ']'";
        }
    } else {
        size_t colon = text.find(':');
        if (colon != std::string::npos && text.find(':', colon + 1) != std::string::npos) {
            return "\"" + text + "\": write an IPv6 address in brackets, \"[address]:port\"";
        }
        settings.host = text.substr(0, colon);
        rest =
            colon == std::string::npos ? std::string_view() : std::string_view(text).substr(colon);
    }
    if (settings.host.empty()) {
        return "\"" + text + "\" names no host";
    }
    if (!rest.empty() && !ParsePort(rest.substr(1), settings.port)) {
        return "\"" + text + "\" has no port in 1-65535 after ':'";
    }
    return "";
}

std::string CheckPrefix(const std::string& prefix) {
    if (prefix.find_first_of("+#") != std::string::npos) {
        return "\"" + prefix + "\" holds a wildcard ('+' or '#')";
    }
    if (prefix.back() == '/') {
        return "\"" + prefix + "\" ends with '/'";
    }
    return "";
}

}  // namespace

std::string MqttSettings::BrokerName() const {
    std::string name = host.find(':') == std::string::npos ? host : "[" + host + "]";
    return name + ":" + std::to_string(port);
}

std::optional<MqttSettings> ReadMqttSettings(const Value& mqtt, std::string& error) {
    error.clear();
    if (!mqtt.IsObject()) {
        error = "Mqtt: not an object";
        return std::nullopt;
    }
    for (const auto& member : mqtt.GetObject()) {
        std::string_view name(member.name.GetString(), member.name.GetStringLength());
        if (std::none_of(std::begin(kKeys), std::end(kKeys),
                         [&](const TextKey& key) { return name == key.name; })) {
            error = "Mqtt: unknown key \"" + std::string(name) + "\"";
            return std::nullopt;
        }
    }
    MqttSettings settings;
    for (const TextKey& key : kKeys) {
        Value::ConstMemberIterator member = mqtt.FindMember(key.name);
        if (member == mqtt.MemberEnd()) {
            if (key.required) {
                error = Named(key.name) + "missing";
                return std::nullopt;
            }
            continue;
        }
        if (!member->value.IsString() || member->value.GetStringLength() == 0 ||
            std::strlen(member->value.GetString()) != member->value.GetStringLength()) {
            error = Named(key.name) + "must be a text that is not empty";
            return std::nullopt;
        }
        std::string text(member->value.GetString(), member->value.GetStringLength());
        std::string problem;
        if (key.field == nullptr) {
            problem = ParseBroker(text, settings);
        } else {
            settings.*key.field = text;
            if (key.field == &MqttSettings::topicPrefix) {
                problem = CheckPrefix(text);
            } else if (key.file && ::access(text.c_str(), R_OK) != 0) {
                problem = text + " cannot be read: " + std::strerror(errno);
            }
        }
        if (!problem.empty()) {
            error = Named(key.name) + problem;
            return std::nullopt;
        }
    }
    if (!settings.password.empty() && settings.username.empty()) {
        error = Named("Password") + "needs a \"Username\"";
    } else if (settings.certificateFile.empty() != settings.keyFile.empty()) {
        error = settings.keyFile.empty() ? Named("Certificate") + "needs its \"Key\""
                                         : Named("Key") + "needs its \"Certificate\"";
    } else if (!settings.certificateFile.empty() && !settings.UsesTls()) {
        error = Named("Certificate") + "needs a \"CA\" to check the broker with";
    }
    if (!error.empty()) {
        return std::nullopt;
    }
    return settings;
}

}  // namespace Mux::Mqtt
