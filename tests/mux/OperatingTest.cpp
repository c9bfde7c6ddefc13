// Operating lockhub, as real processes on 127.0.0.1: the GATEWAYS answer, gateway status
// events for subscribers only, the metrics and health served over HTTP, and HTTP clients
// that misbehave.

#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>
#include <map>
#include <sstream>

#include "diagnostics/HexBytes.h"
#include "messages/QuarnMessageBuilder.h"
#include "messages/QuarnMessageTypes.h"
#include "messages/QuarnReaderEventPayloads.h"
#include "tests/support/Processes.h"

using namespace std::chrono_literals;
using namespace TestSupport;

namespace {

constexpr const char* kOpen = R"({"gatewayID":1,"lockID":4711})";

// Gateway 1 is locksim, gateway 2 is down (nothing listens on port 1); metrics are served.
class Operating : public ::testing::Test {
protected:
    void SetUp() override {
        sim = std::make_unique<Locksim>(folder);
        metricsPort = FreePort();
        hub = std::make_unique<Lockhub>(
            folder,
            R"({"Enabled": true, "Metrics": {"Port": )" + std::to_string(metricsPort) +
                R"(}, "Gateways": [{"ID": 1, "Description": "Test gateway", "IpAddress": )"
                R"("127.0.0.1", "Port": )" +
                std::to_string(sim->Port()) +
                R"(}, {"ID": 2, "Description": "Down", "IpAddress": "127.0.0.1", "Port": 1}]})");
        ASSERT_TRUE(hub->WaitForLog("to state READY")) << hub->Log();
        ASSERT_TRUE(hub->WaitForLog("Serving metrics on")) << hub->Log();
    }

    std::string Ask(MuxClient& client, const std::string& id, int code, const std::string& data) {
        EXPECT_TRUE(client.Send(Request(id, code, data)));
        std::string answer = client.Receive();
        EXPECT_EQ(Member(answer, "MessageID"), "\"" + id + "\"") << answer;
        return answer;
    }

    // Each sample of /metrics by its name and labels; a line that is not a sample fails.
    std::map<std::string, std::string> Scrape() {
        HttpAnswer answer = HttpRequest(metricsPort, "GET", "/metrics");
        EXPECT_EQ(answer.status, 200);
        std::map<std::string, std::string> samples;
        std::istringstream lines(answer.body);
        for (std::string line; std::getline(lines, line);) {
            const size_t blank = line.rfind(' ');
            if (line.rfind("# HELP ", 0) == 0 || line.rfind("# TYPE ", 0) == 0) {
                continue;
            }
            EXPECT_TRUE((line.rfind("lockhub_", 0) == 0 || line.rfind("process_", 0) == 0) &&
                        blank != std::string::npos &&
                        line.find_first_not_of("0123456789.e+-", blank + 1) == std::string::npos)
                << line;
            samples[line.substr(0, blank)] = line.substr(blank + 1);
        }
        return samples;
    }

    TempDir folder;
    std::unique_ptr<Locksim> sim;
    std::unique_ptr<Lockhub> hub;
    int metricsPort = 0;
};

// A card event from lock 4711 whose CRC is wrong, as locksim's raw command takes it.
std::string BrokenCardEvent() {
    namespace Q = Quarn::Messages;
    Q::QuarnReaderEvent event;
    event.data = {0x04, 0xA1, 0x0B};
    Q::QuarnMessageBuilder builder(0, 1);
    std::vector<unsigned char> frame =
        builder
            .BuildBaseMessage(4711, Q::QUARN_MESSAGE_CARD_READER_EVENT,
                              std::make_unique<Q::QuarnCardReaderMessagePayload>(event))
            ->Serialize();
    frame.back() ^= 0xFF;
    return "raw " + Diagnostics::HexBytes(frame, Diagnostics::HexStyle::UpperPacked);
}

}  // namespace

TEST_F(Operating, GatewaysAnswerTellsEachGatewaysHealth) {
    const std::time_t started = std::time(nullptr) - 10;
    MuxClient client(hub->Port());
    // Once a door command is answered, the gateway's own sequence refreshes are too.
    ASSERT_EQ(Member(Ask(client, "open-1", 10, kOpen), "MessageCode"), "0");
    const std::string answer = Ask(client, "gateways-1", 100, "null");
    EXPECT_EQ(Masked(answer, {"Timestamp", "Since", "LastFrame", "ConnectAttempts"}),
              R"({"Timestamp":_,"MessageID":"gateways-1","MessageCode":0,"Data":{"Data":)"
              R"({"Gateways":[{"ID":1,"Description":"Test gateway","IpAddress":"127.0.0.1",)"
              R"("Port":)" +
                  std::to_string(sim->Port()) +
                  R"(,"Status":"READY","Since":_,"LastFrame":_,"Queued":0,"Waiting":0,)"
                  R"("ConnectAttempts":_,"CrcErrors":0},{"ID":2,"Description":"Down",)"
                  R"("IpAddress":"127.0.0.1","Port":1,"Status":"INITIALIZED","Since":_,)"
                  R"("LastFrame":_,"Queued":0,"Waiting":0,"ConnectAttempts":_,"CrcErrors":0}]}}})");
    // Gateway 1: connected at once, in step since start; gateway 2: only failed attempts,
    // no frame, nothing queued (a refresh is queued only once connected).
    const std::string second = answer.substr(answer.find(R"({"ID":2)"));
    for (const std::string& since :
         {Member(answer, "Since"), Member(answer, "LastFrame"), Member(second, "Since")}) {
        EXPECT_GE(std::atoll(since.c_str()), started) << answer;
        EXPECT_LE(std::atoll(since.c_str()), std::time(nullptr)) << answer;
    }
    EXPECT_EQ(Member(answer, "ConnectAttempts"), "0");
    EXPECT_EQ(Member(second, "LastFrame"), "null");
    EXPECT_GE(std::atoi(Member(second, "ConnectAttempts").c_str()), 1) << answer;
}

