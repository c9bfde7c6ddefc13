#pragma once
// Where lockhub serves its metrics: the "Metrics" object of the configuration,
//     "Metrics": {"Address": "127.0.0.1", "Port": 9555}
// Without it, metrics are not served. Read at start-up and by --check-config, alike.
// Functions without state; any thread.

#include <rapidjson/document.h>

#include <optional>
#include <string>
#include <vector>

namespace Mux::Metrics {

inline constexpr const char* kDefaultAddress = "127.0.0.1";
inline constexpr int kDefaultPort = 9555;

struct Settings {
    std::string address = kDefaultAddress;  // a local IPv4 address in dotted form
    int port = kDefaultPort;
};

struct SettingsReading {
    // None: metrics are not served.
    std::optional<Settings> settings;
    // One line for each thing ignored, and the reason why metrics are not served when
    // the object is there but unusable.
    std::vector<std::string> notes;
};

// Reads the "Metrics" member of a configuration's top level object. An absent member,
// or one that is not an object, gives no settings and no note (the configuration check
// notes a member of the wrong type itself). Unknown keys are noted and ignored; an
// "Address" that is not an IPv4 address or a "Port" that is not an integer from 1 to
// 65535 leaves metrics off, with a note that says so.
SettingsReading ReadSettings(const rapidjson::Value& configuration);

}  // namespace Mux::Metrics
