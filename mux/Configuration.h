#pragma once
// The configuration: which gateways exist, where to reach them, which locks each serves,
// whether the multiplexer is enabled, and how long a client waits for a gateway's answer.

#include <optional>
#include <string>
#include <vector>

namespace Mux::Configuration {

inline constexpr int kDefaultRequestTimeoutSeconds = 20;

struct MuxDeviceData {
    std::string Name;
    int ID = 0;
};

struct MuxGatewayData {
    int ID = 0;
    std::string Description;
    std::string IpAddress;
    int Port = 0;  // 0: the gateway's default port
    std::vector<MuxDeviceData> Devices;
    // Whether frames with a wrong CRC are dropped; unset: the top level's setting.
    std::optional<bool> CheckFrameCRC;
};

struct MuxConfigurationData {
    bool Enabled = false;
    std::vector<MuxGatewayData> Gateways;
    // Seconds a request may wait for its gateway's answer; 0 waits for ever. Never
    // negative: a negative value in the text gives the default.
    int RequestTimeout = kDefaultRequestTimeoutSeconds;
    // Whether gateway frames with a wrong CRC are dropped; off only for gateways that do
    // not fill the CRC in.
    bool CheckFrameCRC = true;
};

// The text of a configuration file, read line by line, each line ended by "\n"; nullopt,
// with errno set, when it cannot be read (missing, not readable, a folder).
std::optional<std::string> ReadConfigurationFile(const std::string& path);

// Parses a configuration text. Strict JSON; a member of the wrong type counts as absent;
// of two members with the same key the first counts. Refused (nullopt): text that does not
// parse, a root that is not an object, a gateway or device element that is not an object,
// an "ID" or "Port" that is a number but not a 32-bit signed integer.
std::optional<MuxConfigurationData> ParseConfigurationText(const std::string& json);

// The multi-line description the core logs after parsing.
std::string DescribeConfiguration(const MuxConfigurationData& configuration);

}  // namespace Mux::Configuration
