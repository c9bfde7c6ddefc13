#include "mux/Configuration.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>

namespace {

std::optional<Mux::Configuration::MuxConfigurationData> ParseConfigurationText(
    const std::string& text) {
    return Mux::Configuration::ReadConfigurationText(text).configuration;
}

}  // namespace

TEST(Configuration, FullGatewayAndDevices) {
    auto configuration = ParseConfigurationText(R"({"Enabled": true, "Gateways": [
        {"ID": 1, "Description": "Front", "IpAddress": "10.0.0.5", "Port": 2101,
         "Devices": [{"Name": "Main door", "ID": 4711}, {"Name": "Side", "ID": 4712}]}]})");
    ASSERT_TRUE(configuration);
    EXPECT_TRUE(configuration->Enabled);
    EXPECT_EQ(configuration->RequestTimeout, 20);
    ASSERT_EQ(configuration->Gateways.size(), 1u);
    const auto& gateway = configuration->Gateways[0];
    EXPECT_EQ(gateway.ID, 1);
    EXPECT_EQ(gateway.Description, "Front");
    EXPECT_EQ(gateway.IpAddress, "10.0.0.5");
    EXPECT_EQ(gateway.Port, 2101);
    ASSERT_EQ(gateway.Devices.size(), 2u);
    EXPECT_EQ(gateway.Devices[1].Name, "Side");
    EXPECT_EQ(gateway.Devices[1].ID, 4712);
    EXPECT_EQ(Mux::Configuration::DescribeConfiguration(*configuration),
              "Parsed configuration data from JSON.\nCurrent MUX is enabled.\n"
              "Configuration contains data for 1 gateways.\nGateway[0]\nID: 1\n"
              "Description: Front\nIpAddress: 10.0.0.5\nPort: 2101\n"
              "The gateway have 2 nodes attached.\n");
}

TEST(Configuration, OnlyTheLiteralTrueEnables) {
    EXPECT_FALSE(ParseConfigurationText("{}")->Enabled);
    EXPECT_FALSE(ParseConfigurationText(R"({"Enabled": 1})")->Enabled);
    EXPECT_FALSE(ParseConfigurationText(R"({"Enabled": "true"})")->Enabled);
    EXPECT_FALSE(ParseConfigurationText(R"({"Enabled": false})")->Enabled);
    EXPECT_TRUE(ParseConfigurationText(R"({"Enabled": true, "Enabled": false})")->Enabled);
}

TEST(Configuration, WrongTypesCountAsAbsent) {
    auto configuration = ParseConfigurationText(R"({"Enabled": true, "Gateways": [
        {"ID": "7", "Description": 5, "IpAddress": "gw", "Port": "2101", "Devices": {}}]})");
    ASSERT_TRUE(configuration);
    const auto& gateway = configuration->Gateways.at(0);
    EXPECT_EQ(gateway.ID, 0);
    EXPECT_EQ(gateway.Description, "");
    EXPECT_EQ(gateway.Port, 0);
    EXPECT_TRUE(gateway.Devices.empty());
    EXPECT_TRUE(ParseConfigurationText(R"({"Enabled": true, "Gateways": 3})")->Gateways.empty());
    EXPECT_TRUE(ParseConfigurationText(R"({"Enabled": true, "Gateways": []})")->Gateways.empty());
}

TEST(Configuration, RefusedTexts) {
    EXPECT_FALSE(ParseConfigurationText(""));
    EXPECT_FALSE(ParseConfigurationText("{"));
    EXPECT_FALSE(ParseConfigurationText("[]"));
    EXPECT_FALSE(ParseConfigurationText("{} {}"));
    EXPECT_FALSE(ParseConfigurationText("{} // comment"));
    EXPECT_FALSE(ParseConfigurationText(R"({"Gateways": [1, 2]})"));
    EXPECT_FALSE(ParseConfigurationText(R"({"Gateways": [{"Devices": ["x"]}]})"));
    EXPECT_FALSE(ParseConfigurationText(R"({"Gateways": [{"ID": 4294967296}]})"));
    EXPECT_FALSE(ParseConfigurationText(R"({"Gateways": [{"Port": 1.5}]})"));
    EXPECT_FALSE(ParseConfigurationText(std::string(100000, '[') + std::string(100000, ']')));
}

