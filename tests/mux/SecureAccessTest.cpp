// Permissions and the audit trail, through lockhub between a client and locksim, all real
// processes on 127.0.0.1.

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <map>
#include <sstream>

#include "tests/support/Processes.h"
#include "tests/support/TlsTestClient.h"

using namespace std::chrono_literals;
using namespace TestSupport;

namespace {

constexpr const char* kOpen = R"({"gatewayID":1,"lockID":4711})";
constexpr const char* kCard =
    R"({"gatewayID":1,"lockID":4711,"setupNumber":0,"options":0,"cardData":"04A10B22","isUIDCard":true})";

std::string NackText(const std::string& answer) {
    return Member(Member(answer, "Data"), "Message");
}

// The trail's lines once it holds count of them, each parsed; none past the deadline.
std::vector<rapidjson::Document> AuditLines(const std::string& path, size_t count) {
    std::vector<rapidjson::Document> lines;
    WaitFor([&] {
        std::istringstream text(ReadFile(path));
        lines.clear();
        for (std::string line; std::getline(text, line);) {
            lines.emplace_back().Parse(line.c_str());
        }
        return lines.size() >= count;
    });
    return lines;
}

std::string Text(const rapidjson::Value& line, const char* key) {
    auto member = line.FindMember(key);
    return member != line.MemberEnd() && member->value.IsString() ? member->value.GetString() : "";
}

class SecureAccess : public ::testing::Test {
protected:
    void Start(const std::string& clients) {
        sim = std::make_unique<Locksim>(folder, std::vector<std::string>{"--locks", "4711"});
        ASSERT_GT(sim->Port(), 0);
        std::string extra = R"("RequestTimeout": 1, "AuditLog": ")" + folder.File("audit.log") +
                            R"(", "Clients": )" + clients + ", ";
        hub = std::make_unique<Lockhub>(folder, OneGatewayConfiguration(sim->Port(), 1, extra));
        ASSERT_TRUE(hub->WaitForLog("to state READY")) << hub->Log();
    }

    std::string Ask(MuxClient& client, const std::string& id, int code, const std::string& data) {
        EXPECT_TRUE(client.Send(Request(id, code, data)));
        return client.Receive();
    }

    TempDir folder;
    std::unique_ptr<Locksim> sim;
    std::unique_ptr<Lockhub> hub;
};

}  // namespace

