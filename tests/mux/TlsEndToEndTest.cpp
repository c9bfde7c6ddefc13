// lockhub's TLS listener as a process, with locksim behind it and lockctl and test clients
// in front: real handshakes with the certificates of scripts/make-test-certs.

#include <gtest/gtest.h>

#include "mux/QuarnMux.h"
#include "tests/support/Processes.h"
#include "tests/support/TlsTestClient.h"

using namespace std::chrono_literals;
using namespace TestSupport;

namespace {

const std::string kCerts = TEST_CERTS_DIR;

std::string TlsSection(int port, const std::string& key = kCerts + "/server.key") {
    return R"("Tls": {"Port": )" + std::to_string(port) + R"(, "Certificate": ")" + kCerts +
           R"(/server.pem", "PrivateKey": ")" + key + R"(", "ClientCA": ")" + kCerts +
           R"(/ca.pem", "ClientCRL": ")" + kCerts + R"(/crl.pem"}, )";
}

struct Outcome {
    int status;
    std::string errors;
};

class TlsEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        sim = std::make_unique<Locksim>(folder, std::vector<std::string>{"--locks", "4711"});
        ASSERT_GT(sim->Port(), 0);
        tlsPort = FreePort();
        hub = std::make_unique<Lockhub>(
            folder, OneGatewayConfiguration(sim->Port(), 1, TlsSection(tlsPort)));
        ASSERT_TRUE(hub->WaitForLog("to state READY")) << hub->Log();
        ASSERT_TRUE(hub->WaitForLog(", TLS on port " + std::to_string(tlsPort) + "."));
    }
    // lockctl over TLS with a client certificate (and a CA) from the test folder.
    Outcome Lockctl(std::vector<std::string> args, const std::string& certificate = "front-desk",
                    const std::string& ca = "ca") {
        args.insert(args.begin(), LOCKCTL_BINARY);
        args.insert(args.end(),
                    {"--tls", "--port", std::to_string(tlsPort), "--cert",
                     kCerts + "/" + certificate + ".pem", "--key",
                     kCerts + "/" + certificate + ".key", "--ca", kCerts + "/" + ca + ".pem"});
        lockctl = std::make_unique<ChildProcess>(ProjectProgram(args),
                                                 ChildProcess::Options{"", {}, folder.Path()});
        return {lockctl->ExitStatus(30s).value_or(-3), lockctl->Errors()};
    }

    TempDir folder;
    std::unique_ptr<Locksim> sim;
    std::unique_ptr<Lockhub> hub;
    std::unique_ptr<ChildProcess> lockctl;
    int tlsPort = 0;
};

TEST_F(TlsEndToEnd, TlsClientsGetTheSameAnswersAndEventsAsPlainOnes) {
    MuxClient plain(hub->Port());
    TlsTestClient tls(tlsPort, kCerts, "front-desk");
    ASSERT_TRUE(tls.HandshakeDone());
    const std::string status = Request("status-1", 12, R"({"gatewayID":1,"lockID":4711})");
    ASSERT_TRUE(plain.Send(status));
    std::string plainAnswer = plain.Receive();
    ASSERT_TRUE(tls.Send(Frame(status)));
    std::string tlsAnswer = tls.Receive();
    ASSERT_EQ(Member(tlsAnswer, "MessageCode"), "0") << tlsAnswer;
    auto withoutTime = [](std::string answer) {
        return answer.erase(0, answer.find("\"MessageID\""));
    };
    EXPECT_EQ(withoutTime(tlsAnswer), withoutTime(plainAnswer));

    // lockctl: a request, and watch for one card event, which the other clients get too.
    Outcome open = Lockctl({"open", "--gateway", "1", "--lock", "4711"});
    EXPECT_EQ(open.status, 0) << open.errors;
    EXPECT_NE(lockctl->Output().find("ACK"), std::string::npos) << lockctl->Output();
    auto watch = std::make_unique<ChildProcess>(
        ProjectProgram({LOCKCTL_BINARY, "watch", "--json", "--count", "1", "--tls", "--port",
                        std::to_string(tlsPort), "--cert", kCerts + "/night-guard.pem", "--key",
                        kCerts + "/night-guard.key", "--ca", kCerts + "/ca.pem"}),
        ChildProcess::Options{"", {}, folder.Path()});
    ASSERT_TRUE(hub->WaitForLog("TLS client night-guard at 127.0.0.1:"));
    sim->Command("card 4711 04A10B");
    std::string plainEvent = plain.Receive();
    EXPECT_EQ(Member(plainEvent, "MessageCode"), "51") << plainEvent;
    EXPECT_EQ(tls.Receive(), plainEvent);
    EXPECT_EQ(watch->ExitStatus(10s), 0) << watch->Errors();
    EXPECT_EQ(watch->Output(), plainEvent + "\n");
}

