// lockhub between a protocol client and locksim, all real processes on 127.0.0.1.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>

#include "tests/support/Processes.h"

using namespace std::chrono_literals;
using namespace TestSupport;

namespace {

constexpr const char* kOpen = R"({"gatewayID":1,"lockID":4711})";

// A gateway simulator, lockhub configured for it, and the gateway ready for requests.
class RoundTrip : public ::testing::Test {
protected:
    void Start(std::vector<std::string> simOptions = {}, const std::string& extraConfig = "") {
        simOptions.insert(simOptions.end(), {"--locks", "4711,4712"});
        sim = std::make_unique<Locksim>(folder, simOptions);
        ASSERT_GT(sim->Port(), 0);
        hub =
            std::make_unique<Lockhub>(folder, OneGatewayConfiguration(sim->Port(), 1, extraConfig));
        ASSERT_TRUE(hub->WaitForLog("to state READY")) << hub->Log();
    }

    // Sends one request and returns the answer, checking that it answers that request.
    std::string Ask(MuxClient& client, const std::string& id, int code, const std::string& data) {
        EXPECT_TRUE(client.Send(Request(id, code, data)));
        std::string answer = client.Receive();
        EXPECT_EQ(Member(answer, "MessageID"), "\"" + id + "\"") << answer;
        return answer;
    }

    TempDir folder;
    std::unique_ptr<Locksim> sim;
    std::unique_ptr<Lockhub> hub;
};

// The answer without its Timestamp member, which is the time of sending.
std::string WithoutTimestamp(const std::string& answer) {
    size_t start = answer.find("\"Timestamp\":");
    size_t end = answer.find(',', start);
    return start == std::string::npos ? answer : answer.substr(0, start) + answer.substr(end + 1);
}

}  // namespace

TEST_F(RoundTrip, LockOperationsAreAnsweredWithTheGatewaysResult) {
    Start();
    MuxClient client(hub->Port());
    EXPECT_EQ(
        WithoutTimestamp(Ask(client, "open-1", 10, kOpen)),
        R"({"MessageID":"open-1","MessageCode":0,"Data":{"Data":{"Success":true,"ErrorCode":0}}})");
    EXPECT_EQ(WithoutTimestamp(Ask(client, "close-1", 11, R"({"gatewayID":1,"lockID":99})")),
              R"({"MessageID":"close-1","MessageCode":1,"Data":{"ErrorCode":0,"Message":"No route )"
              R"(for device address 99 on gateway 1","Data":{"Success":false,"ErrorCode":8}}})");
    EXPECT_EQ(Member(Ask(client, "oc-1", 13, R"({"gatewayID":1,"lockID":4712,"duration":0})"),
                     "MessageCode"),
              "0");
    EXPECT_EQ(Member(Ask(client, "deny-1", 14, kOpen), "MessageCode"), "0");
    EXPECT_EQ(Member(Ask(client, "ev-open", 110, kOpen), "MessageCode"), "0");
    // A duration of 0 reaches the gateway as 1; the event twin carries the event flag.
    EXPECT_TRUE(sim->WaitForOutput("type=0x09 OPEN_CLOSE_LOCK payload=01"));
    EXPECT_TRUE(sim->WaitForOutput("type=0x8a"));
}

TEST_F(RoundTrip, StatusIsDecodedFromTheLocksStatusBytes) {
    Start({"--status", "0F004000000000"});
    MuxClient client(hub->Port());
    EXPECT_EQ(WithoutTimestamp(Ask(client, "st-1", 12, kOpen)),
              R"({"MessageID":"st-1","MessageCode":0,"Data":{"Data":{"BatteryStatus":3,"QoS":3,)"
              R"("MechanicalActive":false,"BatteryWarningLevel":false,"BatteryAlarmLevel":false,)"
              R"("ScandinavianFireMode":false,"ReaderConnected":true}}})");
    EXPECT_EQ(
        WithoutTimestamp(Ask(client, "st-2", 12, R"({"gatewayID":1,"lockID":5})")),
        R"({"MessageID":"st-2","MessageCode":1,"Data":{"ErrorCode":8,"Message":"","Data":null}})");
}

