// The "Mqtt" object of the configuration: what is read, and that every bad value is
// refused with one line naming its key.

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "mqtt/MqttSettings.h"
#include "tests/support/TestSupport.h"

namespace Mux::Mqtt {
namespace {

std::optional<MqttSettings> Read(const std::string& json, std::string& error) {
    rapidjson::Document document;
    document.Parse(json.c_str());
    EXPECT_FALSE(document.HasParseError()) << json;
    return ReadMqttSettings(document, error);
}

TEST(MqttSettingsTest, ReadsTheBrokerAndEveryOptionalKey) {
    TestSupport::TempDir folder;
    for (const char* file : {"ca.pem", "client.pem", "client.key"}) {
        TestSupport::WriteFile(folder.File(file), "PEM");
    }
    std::string error;
    auto settings = Read(R"({"Broker": "mqtt.example:8883", "ClientId": "lockhub-north",
        "TopicPrefix": "lockhub/north", "Username": "north", "Password": "secret",
        "CA": ")" + folder.File("ca.pem") +
                             R"(", "Certificate": ")" + folder.File("client.pem") +
                             R"(", "Key": ")" + folder.File("client.key") + R"("})",
                         error);
    ASSERT_TRUE(settings) << error;
    EXPECT_EQ(settings->host, "mqtt.example");
    EXPECT_EQ(settings->port, 8883);
    EXPECT_EQ(settings->clientId, "lockhub-north");
    EXPECT_EQ(settings->topicPrefix, "lockhub/north");
    EXPECT_EQ(settings->username, "north");
    EXPECT_EQ(settings->password, "secret");
    EXPECT_TRUE(settings->UsesTls());
    EXPECT_EQ(settings->keyFile, folder.File("client.key"));

    const std::string required = R"("ClientId": "c", "TopicPrefix": "p"})";
    settings = Read(R"({"Broker": "broker", )" + required, error);
    ASSERT_TRUE(settings) << error;
    EXPECT_EQ(settings->BrokerName(), "broker:1883");
    EXPECT_FALSE(settings->UsesTls());
    settings = Read(R"({"Broker": "[::1]:1884", )" + required, error);
    ASSERT_TRUE(settings) << error;
    EXPECT_EQ(settings->host, "::1");
    EXPECT_EQ(settings->BrokerName(), "[::1]:1884");
}

TEST(MqttSettingsTest, RefusesBadValuesNamingTheKey) {
    struct Case {
        std::string members;  // besides ClientId, unless it is given here
        std::string key;
    };
    const Case cases[] = {
        {R"("Broker": 1883, "TopicPrefix": "p")", "Broker"},
        {R"("Broker": "h:0", "TopicPrefix": "p")", "Broker"},
        {R"("Broker": "h:65536", "TopicPrefix": "p")", "Broker"},
        {R"("Broker": "h:", "TopicPrefix": "p")", "Broker"},
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
    };
    for (const Case& test : cases) {
        std::string error;
        EXPECT_FALSE(Read(R"({"ClientId": "c", )" + test.members + "}", error)) << test.members;
        EXPECT_EQ(error.rfind("Mqtt \"" + test.key + "\": ", 0), 0u) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
    std::string error;
    EXPECT_FALSE(Read(R"({"Broker": "h", "ClientId": "c", "TopicPrefx": "p"})", error));
    EXPECT_EQ(error, "Mqtt: unknown key \"TopicPrefx\"");
    EXPECT_FALSE(Read(R"(["Broker"])", error));
    EXPECT_EQ(error, "Mqtt: not an object");
}

}  // namespace
}  // namespace Mux::Mqtt
