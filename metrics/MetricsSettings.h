#pragma once
// Where lockhub serves its metrics: the "Metrics" object of the configuration,
//     "Metrics": {"Address": "127.0.0.1", "Port": 9555}
// (its schema is the configuration's). Without it, metrics are not served. A value type.

#include <string>

namespace Mux::Metrics {

inline constexpr const char* kDefaultAddress = "127.0.0.1";
inline constexpr int kDefaultPort = 9555;

struct Settings {
    std::string address = kDefaultAddress;  // a local IPv4 address in dotted form
    int port = kDefaultPort;                // 0: one the system picks
    bool operator==(const Settings&) const = default;
};

}  // namespace Mux::Metrics
