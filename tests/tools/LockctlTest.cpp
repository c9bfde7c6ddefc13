// lockctl as a real process against lockhub and locksim, all on 127.0.0.1.

#include <gtest/gtest.h>

#include <sstream>

#include "tests/support/Processes.h"

using namespace std::chrono_literals;
using namespace TestSupport;

namespace {

struct Outcome {
    int status = -3;  // -3: still running at the deadline
    std::string output;
    std::string errors;
};

Outcome Finish(ChildProcess& process, std::chrono::milliseconds deadline = 40s) {
    Outcome outcome;
    outcome.status = process.ExitStatus(deadline).value_or(-3);
    outcome.output = process.Output();
    outcome.errors = process.Errors();
    return outcome;
}

// Readable event lines with the time after ", at " replaced by _.
std::string WithoutTimes(const std::string& text) {
    std::istringstream lines(text);
    std::string result;
    for (std::string line; std::getline(lines, line);) {
        size_t at = line.find(", at ");
        result += (at == std::string::npos ? line : line.substr(0, at) + ", at _") + "\n";
    }
    return result;
}

std::unique_ptr<ChildProcess> StartLockctl(const TempDir& folder, std::vector<std::string> args) {
    args.insert(args.begin(), LOCKCTL_BINARY);
    return std::make_unique<ChildProcess>(TestSupport::ProjectProgram(args),
                                          ChildProcess::Options{"", {}, folder.Path()});
}

// locksim with two locks behind lockhub, the gateway ready for requests.
class Lockctl : public ::testing::Test {
protected:
    void Start(const std::string& extraConfig = "") {
        sim = std::make_unique<Locksim>(folder, std::vector<std::string>{"--locks", "4711,4712"});
        ASSERT_GT(sim->Port(), 0);
        hub =
            std::make_unique<Lockhub>(folder, OneGatewayConfiguration(sim->Port(), 1, extraConfig));
        ASSERT_TRUE(hub->WaitForLog("to state READY")) << hub->Log();
    }

    Outcome Run(std::vector<std::string> args) {
        args.insert(args.end(), {"--port", std::to_string(hub->Port())});
        auto process = StartLockctl(folder, args);
        return Finish(*process);
    }

