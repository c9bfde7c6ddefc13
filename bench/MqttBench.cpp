// The MQTT bridge on its own, against a real mosquitto on 127.0.0.1: how soon an event
// reaches a subscriber, a command's round trip through the broker, a sustained thousand
// events a second, and what PublishEvent costs its caller while the broker does not answer.
// The bridge runs in this process, as it will inside lockhub; the subscriber and the
// commander are libmosquitto clients with threads of their own.

#include <signal.h>

#include <atomic>
#include <cstdio>
#include <set>
#include <thread>

#include "bench/MqttHub.h"
#include "bench/Parts.h"
#include "mqtt/MqttBridge.h"
#include "tests/support/MqttBroker.h"

namespace Bench {
namespace {

using Mux::Mqtt::MqttBridge;
using Mux::Mqtt::MqttCommand;
using TestSupport::MqttBroker;
using TestSupport::MqttReceived;
using TestSupport::MqttTestClient;

constexpr const char* kPrefix = "bench/site";
constexpr double kEventP99TargetMs = 5;
constexpr int kEventsPerSecond = 1000;
constexpr auto kSampleGap = 2ms;
constexpr auto kDrainDeadline = 30s;

struct Sizes {
    int latencySamples = 1000;
    int roundTrips = 500;
    int stalledEvents = 2 * static_cast<int>(Mux::Mqtt::MqttBridgeLimits{}.maxQueued);
};

std::string EventTopic() {
    return std::string(kPrefix) + "/gateway/1/lock/4711/event";
}

// An event like the core's, numbered in its RFIDData.
std::string Event(int n) {
    return Format(
        R"({"Timestamp":1796740000,"MessageID":"event-%d","MessageCode":51,"Data":)"
        R"({"gatewayID":1,"lockID":4711,"timestamp":"9:5:7 3-12-2026","RFIDData":"%08X"}})",
        n, n);
}

// The number in an event's MessageID.
int NumberOf(const std::string& payload) {
    return std::atoi(payload.c_str() + payload.find("event-") + 6);
}

Mux::Mqtt::MqttSettings Settings(int port) {
    Mux::Mqtt::MqttSettings settings;
    settings.host = "127.0.0.1";
    settings.port = port;
    settings.clientId = "lockhub-bench";
    settings.topicPrefix = kPrefix;
    return settings;
}

// Milliseconds from each event's publishing to its arrival, for the numbers 0..count-1;
// an event that did not arrive is missing.
std::vector<double> Latencies(const MqttTestClient& subscriber,
                              const std::vector<Clock::time_point>& sent) {
    std::vector<double> latencies;
    std::set<int> seen;
    for (const MqttReceived& message : subscriber.Received()) {
        const int n = NumberOf(message.payload);
        if (n >= 0 && static_cast<size_t>(n) < sent.size() && seen.insert(n).second) {
            latencies.push_back(Milliseconds(message.arrived - sent[static_cast<size_t>(n)]));
        }
    }
    return latencies;
}

void WaitForCount(const MqttTestClient& client, size_t count, const char* what) {
    if (!TestSupport::WaitFor([&] { return client.ReceivedCount() >= count; }, kDrainDeadline)) {
        Fail(Format("%s: %zu of %zu arrived", what, client.ReceivedCount(), count));
    }
}

Spread MeasureEventLatency(MqttBridge& bridge, int port, const Sizes& sizes) {
    std::printf(
        "\n10a. One event at a time, bridge -> broker -> subscriber, %d events %.0f ms apart\n"
        "     From just before PublishEvent to the subscriber's thread receiving it (QoS 1).\n",
        sizes.latencySamples, Milliseconds(kSampleGap));
    MqttTestClient subscriber(port, "bench-latency");
    if (!subscriber.Subscribe(EventTopic())) {
        Fail("the subscriber cannot subscribe");
    }
    std::vector<Clock::time_point> sent;
    for (int n = 0; n < sizes.latencySamples; ++n) {
        sent.push_back(Clock::now());
        bridge.PublishEvent(1, 4711, Event(n));
        WaitForCount(subscriber, static_cast<size_t>(n) + 1, "events one at a time");
        std::this_thread::sleep_for(kSampleGap);
    }
    Spread spread = SpreadOf(Latencies(subscriber, sent));
    PrintSpread("event to subscriber", spread);
    return spread;
}

Spread MeasureCommandRoundTrip(int port, const Sizes& sizes) {
    std::printf(
        "\n10b. Command round trip through the broker, %d commands one after the other\n"
        "     A commander publishes a command with a response topic and correlation data; the\n"
        "     bridge's command callback answers at once with Reply. No core and no gateway:\n"
        "     the bridge's and the broker's share of a command's way.\n",
        sizes.roundTrips);
    MqttTestClient commander(port, "bench-commander");
    if (!commander.Subscribe("bench/replies")) {
        Fail("the commander cannot subscribe");
    }
    const std::string command = std::string(kPrefix) + "/gateway/1/lock/4711/command";
    std::vector<double> times;
    for (int n = 0; n < sizes.roundTrips; ++n) {
        const auto start = Clock::now();
        if (!commander.Publish(command, R"({"MessageCode":10})", false, "bench/replies",
                               std::to_string(n))) {
            Fail("the commander cannot publish");
        }
        WaitForCount(commander, static_cast<size_t>(n) + 1, "answers");
        times.push_back(Milliseconds(commander.Received().back().arrived - start));
    }
    Spread spread = SpreadOf(times);
    PrintSpread("command round trip", spread);
    return spread;
}

struct Sustained {
    int events = 0;
    size_t arrived = 0;
    Spread latency;
    Spread call;
};

Sustained MeasureSustained(MqttBridge& bridge, int port, int seconds) {
    std::printf(
        "\n10c. %d events a second for %d s, evenly paced from one thread\n"
        "     Every event must arrive; latency as in 10a, and the time PublishEvent takes\n"
        "     its caller.\n",
        kEventsPerSecond, seconds);
    std::fflush(stdout);
    MqttTestClient subscriber(port, "bench-sustained");
    if (!subscriber.Subscribe(EventTopic())) {
        Fail("the subscriber cannot subscribe");
    }
    Sustained result;
    result.events = kEventsPerSecond * seconds;
    std::vector<Clock::time_point> sent;
    std::vector<double> calls;
    sent.reserve(static_cast<size_t>(result.events));
    const auto start = Clock::now();
    for (int n = 0; n < result.events; ++n) {
        std::this_thread::sleep_until(start + n * 1000us);
        sent.push_back(Clock::now());
        bridge.PublishEvent(1, 4711, Event(n));
        calls.push_back(Milliseconds(Clock::now() - sent.back()));
    }
    TestSupport::WaitFor([&] { return subscriber.ReceivedCount() >= sent.size(); }, kDrainDeadline);
    std::vector<double> latencies = Latencies(subscriber, sent);
    result.arrived = latencies.size();
    result.latency = SpreadOf(latencies);
    result.call = SpreadOf(calls);
    std::printf("  %zu of %d events arrived (distinct)\n", result.arrived, result.events);
    PrintSpread("event to subscriber", result.latency);
    PrintSpread("PublishEvent call", result.call);
    return result;
}

struct Stalled {
    Spread call;
    uint64_t dropped = 0;
    std::optional<double> caughtUp;
};

Stalled MeasureStalledBroker(MqttBridge& bridge, MqttBroker& broker, const Sizes& sizes) {
    std::printf(
        "\n10d. PublishEvent while the broker does not answer (SIGSTOP), %d events\n"
        "     Twice what the bridge queues: the rest is dropped and counted. Then SIGCONT,\n"
        "     and the time until the queue has gone out.\n",
        sizes.stalledEvents);
    Stalled result;
    const uint64_t droppedBefore = bridge.Counters().eventsDropped;
    const uint64_t publishedBefore = bridge.Counters().eventsPublished;
    broker.Signal(SIGSTOP);
    std::vector<double> calls;
    for (int n = 0; n < sizes.stalledEvents; ++n) {
        const auto start = Clock::now();
        bridge.PublishEvent(1, 4711, Event(n));
        calls.push_back(Milliseconds(Clock::now() - start));
    }
    result.dropped = bridge.Counters().eventsDropped - droppedBefore;
    const auto resumed = Clock::now();
    broker.Signal(SIGCONT);
    if (TestSupport::WaitFor(
            [&] {
                return bridge.Counters().eventsPublished - publishedBefore + result.dropped >=
                       static_cast<uint64_t>(sizes.stalledEvents);
            },
            kDrainDeadline)) {
        result.caughtUp = Seconds(Clock::now() - resumed);
    }
    result.call = SpreadOf(calls);
    PrintSpread("PublishEvent call", result.call);
    std::printf("  %llu dropped; the queue went out %s\n",
                static_cast<unsigned long long>(result.dropped),
                result.caughtUp ? Format("%.2f s after SIGCONT", *result.caughtUp).c_str()
                                : "not within the deadline");
    return result;
}

}  // namespace

bool MeasureMqtt(const TempDir& folder, const Options& options, Summary& summary) {
    Sizes sizes;
    if (options.quick) {
        sizes.latencySamples = 200;
        sizes.roundTrips = 100;
    }
    MqttBroker broker(folder);
    if (!broker.Start()) {
        Fail("mosquitto did not start: " + broker.Log());
    }
    MqttBridge bridge(Settings(broker.Port()));
    bridge.SetCommandCallback([&bridge](MqttCommand command) { bridge.Reply(command, "{}"); });
    if (!bridge.Start() || !TestSupport::WaitFor([&] { return bridge.Connected(); })) {
        Fail("the bridge did not connect");
    }
    const Spread event = MeasureEventLatency(bridge, broker.Port(), sizes);
    const Spread command = MeasureCommandRoundTrip(broker.Port(), sizes);
    const int seconds = options.mqttSeconds.value_or(options.quick ? 5 : 60);
    const Sustained sustained = MeasureSustained(bridge, broker.Port(), seconds);
    const Stalled stalled = MeasureStalledBroker(bridge, broker, sizes);
    bridge.Stop();
    const HubFigures hub = MeasureMqttThroughLockhub(folder, options, broker.Port());

    summary.Add(
        "MQTT: event, bridge to subscriber, one at a time",
        Format("p50 %.2f ms, p99 %.2f ms, max %.2f ms", event.p50, event.p99, event.max),
        Format("p99 <= %.0f ms: %s", kEventP99TargetMs, Verdict(event.p99 <= kEventP99TargetMs)));
    summary.Add("MQTT: command round trip through the broker (bridge only)",
                Format("p50 %.2f ms, p99 %.2f ms", command.p50, command.p99));
    summary.Add(
        Format("MQTT: %d events/s for %d s", kEventsPerSecond, seconds),
        Format("%zu of %d arrived; p50 %.2f ms, p99 %.2f ms; PublishEvent p99 %.3f ms, max %.3f ms",
               sustained.arrived, sustained.events, sustained.latency.p50, sustained.latency.p99,
               sustained.call.p99, sustained.call.max),
        Format("no loss: %s", Verdict(sustained.arrived == static_cast<size_t>(sustained.events))));
    summary.Add(
        Format("MQTT: PublishEvent while the broker is stopped, %d events", sizes.stalledEvents),
        Format("p99 %.3f ms, max %.3f ms; %llu dropped", stalled.call.p99, stalled.call.max,
               static_cast<unsigned long long>(stalled.dropped)),
        Format("queue out after SIGCONT: %s", Verdict(stalled.caughtUp.has_value())));
    summary.Add("MQTT through lockhub: card event from locksim, to a subscriber / a TCP client",
                Format("p50 %.2f / %.2f ms, p99 %.2f / %.2f ms", hub.eventToBroker.p50,
                       hub.eventToClient.p50, hub.eventToBroker.p99, hub.eventToClient.p99),
                Format("p99 <= %.0f ms: %s", kEventP99TargetMs,
                       Verdict(hub.eventToBroker.p99 <= kEventP99TargetMs)));
    summary.Add("MQTT through lockhub: lock-open through the broker / on the client port",
                Format("p50 %.2f / %.2f ms, p99 %.2f / %.2f ms", hub.commandViaBroker.p50,
                       hub.commandViaClient.p50, hub.commandViaBroker.p99,
                       hub.commandViaClient.p99));
    return false;
}

}  // namespace Bench
