#include "mqtt/MqttSettings.h"

#include <charconv>
#include <cstdint>
#include <limits>
#include <string_view>

namespace Mux::Mqtt {
namespace {

bool ParsePort(std::string_view text, int& port) {
    const char* end = text.data() + text.size();
    auto [stop, failure] = std::from_chars(text.data(), end, port);
    return failure == std::errc() && stop == end && port >= 1 &&
           port <= std::numeric_limits<uint16_t>::max();
}

}  // namespace

std::string ReadBroker(const std::string& text, MqttSettings& settings) {
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

std::string CheckTopicPrefix(const std::string& prefix) {
    if (prefix.empty()) {
        return "is empty";
    }
    if (prefix.find_first_of("+#") != std::string::npos) {
        return "\"" + prefix + "\" holds a wildcard ('+' or '#')";
    }
    if (prefix.back() == '/') {
        return "\"" + prefix + "\" ends with '/'";
    }
    return "";
}

std::string MqttSettings::BrokerName() const {
    std::string name = host.find(':') == std::string::npos ? host : "[" + host + "]";
    return name + ":" + std::to_string(port);
}

bool MqttSettings::SameLink(const MqttSettings& other) const {
    auto prefixOf = [](const MqttSettings& settings) {
        return settings.discovery ? std::optional<std::string>(settings.discovery->prefix)
                                  : std::nullopt;
    };
    MqttSettings mine = *this;
    MqttSettings theirs = other;
    mine.discovery.reset();
    theirs.discovery.reset();
    return mine == theirs && prefixOf(*this) == prefixOf(other);
}

}  // namespace Mux::Mqtt
