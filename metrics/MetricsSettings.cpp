#include "metrics/MetricsSettings.h"

#include <arpa/inet.h>

#include <cstring>

namespace Mux::Metrics {
namespace {

constexpr const char* kMember = "Metrics";
constexpr int kHighestPort = 65535;

std::string Quoted(const rapidjson::Value& name) {
    // Appended rather than added to a literal: GCC 12 warns falsely about that form.
    return std::string("\"").append(name.GetString(), name.GetStringLength()).append("\"");
}

}  // namespace

SettingsReading ReadSettings(const rapidjson::Value& configuration) {
    SettingsReading reading;
    if (!configuration.IsObject()) {
        return reading;
    }
    auto member = configuration.FindMember(kMember);
    if (member == configuration.MemberEnd() || !member->value.IsObject()) {
        return reading;
    }
    const rapidjson::Value& object = member->value;
    for (auto key = object.MemberBegin(); key != object.MemberEnd(); ++key) {
        const std::string name(key->name.GetString(), key->name.GetStringLength());
        if (name != "Address" && name != "Port") {
            reading.notes.push_back("Metrics: unknown key " + Quoted(key->name) + " is ignored");
        }
    }
    // Of two keys with the same name the first counts, as everywhere in the configuration.
    Settings settings;
    bool usable = true;
    auto refuse = [&](const char* why) {
        reading.notes.push_back(std::string("Metrics: ") + why + ": metrics are not served");
        usable = false;
    };
    if (auto address = object.FindMember("Address"); address != object.MemberEnd()) {
        const rapidjson::Value& value = address->value;
        in_addr parsed{};
        if (!value.IsString() || std::strlen(value.GetString()) != value.GetStringLength() ||
            ::inet_pton(AF_INET, value.GetString(), &parsed) != 1) {
            refuse("\"Address\" must be an IPv4 address such as 127.0.0.1");
        } else {
            settings.address = value.GetString();
        }
    }
    if (auto port = object.FindMember("Port"); port != object.MemberEnd()) {
        const rapidjson::Value& value = port->value;
        if (!value.IsInt() || value.GetInt() < 1 || value.GetInt() > kHighestPort) {
            refuse("\"Port\" must be a whole number from 1 to 65535");
        } else {
            settings.port = value.GetInt();
        }
    }
    if (usable) {
        reading.settings = settings;
    }
    return reading;
}

}  // namespace Mux::Metrics