TEST(Configuration, RequestTimeout) {
    EXPECT_EQ(ParseConfigurationText(R"({"RequestTimeout": 0})")->RequestTimeout, 0);
    EXPECT_EQ(ParseConfigurationText(R"({"RequestTimeout": 5})")->RequestTimeout, 5);
    EXPECT_EQ(ParseConfigurationText(R"({"RequestTimeout": "5"})")->RequestTimeout, 20);
    EXPECT_EQ(ParseConfigurationText(R"({"RequestTimeout": -3})")->RequestTimeout, 20);
}

// Start-up creates and routes the gateways by this plan, and --check-config reports it.
TEST(Configuration, ThePlanSaysWhatStartUpMakesOfEachGateway) {
    auto configuration = ParseConfigurationText(R"({"Enabled": true, "Gateways": [
        {"ID": 3, "IpAddress": ""},
        {"ID": 3, "IpAddress": "a", "Port": 70000},
        {"ID": 3, "IpAddress": "b", "Port": -4},
        {"ID": 3, "IpAddress": "c"},
        {"ID": 4, "IpAddress": "d", "Port": 65535},
        {"ID": 3, "IpAddress": "e", "Port": 1}]})");
    ASSERT_TRUE(configuration);
    using Mux::Configuration::GatewayUse;
    struct Expected {
        GatewayUse use;
        int port;
        size_t firstWithId;
    };
    const Expected expected[] = {{GatewayUse::noAddress, 2101, 0}, {GatewayUse::badPort, 70000, 1},
                                 {GatewayUse::badPort, -4, 2},     {GatewayUse::routed, 2101, 3},
                                 {GatewayUse::routed, 65535, 4},   {GatewayUse::unreachable, 1, 3}};
    auto plans = Mux::Configuration::PlanGateways(*configuration);
    ASSERT_EQ(plans.size(), std::size(expected));
    for (size_t i = 0; i < plans.size(); ++i) {
        EXPECT_EQ(plans[i].index, i);
        EXPECT_EQ(plans[i].use, expected[i].use) << i;
        EXPECT_EQ(plans[i].port, expected[i].port) << i;
        EXPECT_EQ(plans[i].firstWithId, expected[i].firstWithId) << i;
    }
    configuration->Enabled = false;
    EXPECT_TRUE(Mux::Configuration::PlanGateways(*configuration).empty());
}

namespace {

// A configuration with every section, as a site might write it.
const char* kEverySection = R"({"Enabled": true, "RequestTimeout": 7, "CheckFrameCRC": false,
    "Gateways": [{"ID": 1, "Description": "Front", "IpAddress": "10.0.0.5", "Port": 2101,
                  "CheckFrameCRC": true, "Devices": [{"Name": "Main", "ID": 4711}]}],
    "Clients": [{"Identity": "desk", "Gateways": [1, 2], "Requests": ["open"], "Events": true},
                {"Identity": "mqtt", "Gateways": "*"}],
    "AuditLog": "/var/lib/lockhub/audit.log",
    "Mqtt": {"Broker": "[::1]:1884", "ClientId": "hub", "TopicPrefix": "site/north",
             "Username": "u", "Password": "p",
             "Discovery": {"Prefix": "homeassistant", "OpenSeconds": 9, "StatusSeconds": 0,
                           "ExposeCredentials": true}},
    "Tls": {"Port": 5556, "Certificate": "c.pem", "PrivateKey": "k.pem", "ClientCA": "ca.pem"},
    "PlainListener": false,
    "Metrics": {"Address": "127.0.0.1", "Port": 9100}})";

}  // namespace

