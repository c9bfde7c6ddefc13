// The MQTT bridge inside lockhub: a card event from locksim to an MQTT subscriber and to a
// client on the TCP port, and a door command through the broker against the same command on
// the client port, all in one run.

#include <cstdio>
#include <ctime>
#include <thread>

#include "bench/MqttHub.h"
#include "tests/support/MqttBroker.h"

namespace Bench {
namespace {

using TestSupport::Member;
using TestSupport::MqttReceived;
using TestSupport::MqttTestClient;

constexpr const char* kPrefix = "bench/hub";
// Events and commands one after the other, each answered before the next: the gateway's
// 300 ms spacing between two frames sets the pace of the commands.
constexpr int kEvents = 200;
constexpr int kCommandsEach = 50;
constexpr auto kEventGap = 20ms;

std::string CommandJson(const std::string& id) {
    return R"({"Timestamp":)" + std::to_string(std::time(nullptr)) + R"(,"MessageID":")" + id +
           R"(","MessageCode":10,"Data":{"gatewayID":1,"lockID":4711}})";
}

}  // namespace

HubFigures MeasureMqttThroughLockhub(const TempDir& folder, const Options& options,
                                     int brokerPort) {
    std::printf(
        "\n10e. Through lockhub: %d card events from locksim to an MQTT subscriber and to a\n"
        "     TCP client, and %d lock-opens through the broker taking turns with %d on the\n"
        "     client port (each answered before the next).\n",
        kEvents, kCommandsEach, kCommandsEach);
    std::fflush(stdout);
    TestSupport::Locksim locksim(folder, {"--locks", "4711"});
    if (locksim.Port() == 0) {
        Fail("locksim did not start");
    }
    LockhubProcess lockhub(
        folder, "mqtt-hub", options,
        Configuration({GatewayJson(1, "Bench gateway", locksim.Port(), 4711)},
                      R"("Mqtt": {"Broker": "127.0.0.1:)" + std::to_string(brokerPort) +
                          R"(", "ClientId": "bench-hub", "TopicPrefix": ")" + kPrefix + R"("}, )"));
    MuxClient client(lockhub.Port());
    if (!client.Connected() || !WaitUntilReady(client, {1}, 4711, kStartDeadline)) {
        Fail("the gateway did not become ready (lockhub " + lockhub.State() + ")");
    }
    MqttTestClient subscriber(brokerPort, "bench-hub-subscriber");
    const std::string eventTopic = std::string(kPrefix) + "/gateway/1/lock/4711/event";
    const std::string statusTopic = std::string(kPrefix) + "/status";
    if (!subscriber.Subscribe(eventTopic) || !subscriber.Subscribe("bench/hub-replies") ||
        !subscriber.Subscribe(statusTopic) ||
        !subscriber.WaitFor(statusTopic,
                            [](const MqttReceived& m) { return m.payload == "online"; })) {
        Fail("the subscriber cannot subscribe, or lockhub is not at the broker");
    }

    HubFigures figures;
    std::vector<double> toBroker;
    std::vector<double> toClient;
    for (int n = 0; n < kEvents; ++n) {
        const size_t before = subscriber.ReceivedCount();
        const auto sent = Clock::now();
        locksim.Command("card 4711 " + Format("%08X", n));
        const std::string event = client.Receive(kAnswerDeadline);
        if (Member(event, "MessageCode") != "51") {
            Fail("no event on the client port");
        }
        toClient.push_back(Milliseconds(Clock::now() - sent));
        if (!TestSupport::WaitFor([&] { return subscriber.ReceivedCount() > before; }, 5s)) {
            Fail("no event at the subscriber");
        }
        toBroker.push_back(Milliseconds(subscriber.Received()[before].arrived - sent));
        std::this_thread::sleep_for(kEventGap);
    }
    figures.eventToBroker = SpreadOf(toBroker);
    figures.eventToClient = SpreadOf(toClient);
    PrintSpread("event to MQTT subscriber", figures.eventToBroker);
    PrintSpread("event to TCP client", figures.eventToClient);

    std::vector<double> viaBroker;
    std::vector<double> viaClient;
    const std::string commandTopic = std::string(kPrefix) + "/gateway/1/lock/4711/command";
    for (int n = 0; n < kCommandsEach; ++n) {
        std::this_thread::sleep_for(kGatewaySpacing);
        const std::string id = Format("mqtt-%d", n);
        const size_t before = subscriber.ReceivedCount();
        const auto start = Clock::now();
        if (!subscriber.Publish(commandTopic, CommandJson(id), false, "bench/hub-replies", id)) {
            Fail("cannot publish a command");
        }
        if (!TestSupport::WaitFor(
                [&] {
                    for (const MqttReceived& m : subscriber.Received()) {
                        if (m.correlationData == id) {
                            return true;
                        }
                    }
                    return false;
                },
                kAnswerDeadline) ||
            subscriber.ReceivedCount() <= before) {
            Fail("no answer to a command through the broker");
        }
        viaBroker.push_back(Milliseconds(subscriber.Received().back().arrived - start));
        std::this_thread::sleep_for(kGatewaySpacing);
        viaClient.push_back(RoundTrip(client, Format("tcp-%d", n),
                                      OpenRequest(Format("tcp-%d", n), 1, 4711), kAck));
    }
    figures.commandViaBroker = SpreadOf(viaBroker);
    figures.commandViaClient = SpreadOf(viaClient);
    PrintSpread("lock-open through the broker", figures.commandViaBroker);
    PrintSpread("lock-open on the client port", figures.commandViaClient);
    return figures;
}

}  // namespace Bench