    TempDir folder;
    std::unique_ptr<Locksim> sim;
    std::unique_ptr<Lockhub> hub;
};

TEST_F(Lockctl, AcknowledgedRequestsExitZeroAndPrintTheAnswer) {
    Start();
    Outcome open = Run({"open", "--gateway", "1", "--lock", "4711"});
    EXPECT_EQ(open.status, 0) << open.errors;
    EXPECT_EQ(open.output, "ACK\n  Success: true\n  ErrorCode: 0\n");

    Outcome status = Run({"status", "--gateway", "1", "--lock", "4711"});
    EXPECT_EQ(status.status, 0) << status.errors;
    EXPECT_EQ(status.output,
              "ACK\n  BatteryStatus: 3\n  QoS: 3\n  MechanicalActive: false\n"
              "  BatteryWarningLevel: false\n  BatteryAlarmLevel: false\n"
              "  ScandinavianFireMode: false\n  ReaderConnected: true\n");

    // The request carries the card and its settings; --json prints the answer as it came.
    Outcome add = Run({"whitelist-add", "--gateway", "1", "--lock", "4712", "--card", "4a10b",
                       "--uid", "--setup", "3", "--json", "--id", "add-1"});
    EXPECT_EQ(add.status, 0) << add.errors;
    EXPECT_EQ(Masked(add.output, {"Timestamp"}),
              R"({"Timestamp":_,"MessageID":"add-1","MessageCode":0,"Data":{"Data":null}})"
              "\n");
    EXPECT_TRUE(sim->WaitForOutput("device=4712 type=0x03 ADD_TO_WHITELIST"));
    Outcome remove = Run({"whitelist-remove", "--gateway", "1", "--lock", "4712", "--card",
                          "04A10B", "--uid", "--setup", "3"});
    EXPECT_EQ(remove.status, 0) << remove.output;
    EXPECT_EQ(remove.output, "ACK\n");

    Outcome openClose = Run(
        {"open-close", "--gateway", "1", "--lock", "4711", "--duration", "7", "--event-answer"});
    EXPECT_EQ(openClose.status, 0) << openClose.errors;
    // Sent as the answer to a card-reader event: the type carries the event-answer flag.
    EXPECT_TRUE(sim->WaitForOutput("type=0x89"));
    EXPECT_NE(sim->Output().find("payload=07"), std::string::npos) << sim->Output();
}

TEST_F(Lockctl, NegativeAnswersExitOne) {
    Start();
    Outcome noLock = Run({"close", "--gateway", "1", "--lock", "9999"});
    EXPECT_EQ(noLock.status, 1) << noLock.errors;
    EXPECT_EQ(noLock.output,
              "NACK: No route for device address 9999 on gateway 1 (ErrorCode 0)\n"
              "  Success: false\n  ErrorCode: 8\n");

    Outcome noGateway = Run({"open", "--gateway", "7", "--lock", "4711"});
    EXPECT_EQ(noGateway.status, 1);
    EXPECT_EQ(noGateway.output, "NACK: Error in request (ErrorCode 0)\n");

    Outcome notThere =
        Run({"whitelist-remove", "--gateway", "1", "--lock", "4711", "--card", "0499"});
    EXPECT_EQ(notThere.status, 1);
    EXPECT_EQ(notThere.output, "NACK: Not in whitelist. (ErrorCode 4)\n");
}

// While lockctl waits, an event reaches it: it is skipped, and lockhub's own time-out
// NACK is the answer.
TEST_F(Lockctl, WaitingSkipsEventsUntilItsAnswer) {
    Start(R"("RequestTimeout": 1, )");
    sim->Command("answer off");
    ASSERT_TRUE(sim->WaitForOutput("answer off"));
    auto process = StartLockctl(folder, {"open", "--gateway", "1", "--lock", "4711", "--verbose",
                                         "--port", std::to_string(hub->Port())});
    ASSERT_TRUE(sim->WaitForOutput("OPEN_LOCK"));
    sim->Command("card 4711 04A10B");
    Outcome outcome = Finish(*process);
    EXPECT_EQ(outcome.status, 1) << outcome.errors;
    EXPECT_EQ(outcome.output, "NACK: The gateway did not answer in time. (ErrorCode 0)\n");
    EXPECT_NE(outcome.errors.find("skipped: {"), std::string::npos) << outcome.errors;
    EXPECT_NE(outcome.errors.find(R"("MessageCode":51)"), std::string::npos) << outcome.errors;
}

TEST_F(Lockctl, NoAnswerOrNoConnectionExitTwo) {
    Start();
    sim->Command("answer off");
    ASSERT_TRUE(sim->WaitForOutput("answer off"));
    Outcome late = Run({"open", "--gateway", "1", "--lock", "4711", "--timeout", "1"});
    EXPECT_EQ(late.status, 2);
    EXPECT_EQ(late.output, "");
    EXPECT_NE(late.errors.find(" within 1 s"), std::string::npos) << late.errors;

    auto nobody = StartLockctl(
        folder, {"status", "--gateway", "1", "--lock", "1", "--port", std::to_string(FreePort())});
    Outcome refused = Finish(*nobody);
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.errors.find("cannot connect to lockhub at 127.0.0.1:"), std::string::npos)
        << refused.errors;
}

