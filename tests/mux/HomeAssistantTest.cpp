// Home Assistant discovery against a real mosquitto, with locksim behind lockhub: the test
// acts as Home Assistant does, through the topics the configurations name.

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "tests/support/MqttBroker.h"
#include "tests/support/Processes.h"

using namespace std::chrono_literals;
using namespace TestSupport;

namespace {

constexpr const char* kLockConfig = "ha/lock/hub/g1_l4711/config";

std::string Configuration(int brokerPort, int simPort, const std::string& devices) {
    return R"({"Enabled": true, "RequestTimeout": 2, "Mqtt": {"Broker": "127.0.0.1:)" +
           std::to_string(brokerPort) +
           R"(", "ClientId": "hub", "TopicPrefix": "site", "Discovery": {"Prefix": "ha", )"
           R"("OpenSeconds": 1}}, "Gateways": [{"ID": 1, "Description": "Hall", )"
           R"("IpAddress": "127.0.0.1", "Port": )" +
           std::to_string(simPort) + R"(, "Devices": [)" + devices + "]}]}";
}

rapidjson::Document Parsed(const std::string& text) {
    rapidjson::Document document;
    document.Parse(text.c_str());
    return document;
}

std::string Text(const rapidjson::Value& object, const char* key) {
    return object.IsObject() && object.HasMember(key) && object[key].IsString()
               ? object[key].GetString()
               : "";
}

// The latest message on topic arrived after since, with that payload.
bool Arrives(const MqttTestClient& ha, const std::string& topic, const std::string& payload,
             std::chrono::steady_clock::time_point since,
             std::chrono::milliseconds deadline = 10s) {
    return ha
        .WaitFor(
            topic, [&](const MqttReceived& m) { return m.arrived > since && m.payload == payload; },
            deadline)
        .has_value();
}

class HomeAssistant : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(broker.Start()) << broker.Log();
        ha = std::make_unique<MqttTestClient>(broker.Port(), "home-assistant");
        sim = std::make_unique<Locksim>(folder, std::vector<std::string>{"--locks", "4711,4712"});
        ASSERT_GT(sim->Port(), 0);
        ASSERT_TRUE(ha->Subscribe("ha/#"));
        ASSERT_TRUE(ha->Subscribe("site/#"));
        hub = std::make_unique<Lockhub>(
            folder, Configuration(broker.Port(), sim->Port(),
                                  R"({"Name": "Front door", "ID": 4711}, {"ID": 4712})"));
        ASSERT_TRUE(hub->WaitForLog("to state READY")) << hub->Log();
    }

    // What the lock's configuration names, as Home Assistant reads it.
    std::string LockTopic(const char* key) {
        auto config = ha->WaitFor(kLockConfig);
        return config ? Text(Parsed(config->payload), key) : "";
    }

    TempDir folder;
    MqttBroker broker{folder};
    std::unique_ptr<MqttTestClient> ha;
    std::unique_ptr<Locksim> sim;
    std::unique_ptr<Lockhub> hub;
};

}  // namespace

TEST_F(HomeAssistant, EveryEntityIsAnnouncedWithItsDeviceAndAvailability) {
    const std::string entities[] = {"ha/binary_sensor/hub/connectivity/config",
                                    "ha/binary_sensor/hub/g1_connectivity/config",
                                    kLockConfig,
                                    "ha/event/hub/g1_l4711_reader/config",
                                    "ha/binary_sensor/hub/g1_l4711_battery/config",
                                    "ha/lock/hub/g1_l4712/config"};
    for (const std::string& topic : entities) {
        ASSERT_TRUE(ha->WaitFor(topic)) << topic;
    }
    // Retained, so that Home Assistant finds them whenever it subscribes.
    MqttTestClient later(broker.Port(), "home-assistant-later");
    ASSERT_TRUE(later.Subscribe("ha/#"));
    for (const std::string& topic : entities) {
        auto config = later.WaitFor(topic);
        ASSERT_TRUE(config) << topic;
        EXPECT_TRUE(config->retained && config->qos == 1) << topic;
        rapidjson::Document json = Parsed(config->payload);
        ASSERT_TRUE(json.IsObject()) << config->payload;
        EXPECT_EQ(Text(json, "unique_id").rfind("hub_", 0), 0u) << config->payload;
        EXPECT_EQ(Text(json["origin"], "name"), "lockhub") << config->payload;
        ASSERT_TRUE(json.HasMember("device") && json["device"]["identifiers"].IsArray());
        const bool ownDevice = topic == entities[0];
        EXPECT_EQ(Text(json["device"], "via_device"), ownDevice ? "" : "hub") << topic;
        if (!ownDevice) {
            EXPECT_EQ(Text(json["device"], "name"), "Hall");
            EXPECT_EQ(Text(json["availability"][0], "topic"), "site/status");
            EXPECT_EQ(Text(json["availability"][0], "payload_available"), "online");
            EXPECT_EQ(Text(json["availability"][0], "payload_not_available"), "offline");
            EXPECT_EQ(Text(json, "availability_mode"), "all");
        }
    }
    rapidjson::Document lock = Parsed(ha->WaitFor(kLockConfig)->payload);
    EXPECT_EQ(Text(lock, "name"), "Front door");
    EXPECT_EQ(Text(lock, "unique_id"), "hub_1_4711_lock");
    EXPECT_EQ(Text(lock["availability"][1], "topic"), "site/gateway/1/availability");
    EXPECT_TRUE(lock["optimistic"].IsFalse());
    EXPECT_EQ(Text(lock, "payload_open"), "OPEN");
    EXPECT_EQ(Text(Parsed(ha->WaitFor("ha/lock/hub/g1_l4712/config")->payload), "name"),
              "Lock 4712");
    rapidjson::Document reader =
        Parsed(ha->WaitFor("ha/event/hub/g1_l4711_reader/config")->payload);
    EXPECT_EQ(reader["event_types"].Size(), 2u);
    EXPECT_EQ(Text(Parsed(ha->WaitFor("ha/binary_sensor/hub/g1_connectivity/config")->payload),
                   "entity_category"),
              "diagnostic");

    // The gateway is available while READY, the battery comes from a status poll, and a
    // card shows as a reader event without its number.
    const auto start = std::chrono::steady_clock::time_point{};
    EXPECT_TRUE(Arrives(*ha, "site/gateway/1/availability", "online", start));
    EXPECT_TRUE(Arrives(*ha, "site/gateway/1/lock/4711/battery", "OFF", start));
    sim->Command("card 4711 04A10B");
    auto event = ha->WaitFor(Text(reader, "state_topic"));
    ASSERT_TRUE(event);
    EXPECT_EQ(Text(Parsed(event->payload), "event_type"), "card");
    EXPECT_EQ(event->payload.find("04A10B"), std::string::npos) << event->payload;

    // Home Assistant's birth message brings every configuration again.
    const auto beforeBirth = std::chrono::steady_clock::now();
    ASSERT_TRUE(ha->Publish("ha/status", "online"));
    for (const std::string& topic : entities) {
        EXPECT_TRUE(ha->WaitFor(topic, [&](const MqttReceived& m) {
            return m.arrived > beforeBirth;
        })) << topic;
    }
    EXPECT_TRUE(Arrives(*ha, "site/gateway/1/availability", "online", beforeBirth));

    // A gateway that goes down turns its availability offline.
    const auto beforeQuit = std::chrono::steady_clock::now();
    sim->Command("quit");
    EXPECT_TRUE(Arrives(*ha, "site/gateway/1/availability", "offline", beforeQuit));
}

