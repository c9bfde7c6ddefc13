#pragma once
// lockhub --check-config: reads a configuration file the way start-up reads it, with the
// same reading, and tells what lockhub would make of it (with the notes start-up logs), or
// why it would refuse it. Starts nothing and logs nothing, so it may run next to a live
// lockhub.

#include <functional>
#include <iosfwd>
#include <string>

#include "mux/Configuration.h"

namespace Mux {

// The checks of the files a configuration names, as they are now: each gives "" when
// start-up could use them, else the line that refuses the configuration.
struct ConfigurationFileChecks {
    std::function<std::string(const Configuration::TlsListenerData&)> tlsListener;
    std::function<std::string(const std::string& auditLog)> auditLog;

    // The TLS context's check and the audit trail's; neither writes anything.
    static ConfigurationFileChecks Real();
};

// Writes the report to out. Returns the exit status: 0 when start-up would accept the
// configuration (notes about ignored or unusable parts do not change that), 1 when the
// file cannot be read or the configuration is refused.
int CheckConfigurationFile(const std::string& path, std::ostream& out);

// The same for a text already read, with the files it names checked by files: the fuzz
// target's stand-ins touch no file.
int CheckConfigurationText(const std::string& text, std::ostream& out,
                           const ConfigurationFileChecks& files);

}  // namespace Mux