TEST_F(TlsEndToEnd, RefusedClientsAreLoggedAndLeaveNothingBehind) {
    MuxClient plain(hub->Port());
    TlsTestClient tls(tlsPort, kCerts, "front-desk");
    ASSERT_TRUE(hub->WaitForLog("TLS client front-desk at"));
    // An answer shows the plain client accepted, not only connected, before the count.
    const std::string status = Request("s", 12, R"({"gatewayID":1,"lockID":4711})");
    ASSERT_TRUE(plain.Send(status));
    ASSERT_EQ(Member(plain.Receive(), "MessageCode"), "0");
    const size_t baseline = OpenDescriptors(hub->Process().Pid());

    Outcome expired = Lockctl({"status", "--gateway", "1", "--lock", "4711"}, "expired");
    EXPECT_EQ(expired.status, 2);
    EXPECT_NE(expired.errors.find("lockhub refused this client: certificate expired"),
              std::string::npos)
        << expired.errors;
    EXPECT_TRUE(hub->WaitForLog("failed: certificate expired: CN=expired."));
    Outcome untrusted = Lockctl({"watch", "--timeout", "5"}, "front-desk", "other-ca");
    EXPECT_EQ(untrusted.status, 2);
    EXPECT_NE(untrusted.errors.find("TLS handshake failed: lockhub's certificate is not trusted"),
              std::string::npos)
        << untrusted.errors;
    {
        // A plain client at the TLS port (the listener's other bad cases: tests/net).
        MuxClient garbage(tlsPort);
        ASSERT_TRUE(garbage.SendRaw(Frame(status)));
        EXPECT_EQ(garbage.Receive(5s), "");
    }
    EXPECT_TRUE(hub->WaitForLog("TLS handshake with 127.0.0.1:", 3));

    // The clients that were there all along are still served.
    ASSERT_TRUE(plain.Send(status));
    EXPECT_EQ(Member(plain.Receive(), "MessageCode"), "0");
    ASSERT_TRUE(tls.Send(Frame(status)));
    EXPECT_EQ(Member(tls.Receive(), "MessageCode"), "0");
    EXPECT_TRUE(WaitFor([&] { return OpenDescriptors(hub->Process().Pid()) == baseline; }))
        << baseline << " before, now:\n"
        << DescriptorTargets(hub->Process().Pid());
}

TEST(TlsStartUp, UnusableListenerSettingsStopLockhubWithStatusOne) {
    TempDir folder;
    struct Case {
        std::string configuration;
        std::string reason;
    } cases[] = {
        {"{" + TlsSection(FreePort(), folder.File("missing.key")) + R"("Enabled": true})",
         "PrivateKey " + folder.File("missing.key") + ": no such file"},
        {R"({"Enabled": true, "PlainListener": false})",
         "\"PlainListener\" is false and there is no \"Tls\" section"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.configuration);
        WriteFile(folder.File("lockhub.json"), c.configuration);
        ChildProcess check(
            ProjectProgram({LOCKHUB_BINARY, "--check-config", folder.File("lockhub.json")}),
            {"", {}, folder.Path()});
        EXPECT_EQ(check.ExitStatus(10s), 1);
        EXPECT_NE(check.Output().find(c.reason), std::string::npos) << check.Output();
        Lockhub hub(folder, c.configuration);
        EXPECT_EQ(hub.Process().ExitStatus(10s), 1);
        EXPECT_NE(hub.Log().find(c.reason), std::string::npos) << hub.Log();
    }
}

TEST(TlsStartUp, TheCoreTellsItsSystemChosenTlsPort) {
    Mux::QuarnMux core;
    core.UseSystemChosenPort();
    core.UseSystemChosenTlsPort();
    ASSERT_TRUE(core.ParseConfiguration("{" + TlsSection(1) + R"("PlainListener": false})"));
    core.Start();
    ASSERT_TRUE(WaitFor([&] { return core.IsServing(); }));
    ASSERT_GT(core.GetTlsListenPort(), 0);
    TlsTestClient client(core.GetTlsListenPort(), kCerts, "front-desk");
    EXPECT_TRUE(client.HandshakeDone());
    core.Stop();
    core.Wait();
}

}  // namespace
