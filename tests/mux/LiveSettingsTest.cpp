// A reload moves every service setting of a running lockhub while its clients stay: the
// audit trail, the MQTT bridge, the metrics server and the TLS listener's files. Real
// processes, a real broker (two), real HTTP and real TLS handshakes on 127.0.0.1.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "tests/support/MqttBroker.h"
#include "tests/support/Processes.h"
#include "tests/support/TlsTestClient.h"

using namespace std::chrono_literals;
using namespace TestSupport;

namespace {

const std::string kCerts = TEST_CERTS_DIR;

struct Place {
    std::string audit;
    int broker;
    std::string prefix;
    int metrics;
    std::string crl;  // a path
};

std::string Settings(int tlsPort, const Place& place) {
    return R"("AuditLog": ")" + place.audit + R"(", "Mqtt": {"Broker": "127.0.0.1:)" +
           std::to_string(place.broker) + R"(", "ClientId": "hub", "TopicPrefix": ")" +
           place.prefix + R"("}, "Metrics": {"Port": )" + std::to_string(place.metrics) +
           R"(}, "Tls": {"Port": )" + std::to_string(tlsPort) + R"(, "Certificate": ")" + kCerts +
           R"(/server.pem", "PrivateKey": ")" + kCerts + R"(/server.key", "ClientCA": ")" + kCerts +
           R"(/ca.pem", "ClientCRL": ")" + place.crl + R"("}, )";
}

void Reload(Lockhub& hub) {
    ::syscall(SYS_tgkill, hub.Process().Pid(), hub.Process().Pid(), SIGUSR1);
}

bool Serves(int port) {
    return HttpRequest(port, "GET", "/metrics").status == 200;
}

// Nothing listens on the port: a connection is refused at once.
bool Refuses(int port) {
    const int fd = ConnectTo(port, 0ms);
    if (fd >= 0) {
        ::close(fd);
    }
    return fd < 0;
}

}  // namespace

TEST(LiveSettings, AReloadMovesEveryServiceWhileClientsStay) {
    TempDir folder;
    TempDir secondFolder;  // a broker's files are named alike
    MqttBroker first(folder);
    MqttBroker second(secondFolder);
    ASSERT_TRUE(first.Start() && second.Start());
    Locksim sim(folder, {"--locks", "4711"});
    const int tlsPort = FreePort();
    // The revocation list is renewed in place, as an operator does.
    const std::string crl = folder.File("clients-crl.pem");
    WriteFile(crl, ReadFile(kCerts + "/crl.pem"));
    const Place before{folder.File("audit-1.log"), first.Port(), "site/a", FreePort(), crl};
    const Place after{folder.File("audit-2.log"), second.Port(), "site/b", FreePort(), crl};
    Lockhub hub(folder, OneGatewayConfiguration(sim.Port(), 1, Settings(tlsPort, before)));
    ASSERT_TRUE(hub.WaitForLog("to state READY")) << hub.Log();
    MqttTestClient oldWatcher(first.Port(), "old-watcher");
    MqttTestClient newWatcher(second.Port(), "new-watcher");
    ASSERT_TRUE(oldWatcher.Subscribe("site/a/status") && newWatcher.Subscribe("site/b/#"));
    ASSERT_TRUE(oldWatcher.WaitFor("site/a/status",
                                   [](const MqttReceived& m) { return m.payload == "online"; }));
    TlsTestClient desk(tlsPort, kCerts, "front-desk");
    TlsTestClient guard(tlsPort, kCerts, "night-guard");
    MuxClient plain(hub.Port());
    ASSERT_TRUE(desk.HandshakeDone() && guard.HandshakeDone());
    const std::string open = Request("before", 10, R"({"gatewayID":1,"lockID":4711})");
    ASSERT_TRUE(plain.Send(open));
    ASSERT_EQ(Member(plain.Receive(), "MessageCode"), "0");
    ASSERT_TRUE(Serves(before.metrics));
    const size_t descriptors = OpenDescriptors(hub.Process().Pid());

    WriteFile(hub.ConfigFile(), OneGatewayConfiguration(sim.Port(), 1, Settings(tlsPort, after)));
    WriteFile(crl, ReadFile(kCerts + "/crl-front-desk.pem"));
    Reload(hub);
    ASSERT_TRUE(hub.WaitForLog("Configuration reloaded: 0 gateways connected anew")) << hub.Log();
    // The revoked client goes, the others stay; the old broker publishes the will.
    EXPECT_TRUE(desk.WaitForClose());
    EXPECT_TRUE(oldWatcher.WaitFor("site/a/status",
                                   [](const MqttReceived& m) { return m.payload == "offline"; }));
    EXPECT_TRUE(newWatcher.WaitFor("site/b/status",
                                   [](const MqttReceived& m) { return m.payload == "online"; }));
    EXPECT_TRUE(WaitFor([&] { return Serves(after.metrics); }, 10s));
    EXPECT_TRUE(Refuses(before.metrics));
    ASSERT_TRUE(plain.Send(Request("after", 10, R"({"gatewayID":1,"lockID":4711})")));
    EXPECT_EQ(Member(plain.Receive(), "MessageCode"), "0");
    ASSERT_TRUE(guard.Send(Frame(Request("guard", 10, R"({"gatewayID":1,"lockID":4711})"))));
    EXPECT_EQ(Member(guard.Receive(), "MessageCode"), "0");
    EXPECT_TRUE(
        WaitFor([&] { return ReadFile(after.audit).find("\"after\"") != std::string::npos; }, 10s));
    EXPECT_EQ(CountOf(ReadFile(before.audit), "\"MessageID\""), 1u);
    EXPECT_EQ(CountOf(ReadFile(after.audit), "\"before\""), 0u);
    TlsTestClient revoked(tlsPort, kCerts, "front-desk");
    EXPECT_TRUE(revoked.WaitForClose());
    EXPECT_TRUE(WaitFor([&] { return OpenDescriptors(hub.Process().Pid()) <= descriptors; }, 10s))
        << descriptors << " before, now:\n"
        << DescriptorTargets(hub.Process().Pid());

    // A trail that cannot be opened refuses the whole reload: nothing moves.
    Place unusable = before;
    unusable.audit = folder.File("missing/audit.log");
    WriteFile(hub.ConfigFile(),
              OneGatewayConfiguration(sim.Port(), 1, Settings(tlsPort, unusable)));
    Reload(hub);
    ASSERT_TRUE(hub.WaitForLog("Reload refused: Cannot open the audit trail: ")) << hub.Log();
    EXPECT_TRUE(Serves(after.metrics));
    EXPECT_TRUE(Refuses(before.metrics));
    ASSERT_TRUE(guard.Send(Frame(Request("still", 10, R"({"gatewayID":1,"lockID":4711})"))));
    EXPECT_EQ(Member(guard.Receive(), "MessageCode"), "0");
    EXPECT_TRUE(
        WaitFor([&] { return ReadFile(after.audit).find("\"still\"") != std::string::npos; }, 10s));

    // So do TLS files that cannot be used: new handshakes go on with the files in force.
    const std::string garbage = folder.File("garbage.pem");
    WriteFile(garbage, "not a certificate\n");
    std::string badTls = OneGatewayConfiguration(sim.Port(), 1, Settings(tlsPort, after));
    const std::string certificate = kCerts + "/server.pem";
    badTls.replace(badTls.find(certificate), certificate.size(), garbage);
    WriteFile(hub.ConfigFile(), badTls);
    Reload(hub);
    ASSERT_TRUE(hub.WaitForLog("Reload refused: the TLS listener's files cannot be used: "))
        << hub.Log();
    TlsTestClient fresh(tlsPort, kCerts, "night-guard");
    EXPECT_TRUE(fresh.HandshakeDone());
    ASSERT_TRUE(fresh.Send(Frame(Request("fresh", 12, R"({"gatewayID":1,"lockID":4711})"))));
    EXPECT_EQ(Member(fresh.Receive(), "MessageCode"), "0");
}

