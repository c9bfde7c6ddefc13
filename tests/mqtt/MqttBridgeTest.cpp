// The bridge against a real mosquitto broker on 127.0.0.1, watched by real MQTT clients:
// what it publishes, the commands it passes on or refuses, how it rides out a broker
// that dies, restarts or was never there, and how it moves to another broker.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "mqtt/MqttBridge.h"
#include "tests/support/MqttBroker.h"
#include "tests/support/TestLog.h"

namespace Mux::Mqtt {
namespace {

using TestSupport::LogTail;
using TestSupport::MqttBroker;
using TestSupport::MqttReceived;
using TestSupport::MqttTestClient;
using TestSupport::TempDir;

const std::string kPrefix = "lockhub/test";
const MqttBridgeLimits kQuickLimits{MqttBridgeLimits{}.maxQueued, std::chrono::milliseconds(100),
                                    std::chrono::milliseconds(400)};
// Keeps a watcher's session, and the events queued for it, while the broker restarts.
constexpr uint32_t kSessionSeconds = 300;

MqttSettings Settings(int port) {
    MqttSettings settings;
    settings.host = "127.0.0.1";
    settings.port = port;
    settings.clientId = "lockhub-test";
    settings.topicPrefix = kPrefix;
    return settings;
}

std::string CommandTopic(const std::string& gateway, const std::string& lock) {
    return kPrefix + "/gateway/" + gateway + "/lock/" + lock + "/command";
}

size_t CountOf(const MqttTestClient& client, const std::string& topic, const std::string& payload) {
    size_t count = 0;
    for (const MqttReceived& message : client.Received()) {
        count += message.topic == topic && message.payload == payload ? 1 : 0;
    }
    return count;
}

bool WaitForCount(const MqttTestClient& client, const std::string& topic,
                  const std::string& payload, size_t count) {
    return TestSupport::WaitFor([&] { return CountOf(client, topic, payload) >= count; });
}

// The distinct payloads received on the topic.
std::set<std::string> PayloadsOn(const MqttTestClient& client, const std::string& topic) {
    std::set<std::string> payloads;
    for (const MqttReceived& message : client.Received()) {
        if (message.topic == topic) {
            payloads.insert(message.payload);
        }
    }
    return payloads;
}

std::string Numbered(int n) {
    return "{\"n\":" + std::to_string(n) + "}";
}

// Shuts down this process's TCP connections to the port but those spared: to the broker,
// a connection that died without a word.
int ShutDownConnectionsTo(int port, const std::set<int>& spared) {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        int fd = std::stoi(entry.path().filename());
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        if (spared.count(fd) == 0 &&
            ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
            peer.sin_family == AF_INET && ntohs(peer.sin_port) == port) {
            count += ::shutdown(fd, SHUT_RDWR) == 0 ? 1 : 0;
        }
    }
    return count;
}

class MqttBridgeTest : public ::testing::Test {
protected:
    void SetUp() override {
        TestSupport::CaptureLog();
        ASSERT_TRUE(broker_.Start()) << broker_.Log();
    }