TEST_F(HomeAssistant, SetCommandsMoveTheDoorAndTheStateFollowsTheAnswer) {
    const std::string set = LockTopic("command_topic");
    const std::string state = LockTopic("state_topic");
    ASSERT_EQ(set, "site/gateway/1/lock/4711/set");
    const std::pair<const char*, const char*> moves[] = {
        {"UNLOCK", "UNLOCKED"}, {"LOCK", "LOCKED"}, {"OPEN", "OPEN"}};
    const char* frames[] = {"OPEN_LOCK", "CLOSE_LOCK", "OPEN_CLOSE_LOCK"};
    for (size_t i = 0; i < std::size(moves); ++i) {
        const auto before = std::chrono::steady_clock::now();
        ASSERT_TRUE(ha->Publish(set, moves[i].first));
        EXPECT_TRUE(sim->WaitForOutput(frames[i])) << sim->Output();
        EXPECT_TRUE(Arrives(*ha, state, moves[i].second, before)) << moves[i].first;
    }
    // The open time passes: the door is locked again; the frame asked for one second.
    EXPECT_TRUE(Arrives(*ha, state, "LOCKED", std::chrono::steady_clock::now() - 100ms, 5s));
    EXPECT_NE(sim->Output().find("OPEN_CLOSE_LOCK payload=01"), std::string::npos) << sim->Output();

    // Unanswered, the command fails at its time-out and the state the lock had comes back.
    sim->Command("answer off");
    const auto unanswered = std::chrono::steady_clock::now();
    ASSERT_TRUE(ha->Publish(set, "UNLOCK"));
    EXPECT_TRUE(Arrives(*ha, state, "LOCKED", unanswered, 10s));
    sim->Command("answer on");

    // A retained set message is never carried out; neither is an unknown payload.
    ASSERT_TRUE(ha->Publish(set, "UNLOCK", true));
    EXPECT_TRUE(hub->WaitForLog("retained command on " + set + " ignored"));
    ASSERT_TRUE(ha->Publish(set, "unlock please"));
    EXPECT_TRUE(hub->WaitForLog("its payload is none of LOCK, UNLOCK and OPEN"));
    EXPECT_EQ(CountOf(sim->Output(), " OPEN_LOCK "), 2u) << sim->Output();
    ASSERT_TRUE(ha->Publish(set, "", true));
}

TEST_F(HomeAssistant, AReloadRemovesAndAddsEntities) {
    ASSERT_TRUE(ha->WaitFor("ha/lock/hub/g1_l4712/config"));
    const auto before = std::chrono::steady_clock::now();
    WriteFile(hub->ConfigFile(), Configuration(broker.Port(), sim->Port(),
                                               R"({"Name": "Front door", "ID": 4711},
                                                  {"Name": "Back door", "ID": 4713})"));
    ::syscall(SYS_tgkill, hub->Process().Pid(), hub->Process().Pid(), SIGUSR1);
    EXPECT_TRUE(Arrives(*ha, "ha/lock/hub/g1_l4712/config", "", before));
    EXPECT_TRUE(Arrives(*ha, "ha/event/hub/g1_l4712_reader/config", "", before));
    auto added = ha->WaitFor("ha/lock/hub/g1_l4713/config",
                             [&](const MqttReceived& m) { return m.arrived > before; });
    ASSERT_TRUE(added);
    EXPECT_EQ(Text(Parsed(added->payload), "name"), "Back door");
    // The lock that stayed was not announced again (it would have come before the new one).
    for (const MqttReceived& message : ha->Received()) {
        EXPECT_FALSE(message.topic == kLockConfig && message.arrived > before);
    }
}