TEST_F(RoundTrip, WhitelistAnswersUseTheShortTexts) {
    Start({"--whitelist-size", "1"});
    MuxClient client(hub->Port());
    const std::string card =
        R"({"gatewayID":1,"lockID":4711,"setupNumber":0,"options":0,"cardData":"04A10B22","isUIDCard":true})";
    const std::string other =
        R"({"gatewayID":1,"lockID":4711,"setupNumber":0,"options":0,"cardData":"0102","isUIDCard":false})";
    EXPECT_EQ(Member(Ask(client, "wl-1", 21, card), "MessageCode"), "0");
    EXPECT_EQ(
        WithoutTimestamp(Ask(client, "wl-2", 21, card)),
        R"({"MessageID":"wl-2","MessageCode":1,"Data":{"ErrorCode":2,"Message":"Already in whitelist.","Data":null}})");
    EXPECT_EQ(Member(Member(Ask(client, "wl-3", 21, other), "Data"), "Message"),
              "\"Whitelist full.\"");
    EXPECT_EQ(Member(Ask(client, "wl-4", 25, card), "MessageCode"), "0");
    EXPECT_EQ(Member(Member(Ask(client, "wl-5", 25, card), "Data"), "Message"),
              "\"Not in whitelist.\"");
    for (int code : {22, 23, 24}) {
        EXPECT_EQ(WithoutTimestamp(Ask(client, "wl-" + std::to_string(code), code, kOpen)),
                  R"({"MessageID":"wl-)" + std::to_string(code) +
                      R"(","MessageCode":0,"Data":{"Data":null}})");
    }
}

TEST_F(RoundTrip, RequestsThatCannotBeRoutedGetErrorInRequest) {
    Start();
    MuxClient client(hub->Port());
    const std::string nack =
        R"(,"MessageCode":1,"Data":{"ErrorCode":0,"Message":"Error in request","Data":null}})";
    EXPECT_EQ(WithoutTimestamp(Ask(client, "no-gw", 10, R"({"gatewayID":9,"lockID":4711})")),
              R"({"MessageID":"no-gw")" + nack);
    EXPECT_EQ(WithoutTimestamp(Ask(client, "no-data", 10, "null")),
              R"({"MessageID":"no-data")" + nack);
    EXPECT_EQ(WithoutTimestamp(Ask(client, "get-wl", 20, kOpen)),
              R"({"MessageID":"get-wl")" + nack);
    EXPECT_EQ(WithoutTimestamp(Ask(client, "allowed", 50, kOpen)),
              R"({"MessageID":"allowed")" + nack);
    EXPECT_EQ(WithoutTimestamp(Ask(client, "odd", 99, kOpen)), R"({"MessageID":"odd")" + nack);
    EXPECT_TRUE(
        hub->WaitForLog("Access allowed message received, but it's currently not "
                        "supported by the Quarnvell gateway."));
}