    TempDir folder_;
    MqttBroker broker_{folder_};
};

TEST_F(MqttBridgeTest, PublishesEventsAndStatusesAndLeavesItsWillWhenTheConnectionDies) {
    const int port = broker_.Port();
    const std::string presence = kPrefix + "/status";
    const std::string gatewayStatus = kPrefix + "/gateway/7/status";
    MqttTestClient watcher(port, "watcher");
    ASSERT_TRUE(watcher.Subscribe(kPrefix + "/#"));
    // A retained command waits in the broker: it must run neither now nor at the reconnect.
    MqttTestClient commander(port, "commander");
    ASSERT_TRUE(commander.Publish(CommandTopic("1", "2"), "{}", true, "replies", "c"));
    MqttBridge bridge(Settings(port), kQuickLimits);
    std::atomic<int> commands{0};
    bridge.SetCommandCallback([&](MqttCommand) { ++commands; });
    LogTail log;
    // Only the latest word of a gateway is published.
    bridge.PublishGatewayStatus(7, "CONNECTED");
    bridge.PublishGatewayStatus(7, "READY");
    ASSERT_TRUE(bridge.Start());

    ASSERT_TRUE(watcher.WaitFor(presence, [](auto& m) { return m.payload == "online"; }));
    bridge.PublishEvent(7, 4711, R"({"MessageCode":51})");
    auto event = watcher.WaitFor(kPrefix + "/gateway/7/lock/4711/event");
    ASSERT_TRUE(event);
    EXPECT_EQ(event->payload, R"({"MessageCode":51})");
    EXPECT_EQ(event->qos, 1);
    EXPECT_FALSE(event->retained);
    ASSERT_TRUE(TestSupport::WaitFor([&] { return bridge.Counters().eventsPublished == 1; }));
    ASSERT_TRUE(watcher.WaitFor(gatewayStatus));
    EXPECT_EQ(PayloadsOn(watcher, gatewayStatus), std::set<std::string>{"READY"});
    // A client that comes later finds both words retained.
    MqttTestClient late(port, "late");
    ASSERT_TRUE(late.Subscribe(kPrefix + "/+/+/status"));
    ASSERT_TRUE(late.Subscribe(presence));
    auto word = late.WaitFor(gatewayStatus);
    ASSERT_TRUE(word);
    EXPECT_TRUE(word->retained);
    EXPECT_EQ(word->payload, "READY");
    EXPECT_TRUE(
        late.WaitFor(presence, [](auto& m) { return m.retained && m.payload == "online"; }));

    ASSERT_EQ(ShutDownConnectionsTo(port, {watcher.Socket(), commander.Socket(), late.Socket()}),
              1);
    EXPECT_TRUE(WaitForCount(watcher, presence, "offline", 1));
    EXPECT_TRUE(WaitForCount(watcher, presence, "online", 2));
    EXPECT_TRUE(WaitForCount(watcher, gatewayStatus, "READY", 2));
    EXPECT_EQ(bridge.Counters().reconnects, 1u);
    EXPECT_TRUE(TestSupport::WaitFor([&] {
        return TestSupport::CountOf(
                   log.Text(), "retained command on " + CommandTopic("1", "2") + " ignored") == 2;
    }));
    EXPECT_EQ(commands, 0);

    bridge.Stop();
    EXPECT_TRUE(WaitForCount(watcher, presence, "offline", 2));
    EXPECT_EQ(bridge.Counters().eventsDropped, 0u);
}

TEST_F(MqttBridgeTest, PassesCommandsOnAndPublishesTheirAnswers) {
    const int port = broker_.Port();
    MqttTestClient watcher(port, "watcher");
    ASSERT_TRUE(watcher.Subscribe(kPrefix + "/status"));
    MqttBridge bridge(Settings(port), kQuickLimits);
    std::mutex mutex;
    std::vector<MqttCommand> commands;
    bridge.SetCommandCallback([&](MqttCommand command) {
        std::lock_guard<std::mutex> lock(mutex);
        commands.push_back(std::move(command));
    });
    ASSERT_TRUE(bridge.Start());
    // "online" follows the bridge's subscription on its connection: commands reach it now.
    ASSERT_TRUE(watcher.WaitFor(kPrefix + "/status"));
    MqttTestClient commander(port, "commander");
    ASSERT_TRUE(commander.Subscribe("replies/#"));
    LogTail log;

    // Refused: without a response topic; sent retained.
    ASSERT_TRUE(commander.Publish(CommandTopic("1", "2"), "{}"));
    ASSERT_TRUE(commander.Publish(CommandTopic("1", "2"), "{}", true, "replies/retained"));
    // Passed on, flagged: one byte over the bound; a lock level that is no number.
    const std::string atBound(MqttBridge::kMaxCommandBytes, ' ');
    ASSERT_TRUE(commander.Publish(CommandTopic("1", "2"), atBound + " ", false, "replies/big"));
    ASSERT_TRUE(commander.Publish(CommandTopic("1", "door"), "{}", false, "replies/bad"));
    ASSERT_TRUE(commander.Publish(CommandTopic("-3", "2"), atBound, false, "replies/bound"));
    const std::string correlation("\0\x01id-1", 6);
    ASSERT_TRUE(commander.Publish(CommandTopic("7", "4711"), R"({"MessageID":"m1"})", false,
                                  "replies/1", correlation));

    ASSERT_TRUE(TestSupport::WaitFor([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return commands.size() >= 4;
    }));
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(commands.size(), 4u);
    EXPECT_TRUE(commands[0].tooLarge);
    EXPECT_TRUE(commands[0].payload.empty());
    EXPECT_EQ(commands[0].responseTopic, "replies/big");
    EXPECT_TRUE(commands[1].badTopic);
    EXPECT_EQ(commands[1].gatewayId, 0);
    EXPECT_FALSE(commands[2].tooLarge || commands[2].badTopic);
    EXPECT_EQ(commands[2].gatewayId, -3);
    EXPECT_EQ(commands[2].payload.size(), MqttBridge::kMaxCommandBytes);
    const MqttCommand& open = commands[3];
    EXPECT_EQ(open.gatewayId, 7);
    EXPECT_EQ(open.lockId, 4711);
    EXPECT_EQ(open.payload, R"({"MessageID":"m1"})");
    EXPECT_EQ(open.responseTopic, "replies/1");
    EXPECT_EQ(open.correlationData, correlation);
    const std::string messages = log.Messages();
    EXPECT_EQ(TestSupport::CountOf(messages, "MQTT: command on " + CommandTopic("1", "2") +
                                                 " without a response topic dropped."),
              1u);
    EXPECT_EQ(TestSupport::CountOf(
                  messages, "MQTT: retained command on " + CommandTopic("1", "2") + " ignored"),
              1u);

    bridge.Reply(open, R"({"MessageCode":0})");
    auto answer = commander.WaitFor("replies/1");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->payload, R"({"MessageCode":0})");
    EXPECT_EQ(answer->correlationData, correlation);
    EXPECT_EQ(answer->qos, 1);
}