TEST_F(Operating, OnlyTheSubscriberSeesGatewayStatusEvents) {
    MuxClient subscriber(hub->Port());
    MuxClient other(hub->Port());
    EXPECT_EQ(Masked(Ask(subscriber, "subscribe-1", 101, "null"), {"Timestamp"}),
              R"({"Timestamp":_,"MessageID":"subscribe-1","MessageCode":0,"Data":{"Data":null}})");
    sim->Command("close");
    EXPECT_EQ(Masked(subscriber.Receive(), {"Timestamp", "MessageID"}),
              R"({"Timestamp":_,"MessageID":_,"MessageCode":102,"Data":)"
              R"({"GatewayID":1,"Status":"DISCONNECTED","Previous":"READY"}})");
    EXPECT_EQ(Member(subscriber.Receive(), "Data"),
              R"({"GatewayID":1,"Status":"READY","Previous":"DISCONNECTED"})");
    // The other client's first message since is the answer to its own request.
    EXPECT_EQ(Member(Ask(other, "open-1", 10, kOpen), "MessageCode"), "0");
}

TEST_F(Operating, MetricsAndHealthFollowRequestsEventsAndGateways) {
    MuxClient client(hub->Port());
    Ask(client, "open-1", 10, kOpen);
    Ask(client, "open-2", 10, R"({"gatewayID":7,"lockID":4711})");
    sim->Command(BrokenCardEvent());
    sim->Command("card 4711 04A10B");
    ASSERT_EQ(Member(client.Receive(), "MessageCode"), "51");
    ASSERT_TRUE(hub->WaitForLog("its CRC is wrong"));

    std::map<std::string, std::string> samples = Scrape();
    const std::pair<const char*, const char*> expected[] = {
        {R"(lockhub_requests_total{kind="open",outcome="ack"})", "1"},
        {R"(lockhub_requests_total{kind="open",outcome="nack"})", "1"},
        {R"(lockhub_gateway_round_trip_seconds_count{gateway="1"})", "1"},
        {R"(lockhub_gateway_round_trip_seconds_bucket{gateway="1",le="+Inf"})", "1"},
        {R"(lockhub_gateways{status="READY"})", "1"},
        {R"(lockhub_gateways{status="INITIALIZED"})", "1"},
        {R"(lockhub_gateway_reconnects_total{gateway="1"})", "0"},
        {R"(lockhub_gateway_crc_errors_total{gateway="1"})", "1"},
        {"lockhub_clients_connected", "1"},
        {"lockhub_events_delivered_total", "1"},
        {"lockhub_log_lines_dropped_total", "0"},
    };
    for (const auto& [name, value] : expected) {
        EXPECT_EQ(samples[name], value) << name;
    }
    HttpAnswer health = HttpRequest(metricsPort, "GET", "/healthz");
    EXPECT_EQ(health.status, 200);
    EXPECT_EQ(health.body, "ok: 1 of 2 gateways ready, 1 clients\n");
    sim->Process().Signal(SIGKILL);
    EXPECT_TRUE(WaitFor([&] {
        health = HttpRequest(metricsPort, "GET", "/healthz");
        return health.status == 503;
    }));
    EXPECT_EQ(health.body, "unavailable: 0 of 2 gateways ready, 1 clients\n");
}

// Garbage, a request too long, requests that never end and more connections than
// allowed: each is closed, the clients of lockhub are served all the while, and the
// descriptors come back.
TEST_F(Operating, BrokenHttpClientsCostNothing) {
    MuxClient client(hub->Port());
    Ask(client, "open-1", 10, kOpen);
    const size_t baseline = OpenDescriptors(hub->Process().Pid());
    const int garbage = ConnectTo(metricsPort);
    SendAll(garbage, std::string("\x16\x03\x01\x00\xff garbage\r\n\r\n", 17));
    const int tooLong = ConnectTo(metricsPort);
    SendAll(tooLong, "GET /metrics HTTP/1.1\r\nX-Long: " + std::string(20000, 'a') + "\r\n\r\n");
    EXPECT_EQ(ReceiveFor(tooLong, 12, 5s).substr(0, 12), "HTTP/1.1 431");
    EXPECT_TRUE(WaitForClose(tooLong, 5s));
    ::close(tooLong);
    std::vector<int> unfinished;
    for (int i = 0; i < 20; ++i) {
        unfinished.push_back(ConnectTo(metricsPort));
        SendAll(unfinished.back(), "GET /metr");
    }
    ASSERT_EQ(Member(Ask(client, "open-2", 10, kOpen), "MessageCode"), "0");
    EXPECT_TRUE(WaitForClose(garbage, 5s));
    for (int fd : unfinished) {
        EXPECT_TRUE(WaitForClose(fd, 15s));
        ::close(fd);
    }
    ::close(garbage);
    EXPECT_TRUE(WaitFor([&] { return OpenDescriptors(hub->Process().Pid()) == baseline; }))
        << OpenDescriptors(hub->Process().Pid()) << " descriptors, " << baseline << " before";
    EXPECT_EQ(HttpRequest(metricsPort, "GET", "/healthz").status, 200);
    EXPECT_EQ(Member(Ask(client, "open-3", 10, kOpen), "MessageCode"), "0");
}