// The client protocol writes no log of its own: lockhub logs what the reader of a request
// noted, and writes a close request's lock on standard output, before its parsed line.
TEST_F(RoundTrip, LockhubTellsWhatTheRequestReaderNoted) {
    Start();
    MuxClient client(hub->Port());
    Ask(client, "close", 11, R"({"gatewayID":1,"lockID":4711})");
    Ask(client, "card", 21, R"({"gatewayID":1,"lockID":4711,"cardData":"01"})");
    Ask(client, "no-card", 25, R"({"gatewayID":1,"lockID":4711,"setupNumber":1,"options":2})");
    // An answer may overtake the log lines of its request: they are written a moment later.
    ASSERT_TRUE(hub->WaitForLog("Cannot determine card data in whitelist message."));
    ASSERT_TRUE(WaitFor([&] {
        return hub->Process().Output().find("Parsed received message.") != std::string::npos;
    }));
    const std::string console = hub->Process().Output();
    const size_t echo = console.find("\nMuxMessageBuilder - gatewayID :1 lockID : 4711\n");
    ASSERT_NE(echo, std::string::npos) << console;
    EXPECT_LT(echo, console.find("] Parsed received message.\n", echo));
    // Each line in this order, at its severity, after the request texts were received.
    const std::pair<const char*, const char*> noted[] = {
        {"INFO ",
         "Current whitelist message doesn't contain a Setup Number value. Will be set to default "
         "(0)"},
        {"INFO ",
         "Current whitelist message doesn't contain an Options value. Will be set to default "
         "(0)"},
        {"ERROR", "Card data type is not specified. Default su IsUIDCard false"},
        {"DEBUG", "Finished parsing whitelist message payload."},
        {"DEBUG", "Parsed received message."},
        {"ERROR", "Received a Mux Set Whitelist payload, but the card data is nullptr"},
        {"ERROR", "Card data type is not specified. Default su IsUIDCard false"},
        {"ERROR", "Cannot determine card data in whitelist message. Unrecoverable error"},
        {"DEBUG", "Parsed received message."},
    };
    const std::string log = hub->Log();
    size_t at = log.find("\"MessageID\":\"card\"");
    for (const auto& [severity, text] : noted) {
        at = log.find(std::string("] ") + text + "\n", at);
        ASSERT_NE(at, std::string::npos) << text << "\n" << log;
        const size_t lineStart = log.rfind('\n', at) + 1;
        EXPECT_NE(log.substr(lineStart, at - lineStart).find(std::string(" ") + severity + " ["),
                  std::string::npos)
            << log.substr(lineStart, at - lineStart) << text;
        ++at;
    }
}

TEST_F(RoundTrip, ConfigureAndForeignPacketsAreNotAnswered) {
    Start();
    MuxClient client(hub->Port());
    ASSERT_TRUE(client.Send(Request("cfg", 2, R"({"Enabled":true})")));
    std::string notMux = Frame("{}");
    notMux.replace(2, 4, "XXXX");
    ASSERT_TRUE(client.SendRaw(notMux));
    ASSERT_TRUE(client.SendRaw(Frame("not json")));
    // Answers keep their order: the next answer is the one for the following request.
    std::string answer = Ask(client, "after", 10, kOpen);
    EXPECT_EQ(Member(answer, "MessageCode"), "0");
    EXPECT_TRUE(hub->WaitForLog("Configure via network message currently not supported."));
}

TEST_F(RoundTrip, TwoClientsGetTheirOwnAnswers) {
    Start();
    MuxClient first(hub->Port());
    MuxClient second(hub->Port());
    ASSERT_TRUE(first.Send(Request("from-first", 10, kOpen)));
    ASSERT_TRUE(second.Send(Request("from-second", 12, kOpen)));
    EXPECT_EQ(Member(first.Receive(), "MessageID"), "\"from-first\"");
    EXPECT_EQ(Member(second.Receive(), "MessageID"), "\"from-second\"");
}

TEST_F(RoundTrip, EventsReachEveryClient) {
    Start();
    std::vector<std::unique_ptr<MuxClient>> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(std::make_unique<MuxClient>(hub->Port()));
    }
    ASSERT_TRUE(hub->WaitForLog(" accepted.", 3));
    sim->Command("event 0x11 4711");
    sim->Command("card 4711 04A10B");
    std::vector<std::string> texts;
    for (auto& client : clients) {
        std::string event = client->Receive();
        EXPECT_EQ(Member(event, "MessageCode"), "51") << event;
        EXPECT_EQ(Member(event, "MessageID").rfind("\"lockEventMessage-", 0), 0u);
        std::string data = Member(event, "Data");
        EXPECT_EQ(Member(data, "gatewayID"), "1");
        EXPECT_EQ(Member(data, "lockID"), "4711");
        EXPECT_EQ(Member(data, "RFIDData"), "\"04A10B\"");
        texts.push_back(event);
    }
    EXPECT_EQ(texts[0], texts[1]);
    EXPECT_EQ(texts[1], texts[2]);
    sim->Command("card2 4712 0102");
    sim->Command("pin 4712 1234");
    EXPECT_EQ(Member(clients[0]->Receive(), "MessageCode"), "50");
    EXPECT_EQ(Member(clients[0]->Receive(), "MessageCode"), "60");
}