// A hundred reloads, each moving every live setting back or forth: no descriptor is left
// behind and no client is dropped.
TEST(LiveSettings, AHundredReloadsOfEverySettingLeakNothing) {
    TempDir folder;
    TempDir secondFolder;
    MqttBroker first(folder);
    MqttBroker second(secondFolder);
    ASSERT_TRUE(first.Start() && second.Start());
    Locksim sim(folder, {"--locks", "4711"});
    const int tlsPort = FreePort();
    const std::string crl = kCerts + "/crl.pem";
    const Place places[] = {{folder.File("audit-1.log"), first.Port(), "site/a", FreePort(), crl},
                            {folder.File("audit-2.log"), second.Port(), "site/b", FreePort(), crl}};
    Lockhub hub(folder, OneGatewayConfiguration(sim.Port(), 1, Settings(tlsPort, places[0])));
    ASSERT_TRUE(hub.WaitForLog("to state READY")) << hub.Log();
    // The baseline counts the bridge's connection, which comes up on its own thread.
    MqttTestClient watcher(first.Port(), "watcher");
    ASSERT_TRUE(watcher.Subscribe("site/a/status"));
    ASSERT_TRUE(watcher.WaitFor("site/a/status",
                                [](const MqttReceived& m) { return m.payload == "online"; }));
    TlsTestClient guard(tlsPort, kCerts, "night-guard");
    MuxClient plain(hub.Port());
    ASSERT_TRUE(guard.HandshakeDone() && plain.Connected());
    // An answer shows the plain client accepted, not only connected, before the count.
    ASSERT_TRUE(plain.Send(Request("before", 10, R"({"gatewayID":1,"lockID":4711})")));
    ASSERT_EQ(Member(plain.Receive(), "MessageCode"), "0");
    ASSERT_TRUE(WaitFor([&] { return Serves(places[0].metrics); }, 10s)) << hub.Log();
    const size_t descriptors = OpenDescriptors(hub.Process().Pid());

    constexpr int kReloads = 100;
    for (int n = 1; n <= kReloads; ++n) {
        WriteFile(hub.ConfigFile(),
                  OneGatewayConfiguration(sim.Port(), 1, Settings(tlsPort, places[n % 2])));
        Reload(hub);
        ASSERT_TRUE(hub.WaitForLog("Configuration reloaded: ", static_cast<size_t>(n)))
            << hub.Log();
    }
    // Back where it started: the first place serves, and the clients are still there.
    EXPECT_TRUE(WaitFor([&] { return Serves(places[0].metrics); }, 10s)) << hub.Log();
    ASSERT_TRUE(plain.Send(Request("after", 10, R"({"gatewayID":1,"lockID":4711})")));
    EXPECT_EQ(Member(plain.Receive(), "MessageCode"), "0");
    ASSERT_TRUE(guard.Send(Frame(Request("guard", 10, R"({"gatewayID":1,"lockID":4711})"))));
    EXPECT_EQ(Member(guard.Receive(), "MessageCode"), "0");
    EXPECT_TRUE(WaitFor([&] { return OpenDescriptors(hub.Process().Pid()) <= descriptors; }, 10s))
        << descriptors << " before, now:\n"
        << DescriptorTargets(hub.Process().Pid());
}