TEST_F(Lockctl, WatchPrintsEachEventAndEndsAfterCount) {
    Start();
    auto readable = StartLockctl(folder, {"watch", "--count", "2", "--timeout", "30", "--port",
                                          std::to_string(hub->Port())});
    auto json = StartLockctl(folder, {"watch", "--count", "1", "--json", "--timeout", "30",
                                      "--port", std::to_string(hub->Port())});
    ASSERT_TRUE(hub->WaitForLog(" accepted.", 2)) << hub->Log();
    sim->Command("card 4711 04A10B");
    sim->Command("pin 4712 1234");

    Outcome events = Finish(*readable);
    EXPECT_EQ(events.status, 0) << events.errors;
    EXPECT_EQ(WithoutTimes(events.output),
              "card reader event: gateway 1, lock 4711, data 04A10B, at _\n"
              "info event: gateway 1, lock 4712, data 1234, at _\n");
    Outcome raw = Finish(*json);
    EXPECT_EQ(raw.status, 0) << raw.errors;
    EXPECT_EQ(Masked(raw.output, {"Timestamp", "MessageID", "timestamp"}),
              R"({"Timestamp":_,"MessageID":_,"MessageCode":51,"Data":{"gatewayID":1,)"
              R"("lockID":4711,"timestamp":_,"RFIDData":"04A10B"}})"
              "\n");
    EXPECT_EQ(Member(raw.output, "MessageID").rfind("\"lockEventMessage-", 0), 0u);
}

TEST_F(Lockctl, GatewaysPrintsATableAndWatchPrintsGatewayStatusEvents) {
    Start();
    Outcome table = Run({"gateways"});
    EXPECT_EQ(table.status, 0) << table.errors;
    const std::string port = std::to_string(sim->Port());
    const size_t rowStart = table.output.find('\n') + 1;
    EXPECT_EQ(table.output.substr(0, rowStart),
              "ID  STATUS  SINCE                LAST FRAME           QUEUED  WAITING  ATTEMPTS  "
              "CRC ERRORS  ADDRESS" +
                  std::string(port.size() + 5, ' ') + "DESCRIPTION\n");
    const std::string row = table.output.substr(rowStart);
    EXPECT_EQ(row.substr(0, 12), "1   READY   ") << row;
    const std::string address = "127.0.0.1:" + port + "  Test gateway\n";
    EXPECT_EQ(row.substr(row.size() - address.size()), address) << row;

    auto watch = StartLockctl(folder, {"watch", "--gateways", "--count", "2", "--timeout", "30",
                                       "--port", std::to_string(hub->Port())});
    ASSERT_TRUE(hub->WaitForLog("subscribed to gateway status events")) << hub->Log();
    sim->Command("close");
    Outcome events = Finish(*watch);
    EXPECT_EQ(events.status, 0) << events.errors;
    EXPECT_EQ(events.output,
              "gateway status event: gateway 1 DISCONNECTED (was READY)\n"
              "gateway status event: gateway 1 READY (was DISCONNECTED)\n");
}

TEST(LockctlCommandLine, UnusableCommandLinesExit64WithoutConnecting) {
    TempDir folder;
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {},
             {"unlock", "--gateway", "1", "--lock", "1"},
             {"open", "--gateway", "1"},
             {"open", "--gateway", "1", "--lock", "1", "--duration", "5"},
             {"open", "--gateway", "1", "--lock", "-1"},
             {"status", "--gateway", "1", "--lock", "70000"},
             {"open-close", "--gateway", "1", "--lock", "1", "--duration", "0"},
             {"whitelist-add", "--gateway", "1", "--lock", "1", "--card", "04XY"},
             {"open", "--gateway", "--lock", "1"},
             {"open", "--gatway", "1", "--lock", "1"},
             {"watch", "--cert", "c.pem"},
             {"watch", "--tls", "--port", "5556", "--cert", "c.pem", "--key", "k.pem"},
             {"watch", "--tls", "--cert", "c.pem", "--key", "k.pem", "--ca", "ca.pem"},
             {"watch", "--tls", "--port", "5556", "--cert", "/no/c.pem", "--key", "k.pem", "--ca",
              "ca.pem"}}) {
        auto process = StartLockctl(folder, args);
        Outcome outcome = Finish(*process);
        EXPECT_EQ(outcome.status, 64) << args.size();
        EXPECT_EQ(outcome.errors.rfind("lockctl: ", 0), 0u) << outcome.errors;
    }
    auto help = StartLockctl(folder, {"open-close", "--help"});
    Outcome usage = Finish(*help);
    EXPECT_EQ(usage.status, 0);
    EXPECT_EQ(usage.output.rfind("Usage: lockctl open-close --gateway G --lock L --duration S", 0),
              0u)
        << usage.output;
}

}  // namespace