// Outages need a broker that keeps the watcher's session across its restart, so that no
// event the bridge publishes while the watcher reconnects is lost on the watcher's side.
class MqttOutageTest : public ::testing::Test {
protected:
    void SetUp() override {
        TestSupport::CaptureLog();
        ASSERT_TRUE(broker_.Start()) << broker_.Log();
        watcher_ = std::make_unique<MqttTestClient>(broker_.Port(), "watcher", kSessionSeconds);
        ASSERT_TRUE(watcher_->Subscribe(kPrefix + "/gateway/+/lock/+/event"));
    }

    const std::string eventTopic_ = kPrefix + "/gateway/1/lock/1/event";
    TempDir folder_;
    MqttBroker broker_{folder_, MqttBroker::Options{true, ""}};
    std::unique_ptr<MqttTestClient> watcher_;
};

TEST_F(MqttOutageTest, EventsQueuedWhileTheBrokerRestartsArrive) {
    MqttBridge bridge(Settings(broker_.Port()), kQuickLimits);
    ASSERT_TRUE(bridge.Start());
    ASSERT_TRUE(TestSupport::WaitFor([&] { return bridge.Connected(); }));
    std::set<std::string> expected;
    for (int n = 0; n < 400; ++n) {
        if (n == 200) {
            broker_.Stop();
        }
        bridge.PublishEvent(1, 1, Numbered(n));
        expected.insert(Numbered(n));
    }
    ASSERT_TRUE(broker_.Start()) << broker_.Log();
    EXPECT_TRUE(TestSupport::WaitFor([&] { return PayloadsOn(*watcher_, eventTopic_) == expected; },
                                     std::chrono::seconds(20)))
        << PayloadsOn(*watcher_, eventTopic_).size() << " of 400 arrived";
    EXPECT_EQ(bridge.Counters().reconnects, 1u);
    EXPECT_EQ(bridge.Counters().eventsDropped, 0u);
}

TEST_F(MqttOutageTest, EventsBeyondTheBoundAreDroppedAndCountedUntilTheBrokerComes) {
    broker_.Stop();  // the watcher's subscription stays in its session
    MqttBridgeLimits limits = kQuickLimits;
    limits.maxQueued = 20;
    MqttBridge bridge(Settings(broker_.Port()), limits);
    LogTail log;
    ASSERT_TRUE(bridge.Start());
    ASSERT_TRUE(
        log.WaitFor("MQTT: cannot connect to broker " + Settings(broker_.Port()).BrokerName()));
    for (int n = 0; n < 25; ++n) {
        bridge.PublishEvent(1, 1, Numbered(n));
    }
    EXPECT_EQ(bridge.Counters().eventsDropped, 5u);
    ASSERT_TRUE(broker_.Start()) << broker_.Log();
    std::set<std::string> expected;
    for (int n = 0; n < 20; ++n) {
        expected.insert(Numbered(n));
    }
    ASSERT_TRUE(TestSupport::WaitFor([&] { return PayloadsOn(*watcher_, eventTopic_) == expected; },
                                     std::chrono::seconds(20)))
        << PayloadsOn(*watcher_, eventTopic_).size() << " of 20 arrived";
    // The dropped ones would come before an event published now.
    bridge.PublishEvent(1, 1, Numbered(99));
    expected.insert(Numbered(99));
    ASSERT_TRUE(watcher_->WaitFor(eventTopic_, [](auto& m) { return m.payload == Numbered(99); }));
    EXPECT_EQ(PayloadsOn(*watcher_, eventTopic_), expected);
    EXPECT_EQ(bridge.Counters().eventsDropped, 5u);
    EXPECT_EQ(bridge.Counters().reconnects, 0u);
    const std::string messages = log.Messages();
    EXPECT_EQ(TestSupport::CountOf(messages, "MQTT: 20 messages wait for the broker"), 1u);
    EXPECT_EQ(
        TestSupport::CountOf(
            messages, "MQTT: 5 messages were dropped while the queue for the broker was full."),
        1u);
}

