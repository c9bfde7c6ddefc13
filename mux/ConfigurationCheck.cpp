#include "mux/ConfigurationCheck.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <ostream>
#include <set>
#include <vector>

#include "audit/AuditTrail.h"
#include "metrics/MetricsSettings.h"
#include "mux/Configuration.h"
#include "tls/TlsServerContext.h"

namespace Mux {
namespace {

using Configuration::MuxConfigurationData;
using Configuration::MuxGatewayData;
using rapidjson::Value;

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

// A key lockhub reads at one level, and the JSON kind it must have to count.
struct KeyRule {
    const char* name;
    bool (Value::*fits)() const;
    const char* kind;
};

constexpr KeyRule kTopLevelKeys[] = {{"Enabled", &Value::IsBool, "true or false"},
                                     {"Gateways", &Value::IsArray, "an array"},
                                     {"RequestTimeout", &Value::IsNumber, "a number"},
                                     {"CheckFrameCRC", &Value::IsBool, "true or false"},
                                     {"Clients", &Value::IsArray, "an array"},
                                     {"AuditLog", &Value::IsString, "a string"},
                                     {"Mqtt", &Value::IsObject, "an object"},
                                     {"Tls", &Value::IsObject, "an object"},
                                     {"PlainListener", &Value::IsBool, "true or false"},
                                     {"Metrics", &Value::IsObject, "an object"}};
constexpr KeyRule kTlsKeys[] = {{"Port", &Value::IsNumber, "a number"},
                                {"Certificate", &Value::IsString, "a string"},
                                {"PrivateKey", &Value::IsString, "a string"},
                                {"ClientCA", &Value::IsString, "a string"},
                                {"ClientCRL", &Value::IsString, "a string"}};
constexpr KeyRule kGatewayKeys[] = {{"ID", &Value::IsNumber, "a number"},
                                    {"Description", &Value::IsString, "a string"},
                                    {"IpAddress", &Value::IsString, "a string"},
                                    {"Port", &Value::IsNumber, "a number"},
                                    {"Devices", &Value::IsArray, "an array"},
                                    {"CheckFrameCRC", &Value::IsBool, "true or false"}};
constexpr KeyRule kDeviceKeys[] = {{"Name", &Value::IsString, "a string"},
                                   {"ID", &Value::IsNumber, "a number"}};

bool IsNumberButNotInt(const Value& object, const char* key) {
    Value::ConstMemberIterator member = object.FindMember(key);
    return member != object.MemberEnd() && member->value.IsNumber() && !member->value.IsInt();
}

const Value* ArrayMember(const Value& object, const char* key) {
    Value::ConstMemberIterator member = object.FindMember(key);
    return member != object.MemberEnd() && member->value.IsArray() ? &member->value : nullptr;
}

std::string Where(size_t gateway) {
    return "Gateways[" + std::to_string(gateway) + "]";
}

std::string Where(size_t gateway, size_t device) {
    return Where(gateway) + ".Devices[" + std::to_string(device) + "]";
}

// Keys that lockhub ignores at one level: unknown ones, repeated ones, those of the wrong
// kind.
template <size_t N>
void NoteIgnoredKeys(const Value& object, const KeyRule (&rules)[N], const std::string& where,
                     std::vector<std::string>& notes) {
    std::set<std::string> seen;
    for (Value::ConstMemberIterator member = object.MemberBegin(); member != object.MemberEnd();
         ++member) {
        std::string name(member->name.GetString(), member->name.GetStringLength());
        const KeyRule* rule = std::find_if(std::begin(rules), std::end(rules),
                                           [&](const KeyRule& r) { return name == r.name; });
        if (rule == std::end(rules)) {
            notes.push_back(where + ": unknown key " + Quoted(name) + " is ignored");
        } else if (!seen.insert(name).second) {
            notes.push_back(where + ": " + Quoted(name) + " appears again: the first one counts");
        } else if (!(member->value.*(rule->fits))()) {
            notes.push_back(where + ": " + Quoted(name) + " is not " + rule->kind +
                            ": it is ignored and its default applies");
        }
    }
}

void NoteIgnoredParts(const rapidjson::Document& document, std::vector<std::string>& notes) {
    NoteIgnoredKeys(document, kTopLevelKeys, "top level", notes);
    Value::ConstMemberIterator tls = document.FindMember("Tls");
    if (tls != document.MemberEnd() && tls->value.IsObject()) {
        NoteIgnoredKeys(tls->value, kTlsKeys, "Tls", notes);
    }
    Value::ConstMemberIterator timeout = document.FindMember("RequestTimeout");
    if (timeout != document.MemberEnd() && timeout->value.IsInt() && timeout->value.GetInt() < 0) {
        notes.push_back("top level: \"RequestTimeout\" is negative: the default " +
                        std::to_string(Configuration::kDefaultRequestTimeoutSeconds) +
                        " s applies");
    }
    const Value* gateways = ArrayMember(document, "Gateways");
    for (size_t i = 0; gateways != nullptr && i < gateways->Size(); ++i) {
        const Value& gateway = (*gateways)[static_cast<rapidjson::SizeType>(i)];
        NoteIgnoredKeys(gateway, kGatewayKeys, Where(i), notes);
        const Value* devices = ArrayMember(gateway, "Devices");
        for (size_t j = 0; devices != nullptr && j < devices->Size(); ++j) {
            NoteIgnoredKeys((*devices)[static_cast<rapidjson::SizeType>(j)], kDeviceKeys,
                            Where(i, j), notes);
        }
    }
}

// What start-up does with the gateways: which it skips and which no request reaches.
void NoteGatewayOutcomes(const MuxConfigurationData& configuration,
                         std::vector<std::string>& notes) {
    if (!configuration.Enabled) {
        notes.push_back(
            "\"Enabled\" is not true: lockhub creates no gateway and answers every request "
            "with a NACK");
        return;
    }
    if (configuration.Gateways.empty()) {
        notes.push_back("no gateways: every request is answered with a NACK");
    }
    for (const Configuration::GatewayPlan& plan : Configuration::PlanGateways(configuration)) {
        const MuxGatewayData& gateway = configuration.Gateways[plan.index];
        switch (plan.use) {
            case Configuration::GatewayUse::routed:
                break;
            case Configuration::GatewayUse::noAddress:
                notes.push_back(Where(plan.index) + ": no \"IpAddress\": the gateway is skipped");
                break;
            case Configuration::GatewayUse::badPort:
                notes.push_back(Where(plan.index) + ": \"Port\" " + std::to_string(gateway.Port) +
                                " is outside 1..65535: the gateway is not created");
                break;
            case Configuration::GatewayUse::unreachable:
                notes.push_back(Where(plan.index) + ": ID " + std::to_string(gateway.ID) +
                                " is also the ID of " + Where(plan.firstWithId) +
                                ": requests for gateway " + std::to_string(gateway.ID) + " reach " +
                                Where(plan.firstWithId) + " only");
                break;
        }
    }
}

void DescribeSecurity(const MuxConfigurationData& configuration, std::ostream& out) {
    const ClientPermissions& permissions = configuration.Permissions;
    if (permissions.IsRestricted()) {
        out << "Clients: " << permissions.EntryCount()
            << (permissions.EntryCount() == 1 ? " identity" : " identities")
            << " with permissions; any other may do nothing\n";
    }
    if (!configuration.AuditLog.empty()) {
        out << "AuditLog: " << configuration.AuditLog << "\n";
    }
    if (const auto& mqtt = configuration.Mqtt) {
        out << "Mqtt: broker " << mqtt->BrokerName() << ", topics under " << mqtt->topicPrefix
            << "/" << (mqtt->caFile.empty() ? "" : ", over TLS") << "\n";
    }
}

// Where metrics would be served, and what keeps them from being served.
void DescribeMetrics(const Metrics::SettingsReading& reading, std::ostream& out,
                     std::vector<std::string>& notes) {
    if (reading.settings) {
        out << "Metrics: http://" << reading.settings->address << ":" << reading.settings->port
            << "/metrics and /healthz\n";
    }
    notes.insert(notes.end(), reading.notes.begin(), reading.notes.end());
}

void Describe(const MuxConfigurationData& configuration, std::ostream& out) {
    out << "Enabled: " << (configuration.Enabled ? "yes" : "no") << "\n";
    out << "RequestTimeout: " << configuration.RequestTimeout
        << (configuration.RequestTimeout == 0 ? " (wait for ever)" : " s") << "\n";
    if (!configuration.CheckFrameCRC) {
        out << "CheckFrameCRC: no (frames with a wrong CRC are believed)\n";
    }
    out << "Gateways: " << configuration.Gateways.size() << "\n";
    for (size_t i = 0; i < configuration.Gateways.size(); ++i) {
        const MuxGatewayData& gateway = configuration.Gateways[i];
        out << "  " << Where(i) << ": ID " << gateway.ID << " " << Quoted(gateway.Description)
            << " at "
            << (gateway.IpAddress.empty() ? std::string("(no address)") : gateway.IpAddress) << ":"
            << Configuration::PortOf(gateway) << (gateway.Port == 0 ? " (default port)" : "")
            << ", " << gateway.Devices.size()
            << (gateway.Devices.size() == 1 ? " device" : " devices") << "\n";
        if (gateway.CheckFrameCRC.value_or(configuration.CheckFrameCRC) !=
            configuration.CheckFrameCRC) {
            out << "    CheckFrameCRC: " << (configuration.CheckFrameCRC ? "no" : "yes") << "\n";
        }
        for (const Configuration::MuxDeviceData& device : gateway.Devices) {
            out << "    device " << device.ID << " " << Quoted(device.Name) << "\n";
        }
    }
    DescribeSecurity(configuration, out);
}

// The listeners when not only the plain one, and whether the TLS listener's files can be
// used as they are now: the reason they cannot, or "".
std::string CheckListeners(const MuxConfigurationData& configuration, std::ostream& out,
                           const ConfigurationFileChecks& files) {
    if (!configuration.PlainListener) {
        out << "Plain listener: off\n";
    }
    if (!configuration.Tls) {
        return "";
    }
    const Configuration::TlsListenerData& tls = *configuration.Tls;
    out << "TLS listener: port " << tls.Port << ", certificate " << tls.Certificate << ", key "
        << tls.PrivateKey << ", client CA " << tls.ClientCA << ", "
        << (tls.ClientCRL.empty() ? "no revocation list" : "revocation list " + tls.ClientCRL)
        << "\n";
    return files.tlsListener(tls);
}

}  // namespace

std::string ReasonForRefusal(const std::string& text) {
    rapidjson::Document document;
    document.Parse<rapidjson::kParseIterativeFlag>(text.c_str(), text.size());
    if (document.HasParseError()) {
        size_t offset = std::min(document.GetErrorOffset(), text.size());
        size_t lineEnd = offset == 0 ? std::string::npos : text.rfind('\n', offset - 1);
        size_t lineStart = lineEnd == std::string::npos ? 0 : lineEnd + 1;
        size_t line =
            1 + static_cast<size_t>(std::count(text.begin(), text.begin() + offset, '\n'));
        return "line " + std::to_string(line) + ", column " +
               std::to_string(offset - lineStart + 1) + ": " +
               rapidjson::GetParseError_En(document.GetParseError());
    }
    if (!document.IsObject()) {
        return "the top level is not a JSON object";
    }
    if (IsNumberButNotInt(document, "RequestTimeout")) {
        return "\"RequestTimeout\" is not a 32-bit integer";
    }
    const Value* gateways = ArrayMember(document, "Gateways");
    for (size_t i = 0; gateways != nullptr && i < gateways->Size(); ++i) {
        const Value& gateway = (*gateways)[static_cast<rapidjson::SizeType>(i)];
        if (!gateway.IsObject()) {
            return Where(i) + " is not an object";
        }
        for (const char* key : {"ID", "Port"}) {
            if (IsNumberButNotInt(gateway, key)) {
                return Where(i) + " \"" + key + "\" is not a 32-bit integer";
            }
        }
        const Value* devices = ArrayMember(gateway, "Devices");
        for (size_t j = 0; devices != nullptr && j < devices->Size(); ++j) {
            const Value& device = (*devices)[static_cast<rapidjson::SizeType>(j)];
            if (!device.IsObject()) {
                return Where(i, j) + " is not an object";
            }
            if (IsNumberButNotInt(device, "ID")) {
                return Where(i, j) + " \"ID\" is not a 32-bit integer";
            }
        }
    }
    return "invalid data";
}

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
    std::string reason;
    std::optional<MuxConfigurationData> configuration =
        Configuration::ParseConfigurationText(text, &reason);
    if (!configuration) {
        out << "Configuration refused: " << (reason.empty() ? ReasonForRefusal(text) : reason)
            << std::endl;
        return 1;
    }
    Describe(*configuration, out);
    if (std::string unusable = CheckListeners(*configuration, out, files); !unusable.empty()) {
        out << "Configuration refused: " << unusable << std::endl;
        return 1;
    }
    if (!configuration->AuditLog.empty()) {
        if (std::string problem = files.auditLog(configuration->AuditLog); !problem.empty()) {
            out << "Configuration refused: " << problem << std::endl;
            return 1;
        }
    }
    std::vector<std::string> notes;
    rapidjson::Document document;
    document.Parse<rapidjson::kParseIterativeFlag>(text.c_str(), text.size());
    DescribeMetrics(configuration->Metrics, out, notes);
    NoteIgnoredParts(document, notes);
    NoteGatewayOutcomes(*configuration, notes);
    for (const std::string& note : notes) {
        out << "Note: " << note << "\n";
    }
    out << "Configuration accepted";
    if (!notes.empty()) {
        out << ", with " << notes.size() << (notes.size() == 1 ? " note" : " notes");
    }
    out << "." << std::endl;
    return 0;
}

}  // namespace Mux