TEST(ConfigurationSchema, WrittenBackAndReadAgainGivesTheSameConfiguration) {
    auto configuration = ParseConfigurationText(kEverySection);
    ASSERT_TRUE(configuration);
    const std::string written = Mux::Configuration::WriteConfigurationText(*configuration);
    EXPECT_EQ(ParseConfigurationText(written), configuration) << written;
    EXPECT_TRUE(configuration->Permissions().MayRequest("desk", 2, "open"));
    EXPECT_FALSE(configuration->Permissions().MayRequest("desk", 3, "open"));
    EXPECT_FALSE(configuration->Permissions().MayRequest("mqtt", 1, "open"));
}

// Only the listeners wait for a restart: their ports, and whether they are there.
TEST(ConfigurationSchema, RestartOnlyChangesAreTheListenersOnly) {
    auto before = *ParseConfigurationText(kEverySection);
    auto now = before;
    now.RequestTimeout = 3;
    now.AuditLog = "/elsewhere.log";
    now.Mqtt->topicPrefix = "other";
    now.Metrics->port = 9200;
    now.Tls->Certificate = "renewed.pem";
    EXPECT_TRUE(Mux::Configuration::RestartOnlyChanges(now, before).empty());
    now.Tls->Port = 6000;
    now.PlainListener = true;
    EXPECT_EQ(Mux::Configuration::RestartOnlyChanges(now, before),
              (std::vector<std::string>{"\"PlainListener\"", "Tls \"Port\""}));
    now.Tls.reset();
    EXPECT_EQ(Mux::Configuration::RestartOnlyChanges(now, before).size(), 2u);
}

// Every section notes what it does not know; a refusal names where it is.
TEST(ConfigurationSchema, OnePolicyForUnknownKeysAndRefusalsWithTheirPlace) {
    auto reading = Mux::Configuration::ReadConfigurationText(
        R"({"Mqtt": {"Broker": "h", "ClientId": "c", "TopicPrefix": "p", "Qos": 1},)"
        R"( "Metrics": {"Port": 9100, "Path": "/m"}, "Clients": [{"Identity": "d", "X": 1}]})");
    ASSERT_TRUE(reading.configuration) << reading.refusal;
    for (const char* note :
         {"Mqtt: unknown key \"Qos\" is ignored", "Metrics: unknown key \"Path\" is ignored",
          "Clients[0]: unknown key \"X\" is ignored"}) {
        EXPECT_NE(std::find(reading.notes.begin(), reading.notes.end(), note), reading.notes.end())
            << note;
    }
    reading = Mux::Configuration::ReadConfigurationText(
        "{\"Enabled\": true,\n \"Gateways\": [{\"ID\": 1},\n  {\"ID\": 1.5}]}");
    EXPECT_EQ(reading.refusal, "line 3, column 10: Gateways[1] \"ID\": not a 32-bit integer");
    reading = Mux::Configuration::ReadConfigurationText(R"({"Mqtt": {"Broker": "h:0"}})");
    EXPECT_EQ(reading.refusal,
              "line 1, column 21: Mqtt \"Broker\": \"h:0\" has no port in "
              "1-65535 after ':'");
    reading = Mux::Configuration::ReadConfigurationText(R"({"AuditRequired": true})");
    EXPECT_EQ(reading.refusal,
              "line 1, column 1: \"AuditRequired\" is true and there is no \"AuditLog\" to "
              "write");
}