// Moves go from the first broker to the second, under another prefix and client id.
class MqttMoveTest : public ::testing::Test {
protected:
    void SetUp() override {
        TestSupport::CaptureLog();
        ASSERT_TRUE(first_.Start()) << first_.Log();
        ASSERT_TRUE(second_.Start()) << second_.Log();
    }

    MqttSettings Moved() const {
        MqttSettings settings = Settings(second_.Port());
        settings.clientId = "lockhub-moved";
        settings.topicPrefix = movedPrefix_;
        return settings;
    }

    std::set<std::string> PublishNumbered(MqttBridge& bridge, int from, int to) {
        std::set<std::string> published;
        for (int n = from; n < to; ++n) {
            bridge.PublishEvent(1, 1, Numbered(n));
            published.insert(Numbered(n));
        }
        return published;
    }

    const std::string movedPrefix_ = "site/moved";
    const std::string movedEvents_ = movedPrefix_ + "/gateway/1/lock/1/event";
    TempDir firstFolder_;
    TempDir secondFolder_;
    MqttBroker first_{firstFolder_};
    MqttBroker second_{secondFolder_};
};

TEST_F(MqttMoveTest, LeavesWithItsWillAndTakesWhatItHoldsToTheNewBrokerAndPrefix) {
    MqttTestClient oldWatcher(first_.Port(), "watcher");
    ASSERT_TRUE(oldWatcher.Subscribe(kPrefix + "/status"));
    MqttTestClient newWatcher(second_.Port(), "watcher");
    ASSERT_TRUE(newWatcher.Subscribe(movedPrefix_ + "/#"));
    MqttBridge bridge(Settings(first_.Port()), kQuickLimits);
    std::atomic<int> commands{0};
    bridge.SetCommandCallback([&](MqttCommand command) {
        commands += command.gatewayId == 3 && command.lockId == 9 ? 1 : 0;
    });
    LogTail log;
    bridge.PublishGatewayStatus(7, "READY");
    ASSERT_TRUE(bridge.Start());
    PublishNumbered(bridge, 0, 10);
    ASSERT_TRUE(TestSupport::WaitFor([&] { return bridge.Counters().eventsPublished == 10; }));

    // The old broker stops answering: at the move, some events wait for its confirmation and
    // the rest are queued; all of them must reach the new broker.
    first_.Signal(SIGSTOP);
    std::set<std::string> expected = PublishNumbered(bridge, 10, 110);
    std::thread during([&] {
        expected.merge(PublishNumbered(bridge, 110, 210));
        bridge.PublishGatewayStatus(8, "BUSY");
    });
    bridge.Reconfigure(Moved());
    during.join();
    // Once the bridge is leaving, the old broker's confirmations can no longer reach it.
    const bool moving = log.WaitFor(
        "MQTT: bridge moving from broker " + Settings(first_.Port()).BrokerName() + " under " +
        kPrefix + " to broker " + Moved().BrokerName() + " under " + movedPrefix_ + ".");
    first_.Signal(SIGCONT);
    ASSERT_TRUE(moving);
    ASSERT_TRUE(newWatcher.WaitFor(movedPrefix_ + "/status",
                                   [](auto& m) { return m.payload == "online"; }));
    expected.merge(PublishNumbered(bridge, 210, 250));

    EXPECT_TRUE(
        oldWatcher.WaitFor(kPrefix + "/status", [](auto& m) { return m.payload == "offline"; }));
    EXPECT_TRUE(TestSupport::WaitFor(
        [&] { return PayloadsOn(newWatcher, movedEvents_) == expected; }, std::chrono::seconds(20)))
        << PayloadsOn(newWatcher, movedEvents_).size() << " of " << expected.size() << " arrived";
    MqttTestClient late(second_.Port(), "late");
    ASSERT_TRUE(late.Subscribe(movedPrefix_ + "/#"));
    for (const auto& [levels, word] :
         std::set<std::pair<std::string, std::string>>{{"/status", "online"},
                                                       {"/gateway/7/status", "READY"},
                                                       {"/gateway/8/status", "BUSY"}}) {
        EXPECT_TRUE(late.WaitFor(movedPrefix_ + levels, [&](auto& m) {
            return m.retained && m.payload == word;
        })) << levels;
    }
    MqttTestClient commander(second_.Port(), "commander");
    ASSERT_TRUE(commander.Publish(movedPrefix_ + "/gateway/3/lock/9/command", "{}", false, "r"));
    EXPECT_TRUE(TestSupport::WaitFor([&] { return commands == 1; }));
    EXPECT_TRUE(TestSupport::WaitFor([&] { return bridge.Counters().eventsPublished == 250; }));
    EXPECT_EQ(bridge.Counters().reconnects, 1u);
    EXPECT_EQ(bridge.Counters().eventsDropped, 0u);
}