TEST_F(RoundTrip, GatewayThatDoesNotAnswerInTimeGivesANack) {
    Start({}, R"("RequestTimeout": 1, )");
    sim->Command("answer off");
    MuxClient client(hub->Port());
    EXPECT_EQ(WithoutTimestamp(Ask(client, "late", 10, kOpen)),
              R"({"MessageID":"late","MessageCode":1,"Data":{"ErrorCode":0,"Message":"The )"
              R"(gateway did not answer in time.","Data":null}})");
}

TEST_F(RoundTrip, ARequestWhoseMessageIdIsPendingIsRefusedAtOnce) {
    Start({"--delay", "1500"});
    MuxClient client(hub->Port());
    ASSERT_TRUE(client.Send(Request("twice", 10, kOpen)));
    ASSERT_TRUE(sim->WaitForOutput("OPEN_LOCK"));
    ASSERT_TRUE(client.Send(Request("twice", 11, kOpen)));
    std::string refused = client.Receive();
    EXPECT_EQ(Member(Member(refused, "Data"), "Message"), "\"Error in request\"");
    std::string answered = client.Receive();
    EXPECT_EQ(Member(answered, "MessageCode"), "0") << answered;
    EXPECT_EQ(Member(Member(answered, "Data"), "Data"), R"({"Success":true,"ErrorCode":0})");
}

TEST_F(RoundTrip, AnAnswerNeverReachesALaterClientOnTheSameDescriptor) {
    Start({"--delay", "800"});
    auto asking = std::make_unique<MuxClient>(hub->Port());
    ASSERT_TRUE(asking->Send(Request("orphan", 10, kOpen)));
    ASSERT_TRUE(sim->WaitForOutput("OPEN_LOCK"));
    asking.reset();
    ASSERT_TRUE(hub->WaitForLog("Client deleted from list."));
    MuxClient later(hub->Port());
    ASSERT_TRUE(hub->WaitForLog(" accepted.", 2));
    ASSERT_TRUE(hub->WaitForLog("Tried 1, I will delete the answer from queue."));
    EXPECT_EQ(later.Receive(200ms), "");
    std::string mine = Ask(later, "mine", 12, kOpen);
    EXPECT_EQ(Member(mine, "MessageCode"), "0") << mine << sim->Output();
}

TEST_F(RoundTrip, GatewayThatDropsTheConnectionIsReconnectedWithoutRefresh) {
    Start();
    MuxClient client(hub->Port());
    EXPECT_EQ(Member(Ask(client, "before", 10, kOpen), "MessageCode"), "0");
    sim->Command("close");
    ASSERT_TRUE(sim->WaitForOutput("locksim connected", 2));
    ASSERT_TRUE(hub->WaitForLog("to state READY", 2));
    EXPECT_EQ(Member(Ask(client, "after", 10, kOpen), "MessageCode"), "0");
    // Only the first connection refreshes the sequence counter.
    EXPECT_EQ(CountOf(sim->Output(), "device=256 type=0x01"), 1u);
}

TEST(LockhubConfiguration, DisabledMissingAndInvalidConfigurationsLeaveNoGateways) {
    TempDir folder;
    Locksim sim(folder);
    Lockhub disabled(
        folder, R"({"Enabled": false, "Gateways": [{"ID": 1, "IpAddress": "127.0.0.1", "Port": )" +
                    std::to_string(sim.Port()) + "}]}");
    ASSERT_TRUE(disabled.WaitForLog("Mux is not enabled."));
    Lockhub invalid(folder, R"({"Enabled": true, "Gateways": [1, 2]})");
    ASSERT_TRUE(invalid.WaitForLog("Cannot parse JSON configuration. Invalid data."));
    Lockhub missing(folder, "", {"--configFile", folder.File("absent.json")});
    ASSERT_TRUE(missing.WaitForLog("Cannot read configuration JSON data from file " +
                                   folder.File("absent.json")));
    for (Lockhub* hub : {&disabled, &invalid, &missing}) {
        MuxClient client(hub->Port());
        ASSERT_TRUE(client.Send(Request("x", 10, kOpen)));
        EXPECT_EQ(Member(Member(client.Receive(), "Data"), "Message"), "\"Error in request\"");
    }
    EXPECT_EQ(CountOf(sim.Output(), "locksim connected"), 0u);
}

