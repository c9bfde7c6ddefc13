#include "mux/Configuration.h"

#include <gtest/gtest.h>

using Mux::Configuration::ParseConfigurationText;

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
