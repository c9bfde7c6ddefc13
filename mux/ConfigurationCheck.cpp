#include "mux/ConfigurationCheck.h"

#include <cerrno>
#include <cstring>
#include <optional>
#include <ostream>

#include "audit/AuditTrail.h"
#include "mux/Configuration.h"
#include "tls/TlsServerContext.h"

namespace Mux {

ConfigurationFileChecks ConfigurationFileChecks::Real() {
    return {[](const Configuration::TlsListenerData& tls) {
                return Quarn::Tls::TlsServerContext::Check(Configuration::TlsFilesOf(tls));
            },
            [](const std::string& auditLog) { return Audit::AuditTrail::CheckPath(auditLog); }};
}

int CheckConfigurationFile(const std::string& path, std::ostream& out) {
    out << "Configuration file " << path << "\n";
    std::optional<std::string> text = Configuration::ReadConfigurationFile(path);
    if (!text) {
        out << "Configuration refused: cannot read the file: " << std::strerror(errno) << std::endl;
        return 1;
    }
    return CheckConfigurationText(*text, out, ConfigurationFileChecks::Real());
}

int CheckConfigurationText(const std::string& text, std::ostream& out,
                           const ConfigurationFileChecks& files) {
    const Configuration::ConfigurationReading reading = Configuration::ReadConfigurationText(text);
    if (!reading.configuration) {
        out << "Configuration refused: " << reading.refusal << std::endl;
        return 1;
    }
    const Configuration::MuxConfigurationData& configuration = *reading.configuration;
    Configuration::DescribeSettings(configuration, out);
    std::string unusable = configuration.Tls ? files.tlsListener(*configuration.Tls) : "";
    if (unusable.empty() && !configuration.AuditLog.empty()) {
        unusable = files.auditLog(configuration.AuditLog);
    }
    if (!unusable.empty()) {
        out << "Configuration refused: " << unusable << std::endl;
        return 1;
    }
    for (const std::string& note : reading.notes) {
        out << Configuration::kNotePrefix << note << "\n";
    }
    out << "Configuration accepted";
    if (!reading.notes.empty()) {
        out << ", with " << reading.notes.size()
            << (reading.notes.size() == 1 ? " note" : " notes");
    }
    out << "." << std::endl;
    return 0;
}

}  // namespace Mux