TEST_F(SecureAccess, PermissionsDecideAndTheTrailRecordsEveryOutcome) {
    Start(R"([{"Identity": "plain", "Gateways": [1], "Requests": ["open", "whitelist"]}])");
    MuxClient client(hub->Port());
    const std::string refused = "\"Not permitted for client plain.\"";

    EXPECT_EQ(Member(Ask(client, "open", 10, kOpen), "MessageCode"), "0");
    EXPECT_EQ(NackText(Ask(client, "other-gateway", 10, R"({"gatewayID":2,"lockID":4711})")),
              refused);
    EXPECT_EQ(NackText(Ask(client, "close", 11, kOpen)), refused);
    EXPECT_EQ(NackText(Ask(client, "status", 12, kOpen)), refused);
    EXPECT_EQ(Member(Ask(client, "add", 21, kCard), "MessageCode"), "0");
    EXPECT_EQ(NackText(Ask(client, "add-again", 21, kCard)), "\"Already in whitelist.\"");
    EXPECT_EQ(CountOf(sim->Output(), "OPEN_LOCK"), 1u);

    // Events are not among this client's permissions: the next thing it gets is an answer.
    sim->Command("card 4711 04A10B");
    ASSERT_TRUE(hub->WaitForLog("of type READER EVENT"));
    EXPECT_EQ(Member(Ask(client, "after-card", 10, kOpen), "MessageID"), "\"after-card\"");

    // Unanswered: the first is sent and times out, those behind it are never sent.
    sim->Command("answer off");
    ASSERT_TRUE(sim->WaitForOutput("answer off"));
    for (int i = 0; i < 7; ++i) {
        ASSERT_TRUE(client.Send(Request("late-" + std::to_string(i), 10, kOpen)));
    }
    for (int i = 0; i < 7; ++i) {
        ASSERT_NE(client.Receive(5s), "");
    }

    // The status request is refused but changes nothing: it is recorded as refused only.
    std::vector<rapidjson::Document> lines = AuditLines(folder.File("audit.log"), 15);
    ASSERT_EQ(lines.size(), 15u) << ReadFile(folder.File("audit.log"));
    std::map<std::string, int> outcomes;
    for (const rapidjson::Document& line : lines) {
        ASSERT_TRUE(line.IsObject());
        EXPECT_EQ(Text(line, "Time").size(), 24u);  // 2026-12-08T13:25:01.042Z
        if (Text(line, "Request") == "CARD EVENT") {
            EXPECT_EQ(line["GatewayID"].GetInt(), 1);
            EXPECT_EQ(line["LockID"].GetInt(), 4711);
            EXPECT_FALSE(line.HasMember("Client"));
            continue;
        }
        EXPECT_EQ(Text(line, "Client"), "plain");
        EXPECT_EQ(Text(line, "Peer").rfind("127.0.0.1:", 0), 0u);
        ++outcomes[Text(line, "Outcome")];
        if (Text(line, "MessageID") == "add-again") {
            EXPECT_EQ(Text(line, "Outcome"), "NACK");
            EXPECT_EQ(line["ErrorCode"].GetInt(), 2);
            EXPECT_EQ(Text(line, "Message"), "Already in whitelist.");
        }
        if (Text(line, "MessageID") == "status") {
            EXPECT_EQ(Text(line, "Request"), "LOCK GET-STATUS");
            EXPECT_EQ(Text(line, "Outcome"), "NOT_PERMITTED");
        }
    }
    EXPECT_EQ(outcomes["ACK"], 3);
    EXPECT_EQ(outcomes["NACK"], 1);
    EXPECT_EQ(outcomes["NOT_PERMITTED"], 3);
    EXPECT_EQ(outcomes["TIMEOUT"] + outcomes["NOT_SENT"], 7);
    EXPECT_GE(outcomes["TIMEOUT"], 1);
    EXPECT_GE(outcomes["NOT_SENT"], 2);
    // Credentials never reach the trail; only its owner may read it.
    EXPECT_EQ(ReadFile(folder.File("audit.log")).find("04A10B"), std::string::npos);
    struct stat info {};
    ASSERT_EQ(::stat(folder.File("audit.log").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(SecureAccess, AnIdentityWithoutAnEntryMayDoNothing) {
    Start(
        R"([{"Identity": "front-desk", "Gateways": "*", "Requests": ["status"], "Events": true}])");
    MuxClient client(hub->Port());
    sim->Command("card 4711 04A10B");
    ASSERT_TRUE(hub->WaitForLog("of type READER EVENT"));
    std::string answer = Ask(client, "status", 12, kOpen);
    EXPECT_EQ(Member(answer, "MessageID"), "\"status\"") << answer;
    EXPECT_EQ(NackText(answer), "\"Not permitted for client plain.\"");
    EXPECT_EQ(CountOf(sim->Output(), "device=4711 type=0x01"), 0u) << sim->Output();
}

// Over TLS each certificate's name is its own identity, with its own permissions.
TEST(SecureAccessTls, EachCertificateGetsItsOwnPermissionsAndEvents) {
    TempDir folder;
    const std::string certs = TEST_CERTS_DIR;
    Locksim sim(folder, {"--locks", "4711"});
    ASSERT_GT(sim.Port(), 0);
    const int tlsPort = FreePort();
    const std::string extra =
        R"("AuditLog": ")" + folder.File("audit.log") + R"(", "Tls": {"Port": )" +
        std::to_string(tlsPort) + R"(, "Certificate": ")" + certs + R"(/server.pem", )" +
        R"("PrivateKey": ")" + certs + R"(/server.key", "ClientCA": ")" + certs +
        R"(/ca.pem"}, "Clients": [)"
        R"({"Identity": "front-desk", "Gateways": [1], "Requests": ["open"], "Events": true},)"
        R"({"Identity": "night-guard", "Gateways": "*", "Requests": ["status"]}], )";
    Lockhub hub(folder, OneGatewayConfiguration(sim.Port(), 1, extra));
    ASSERT_TRUE(hub.WaitForLog("to state READY")) << hub.Log();
    ASSERT_TRUE(hub.WaitForLog(", TLS on port " + std::to_string(tlsPort) + "."));
    TlsTestClient desk(tlsPort, certs, "front-desk");
    TlsTestClient guard(tlsPort, certs, "night-guard");
    ASSERT_TRUE(desk.HandshakeDone() && guard.HandshakeDone());

    ASSERT_TRUE(desk.Send(Frame(Request("desk-open", 10, kOpen))));
    EXPECT_EQ(Member(desk.Receive(), "MessageCode"), "0");
    ASSERT_TRUE(guard.Send(Frame(Request("guard-open", 10, kOpen))));
    EXPECT_EQ(NackText(guard.Receive()), "\"Not permitted for client night-guard.\"");

    sim.Command("card 4711 04A10B");
    EXPECT_EQ(Member(desk.Receive(), "MessageCode"), "51");
    ASSERT_TRUE(guard.Send(Frame(Request("guard-status", 12, kOpen))));
    EXPECT_EQ(Member(guard.Receive(), "MessageID"), "\"guard-status\"");

    std::vector<rapidjson::Document> lines = AuditLines(folder.File("audit.log"), 3);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(Text(lines[0], "Client"), "front-desk");
    EXPECT_FALSE(lines[0].HasMember("Peer"));
    EXPECT_EQ(Text(lines[1], "Client"), "night-guard");
    EXPECT_EQ(Text(lines[1], "Outcome"), "NOT_PERMITTED");
}

// With "AuditRequired", a door command is refused while the trail's small file system is
// full, and served again once the trail can be written.
TEST(AuditRequired, DoorCommandsWaitForATrailThatCanBeWritten) {
    TempDir folder;
    SmallFileSystem disk(folder);
    if (!disk.Mounted()) {
        GTEST_SKIP() << "mounting a tmpfs needs root";
    }
    const std::string trail = disk.File("audit.log");
    Locksim sim(folder, {"--locks", "4711"});
    Lockhub hub(folder,
                OneGatewayConfiguration(
                    sim.Port(), 1, R"("AuditRequired": true, "AuditLog": ")" + trail + R"(", )"));
    ASSERT_TRUE(hub.WaitForLog("to state READY")) << hub.Log();
    MuxClient client(hub.Port());
    const std::string open = R"({"gatewayID":1,"lockID":4711})";
    ASSERT_TRUE(client.Send(Request("before", 10, open)));
    EXPECT_EQ(Member(client.Receive(), "MessageCode"), "0");

    // The file system fills; the trail's page takes a few more lines, then the commands are
    // refused.
    disk.Fill();
    int served = 1;
    std::string answer;
    for (int n = 0; n < 40; ++n) {
        ASSERT_TRUE(client.Send(Request("during-" + std::to_string(n), 10, open)));
        answer = client.Receive();
        if (Member(answer, "MessageCode") != "0") {
            break;
        }
        ++served;
    }
    EXPECT_EQ(Member(Member(answer, "Data"), "Message"),
              "\"The request was not sent: the audit trail cannot be written.\"")
        << answer;
    EXPECT_TRUE(hub.WaitForLog("cannot be written: No space left on device")) << hub.Log();

    disk.Free();
    ASSERT_TRUE(hub.WaitForLog("is written again, after")) << hub.Log();
    ASSERT_TRUE(client.Send(Request("after", 10, open)));
    EXPECT_EQ(Member(client.Receive(), "MessageCode"), "0");
    ++served;
    // Every outcome reached the trail once the disk had room, the refused one as NOT_SENT.
    EXPECT_TRUE(WaitFor([&] {
        const std::string lines = ReadFile(trail);
        return CountOf(lines, "\"MessageID\"") == static_cast<size_t>(served + 1) &&
               CountOf(lines, "\"NOT_SENT\"") == 1;
    })) << ReadFile(trail);
    EXPECT_EQ(CountOf(sim.Output(), " OPEN_LOCK "), static_cast<size_t>(served));
}

// "before-send": a door command's first line is on the disk when its frame reaches the
// gateway; its outcome follows with the same MessageID.
TEST(AuditSync, BeforeSendPutsTheLineOnTheDiskBeforeTheFrame) {
    TempDir folder;
    Locksim sim(folder, {"--locks", "4711"});
    const std::string trail = folder.File("audit.log");
    Lockhub hub(folder, OneGatewayConfiguration(
                            sim.Port(), 1,
                            R"("RequestTimeout": 2, "AuditSync": "before-send", "AuditLog": ")" +
                                trail + R"(", )"));
    ASSERT_TRUE(hub.WaitForLog("to state READY")) << hub.Log();
    sim.Command("answer off");
    ASSERT_TRUE(sim.WaitForOutput("answer off"));
    MuxClient client(hub.Port());
    ASSERT_TRUE(client.Send(Request("door-1", 10, R"({"gatewayID":1,"lockID":4711})")));
    ASSERT_TRUE(sim.WaitForOutput(" OPEN_LOCK ")) << sim.Output();
    const std::string atFrame = ReadFile(trail);
    EXPECT_NE(
        atFrame.find(
            R"("MessageID":"door-1","GatewayID":1,"LockID":4711,"Request":"LOCK OPEN","Outcome":"SENDING")"),
        std::string::npos)
        << atFrame;
    sim.Command("answer on");
    ASSERT_TRUE(client.Send(Request("door-2", 10, R"({"gatewayID":1,"lockID":4711})")));
    // door-1 stays unanswered until its time-out; door-2 is answered.
    std::string answer;
    while (Member(answer, "MessageID") != "\"door-2\"") {
        answer = client.Receive();
        ASSERT_FALSE(answer.empty());
    }
    EXPECT_EQ(Member(answer, "MessageCode"), "0");
    EXPECT_TRUE(WaitFor([&] {
        const std::string text = ReadFile(trail);
        return CountOf(text, R"("MessageID":"door-2")") == 2 &&
               text.find(
                   R"("door-2","GatewayID":1,"LockID":4711,"Request":"LOCK OPEN","Outcome":"SENDING")") <
                   text.find(
                       R"("door-2","GatewayID":1,"LockID":4711,"Request":"LOCK OPEN","Outcome":"ACK")");
    })) << ReadFile(trail);
}

// "before-send" on a full disk: a door command whose first line cannot reach the disk is
// answered "not sent" at its deadline while the disk is still full, and never goes out,
// even once its line is written later.
TEST(AuditSync, BeforeSendOnAFullDiskAnswersNotSentAtTheDeadline) {
    TempDir folder;
    SmallFileSystem disk(folder);
    if (!disk.Mounted()) {
        GTEST_SKIP() << "mounting a tmpfs needs root";
    }
    const std::string trail = disk.File("audit.log");
    Locksim sim(folder, {"--locks", "4711"});
    Lockhub hub(folder, OneGatewayConfiguration(
                            sim.Port(), 1,
                            R"("RequestTimeout": 1, "AuditSync": "before-send", "AuditLog": ")" +
                                trail + R"(", )"));
    ASSERT_TRUE(hub.WaitForLog("to state READY")) << hub.Log();
    MuxClient client(hub.Port());
    const std::string open = R"({"gatewayID":1,"lockID":4711})";
    disk.Fill();
    // The trail's page takes a few more lines; then a command waits for the disk.
    int served = 0;
    std::string answer;
    std::string refused;
    for (int n = 0; n < 40 && refused.empty(); ++n) {
        const std::string id = "during-" + std::to_string(n);
        ASSERT_TRUE(client.Send(Request(id, 10, open)));
        answer = client.Receive();
        ASSERT_FALSE(answer.empty()) << "no answer to " << id << " while the disk is full";
        if (Member(answer, "MessageCode") == "0") {
            ++served;
        } else {
            refused = id;
        }
    }
    EXPECT_EQ(Member(Member(answer, "Data"), "Message"),
              "\"The request was not sent: the audit trail cannot be written.\"")
        << answer;
    EXPECT_TRUE(hub.WaitForLog(" not sent: its audit line did not reach the disk by its deadline."))
        << hub.Log();

    disk.Free();
    ASSERT_TRUE(hub.WaitForLog("is written again, after")) << hub.Log();
    EXPECT_TRUE(WaitFor([&] {
        const std::string text = ReadFile(trail);
        return CountOf(text, R"("MessageID":")" + refused + R"(")") == 2 &&
               CountOf(text, R"("Outcome":"NOT_SENT")") == 1;
    })) << ReadFile(trail);
    ASSERT_TRUE(client.Send(Request("after", 10, open)));
    EXPECT_EQ(Member(client.Receive(), "MessageCode"), "0");
    EXPECT_EQ(CountOf(sim.Output(), " OPEN_LOCK "), static_cast<size_t>(served + 1));
}
