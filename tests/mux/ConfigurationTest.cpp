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
