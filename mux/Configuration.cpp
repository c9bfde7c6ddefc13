#include "mux/Configuration.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <ostream>
#include <set>
#include <sstream>

#include "config/JsonText.h"
#include "config/Schema.h"
#include "gateway/VirtualGateway.h"

namespace Mux::Configuration {
namespace {

using Config::Change;
using Config::Described;
using Config::Field;
using Config::Key;
using Config::List;
using Config::Place;
using Config::Quoted;
using Config::ReadFlag;
using Config::ReadInteger;
using Config::ReadNonEmptyText;
using Config::ReadText;
using Config::Section;
using Config::Subsection;
using Config::Value;
using Config::Writer;
using Config::WrongKind;

constexpr int kHighestPort = 65535;
constexpr auto live = Change::live;
constexpr auto noted = WrongKind::noted;
constexpr auto refused = WrongKind::refused;

template <class S>
Key<S> Flag(const char* name, bool S::*field, WrongKind wrongKind = noted, Change change = live) {
    return Field(name, field, &Value::IsBool, "true or false", wrongKind, change, ReadFlag);
}

template <class S>
Key<S> Text(const char* name, std::string S::*field) {
    return Field(name, field, &Value::IsString, "a string", noted, live, ReadText);
}

// A text a section needs, a file name say: not empty, else the section is refused. An
// empty field is not written.
template <class S>
Key<S> NeededText(const char* name, std::string S::*field, bool required = true,
                  Config::ValueReader<std::string> read = nullptr) {
    Key<S> key = Field(name, field, &Value::IsString, "a string", refused, live,
                       read ? read : ReadNonEmptyText(name));
    key.required = required;
    key.write = [name, field](const S& section, Writer& writer) {
        if (!(section.*field).empty()) {
            writer.Key(name);
            Config::WriteValue(writer, section.*field);
        }
    };
    return key;
}

// A number read as a 32-bit integer: another number refuses, another kind is noted.
template <class S>
Key<S> Integer(const char* name, int S::*field) {
    return Field(name, field, &Value::IsNumber, "a number", noted, live, ReadInteger(name));
}

// A whole number from low to high; anything else refuses.
template <class S>
Key<S> Bounded(const char* name, int S::*field, int low, int high, Change change = live) {
    const std::string problem =
        "must be a whole number from " + std::to_string(low) + " to " + std::to_string(high);
    return Field(name, field, &Value::IsNumber, "a number", refused, change,
                 [name, low, high, problem](const Value& value, int& target, const Place& place) {
                     if (!value.IsInt() || value.GetInt() < low || value.GetInt() > high) {
                         place.Refuse(value, name, problem);
                         return;
                     }
                     target = value.GetInt();
                 });
}

// Each element of "Devices".
const Section<MuxDeviceData> kDevice{{
    Text("Name", &MuxDeviceData::Name),
    Integer("ID", &MuxDeviceData::ID),
}};

// Each element of "Gateways".
const Section<MuxGatewayData> kGateway{{
    Integer("ID", &MuxGatewayData::ID),
    Text("Description", &MuxGatewayData::Description),
    Text("IpAddress", &MuxGatewayData::IpAddress),
    Integer("Port", &MuxGatewayData::Port),
    List("Devices", &MuxGatewayData::Devices, kDevice, noted, live),
    Field("CheckFrameCRC", &MuxGatewayData::CheckFrameCRC, &Value::IsBool, "true or false", noted,
          live, ReadFlag),
}};

// "Tls": a listener, so whatever cannot be used refuses; its port changes only at a restart.
const Section<TlsListenerData> kTls{{
    [] {
        auto port = Bounded("Port", &TlsListenerData::Port, 1, kHighestPort, Change::restart);
        port.required = true;
        return port;
    }(),
    NeededText("Certificate", &TlsListenerData::Certificate),
    NeededText("PrivateKey", &TlsListenerData::PrivateKey),
    NeededText("ClientCA", &TlsListenerData::ClientCA),
    NeededText("ClientCRL", &TlsListenerData::ClientCRL, false),
}};

// Each element of "Clients". A wrong value would let a client do more, or less, than
// meant: every problem refuses.
const Section<ClientEntry> kClient{
    {
        NeededText("Identity", &ClientEntry::Identity),
        [] {
            // "*" for every gateway, or an array of gateway IDs.
            Key<ClientEntry> key =
                Config::NewKey<ClientEntry>("Gateways", nullptr, "", refused, live);
            key.read = [](const Value& value, ClientEntry& entry, const Place& place) {
                if (value.IsString() && std::string(value.GetString()) == "*") {
                    entry.AllGateways = true;
                    return;
                }
                if (!value.IsArray()) {
                    place.Refuse(value, "Gateways", "neither an array of IDs nor \"*\"");
                    return;
                }
                for (const Value& id : value.GetArray()) {
                    if (!id.IsInt()) {
                        place.Refuse(id, "Gateways", "holds a value that is not a gateway ID");
                        return;
                    }
                    entry.Gateways.push_back(id.GetInt());
                }
            };
            key.write = [](const ClientEntry& entry, Writer& writer) {
                writer.Key("Gateways");
                if (entry.AllGateways) {
                    writer.String("*");
                    return;
                }
                writer.StartArray();
                for (int id : entry.Gateways) {
                    writer.Int(id);
                }
                writer.EndArray();
            };
            return key;
        }(),
        [] {
            Key<ClientEntry> key =
                Config::NewKey<ClientEntry>("Requests", &Value::IsArray, "an array", refused, live);
            key.read = [](const Value& value, ClientEntry& entry, const Place& place) {
                for (const Value& kind : value.GetArray()) {
                    std::string word = kind.IsString() ? kind.GetString() : "";
                    if (!ClientPermissions::IsRequestKind(word)) {
                        place.Refuse(kind, "Requests",
                                     "holds an unknown request kind: use open, close, status, "
                                     "denied or whitelist");
                        return;
                    }
                    entry.Requests.push_back(std::move(word));
                }
            };
            key.write = [](const ClientEntry& entry, Writer& writer) {
                writer.Key("Requests");
                writer.StartArray();
                for (const std::string& kind : entry.Requests) {
                    Config::WriteValue(writer, kind);
                }
                writer.EndArray();
            };
            return key;
        }(),
        Flag("Events", &ClientEntry::Events, refused),
    },
};

// "Mqtt": a site's MQTT users would be left without their doors, so what cannot be used
// refuses the section; an unknown key is noted like anywhere else.
std::string ReadableProblem(const std::string& file) {
    return ::access(file.c_str(), R_OK) == 0 ? ""
                                             : file + " cannot be read: " + std::strerror(errno);
}

Config::ValueReader<std::string> Checked(const char* key,
                                         std::string (*problem)(const std::string&)) {
    return [key, problem](const Value& value, std::string& target, const Place& place) {
        std::string text;
        ReadNonEmptyText(key)(value, text, place);
        if (text.empty()) {
            return;
        }
        if (std::string why = problem(text); !why.empty()) {
            place.Refuse(value, key, why);
            return;
        }
        target = std::move(text);
    };
}

// "Discovery" in "Mqtt": Home Assistant's announcements.
const Section<Mqtt::DiscoverySettings> kDiscovery{{
    NeededText("Prefix", &Mqtt::DiscoverySettings::prefix, true,
               Checked("Prefix", Mqtt::CheckTopicPrefix)),
    // A door command's duration is one byte.
    Bounded("OpenSeconds", &Mqtt::DiscoverySettings::openSeconds, 1, 255),
    Bounded("StatusSeconds", &Mqtt::DiscoverySettings::statusSeconds, 0,
            std::numeric_limits<int>::max()),
    Flag("ExposeCredentials", &Mqtt::DiscoverySettings::exposeCredentials, refused),
}};

const Section<Mqtt::MqttSettings> kMqtt{
    {
        [] {
            Key<Mqtt::MqttSettings> key = Config::NewKey<Mqtt::MqttSettings>(
                "Broker", &Value::IsString, "a string", refused, live, true);
            key.read = [](const Value& value, Mqtt::MqttSettings& settings, const Place& place) {
                std::string text;
                ReadNonEmptyText("Broker")(value, text, place);
                if (text.empty()) {
                    return;
                }
                if (std::string why = Mqtt::ReadBroker(text, settings); !why.empty()) {
                    place.Refuse(value, "Broker", why);
                }
            };
            key.write = [](const Mqtt::MqttSettings& settings, Writer& writer) {
                writer.Key("Broker");
                Config::WriteValue(writer, settings.BrokerName());
            };
            return key;
        }(),
        NeededText("ClientId", &Mqtt::MqttSettings::clientId),
        NeededText("TopicPrefix", &Mqtt::MqttSettings::topicPrefix, true,
                   Checked("TopicPrefix", Mqtt::CheckTopicPrefix)),
        NeededText("Username", &Mqtt::MqttSettings::username, false),
        NeededText("Password", &Mqtt::MqttSettings::password, false),
        NeededText("CA", &Mqtt::MqttSettings::caFile, false, Checked("CA", ReadableProblem)),
        NeededText("Certificate", &Mqtt::MqttSettings::certificateFile, false,
                   Checked("Certificate", ReadableProblem)),
        NeededText("Key", &Mqtt::MqttSettings::keyFile, false, Checked("Key", ReadableProblem)),
        Subsection("Discovery", &Mqtt::MqttSettings::discovery, kDiscovery, refused, live),
    },
    [](const Value& object, Mqtt::MqttSettings& settings, const Place& place) {
        if (!settings.password.empty() && settings.username.empty()) {
            place.Refuse(object, "Password", "needs a \"Username\"");
        } else if (settings.certificateFile.empty() != settings.keyFile.empty()) {
            if (settings.keyFile.empty()) {
                place.Refuse(object, "Certificate", "needs its \"Key\"");
            } else {
                place.Refuse(object, "Key", "needs its \"Certificate\"");
            }
        } else if (!settings.certificateFile.empty() && !settings.UsesTls()) {
            place.Refuse(object, "Certificate", "needs a \"CA\" to check the broker with");
        }
    },
};

// "Metrics": a value that cannot be used leaves metrics off, with a note; nothing of a door
// depends on it.
constexpr const char* kNotServed = ": metrics are not served";

const Section<Metrics::Settings> kMetrics{{
    Field("Address", &Metrics::Settings::address, nullptr, "", noted, live,
          [](const Value& value, std::string& address, const Place& place) {
              in_addr parsed{};
              if (!value.IsString() || std::strlen(value.GetString()) != value.GetStringLength() ||
                  ::inet_pton(AF_INET, value.GetString(), &parsed) != 1) {
                  address.clear();
                  place.Note(std::string("\"Address\" must be an IPv4 address such as 127.0.0.1") +
                             kNotServed);
                  return;
              }
              address = value.GetString();
          }),
    Field("Port", &Metrics::Settings::port, nullptr, "", noted, live,
          [](const Value& value, int& port, const Place& place) {
              if (!value.IsInt() || value.GetInt() < 1 || value.GetInt() > kHighestPort) {
                  port = 0;
                  place.Note(std::string("\"Port\" must be a whole number from 1 to 65535") +
                             kNotServed);
                  return;
              }
              port = value.GetInt();
          }),
}};

void DescribeGateways(const MuxConfigurationData& configuration, std::ostream& out) {
    out << "Gateways: " << configuration.Gateways.size() << "\n";
    for (size_t i = 0; i < configuration.Gateways.size(); ++i) {
        const MuxGatewayData& gateway = configuration.Gateways[i];
        out << "  Gateways[" << i << "]: ID " << gateway.ID << " " << Quoted(gateway.Description)
            << " at "
            << (gateway.IpAddress.empty() ? std::string("(no address)") : gateway.IpAddress) << ":"
            << PortOf(gateway) << (gateway.Port == 0 ? " (default port)" : "") << ", "
            << gateway.Devices.size() << (gateway.Devices.size() == 1 ? " device" : " devices")
            << "\n";
        if (gateway.CheckFrameCRC.value_or(configuration.CheckFrameCRC) !=
            configuration.CheckFrameCRC) {
            out << "    CheckFrameCRC: " << (configuration.CheckFrameCRC ? "no" : "yes") << "\n";
        }
        for (const MuxDeviceData& device : gateway.Devices) {
            out << "    device " << device.ID << " " << Quoted(device.Name) << "\n";
        }
    }
}

using Top = MuxConfigurationData;

// The top level: one row per setting, each with its --check-config line.
const Section<Top> kTopLevel{
    {
        Described(Flag("Enabled", &Top::Enabled),
                  [](const Top& c, std::ostream& out) {
                      out << "Enabled: " << (c.Enabled ? "yes" : "no") << "\n";
                  }),
        Described(
            Field("RequestTimeout", &Top::RequestTimeout, &Value::IsNumber, "a number", noted, live,
                  [](const Value& value, int& timeout, const Place& place) {
                      ReadInteger("RequestTimeout")(value, timeout, place);
                      if (timeout < 0) {
                          timeout = kDefaultRequestTimeoutSeconds;
                          place.Note("\"RequestTimeout\" is negative: the default " +
                                     std::to_string(kDefaultRequestTimeoutSeconds) + " s applies");
                      }
                  }),
            [](const Top& c, std::ostream& out) {
                out << "RequestTimeout: " << c.RequestTimeout
                    << (c.RequestTimeout == 0 ? " (wait for ever)" : " s") << "\n";
            }),
        Described(Flag("CheckFrameCRC", &Top::CheckFrameCRC),
                  [](const Top& c, std::ostream& out) {
                      if (!c.CheckFrameCRC) {
                          out << "CheckFrameCRC: no (frames with a wrong CRC are believed)\n";
                      }
                  }),
        Described(List("Gateways", &Top::Gateways, kGateway, noted, live), DescribeGateways),
        Described(List("Clients", &Top::Clients, kClient, refused, live),
                  [](const Top& c, std::ostream& out) {
                      if (c.Clients) {
                          out << "Clients: " << c.Clients->size()
                              << (c.Clients->size() == 1 ? " identity" : " identities")
                              << " with permissions; any other may do nothing\n";
                      }
                  }),
        Described(NeededText("AuditLog", &Top::AuditLog, false),
                  [](const Top& c, std::ostream& out) {
                      if (!c.AuditLog.empty()) {
                          out << "AuditLog: " << c.AuditLog << "\n";
                      }
                  }),
        Described(Field("AuditSync", &Top::AuditSync, &Value::IsString, "a string", refused, live,
                        [](const Value& value, std::string& sync, const Place& place) {
                            const std::string word = value.GetString();
                            if (word != kAuditSyncInterval && word != kAuditSyncBeforeSend) {
                                place.Refuse(value, "AuditSync",
                                             "must be \"interval\" or \"before-send\"");
                                return;
                            }
                            sync = word;
                        }),
                  [](const Top& c, std::ostream& out) {
                      if (c.AuditBeforeSend()) {
                          out << "AuditSync: before-send (a door command's line is on the disk "
                                 "before its frame is sent)\n";
                      }
                  }),
        Described(Flag("AuditRequired", &Top::AuditRequired, refused),
                  [](const Top& c, std::ostream& out) {
                      if (c.AuditRequired) {
                          out << "AuditRequired: door commands and whitelist changes are "
                                 "refused while the trail cannot be written\n";
                      }
                  }),
        Described(Subsection("Mqtt", &Top::Mqtt, kMqtt, refused, live),
                  [](const Top& c, std::ostream& out) {
                      if (c.Mqtt) {
                          out << "Mqtt: broker " << c.Mqtt->BrokerName() << ", topics under "
                              << c.Mqtt->topicPrefix << "/"
                              << (c.Mqtt->UsesTls() ? ", over TLS" : "") << "\n";
                          if (const auto& discovery = c.Mqtt->discovery) {
                              out << "Home Assistant discovery: under " << discovery->prefix
                                  << "/, open for " << discovery->openSeconds << " s, status "
                                  << (discovery->statusSeconds > 0
                                          ? "every " + std::to_string(discovery->statusSeconds) +
                                                " s"
                                          : std::string("never asked"))
                                  << (discovery->exposeCredentials ? ", credentials in events" : "")
                                  << "\n";
                          }
                      }
                  }),
        Described(Flag("PlainListener", &Top::PlainListener, refused, Change::restart),
                  [](const Top& c, std::ostream& out) {
                      if (!c.PlainListener) {
                          out << "Plain listener: off\n";
                      }
                  }),
        Described(Subsection("Tls", &Top::Tls, kTls, refused, live),
                  [](const Top& c, std::ostream& out) {
                      if (c.Tls) {
                          const TlsListenerData& tls = *c.Tls;
                          out << "TLS listener: port " << tls.Port << ", certificate "
                              << tls.Certificate << ", key " << tls.PrivateKey << ", client CA "
                              << tls.ClientCA << ", "
                              << (tls.ClientCRL.empty() ? "no revocation list"
                                                        : "revocation list " + tls.ClientCRL)
                              << "\n";
                      }
                  }),
        Described(Subsection("Metrics", &Top::Metrics, kMetrics, noted, live,
                             [](const Metrics::Settings& settings) {
                                 return !settings.address.empty() && settings.port != 0;
                             }),
                  [](const Top& c, std::ostream& out) {
                      if (c.Metrics) {
                          out << "Metrics: http://" << c.Metrics->address << ":" << c.Metrics->port
                              << "/metrics and /healthz\n";
                      }
                  }),
    },
    [](const Value& object, Top& c, const Place& place) {
        // One entry per identity: which of two would count is not for a reader to guess.
        for (size_t i = 0; c.Clients && i < c.Clients->size(); ++i) {
            for (size_t j = 0; j < i; ++j) {
                if ((*c.Clients)[j].Identity == (*c.Clients)[i].Identity) {
                    const Value& entry = object["Clients"][static_cast<rapidjson::SizeType>(i)];
                    place.reading.Refuse(entry,
                                         "Clients[" + std::to_string(i) + "] \"Identity\": \"" +
                                             (*c.Clients)[i].Identity + "\" has an entry already");
                    return;
                }
            }
        }
        if (c.AuditRequired && c.AuditLog.empty()) {
            place.reading.Refuse(object,
                                 "\"AuditRequired\" is true and there is no "
                                 "\"AuditLog\" to write");
            return;
        }
        if (c.AuditBeforeSend() && c.AuditLog.empty()) {
            place.reading.Refuse(object,
                                 "\"AuditSync\" is \"before-send\" and there is no "
                                 "\"AuditLog\" to write");
            return;
        }
        if (!c.PlainListener && !c.Tls) {
            place.reading.Refuse(object,
                                 "\"PlainListener\" is false and there is no \"Tls\" section: "
                                 "lockhub would have no listener");
        }
    },
};

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
    for (const GatewayPlan& plan : PlanGateways(configuration)) {
        const MuxGatewayData& gateway = configuration.Gateways[plan.index];
        const std::string where = "Gateways[" + std::to_string(plan.index) + "]";
        switch (plan.use) {
            case GatewayUse::routed:
                break;
            case GatewayUse::noAddress:
                notes.push_back(where + ": no \"IpAddress\": the gateway is skipped");
                break;
            case GatewayUse::badPort:
                notes.push_back(where + ": \"Port\" " + std::to_string(gateway.Port) +
                                " is outside 1..65535: the gateway is not created");
                break;
            case GatewayUse::unreachable:
                notes.push_back(where + ": ID " + std::to_string(gateway.ID) +
                                " is also the ID of Gateways[" + std::to_string(plan.firstWithId) +
                                "]: requests for gateway " + std::to_string(gateway.ID) +
                                " reach Gateways[" + std::to_string(plan.firstWithId) + "] only");
                break;
        }
    }
}

template <class S>
std::vector<std::string> KeyNames(const Section<S>& section) {
    std::vector<std::string> names;
    for (const Key<S>& key : section.keys) {
        names.emplace_back(key.name);
    }
    return names;
}

}  // namespace

