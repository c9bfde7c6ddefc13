#pragma once
// The MQTT bridge measured inside lockhub, against a broker the caller runs.

#include "bench/BenchSupport.h"

namespace Bench {

struct HubFigures {
    Spread eventToBroker;
    Spread eventToClient;
    Spread commandViaBroker;
    Spread commandViaClient;
};

HubFigures MeasureMqttThroughLockhub(const TempDir& folder, const Options& options, int brokerPort);

}  // namespace Bench
