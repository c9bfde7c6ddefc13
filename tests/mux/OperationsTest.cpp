// lockhub as a real process: --check-config and --bind.

#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/support/Processes.h"

using namespace std::chrono_literals;
using namespace TestSupport;

namespace {

struct Outcome {
    int status = -3;
    std::string output;
    std::string errors;
};

// Runs lockhub in folder with the arguments and waits for its end.
Outcome RunLockhub(const TempDir& folder, std::vector<std::string> args) {
    args.insert(args.begin(), LOCKHUB_BINARY);
    ChildProcess process(ProjectProgram(args), {folder.Path(), {}, folder.Path()});
    Outcome outcome;
    outcome.status = process.ExitStatus(10s).value_or(-3);
    outcome.output = process.Output();
    outcome.errors = process.Errors();
    return outcome;
}

Outcome Check(const TempDir& folder, const std::string& configuration) {
    WriteFile(folder.File("lockhub.json"), configuration);
    return RunLockhub(folder, {"--check-config", folder.File("lockhub.json")});
}

bool LogFileWritten(const TempDir& folder) {
    return ::access(folder.File("smartlock_mux.log").c_str(), F_OK) == 0;
}

TEST(CheckConfig, TheShippedExamplesAreAccepted) {
    TempDir folder;
    Outcome demo = RunLockhub(folder, {"--check-config", EXAMPLES_DIR "/demo.json"});
    EXPECT_EQ(demo.status, 0);
    EXPECT_EQ(demo.output, "Configuration file " EXAMPLES_DIR
                           "/demo.json\n"
                           "Enabled: yes\n"
                           "RequestTimeout: 20 s\n"
                           "Gateways: 1\n"
                           "  Gateways[0]: ID 1 \"Demo gateway (locksim)\" at 127.0.0.1:2101, "
                           "3 devices\n"
                           "    device 4711 \"Front door\"\n"
                           "    device 4712 \"Back door\"\n"
                           "    device 4713 \"Server room\"\n"
                           "Configuration accepted.\n");
    Outcome example = RunLockhub(folder, {"--check-config=" EXAMPLES_DIR "/lockhub.json"});
    EXPECT_EQ(example.status, 0);
    EXPECT_NE(example.output.find("at 192.0.2.10:2101 (default port), 2 devices\n"),
              std::string::npos)
        << example.output;
    EXPECT_NE(example.output.find("\nConfiguration accepted.\n"), std::string::npos);
    // Nothing was started: no log file, nothing on the listen port.
    EXPECT_FALSE(LogFileWritten(folder));
}

TEST(CheckConfig, MetricsAreShownOrWhyTheyAreNotServed) {
    TempDir folder;
    Outcome served = Check(folder, R"({"Metrics": {"Port": 9100}})");
    EXPECT_EQ(served.status, 0);
    EXPECT_NE(served.output.find("\nMetrics: http://127.0.0.1:9100/metrics and /healthz\n"),
              std::string::npos)
        << served.output;
    Outcome unusable =
        Check(folder, R"({"Metrics": {"Address": "localhost", "Port": 0, "Path": "/m"}})");
    EXPECT_EQ(unusable.status, 0);
    EXPECT_EQ(unusable.output.find("Metrics: http"), std::string::npos) << unusable.output;
    for (const char* note :
         {"Note: Metrics: unknown key \"Path\" is ignored\n",
          "Note: Metrics: \"Address\" must be an IPv4 address such as 127.0.0.1: metrics are not "
          "served\n",
          "Note: Metrics: \"Port\" must be a whole number from 1 to 65535: metrics are not "
          "served\n"}) {
        EXPECT_NE(unusable.output.find(note), std::string::npos) << unusable.output;
    }
}

TEST(CheckConfig, RefusedConfigurationsTellWhyAndExitOne) {
    TempDir folder;
    const std::pair<std::string, std::string> cases[] = {
        {"{\"Enabled\": true,\n \"Gateways\": [\n  {\"ID\": 1,}\n]}",
         "line 3, column 12: Missing a name for object member."},
        {R"([{"Enabled": true}])", "the top level is not a JSON object"},
        {R"({"Gateways": [{"ID": 1, "Devices": [{"ID": 4711}, 7]}]})",
         "line 1, column 51: Gateways[0].Devices[1] is not an object"},
        {R"({"Gateways": [{"ID": 1, "Port": 4294967296}]})",
         "line 1, column 33: Gateways[0] \"Port\": not a 32-bit integer"},
        {R"({"RequestTimeout": 2.5})",
         "line 1, column 20: \"RequestTimeout\": not a 32-bit integer"},
        {"", "line 1, column 1: The document is empty."},
        {R"({"Clients": [{"Identity": "desk", "Requests": ["opne"]}]})",
         "line 1, column 48: Clients[0] \"Requests\": holds an unknown request kind: use open, "
         "close, status, denied or whitelist"},
        {R"({"Clients": [{"Identity": "desk", "Gateways": "all"}]})",
         "line 1, column 47: Clients[0] \"Gateways\": neither an array of IDs nor \"*\""},
        {R"({"Clients": [{"Identity": "desk"}, {"Identity": "desk"}]})",
         "line 1, column 36: Clients[1] \"Identity\": \"desk\" has an entry already"},
        {R"({"AuditLog": 1})", "line 1, column 14: \"AuditLog\": not a string"},
    };
    for (const auto& [text, reason] : cases) {
        Outcome outcome = Check(folder, text);
        EXPECT_EQ(outcome.status, 1) << text;
        EXPECT_EQ(outcome.output, "Configuration file " + folder.File("lockhub.json") +
                                      "\nConfiguration refused: " + reason + "\n");
    }
    Outcome missing = RunLockhub(folder, {"--check-config", folder.File("missing.json")});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.output.find("Configuration refused: cannot read the file: No such file"),
              std::string::npos)
        << missing.output;
    EXPECT_FALSE(LogFileWritten(folder));
}

