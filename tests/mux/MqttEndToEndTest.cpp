// lockhub with its MQTT bridge as a process, locksim behind it and a real mosquitto beside
// it: events, status words and commands through the broker, and the client port untouched
// by the broker's trouble.

#include <gtest/gtest.h>

#include <ctime>

#include "tests/support/MqttBroker.h"
#include "tests/support/Processes.h"
#include "tests/support/TestSupport.h"

using namespace std::chrono_literals;
using namespace TestSupport;

namespace {

constexpr const char* kCommandTopic = "site/gateway/1/lock/4711/command";

std::string Command(const std::string& id, std::time_t timestamp = std::time(nullptr)) {
    return R"({"Timestamp":)" + std::to_string(timestamp) + R"(,"MessageID":")" + id +
           R"(","MessageCode":10,"Data":{"gatewayID":1,"lockID":4711}})";
}

class MqttEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(broker.Start()) << broker.Log();
        sim = std::make_unique<Locksim>(folder, std::vector<std::string>{"--locks", "4711"});
        ASSERT_GT(sim->Port(), 0);
        metricsPort = FreePort();
        const std::string mqtt = R"("Mqtt": {"Broker": "127.0.0.1:)" +
                                 std::to_string(broker.Port()) +
                                 R"(", "ClientId": "lockhub-test", "TopicPrefix": "site"}, )"
                                 R"("Metrics": {"Port": )" +
                                 std::to_string(metricsPort) + "}, ";
        hub = std::make_unique<Lockhub>(folder, OneGatewayConfiguration(sim->Port(), 1, mqtt));
        ASSERT_TRUE(hub->WaitForLog("to state READY")) << hub->Log();
        ASSERT_TRUE(hub->WaitForLog("MQTT: connected to broker")) << hub->Log();
    }

    // The answer published to replyTopic with the correlation data, or "" within the deadline.
    std::string Answer(MqttTestClient& client, const std::string& replyTopic,
                       const std::string& correlation) {
        auto answer = client.WaitFor(replyTopic, [&](const MqttReceived& message) {
            return message.correlationData == correlation;
        });
        return answer ? answer->payload : "";
    }

    TempDir folder;
    int metricsPort = 0;
    // Persistent: a subscriber's session, and what waits for it, outlive a restart.
    MqttBroker broker{folder, {.persistent = true, .listenerLines = ""}};
    std::unique_ptr<Locksim> sim;
    std::unique_ptr<Lockhub> hub;
};

}  // namespace

TEST_F(MqttEndToEnd, EventsStatusAndCommandsGoThroughTheBroker) {
    MqttTestClient site(broker.Port(), "site-watcher");
    ASSERT_TRUE(site.Subscribe("site/#"));
    EXPECT_TRUE(
        site.WaitFor("site/status", [](const MqttReceived& m) { return m.payload == "online"; }));
    EXPECT_TRUE(site.WaitFor("site/gateway/1/status", [](const MqttReceived& m) {
        return m.payload == "READY" && m.retained;
    }));

    sim->Command("card 4711 04A10B");
    auto event = site.WaitFor("site/gateway/1/lock/4711/event");
    ASSERT_TRUE(event);
    EXPECT_EQ(Member(Member(event->payload, "Data"), "RFIDData"), "\"04A10B\"");
    EXPECT_EQ(event->qos, 1);

    // A retained command and a stale one are ignored; the fresh one behind them is answered.
    ASSERT_TRUE(site.Publish(kCommandTopic, Command("retained"), true, "site/replies", "r"));
    ASSERT_TRUE(site.Publish(kCommandTopic, Command("stale", std::time(nullptr) - 3600), false,
                             "site/replies", "s"));
    ASSERT_TRUE(site.Publish(kCommandTopic, Command("fresh"), false, "site/replies", "f"));
    const std::string answer = Answer(site, "site/replies", "f");
    EXPECT_EQ(Member(answer, "MessageID"), "\"fresh\"") << answer;
    EXPECT_EQ(Member(answer, "MessageCode"), "0") << answer;
    EXPECT_EQ(CountOf(sim->Output(), "OPEN_LOCK"), 1u);
    EXPECT_TRUE(hub->WaitForLog("Ignored MQTT command stale"));

    // What cannot be read is answered "Error in request"; without a response topic, dropped.
    const std::pair<std::string, std::string> bad[] = {
        {"not json", "\"\""},
        {std::string(70000, ' '), "\"\""},
        {R"({"MessageID":"types","MessageCode":10,"Data":{"gatewayID":"one","lockID":4711}})",
         "\"types\""},
        {R"({"MessageID":"elsewhere","MessageCode":10,"Data":{"gatewayID":2,"lockID":4711}})",
         "\"elsewhere\""},
    };
    int n = 0;
    for (const auto& [payload, id] : bad) {
        const std::string correlation = "bad-" + std::to_string(++n);
        ASSERT_TRUE(site.Publish(kCommandTopic, payload, false, "site/replies", correlation));
        const std::string refused = Answer(site, "site/replies", correlation);
        EXPECT_EQ(Member(refused, "MessageID"), id) << refused;
        EXPECT_EQ(Member(Member(refused, "Data"), "Message"), "\"Error in request\"") << refused;
    }
    ASSERT_TRUE(site.Publish(kCommandTopic, Command("no-reply")));
    EXPECT_TRUE(hub->WaitForLog("without a response topic dropped."));
    EXPECT_EQ(CountOf(sim->Output(), "OPEN_LOCK"), 1u);

    // Answers through the broker are counted like those on the client port.
    const std::string metrics = HttpRequest(metricsPort, "GET", "/metrics").body;
    EXPECT_NE(metrics.find("lockhub_requests_total{kind=\"open\",outcome=\"ack\"} 1\n"),
              std::string::npos)
        << metrics;
    EXPECT_NE(metrics.find("outcome=\"nack\"}"), std::string::npos) << metrics;
}

TEST_F(MqttEndToEnd, ABrokerRestartDoesNotDisturbTheClientPort) {
    MqttTestClient site(broker.Port(), "site-watcher", 600);
    ASSERT_TRUE(site.Subscribe("site/#"));
    MuxClient client(hub->Port());
    broker.Stop();
    ASSERT_TRUE(hub->WaitForLog("MQTT: connection to broker"));
    // Requests and events on the client port go on while the broker is away.
    ASSERT_TRUE(client.Send(Request("during", 10, R"({"gatewayID":1,"lockID":4711})")));
    EXPECT_EQ(Member(client.Receive(), "MessageCode"), "0");
    sim->Command("card 4711 04A10B");
    EXPECT_EQ(Member(client.Receive(), "MessageCode"), "51");

    // The event of the outage waited for the broker, and reaches the subscriber after it.
    ASSERT_TRUE(broker.Start());
    ASSERT_TRUE(hub->WaitForLog("MQTT: connected to broker", 2, 15s)) << hub->Log();
    EXPECT_TRUE(site.WaitFor("site/gateway/1/lock/4711/event", nullptr, 15s));
    ASSERT_TRUE(site.Publish(kCommandTopic, Command("after"), false, "site/replies", "a"));
    EXPECT_EQ(Member(Answer(site, "site/replies", "a"), "MessageCode"), "0");
}
