#include "mux/Configuration.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "gateway/VirtualGateway.h"

namespace Mux::Configuration {
namespace {

using rapidjson::Value;

constexpr int kHighestPort = 65535;

// Reads an integer member into target. False when the member is a number that does not
// fit a 32-bit signed integer; any other type leaves the default.
bool ReadInt(const Value& object, const char* key, int& target) {
    Value::ConstMemberIterator member = object.FindMember(key);
    if (member == object.MemberEnd() || !member->value.IsNumber()) {
        return true;
    }
    if (!member->value.IsInt()) {
        return false;
    }
    target = member->value.GetInt();
    return true;
}

// A literal true or false; any other type leaves target unchanged.
template <class Target>
void ReadBool(const Value& object, const char* key, Target& target) {
    Value::ConstMemberIterator member = object.FindMember(key);
    if (member != object.MemberEnd() && member->value.IsBool()) {
        target = member->value.GetBool();
    }
}

void ReadString(const Value& object, const char* key, std::string& target) {
    Value::ConstMemberIterator member = object.FindMember(key);
    if (member != object.MemberEnd() && member->value.IsString()) {
        target.assign(member->value.GetString(), member->value.GetStringLength());
    }
}

const Value* FindArray(const Value& object, const char* key) {
    Value::ConstMemberIterator member = object.FindMember(key);
    if (member == object.MemberEnd() || !member->value.IsArray()) {
        return nullptr;
    }
    return &member->value;
}

bool ReadDevice(const Value& element, MuxDeviceData& device) {
    if (!element.IsObject()) {
        return false;
    }
    ReadString(element, "Name", device.Name);
    return ReadInt(element, "ID", device.ID);
}

bool ReadGateway(const Value& element, MuxGatewayData& gateway) {
    if (!element.IsObject()) {
        return false;
    }
    ReadString(element, "Description", gateway.Description);
    ReadString(element, "IpAddress", gateway.IpAddress);
    ReadBool(element, "CheckFrameCRC", gateway.CheckFrameCRC);
    if (!ReadInt(element, "ID", gateway.ID) || !ReadInt(element, "Port", gateway.Port)) {
        return false;
    }
    if (const Value* devices = FindArray(element, "Devices")) {
        for (const Value& deviceElement : devices->GetArray()) {
            MuxDeviceData device;
            if (!ReadDevice(deviceElement, device)) {
                return false;
            }
            gateway.Devices.push_back(std::move(device));
        }
    }
    return true;
}

// "Clients", "AuditLog" and "Mqtt": unlike the other keys, a wrong one refuses the
// configuration, since ignoring it would let clients do more than meant, leave door
// commands unrecorded, or leave a site's MQTT users without their doors.
// Why they are refused, or "" after reading them into configuration.
std::string ReadSecurity(const Value& document, MuxConfigurationData& configuration) {
    std::string why;
    Value::ConstMemberIterator clients = document.FindMember("Clients");
    if (clients != document.MemberEnd()) {
        std::optional<ClientPermissions> permissions = ClientPermissions::Read(clients->value, why);
        if (!permissions) {
            return why;
        }
        configuration.Permissions = std::move(*permissions);
    }
    Value::ConstMemberIterator audit = document.FindMember("AuditLog");
    if (audit != document.MemberEnd()) {
        if (!audit->value.IsString() || audit->value.GetStringLength() == 0) {
            return "\"AuditLog\" is not a file path";
        }
        configuration.AuditLog.assign(audit->value.GetString(), audit->value.GetStringLength());
    }
    Value::ConstMemberIterator mqtt = document.FindMember("Mqtt");
    if (mqtt != document.MemberEnd()) {
        configuration.Mqtt = Mqtt::ReadMqttSettings(mqtt->value, why);
        if (!configuration.Mqtt) {
            return why;
        }
    }
    return "";
}

// The "Tls" section and "PlainListener": why they are refused, or "" after reading them
// into configuration.
std::string ReadListeners(const Value& document, MuxConfigurationData& configuration) {
    Value::ConstMemberIterator plain = document.FindMember("PlainListener");
    if (plain != document.MemberEnd()) {
        if (!plain->value.IsBool()) {
            return "\"PlainListener\" is not true or false";
        }
        configuration.PlainListener = plain->value.GetBool();
    }
    Value::ConstMemberIterator section = document.FindMember("Tls");
    if (section == document.MemberEnd()) {
        return configuration.PlainListener
                   ? ""
                   : "\"PlainListener\" is false and there is no \"Tls\" section: lockhub "
                     "would have no listener";
    }
    if (!section->value.IsObject()) {
        return "\"Tls\" is not an object";
    }
    const Value& tls = section->value;
    TlsListenerData data;
    Value::ConstMemberIterator port = tls.FindMember("Port");
    if (port == tls.MemberEnd() || !port->value.IsInt() || port->value.GetInt() < 1 ||
        port->value.GetInt() > kHighestPort) {
        return "\"Tls\" needs a \"Port\" from 1 to 65535";
    }
    data.Port = port->value.GetInt();
    struct File {
        const char* key;
        std::string* path;
        bool required;
    };
    for (const File& file :
         {File{"Certificate", &data.Certificate, true}, File{"PrivateKey", &data.PrivateKey, true},
          File{"ClientCA", &data.ClientCA, true}, File{"ClientCRL", &data.ClientCRL, false}}) {
        Value::ConstMemberIterator member = tls.FindMember(file.key);
        if (member == tls.MemberEnd() && !file.required) {
            continue;
        }
        if (member == tls.MemberEnd() || !member->value.IsString() ||
            member->value.GetStringLength() == 0) {
            return std::string("\"Tls\" needs \"") + file.key + "\": a file name";
        }
        file.path->assign(member->value.GetString(), member->value.GetStringLength());
    }
    configuration.Tls = std::move(data);
    return "";
}

}  // namespace

Quarn::Tls::TlsFiles TlsFilesOf(const TlsListenerData& tls) {
    return {tls.Certificate, tls.PrivateKey, tls.ClientCA, tls.ClientCRL};
}

namespace {

std::string RestartOnlySettings(const Value& document) {
    rapidjson::StringBuffer text;
    rapidjson::Writer<rapidjson::StringBuffer> writer(text);
    writer.StartArray();
    for (const char* key : {"Tls", "PlainListener", "AuditLog", "Mqtt", "Metrics"}) {
        writer.String(key);
        Value::ConstMemberIterator member = document.FindMember(key);
        if (member == document.MemberEnd()) {
            writer.Null();
        } else {
            member->value.Accept(writer);
        }
    }
    writer.EndArray();
    return text.GetString();
}

}  // namespace

bool HasListenerSettings(const std::string& json) {
    rapidjson::Document document;
    document.Parse<rapidjson::kParseIterativeFlag>(json.c_str(), json.size());
    return !document.HasParseError() && document.IsObject() &&
           (document.HasMember("Tls") || document.HasMember("PlainListener"));
}

int PortOf(const MuxGatewayData& gateway) {
    return gateway.Port == 0 ? Quarn::VirtualGateway::kDefaultPort : gateway.Port;
}

std::vector<GatewayPlan> PlanGateways(const MuxConfigurationData& configuration) {
    std::vector<GatewayPlan> plans;
    if (!configuration.Enabled) {
        return plans;
    }
    std::map<int, size_t> firstWithId;
    for (size_t i = 0; i < configuration.Gateways.size(); ++i) {
        const MuxGatewayData& gateway = configuration.Gateways[i];
        GatewayPlan plan{i, GatewayUse::routed, PortOf(gateway), i};
        if (gateway.IpAddress.empty()) {
            plan.use = GatewayUse::noAddress;
        } else if (plan.port < 1 || plan.port > kHighestPort) {
            plan.use = GatewayUse::badPort;
        } else if (auto [first, added] = firstWithId.emplace(gateway.ID, i); !added) {
            plan.use = GatewayUse::unreachable;
            plan.firstWithId = first->second;
        }
        plans.push_back(plan);
    }
    return plans;
}

std::optional<std::string> ReadConfigurationFile(const std::string& path) {
    std::error_code ignored;
    if (std::filesystem::is_directory(path, ignored)) {
        errno = EISDIR;
        return std::nullopt;
    }
    std::ifstream file(path);
    if (!file.is_open()) {
        return std::nullopt;
    }
    std::string text;
    for (std::string line; std::getline(file, line);) {
        text += line;
        text += "\n";
    }
    return text;
}

std::optional<MuxConfigurationData> ParseConfigurationText(const std::string& json,
                                                           std::string* reason) {
    rapidjson::Document document;
    // Iterative parsing: a deeply nested text cannot exhaust the stack.
    document.Parse<rapidjson::kParseIterativeFlag>(json.c_str(), json.size());
    if (document.HasParseError() || !document.IsObject()) {
        return std::nullopt;
    }
    MuxConfigurationData configuration;
    Value::ConstMemberIterator enabled = document.FindMember("Enabled");
    configuration.Enabled = enabled != document.MemberEnd() && enabled->value.IsTrue();
    int timeout = kDefaultRequestTimeoutSeconds;
    if (!ReadInt(document, "RequestTimeout", timeout)) {
        return std::nullopt;
    }
    configuration.RequestTimeout = timeout >= 0 ? timeout : kDefaultRequestTimeoutSeconds;
    ReadBool(document, "CheckFrameCRC", configuration.CheckFrameCRC);
    std::string why = ReadListeners(document, configuration);
    if (why.empty()) {
        why = ReadSecurity(document, configuration);
    }
    if (!why.empty()) {
        if (reason != nullptr) {
            *reason = why;
        }
        return std::nullopt;
    }
    configuration.Metrics = Metrics::ReadSettings(document);
    configuration.RestartOnly = RestartOnlySettings(document);
    if (const Value* gateways = FindArray(document, "Gateways")) {
        for (const Value& element : gateways->GetArray()) {
            MuxGatewayData gateway;
            if (!ReadGateway(element, gateway)) {
                return std::nullopt;
            }
            configuration.Gateways.push_back(std::move(gateway));
        }
    }
    return configuration;
}

std::string DescribeConfiguration(const MuxConfigurationData& configuration) {
    std::ostringstream text;
    text << "Parsed configuration data from JSON.\n"
         << (configuration.Enabled ? "Current MUX is enabled.\n" : "Current MUX is not enabled.\n")
         << "Configuration contains data for " << configuration.Gateways.size() << " gateways.\n";
    for (size_t i = 0; i < configuration.Gateways.size(); ++i) {
        const MuxGatewayData& gateway = configuration.Gateways[i];
        text << "Gateway[" << i << "]\n"
             << "ID: " << gateway.ID << "\n"
             << "Description: " << gateway.Description << "\n"
             << "IpAddress: " << gateway.IpAddress << "\n"
             << "Port: " << gateway.Port << "\n"
             << "The gateway have " << gateway.Devices.size() << " nodes attached.\n";
    }
    return text.str();
}

}  // namespace Mux::Configuration