// An audit trail that cannot be written refuses the configuration and stops start-up: door
// commands must not go unrecorded.
TEST(CheckConfig, AnAuditTrailThatCannotBeOpenedStopsStartUp) {
    TempDir folder;
    const std::string configuration =
        R"({"Enabled": true, "AuditLog": ")" + folder.File("missing/audit.log") + R"("})";
    Outcome checked = Check(folder, configuration);
    EXPECT_EQ(checked.status, 1);
    EXPECT_NE(
        checked.output.find("Configuration refused: AuditLog " + folder.File("missing/audit.log")),
        std::string::npos)
        << checked.output;
    Outcome started = RunLockhub(folder, {"--configFile", folder.File("lockhub.json"), "--port",
                                          std::to_string(FreePort())});
    EXPECT_EQ(started.status, 1);
    EXPECT_NE(ReadFile(folder.File("smartlock_mux.log")).find("Cannot open the audit trail: "),
              std::string::npos);
}

// What start-up silently ignores or cannot use is listed; the configuration still counts
// as accepted, as start-up accepts it.
TEST(CheckConfig, NotesWhatStartUpIgnoresOrCannotUse) {
    TempDir folder;
    Outcome outcome = Check(folder, R"({"Enabled": true, "RequestTimeout": 0, "Gateways": [
        {"ID": 1, "IPAddress": "127.0.0.1", "Port": "2101"},
        {"ID": 2, "IpAddress": "127.0.0.1", "Port": 70000},
        {"ID": 3, "IpAddress": "127.0.0.1", "Description": "first"},
        {"ID": 3, "IpAddress": "127.0.0.2", "Description": "second"}]})");
    EXPECT_EQ(outcome.status, 0);
    EXPECT_NE(outcome.output.find("RequestTimeout: 0 (wait for ever)\nGateways: 4\n"),
              std::string::npos)
        << outcome.output;
    const char* notes =
        "Note: Gateways[0]: unknown key \"IPAddress\" is ignored\n"
        "Note: Gateways[0]: \"Port\" is not a number: it is ignored and its default applies\n"
        "Note: Gateways[0]: no \"IpAddress\": the gateway is skipped\n"
        "Note: Gateways[1]: \"Port\" 70000 is outside 1..65535: the gateway is not created\n"
        "Note: Gateways[3]: ID 3 is also the ID of Gateways[2]: requests for gateway 3 reach "
        "Gateways[2] only\n"
        "Configuration accepted, with 5 notes.\n";
    EXPECT_NE(outcome.output.find(notes), std::string::npos) << outcome.output;

    Outcome disabled = Check(folder, R"({"Enabled": 1})");
    EXPECT_EQ(disabled.status, 0);
    EXPECT_NE(disabled.output.find("Note: \"Enabled\" is not true: lockhub creates no gateway"),
              std::string::npos)
        << disabled.output;
}