TEST(LockhubConfiguration, DuplicateIdsRouteToTheFirstAndEmptyAddressesAreSkipped) {
    TempDir folder;
    Locksim first(folder, {"--locks", "1"});
    Locksim second(folder, {"--locks", "2"});
    Lockhub hub(folder, R"({"Enabled": true, "Gateways": [)"
                        R"({"ID": 3, "IpAddress": "", "Port": 1},)"
                        R"({"ID": 3, "IpAddress": "127.0.0.1", "Port": )" +
                            std::to_string(first.Port()) +
                            R"(}, {"ID": 3, "IpAddress": "127.0.0.1", "Port": )" +
                            std::to_string(second.Port()) + "}]}");
    ASSERT_TRUE(hub.WaitForLog("to state READY", 2));
    MuxClient client(hub.Port());
    ASSERT_TRUE(client.Send(Request("dup", 10, R"({"gatewayID":3,"lockID":1})")));
    EXPECT_EQ(Member(client.Receive(), "MessageCode"), "0");
    EXPECT_TRUE(first.WaitForOutput("OPEN_LOCK"));
    EXPECT_EQ(CountOf(second.Output(), "OPEN_LOCK"), 0u);
}

TEST(LockhubProcessEnd, PortInUseEndsTheProcessWithStatusZero) {
    TempDir folder;
    Lockhub first(folder, "");
    MuxClient holder(first.Port());
    ASSERT_TRUE(holder.Connected());
    Lockhub second(folder, "", {}, first.Port());
    EXPECT_EQ(second.Process().ExitStatus(20s), 0);
    std::string log = second.Log();
    EXPECT_NE(log.find("Error on bind server socket. "), std::string::npos);
    EXPECT_NE(log.find("Error detected on socket. Initialization. Shutdown Mux."),
              std::string::npos);
    EXPECT_NE(log.find("Mux main thread is closing."), std::string::npos);
    EXPECT_NE(log.find("GatewaysThreadProc thread procedure closing."), std::string::npos);
}

namespace {

// A listener whose accept queue is full: a connection attempt to it hangs until the
// connecting side gives up.
class FullListener {
public:
    FullListener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(fd_, 0);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        for (int i = 0; i < 2; ++i) {
            int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            ::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
            fillers_.push_back(filler);
        }
    }
    ~FullListener() {
        for (int filler : fillers_) {
            ::close(filler);
        }
        ::close(fd_);
    }
    int Port() const { return port_; }

private:
    int fd_;
    int port_ = 0;
    std::vector<int> fillers_;
};

}  // namespace

TEST(LockhubIsolation, AGatewayThatIsDownOrHangsTroublesNoOtherGateway) {
    TempDir folder;
    FullListener hanging;
    const int refusing = FreePort();
    Locksim sim(folder);
    Lockhub hub(folder, R"({"Enabled": true, "RequestTimeout": 2, "Gateways": [)"
                        R"({"ID": 1, "IpAddress": "127.0.0.1", "Port": )" +
                            std::to_string(hanging.Port()) +
                            R"(}, {"ID": 2, "IpAddress": "127.0.0.1", "Port": )" +
                            std::to_string(sim.Port()) +
                            R"(}, {"ID": 3, "IpAddress": "localhost", "Port": )" +
                            std::to_string(refusing) + "}]}");
    ASSERT_TRUE(hub.WaitForLog("to state READY")) << hub.Log();
    MuxClient client(hub.Port());
    const std::string notSent =
        "\"The request was not sent: the gateway could not take it in time.\"";
    ASSERT_TRUE(client.Send(Request("to-hanging", 10, R"({"gatewayID":1,"lockID":4711})")));
    ASSERT_TRUE(client.Send(Request("to-refusing", 10, R"({"gatewayID":3,"lockID":4711})")));
    // While both are in trouble, the healthy gateway serves at once.
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(client.Send(
            Request("ok-" + std::to_string(i), 10, R"({"gatewayID":2,"lockID":4711})")));
        std::string answer = client.Receive(1500ms);
        EXPECT_EQ(Member(answer, "MessageID"), "\"ok-" + std::to_string(i) + "\"") << answer;
        EXPECT_EQ(Member(answer, "MessageCode"), "0") << answer;
    }
    for (int i = 0; i < 2; ++i) {
        std::string answer = client.Receive(5s);
        EXPECT_EQ(Member(Member(answer, "Data"), "Message"), notSent) << answer;
    }
    // Connection failures are the network's, not lockhub's: it keeps running, retrying
    // with pauses instead of in a tight loop.
    EXPECT_TRUE(hub.Process().Running());
    EXPECT_EQ(hub.Log().find("Exit for critical errors."), std::string::npos);
    EXPECT_LE(CountOf(hub.Log(), "Cannot connect to gateway with ID 3 over IP localhost."), 4u);
}

