// Home Assistant discovery at scale: 1,000 locks on 100 gateways (a GatewayFarm) announced
// through a real mosquitto; then door commands through the set topic taking turns with
// lock-opens on the client port.

#include <cstdio>
#include <thread>

#include "bench/GatewayFarm.h"
#include "bench/Parts.h"
#include "tests/support/MqttBroker.h"

namespace Bench {
namespace {

using TestSupport::MqttReceived;
using TestSupport::MqttTestClient;

constexpr int kGateways = 100;
constexpr int kLocksPerGateway = 10;
// lockhub's device and each gateway's connection; a lock, its reader and its battery.
constexpr size_t kConfigs = 1 + kGateways + 3 * kGateways * kLocksPerGateway;
constexpr int kCommandsEach = 50;
constexpr long kFirstLock = 100;

std::string Site(const GatewayFarm& farm, int brokerPort) {
    std::vector<std::string> gateways;
    for (int id = 1; id <= kGateways; ++id) {
        std::string devices;
        for (int lock = 0; lock < kLocksPerGateway; ++lock) {
            devices += Format("%s{\"Name\": \"Door %d.%d\", \"ID\": %ld}", lock == 0 ? "" : ", ",
                              id, lock, kFirstLock + lock);
        }
        gateways.push_back(
            Format("{\"ID\": %d, \"Description\": \"Gateway %d\", \"IpAddress\": "
                   "\"127.0.0.1\", \"Port\": %d, \"Devices\": [%s]}",
                   id, id, farm.Port(id - 1), devices.c_str()));
    }
    return Configuration(gateways, Format("\"Mqtt\": {\"Broker\": \"127.0.0.1:%d\", \"ClientId\": "
                                          "\"bench\", \"TopicPrefix\": \"site\", \"Discovery\": "
                                          "{\"Prefix\": \"ha\"}}, ",
                                          brokerPort));
}

size_t Configs(const MqttTestClient& ha) {
    size_t count = 0;
    for (const MqttReceived& message : ha.Received()) {
        count += message.topic.ends_with("/config") ? 1 : 0;
    }
    return count;
}

}  // namespace

bool MeasureHomeAssistant(const TempDir& folder, const Options& options, Summary& summary) {
    std::printf(
        "\n12. Home Assistant discovery: %d locks on %d gateways (a gateway farm), a real\n"
        "    mosquitto; the time from lockhub's start until all %zu configurations are at a\n"
        "    subscriber, then %d door commands through the set topic taking turns with %d\n"
        "    lock-opens on the client port.\n",
        kGateways * kLocksPerGateway, kGateways, kConfigs, kCommandsEach, kCommandsEach);
    std::fflush(stdout);
    TestSupport::MqttBroker broker(folder);
    if (!broker.Start()) {
        Fail("mosquitto did not start");
    }
    GatewayFarm farm(kGateways);
    MqttTestClient ha(broker.Port(), "bench-home-assistant");
    if (!ha.Subscribe("ha/#") || !ha.Subscribe("site/#")) {
        Fail("cannot subscribe");
    }
    const auto start = Clock::now();
    LockhubProcess lockhub(folder, "home-assistant", options, Site(farm, broker.Port()));
    if (!TestSupport::WaitFor([&] { return Configs(ha) >= kConfigs; }, 60s)) {
        Fail(Format("%zu of %zu configurations arrived", Configs(ha), kConfigs));
    }
    Clock::time_point last{};
    for (const MqttReceived& message : ha.Received()) {
        last = message.topic.ends_with("/config") ? std::max(last, message.arrived) : last;
    }
    const double announced = Seconds(last - start);
    // Every gateway's availability "online" follows once it is READY.
    auto online = [&] {
        size_t count = 0;
        for (const MqttReceived& message : ha.Received()) {
            count += message.topic.ends_with("/availability") && message.payload == "online";
        }
        return count;
    };
    if (!TestSupport::WaitFor([&] { return online() >= kGateways; }, 30s)) {
        Fail(Format("%zu of %d gateways available", online(), kGateways));
    }
    const size_t published = ha.ReceivedCount();
    // The first status poll of every lock (a frame each, beside each gateway's refresh) is
    // over before the door commands, which would otherwise wait for a poll's frame spacing.
    if (!TestSupport::WaitFor([&] { return farm.Frames() >= kGateways * (kLocksPerGateway + 1); },
                              30s)) {
        Fail(Format("the status polls did not reach the gateways (%ld frames)", farm.Frames()));
    }
    std::printf(
        "  all configurations at the subscriber %.2f s after lockhub started; %zu "
        "messages in all (%zu configurations)\n",
        announced, published, Configs(ha));

    MuxClient client(lockhub.Port());
    const std::string set = "site/gateway/1/lock/100/set";
    const std::string state = "site/gateway/1/lock/100/state";
    std::vector<double> viaSet;
    std::vector<double> viaClient;
    for (int n = 0; n < kCommandsEach; ++n) {
        std::this_thread::sleep_for(kGatewaySpacing);
        // Taking turns, so that each changes the state and is published.
        const char* word = n % 2 == 0 ? "UNLOCK" : "LOCK";
        const char* expected = n % 2 == 0 ? "UNLOCKED" : "LOCKED";
        const auto sent = Clock::now();
        if (!ha.Publish(set, word)) {
            Fail("cannot publish a set command");
        }
        auto answered = ha.WaitFor(
            state, [&](const MqttReceived& m) { return m.arrived > sent && m.payload == expected; },
            kAnswerDeadline);
        if (!answered) {
            Fail("the lock's state did not follow a set command");
        }
        viaSet.push_back(Milliseconds(answered->arrived - sent));
        std::this_thread::sleep_for(kGatewaySpacing);
        const std::string id = Format("tcp-%d", n);
        viaClient.push_back(RoundTrip(client, id, OpenRequest(id, 2, kFirstLock), kAck));
    }
    const Spread set_ = SpreadOf(viaSet);
    const Spread port = SpreadOf(viaClient);
    PrintSpread("set topic to state topic", set_);
    PrintSpread("lock-open on the client port", port);
    if (!lockhub.Running()) {
        Fail("lockhub ended during the run");
    }
    summary.Add(
        Format("Home Assistant: %d locks on %d gateways, start until every "
               "configuration is at the broker",
               kGateways * kLocksPerGateway, kGateways),
        Format("%.2f s; %zu messages (%zu configurations)", announced, published, kConfigs));
    summary.Add(
        "Home Assistant: a door command through the set topic / on the client port",
        Format("p50 %.2f / %.2f ms, p99 %.2f / %.2f ms", set_.p50, port.p50, set_.p99, port.p99));
    return false;
}

}  // namespace Bench
