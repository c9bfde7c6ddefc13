#pragma once
// The configuration: which gateways exist, where to reach them, which locks each serves,
// whether the multiplexer is enabled, how long a client waits for a gateway's answer, and
// on which listeners clients connect.

#include <optional>
#include <string>
#include <vector>

#include "metrics/MetricsSettings.h"
#include "mqtt/MqttSettings.h"
#include "mux/ClientPermissions.h"
#include "tls/TlsServerContext.h"

namespace Mux::Configuration {

inline constexpr int kDefaultRequestTimeoutSeconds = 20;

struct MuxDeviceData {
    std::string Name;
    int ID = 0;
    bool operator==(const MuxDeviceData&) const = default;
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

// The TLS listener ("Tls"): its port and its files.
struct TlsListenerData {
    int Port = 0;
    std::string Certificate;
    std::string PrivateKey;
    std::string ClientCA;
    std::string ClientCRL;  // empty: no revocation list
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
    // "Clients": who may do what; everything allowed without the section.
    ClientPermissions Permissions;
    // "AuditLog": the audit trail's file; empty: no trail.
    std::string AuditLog;
    // "Mqtt": the bridge to an MQTT broker; none without the section.
    std::optional<Mqtt::MqttSettings> Mqtt;
    // "Metrics": where metrics are served (none: not served), and what was ignored of it.
    Metrics::SettingsReading Metrics;
    // The members that only a restart applies ("Tls", "PlainListener", "AuditLog", "Mqtt",
    // "Metrics") as the text read, in one comparable text: a reload that changes it says so.
    std::string RestartOnly;
    // The TLS listener; none without a "Tls" section.
    std::optional<TlsListenerData> Tls;
    // Whether the plain listener is open ("PlainListener").
    bool PlainListener = true;
};

// The files of a TLS listener, as its context reads them.
Quarn::Tls::TlsFiles TlsFilesOf(const TlsListenerData& tls);

// What start-up makes of one gateway of a configuration.
enum class GatewayUse {
    routed,       // created and connected; requests for its ID reach it
    unreachable,  // created and connected, but an earlier gateway has its ID: no request
                  // reaches it
    noAddress,    // no "IpAddress": skipped
    badPort,      // a port outside 1..65535: not created
};

struct GatewayPlan {
    size_t index;  // in the configuration's Gateways
    GatewayUse use;
    int port;            // the port it is reached on (PortOf)
    size_t firstWithId;  // unreachable: the gateway that requests for its ID reach; else index
};

// The port a gateway is reached on: its "Port", or the gateways' default port for 0.
int PortOf(const MuxGatewayData& gateway);

// What start-up makes of each gateway of the configuration, in their order; nothing when
// the configuration is not enabled. Start-up and --check-config both go by it.
std::vector<GatewayPlan> PlanGateways(const MuxConfigurationData& configuration);

// The text of a configuration file, read line by line, each line ended by "\n"; nullopt,
// with errno set, when it cannot be read (missing, not readable, a folder).
std::optional<std::string> ReadConfigurationFile(const std::string& path);

// Parses a configuration text. Strict JSON; a member of the wrong type counts as absent;
// of two members with the same key the first counts. Refused (nullopt): text that does not
// parse, a root that is not an object, a gateway or device element that is not an object,
// an "ID" or "Port" that is a number but not a 32-bit signed integer, listener settings
// that cannot be used (a "Tls" that is not an object, lacks a file or has no usable "Port";
// a "PlainListener" that is not true or false; no listener at all), a "Clients" section
// that cannot be read, an "AuditLog" that is not a non-empty string, an "Mqtt" section
// that cannot be used. For the last four,
// reason (when given) tells why; else it is left empty. Whether the TLS files can be used
// is the TLS context's check.
std::optional<MuxConfigurationData> ParseConfigurationText(const std::string& json,
                                                           std::string* reason = nullptr);

// Whether a configuration text (a JSON object) has "Tls" or "PlainListener": start-up must
// not go on without the configuration then, or listeners other than those asked for open.
bool HasListenerSettings(const std::string& json);

// The multi-line description the core logs after parsing.
std::string DescribeConfiguration(const MuxConfigurationData& configuration);

}  // namespace Mux::Configuration