TEST_F(RoundTrip, DeadlineAnswersSayWhetherTheRequestWasSent) {
    Start({}, R"("RequestTimeout": 1, )");
    sim->Command("answer off");
    ASSERT_TRUE(sim->WaitForOutput("answer off"));
    MuxClient client(hub->Port());
    for (int i = 0; i < 7; ++i) {
        ASSERT_TRUE(client.Send(Request("r" + std::to_string(i), 10, kOpen)));
    }
    std::map<std::string, std::string> texts;
    for (int i = 0; i < 7; ++i) {
        std::string answer = client.Receive(5s);
        texts[Member(answer, "MessageID")] = Member(Member(answer, "Data"), "Message");
    }
    ASSERT_EQ(texts.size(), 7u);
    EXPECT_EQ(texts["\"r0\""], "\"The gateway did not answer in time.\"");
    for (const char* id : {"\"r5\"", "\"r6\""}) {
        EXPECT_EQ(texts[id], "\"The gateway is busy: the request was not sent.\"") << id;
    }
    // Exactly the requests told "did not answer" reached the gateway.
    size_t sent = 0;
    for (const auto& [id, text] : texts) {
        sent += text == "\"The gateway did not answer in time.\"";
    }
    EXPECT_EQ(CountOf(sim->Output(), "OPEN_LOCK"), sent);
}

TEST(LockhubIsolation, ARequestForAGatewayThatCannotConnectInTimeIsAnsweredAtOnce) {
    TempDir folder;
    const int refusing = FreePort();
    Lockhub hub(folder, R"({"Enabled": true, "RequestTimeout": 1, "Gateways": [)"
                        R"({"ID": 3, "IpAddress": "127.0.0.1", "Port": )" +
                            std::to_string(refusing) + "}]}");
    // After two failures the next attempt is about 2 s away, beyond a 1 s deadline.
    ASSERT_TRUE(hub.WaitForLog("Cannot connect to gateway with ID 3", 2)) << hub.Log();
    MuxClient client(hub.Port());
    ASSERT_TRUE(client.Send(Request("down", 10, R"({"gatewayID":3,"lockID":4711})")));
    const std::string answer = client.Receive();
    EXPECT_EQ(Member(answer, "MessageCode"), "1") << answer;
    EXPECT_EQ(Member(Member(answer, "Data"), "Message"),
              "\"The request was not sent: gateway 3 is not connected.\"")
        << answer;
}

TEST_F(RoundTrip, AClientThatFloodsDoorCommandsDelaysAnotherClientsDoorByOneTurnAtMost) {
    Start();
    MuxClient flooding(hub->Port());
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(flooding.Send(Request("flood-" + std::to_string(i), 10, kOpen)));
    }
    ASSERT_TRUE(sim->WaitForOutput("OPEN_LOCK", 2));
    MuxClient other(hub->Port());
    ASSERT_TRUE(other.Send(Request("mine", 10, kOpen)));
    // One turn is one send spacing (300 ms): the flood's next frame, then this one.
    const std::string answer = other.Receive(1000ms * DeadlineFactor());
    EXPECT_EQ(Member(answer, "MessageID"), "\"mine\"") << answer;
    EXPECT_EQ(Member(answer, "MessageCode"), "0") << answer;
}
