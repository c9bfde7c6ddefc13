// lockhub's /metrics as Prometheus reads it, from a real lockhub: gateway 1 is locksim and
// READY, a second gateway under ID 1 and gateway 2 are down; an MQTT bridge to a real
// mosquitto and an audit trail are configured. promtool checks the text, and every lockhub
// metric the alert rules and the dashboard use is in it.

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <ctime>
#include <regex>
#include <set>

#include "mux/CommandLine.h"
#include "tests/support/MqttBroker.h"
#include "tests/support/Processes.h"

using namespace std::chrono_literals;
using namespace TestSupport;

namespace {

// The value of the sample line that starts with name (labels included), or "".
std::string Value(const std::string& text, const std::string& name) {
    const std::string head = "\n" + name + " ";
    const size_t at = text.find(head);
    if (at == std::string::npos) {
        return "";
    }
    const size_t begin = at + head.size();
    return text.substr(begin, text.find('\n', begin) - begin);
}

// The lockhub_* names the alert rules and the dashboard's queries use.
std::set<std::string> NamesUsed() {
    std::string queries = ReadFile(PROMETHEUS_DIR "/lockhub.rules.yml");
    rapidjson::Document dashboard;
    dashboard.Parse(ReadFile(PROMETHEUS_DIR "/lockhub.dashboard.json").c_str());
    EXPECT_FALSE(dashboard.HasParseError()) << "the dashboard is not JSON";
    if (!dashboard.HasParseError()) {
        for (const auto& panel : dashboard["panels"].GetArray()) {
            for (const auto& target : panel["targets"].GetArray()) {
                queries += std::string(" ") + target["expr"].GetString();
            }
        }
    }
    std::set<std::string> names;
    const std::regex name("lockhub_[a-z_]+");
    for (auto match = std::sregex_iterator(queries.begin(), queries.end(), name);
         match != std::sregex_iterator(); ++match) {
        names.insert(match->str());
    }
    return names;
}

}  // namespace

TEST(Exposition, PassesPromtoolAndHoldsWhatAlertsAndDashboardUse) {
    TempDir folder;
    MqttBroker broker(folder);
    ASSERT_TRUE(broker.Start()) << broker.Log();
    Locksim sim(folder, {"--locks", "4711"});
    const int metricsPort = FreePort();
    const std::time_t started = std::time(nullptr);
    Lockhub hub(folder,
                R"({"Enabled": true, "Metrics": {"Port": )" + std::to_string(metricsPort) +
                    R"(}, "AuditLog": ")" + folder.File("audit.log") +
                    R"(", "Mqtt": {"Broker": "127.0.0.1:)" + std::to_string(broker.Port()) +
                    R"(", "ClientId": "lockhub-test", "TopicPrefix": "site"}, "Gateways": [)"
                    R"({"ID": 1, "Description": "Sim", "IpAddress": "127.0.0.1", "Port": )" +
                    std::to_string(sim.Port()) +
                    R"(}, {"ID": 1, "Description": "Twin", "IpAddress": "127.0.0.1", "Port": 1},)"
                    R"( {"ID": 2, "Description": "Down", "IpAddress": "127.0.0.1", "Port": 1}]})");
    ASSERT_TRUE(hub.WaitForLog("to state READY")) << hub.Log();
    ASSERT_TRUE(hub.WaitForLog("MQTT: connected to broker")) << hub.Log();
    ASSERT_TRUE(hub.WaitForLog("Serving metrics on")) << hub.Log();
    MuxClient client(hub.Port());
    ASSERT_TRUE(client.Send(Request("open-1", 10, R"({"gatewayID":1,"lockID":4711})")));
    ASSERT_EQ(Member(client.Receive(), "MessageCode"), "0");

    const std::string text = HttpRequest(metricsPort, "GET", "/metrics").body;
    ChildProcess promtool({PROMTOOL_BINARY, "check", "metrics"}, {"", {}, folder.Path()});
    promtool.WriteInput(text);
    promtool.CloseInput();
    EXPECT_EQ(promtool.ExitStatus(Scaled(30s)), 0);
    EXPECT_EQ(promtool.Output() + promtool.Errors(), "") << text;

    const std::pair<std::string, std::string> expected[] = {
        {R"(lockhub_gateway_up{gateway="1"})", "1"},
        {R"(lockhub_gateway_up{gateway="2"})", "0"},
        {R"(lockhub_gateway_status{gateway="1",status="READY"})", "1"},
        {R"(lockhub_gateway_status{gateway="2",status="READY"})", "0"},
        {R"(lockhub_build_info{version=")" + std::string(Mux::kVersion) + R"("})", "1"},
        {"lockhub_mqtt_connected", "1"},
    };
    for (const auto& [name, value] : expected) {
        EXPECT_EQ(Value(text, name), value) << name << "\n" << text;
    }
    const double start = std::stod(Value(text, "process_start_time_seconds"));
    EXPECT_GE(start, static_cast<double>(started - 1));
    EXPECT_LE(start, static_cast<double>(std::time(nullptr) + 1));
    for (const std::string& name : NamesUsed()) {
        EXPECT_TRUE(text.find("\n" + name + "{") != std::string::npos ||
                    text.find("\n" + name + " ") != std::string::npos)
            << name << " is used but not served";
    }

    broker.Stop();
    EXPECT_TRUE(WaitFor([&] {
        return Value(HttpRequest(metricsPort, "GET", "/metrics").body, "lockhub_mqtt_connected") ==
               "0";
    }));
}