Quarn::Tls::TlsFiles TlsFilesOf(const TlsListenerData& tls) {
    return {tls.Certificate, tls.PrivateKey, tls.ClientCA, tls.ClientCRL};
}

ClientPermissions MuxConfigurationData::Permissions() const {
    return Clients ? ClientPermissions(*Clients) : ClientPermissions();
}

ConfigurationReading ReadConfigurationText(const std::string& text) {
    ConfigurationReading result;
    const Config::JsonText json(text);
    if (!json.Parsed()) {
        result.refusal = json.Error();
        return result;
    }
    const Value& root = json.Root();
    if (!root.IsObject()) {
        result.refusal = "the top level is not a JSON object";
        return result;
    }
    result.namesListeners = root.HasMember("Tls") || root.HasMember("PlainListener");
    Config::Reading reading(json);
    MuxConfigurationData configuration;
    Config::ReadSection(root, kTopLevel, configuration, Place{reading, ""});
    if (reading.Refused()) {
        result.refusal = reading.Refusal();
        return result;
    }
    result.notes = std::move(reading.Notes());
    NoteGatewayOutcomes(configuration, result.notes);
    result.configuration = std::move(configuration);
    return result;
}

std::string WriteConfigurationText(const MuxConfigurationData& configuration) {
    rapidjson::StringBuffer text;
    Writer writer(text);
    Config::WriteSection(configuration, kTopLevel, writer);
    return std::string(text.GetString(), text.GetSize()) + "\n";
}

std::vector<std::string> RestartOnlyChanges(const MuxConfigurationData& now,
                                            const MuxConfigurationData& before) {
    std::vector<std::string> changed;
    Config::RestartChanges(now, before, kTopLevel, "", changed);
    return changed;
}

void DescribeSettings(const MuxConfigurationData& configuration, std::ostream& out) {
    Config::DescribeSection(configuration, kTopLevel, out);
}

std::vector<std::pair<std::string, std::vector<std::string>>> SchemaKeys() {
    return {{"top level", KeyNames(kTopLevel)},  {"Gateways", KeyNames(kGateway)},
            {"Devices", KeyNames(kDevice)},      {"Tls", KeyNames(kTls)},
            {"Clients", KeyNames(kClient)},      {"Mqtt", KeyNames(kMqtt)},
            {"Discovery", KeyNames(kDiscovery)}, {"Metrics", KeyNames(kMetrics)}};
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