// README's key tables and the schema name the same keys: each table follows a line
// "<!-- keys: SECTION -->", and each row names its keys in quotes in its first cell.
TEST(ConfigurationSchema, ReadmeDescribesEveryKeyOfTheSchemaAndNoOther) {
    std::ifstream file(README_PATH);
    ASSERT_TRUE(file.is_open());
    std::map<std::string, std::set<std::string>> documented;
    std::string section;
    for (std::string line; std::getline(file, line);) {
        if (line.rfind("<!-- keys: ", 0) == 0) {
            section = line.substr(11, line.find(" -->") - 11);
            documented[section];
        } else if (!section.empty() && line.rfind("| \"", 0) == 0) {
            const std::string cell = line.substr(1, line.find('|', 1) - 1);
            for (size_t open = cell.find('"'); open != std::string::npos;
                 open = cell.find('"', cell.find('"', open + 1) + 1)) {
                documented[section].insert(
                    cell.substr(open + 1, cell.find('"', open + 1) - open - 1));
            }
        } else if (!section.empty() && line.rfind('|', 0) != 0 && !documented[section].empty()) {
            section.clear();
        }
    }
    for (const auto& [name, keys] : Mux::Configuration::SchemaKeys()) {
        EXPECT_EQ(documented[name], std::set<std::string>(keys.begin(), keys.end())) << name;
        documented.erase(name);
    }
    EXPECT_TRUE(documented.empty()) << documented.begin()->first;
}

// "Mqtt": the broker in its forms, and every value that cannot be used refuses, naming its key.
TEST(ConfigurationSchema, MqttBrokerFormsAndRefusals) {
    auto mqtt = [](const std::string& members) {
        return Mux::Configuration::ReadConfigurationText(R"({"Mqtt": {"ClientId": "c", )" +
                                                         members + "}}");
    };
    auto read = mqtt(R"("Broker": "[::1]:1884", "TopicPrefix": "p")");
    ASSERT_TRUE(read.configuration) << read.refusal;
    EXPECT_EQ(read.configuration->Mqtt->host, "::1");
    EXPECT_EQ(read.configuration->Mqtt->BrokerName(), "[::1]:1884");
    EXPECT_EQ(mqtt(R"("Broker": "b", "TopicPrefix": "p")").configuration->Mqtt->port, 1883);
    const std::pair<const char*, const char*> cases[] = {
        {R"("Broker": 1883, "TopicPrefix": "p")", "Broker"},
        {R"("Broker": "h:65536", "TopicPrefix": "p")", "Broker"},
        {R"("Broker": ":1883", "TopicPrefix": "p")", "Broker"},
        {R"("Broker": "::1:1883", "TopicPrefix": "p")", "Broker"},
        {R"("Broker": "[::1", "TopicPrefix": "p")", "Broker"},
        {R"("TopicPrefix": "p")", "Broker"},
        {R"("Broker": "h", "TopicPrefix": "site/#")", "TopicPrefix"},
        {R"("Broker": "h", "TopicPrefix": "site/")", "TopicPrefix"},
        {R"("Broker": "h", "TopicPrefix": "")", "TopicPrefix"},
        {R"("Broker": "h", "TopicPrefix": "p", "Password": "x")", "Password"},
        {R"("Broker": "h", "TopicPrefix": "p", "CA": "/nonexistent/ca.pem")", "CA"},
        {R"("Broker": "h", "TopicPrefix": "p", "CA": "/dev/null", "Certificate": "/dev/null")",
         "Certificate"},
        {R"("Broker": "h", "TopicPrefix": "p", "Certificate": "/dev/null", "Key": "/dev/null")",
         "Certificate"},
        {R"("Broker": "h", "TopicPrefix": "p", "Discovery": {"OpenSeconds": 5})", "Discovery"},
        {R"("Broker": "h", "TopicPrefix": "p", "Discovery": {"Prefix": "ha", "OpenSeconds": 0})",
         "Discovery"},
        {R"("Broker": "h", "TopicPrefix": "p", "Discovery": {"Prefix": "ha", "StatusSeconds": -1})",
         "Discovery"},
        {R"("Broker": "h", "TopicPrefix": "p", "Discovery": {"Prefix": "ha/+"})", "Discovery"},
    };
    for (const auto& [members, key] : cases) {
        auto refused = mqtt(members);
        EXPECT_FALSE(refused.configuration) << members;
        const std::string where = std::string(key) == "Discovery" ? ": Mqtt.Discovery \""
                                                                  : std::string(": Mqtt \"") + key;
        EXPECT_NE(refused.refusal.find(where), std::string::npos) << refused.refusal;
    }
}
