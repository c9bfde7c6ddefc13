// A configuration text, as start-up and --check-config take it: parsed, described for the
// log, read back from a file that holds exactly these bytes (a memory file, rewritten for
// each input, so that no disk is involved) and checked. The files the text names are
// checked by stand-ins: fuzzing opens no file, certificate or audit trail. A stand-in
// refuses a name of odd length, so that both outcomes are reached.
//
// Checks: an accepted configuration never has a negative request time-out; written back as
// a configuration text and read again it gives the same configuration, with no refusal; the checker
// accepts exactly the texts the parser accepts whose named files the stand-ins accept
// (the file reader closes the last line with "\n", which JSON ignores), asks about the
// TLS files and the audit trail exactly as configured, and quotes a refusal; of an enabled
// configuration, the checker notes every gateway with an address whose port is outside
// 0..65535, as start-up skips it.

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
using Mux::Configuration::TlsListenerData;

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

// The file names the checker asked the stand-ins about.
struct Asked {
    std::optional<std::string> certificate;
    std::optional<std::string> auditLog;
};

// A stand-in's answer about a file name: a refusal for names of odd length.
std::string StandIn(const std::string& name) {
    return name.size() % 2 == 1 ? "stand-in refuses " + name : "";
}

Mux::ConfigurationFileChecks StandIns(Asked& asked) {
    return {[&asked](const TlsListenerData& tls) {
                Require(!asked.certificate && !asked.auditLog);
                asked.certificate = tls.Certificate;
                return StandIn(tls.Certificate);
            },
            [&asked](const std::string& auditLog) {
                Require(!asked.auditLog);
                asked.auditLog = auditLog;
                return StandIn(auditLog);
            }};
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
        Mux::Configuration::ReadConfigurationText(text).configuration;
    if (configuration) {
        const std::string written = Mux::Configuration::WriteConfigurationText(*configuration);
        const auto again = Mux::Configuration::ReadConfigurationText(written);
        Require(again.configuration == configuration);
    }

    WriteFile(data, size);
    const std::optional<std::string> read = Mux::Configuration::ReadConfigurationFile(*path);
    Require(read.has_value());
    Asked asked;
    std::ostringstream report;
    const int status = Mux::CheckConfigurationText(*read, report, StandIns(asked));

    if (!configuration) {
        Require(status == 1 && !asked.certificate && !asked.auditLog);
        return 0;
    }
    const std::string tlsRefusal =
        configuration->Tls ? StandIn(configuration->Tls->Certificate) : "";
    const bool auditAsked = !configuration->AuditLog.empty() && tlsRefusal.empty();
    const std::string refusal = !tlsRefusal.empty() ? tlsRefusal
                                : auditAsked        ? StandIn(configuration->AuditLog)
                                                    : "";
    Require(asked.certificate ==
            (configuration->Tls ? std::optional(configuration->Tls->Certificate) : std::nullopt));
    Require(asked.auditLog == (auditAsked ? std::optional(configuration->AuditLog) : std::nullopt));
    if (!refusal.empty()) {
        Require(status == 1 &&
                report.str().find("Configuration refused: " + refusal) != std::string::npos);
        return 0;
    }
    Require(status == 0);
    CheckAccepted(*configuration, report.str());
    return 0;
}