// Start-up logs the very notes --check-config prints, from one reading of the file.
TEST(CheckConfig, StartUpLogsTheSameNotes) {
    TempDir folder;
    const std::string configuration = R"({"Enabled": true, "Extra": 1, "RequestTimeout": -1,
        "Gateways": [{"ID": 1, "IPAddress": "x", "Port": "2101"}, {"ID": 2, "IpAddress": "a",
        "Port": 70000, "Devices": [{"ID": 4, "ID": 5}]}], "Metrics": {"Port": 0, "Path": 1},
        "Mqtt": {"Broker": "127.0.0.1:1", "ClientId": "c", "TopicPrefix": "p", "Qos": 1}})";
    Outcome checked = Check(folder, configuration);
    ASSERT_EQ(checked.status, 0) << checked.output;
    std::vector<std::string> printed;
    for (size_t at = checked.output.find("Note: "); at != std::string::npos;
         at = checked.output.find("Note: ", at + 1)) {
        printed.push_back(checked.output.substr(at, checked.output.find('\n', at) - at));
    }
    EXPECT_GE(printed.size(), 9u) << checked.output;
    Lockhub hub(folder, configuration);
    ASSERT_TRUE(hub.WaitForLog("Mux ended initialization process.")) << hub.Log();
    const std::string log = hub.Log();
    size_t from = 0;
    for (const std::string& note : printed) {
        from = log.find(note, from);
        EXPECT_NE(from, std::string::npos) << note;
    }
    EXPECT_EQ(CountOf(log, "Note: "), printed.size());
}

TEST(Bind, ListensOnTheGivenAddressOnly) {
    TempDir folder;
    Lockhub loopback(folder, "", {"--bind", "127.0.0.1"});
    MuxClient client(loopback.Port());
    EXPECT_TRUE(client.Connected());
    EXPECT_EQ(ConnectToAddress("127.0.0.2", loopback.Port()), -1);

    Lockhub other(folder, "", {"--bind=127.0.0.2"});
    int fd = -1;
    ASSERT_TRUE(WaitFor([&] { return (fd = ConnectToAddress("127.0.0.2", other.Port())) >= 0; }))
        << other.Log();
    ::close(fd);
    EXPECT_EQ(ConnectToAddress("127.0.0.1", other.Port()), -1);
}

TEST(Bind, WithoutAnAddressLockhubDoesNotStart) {
    TempDir folder;
    Outcome bare = RunLockhub(folder, {"--port", std::to_string(FreePort()), "--bind"});
    EXPECT_EQ(bare.status, 1);
    EXPECT_EQ(bare.errors, "lockhub: --bind needs an IPv4 address\n");
    Outcome noFile = RunLockhub(folder, {"--check-config", "--bind", "127.0.0.1"});
    EXPECT_EQ(noFile.status, 1);
    EXPECT_EQ(noFile.errors, "lockhub: --check-config needs a file\n");
    EXPECT_FALSE(LogFileWritten(folder));
}

}  // namespace