TEST_F(MqttMoveTest, KeepsWhatItHoldsWhileTheNewBrokerCannotBeReachedAndConnectsOnceItCan) {
    MqttTestClient watcher(second_.Port(), "watcher");
    ASSERT_TRUE(watcher.Subscribe(movedEvents_));
    MqttBridge bridge(Settings(first_.Port()), kQuickLimits);
    LogTail log;
    ASSERT_TRUE(bridge.Start());
    // Settings equal to the bridge's leave its connection alone; the event's confirmation
    // shows that the bridge's thread has seen them.
    bridge.Reconfigure(Settings(first_.Port()));
    bridge.PublishEvent(1, 1, "{}");
    ASSERT_TRUE(TestSupport::WaitFor([&] { return bridge.Counters().eventsPublished == 1; }));

    MqttSettings nowhere = Moved();
    nowhere.port = TestSupport::FreePort();
    bridge.Reconfigure(nowhere);
    ASSERT_TRUE(log.WaitFor("MQTT: cannot connect to broker " + nowhere.BrokerName()));
    const std::set<std::string> expected = PublishNumbered(bridge, 0, 20);
    bridge.Reconfigure(Moved());
    EXPECT_TRUE(TestSupport::WaitFor([&] { return PayloadsOn(watcher, movedEvents_) == expected; },
                                     std::chrono::seconds(20)))
        << PayloadsOn(watcher, movedEvents_).size() << " of 20 arrived";
    EXPECT_EQ(TestSupport::CountOf(log.Messages(), "MQTT: bridge moving"), 2u);
    EXPECT_EQ(bridge.Counters().reconnects, 1u);
    EXPECT_EQ(bridge.Counters().eventsDropped, 0u);
}

TEST(MqttBridgeTlsTest, ConnectsWithItsCertificateAndIsRefusedWithAnUntrustedOne) {
    TestSupport::CaptureLog();
    const std::string certs = TEST_CERTS_DIR;
    TempDir folder;
    MqttBroker broker(
        folder, {false, "cafile " + certs + "/ca.pem\ncertfile " + certs + "/server.pem\nkeyfile " +
                            certs + "/server.key\nrequire_certificate true\n"});
    ASSERT_TRUE(broker.Start()) << broker.Log();
    MqttSettings settings = Settings(broker.Port());
    settings.caFile = certs + "/ca.pem";
    settings.certificateFile = certs + "/front-desk.pem";
    settings.keyFile = certs + "/front-desk.key";
    {
        MqttBridge bridge(settings, kQuickLimits);
        ASSERT_TRUE(bridge.Start());
        bridge.PublishEvent(1, 1, "{}");
        EXPECT_TRUE(TestSupport::WaitFor([&] { return bridge.Counters().eventsPublished == 1; }));
    }
    settings.certificateFile = certs + "/other-client.pem";
    settings.keyFile = certs + "/other-client.key";
    LogTail log;
    MqttBridge refused(settings, kQuickLimits);
    ASSERT_TRUE(refused.Start());
    EXPECT_TRUE(log.WaitFor("MQTT: cannot connect to broker " + settings.BrokerName()));
    EXPECT_FALSE(refused.Connected());
}

}  // namespace
}  // namespace Mux::Mqtt
