// A configuration text, as start-up and --check-config take it: parsed, described for the
// log, and checked from a file that holds exactly these bytes (a memory file, rewritten
// for each input, so that no disk is involved).
//
// Checks: an accepted configuration never has a negative request time-out; the checker
// accepts exactly the texts the parser accepts (the file reader closes the last line
// with "\n", which JSON ignores); of an enabled configuration, the checker notes every
// gateway with an address whose port is outside 0..65535, as start-up skips it.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>

#include "mux/Configuration.h"
#include "mux/ConfigurationCheck.h"

namespace {

using Mux::Configuration::MuxConfigurationData;
using Mux::Configuration::MuxGatewayData;

constexpr int kHighestPort = 65535;

int file = -1;
std::string* path = nullptr;

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

void WriteFile(const uint8_t* data, size_t size) {
    Require(::ftruncate(file, 0) == 0);
    size_t written = 0;
    while (written < size) {
        ssize_t now = ::pwrite(file, data + written, size - written, static_cast<off_t>(written));
        Require(now > 0);
        written += static_cast<size_t>(now);
    }
}

void CheckAccepted(const MuxConfigurationData& configuration, const std::string& report) {
    Require(configuration.RequestTimeout >= 0);
    const std::string description = Mux::Configuration::DescribeConfiguration(configuration);
    Require(description.find("Configuration contains data for " +
                             std::to_string(configuration.Gateways.size()) + " gateways.\n") !=
            std::string::npos);
    if (!configuration.Enabled) {
        return;
    }
    for (size_t i = 0; i < configuration.Gateways.size(); ++i) {
        const MuxGatewayData& gateway = configuration.Gateways[i];
        if (!gateway.IpAddress.empty() && (gateway.Port < 0 || gateway.Port > kHighestPort)) {
            Require(report.find("Note: Gateways[" + std::to_string(i) + "]: \"Port\" " +
                                std::to_string(gateway.Port) + " is outside 1..65535") !=
                    std::string::npos);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    file = ::memfd_create("configuration", 0);
    Require(file != -1);
    // Lives until the process ends.
    path = new std::string("/proc/self/fd/" + std::to_string(file));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::optional<MuxConfigurationData> configuration =
        Mux::Configuration::ParseConfigurationText(text);

    WriteFile(data, size);
    std::ostringstream report;
    const int status = Mux::CheckConfigurationFile(*path, report);
    Require(status == (configuration ? 0 : 1));

    if (configuration) {
        CheckAccepted(*configuration, report.str());
    }
    return 0;
}
