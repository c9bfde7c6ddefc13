#pragma once
// The configuration: which gateways exist, where to reach them, which locks each serves,
// whether the multiplexer is enabled, how long a client waits for a gateway's answer, and
// on which listeners clients connect.

#include <iosfwd>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "metrics/MetricsSettings.h"
#include "mqtt/MqttSettings.h"
#include "mux/ClientPermissions.h"
#include "tls/TlsServerContext.h"

namespace Mux::Configuration {

inline constexpr int kDefaultRequestTimeoutSeconds = 20;
// The words of "AuditSync".
inline constexpr const char* kAuditSyncInterval = "interval";
inline constexpr const char* kAuditSyncBeforeSend = "before-send";

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
    bool operator==(const MuxGatewayData&) const = default;
};

// The TLS listener ("Tls"): its port and its files.
struct TlsListenerData {
    int Port = 0;
    std::string Certificate;
    std::string PrivateKey;
    std::string ClientCA;
    std::string ClientCRL;  // empty: no revocation list
    bool operator==(const TlsListenerData&) const = default;
};

// Every setting of a configuration file. Each member is one row of the file's schema
// (Configuration.cpp), which says how it is read, written back, checked and described.
struct MuxConfigurationData {
    bool Enabled = false;
    std::vector<MuxGatewayData> Gateways;
    // Seconds a request may wait for its gateway's answer; 0 waits for ever. Never
    // negative: a negative value in the text gives the default.
    int RequestTimeout = kDefaultRequestTimeoutSeconds;
    // Whether gateway frames with a wrong CRC are dropped; off only for gateways that do
    // not fill the CRC in.
    bool CheckFrameCRC = true;
    // "Clients": who may do what; none: everything is allowed to everyone.
    std::optional<std::vector<ClientEntry>> Clients;
    // "AuditLog": the audit trail's file; empty: no trail.
    std::string AuditLog;
    // "AuditRequired": what the trail records is refused while the trail cannot be written.
    bool AuditRequired = false;
    // "AuditSync": kAuditSyncInterval, or kAuditSyncBeforeSend: a door command's line is on
    // the disk before its frame is sent.
    std::string AuditSync = kAuditSyncInterval;
    bool AuditBeforeSend() const { return AuditSync == kAuditSyncBeforeSend; }
    // "Mqtt": the bridge to an MQTT broker; none without the section.
    std::optional<Mqtt::MqttSettings> Mqtt;
    // "Metrics": where metrics are served; none: not served.
    std::optional<Metrics::Settings> Metrics;
    // The TLS listener; none without a "Tls" section.
    std::optional<TlsListenerData> Tls;
    // Whether the plain listener is open ("PlainListener").
    bool PlainListener = true;

    bool operator==(const MuxConfigurationData&) const = default;
    ClientPermissions Permissions() const;
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

// What starts each note in --check-config's report and in the log.
inline constexpr const char* kNotePrefix = "Note: ";

// What one reading of a configuration text found.
struct ConfigurationReading {
    // None: the text is refused.
    std::optional<MuxConfigurationData> configuration;
    // Why it is refused: the line and column of what is wrong, and what.
    std::string refusal;
    // What is ignored, cannot be used or will not work as it may look: each line as
    // --check-config prints it and start-up logs it.
    std::vector<std::string> notes;
    // The text has "Tls" or "PlainListener": when it is refused, start-up must not go on,
    // or listeners other than those asked for open.
    bool namesListeners = false;
};

// Reads a configuration text, strict JSON, once, by the schema. A value of the wrong kind
// counts as absent, with a note, except where using the default could open a door to the
// wrong client or leave a door command unrecorded; of two members with the same key the
// first counts. Refused: text that does not parse, a root that is not an object, a gateway,
// device or client element that is not an object, an "ID" or "Port" that is a number but
// not a 32-bit signed integer, listener settings that cannot be used, a "Clients" section,
// an "AuditLog" or an "Mqtt" section that cannot be used. Whether the files named can be
// used is for their owners to check.
ConfigurationReading ReadConfigurationText(const std::string& text);

// The configuration as a configuration text: read back, it gives the same configuration.
std::string WriteConfigurationText(const MuxConfigurationData& configuration);

// The restart-only settings (the listeners' ports) that differ between two
// configurations, each as "Tls \"Port\"".
std::vector<std::string> RestartOnlyChanges(const MuxConfigurationData& now,
                                            const MuxConfigurationData& before);

// What --check-config says of an accepted configuration, one line per setting.
void DescribeSettings(const MuxConfigurationData& configuration, std::ostream& out);

// The sections and their keys, by the names the README's key tables carry.
std::vector<std::pair<std::string, std::vector<std::string>>> SchemaKeys();

// The multi-line description the core logs after parsing.
std::string DescribeConfiguration(const MuxConfigurationData& configuration);

}  // namespace Mux::Configuration
