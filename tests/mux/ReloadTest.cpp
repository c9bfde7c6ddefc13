// Live reconfiguration of a running lockhub: the configuration file rewritten, then
// SIGUSR1; real processes on 127.0.0.1.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "tests/support/Processes.h"

using namespace std::chrono_literals;
using namespace TestSupport;

namespace {

std::string Gateway(int id, int port, int lock) {
    return R"({"ID": )" + std::to_string(id) + R"(, "IpAddress": "127.0.0.1", "Port": )" +
           std::to_string(port) + R"(, "Devices": [{"Name": "door", "ID": )" +
           std::to_string(lock) + "}]}";
}

std::string Configuration(const std::vector<std::string>& gateways) {
    std::string list;
    for (const std::string& gateway : gateways) {
        list += (list.empty() ? "" : ", ") + gateway;
    }
    return R"({"Enabled": true, "Gateways": [)" + list + "]}";
}

std::string Open(const std::string& id, int gateway) {
    return Request(id, 10, R"({"gatewayID":)" + std::to_string(gateway) + R"(,"lockID":4711})");
}

// Through the main thread: one sent to the process may land on a thread that is just
// starting, where ThreadSanitizer's runtime can lose it.
void Reload(Lockhub& hub) {
    ::syscall(SYS_tgkill, hub.Process().Pid(), hub.Process().Pid(), SIGUSR1);
}

}  // namespace

TEST(Reload, GatewaysAreAddedRemovedAndReplacedWhileClientsStay) {
    TempDir folder;
    Locksim kept(folder, {"--locks", "4711"});
    Locksim silent(folder, {"--locks", "4711"});
    Locksim before(folder, {"--locks", "4711"});
    Locksim after(folder, {"--locks", "4711"});
    Locksim added(folder, {"--locks", "4711"});
    Lockhub hub(folder,
                Configuration({Gateway(1, kept.Port(), 4711), Gateway(2, silent.Port(), 4711),
                               Gateway(4, before.Port(), 4711)}));
    ASSERT_TRUE(hub.WaitForLog("to state READY", 3)) << hub.Log();
    silent.Command("answer off");
    ASSERT_TRUE(silent.WaitForOutput("answer off"));
    MuxClient client(hub.Port());
    ASSERT_TRUE(client.Send(Open("waiting", 2)));
    ASSERT_TRUE(silent.WaitForOutput("OPEN_LOCK"));

    // Gateway 2 goes, 3 comes, 4 moves to another address; 1 stays as it is.
    WriteFile(hub.ConfigFile(),
              Configuration({Gateway(1, kept.Port(), 4711), Gateway(3, added.Port(), 4711),
                             Gateway(4, after.Port(), 4711)}));
    Reload(hub);
    ASSERT_TRUE(
        hub.WaitForLog("Configuration reloaded: 2 gateways connected anew, 2 removed, "
                       "1 unchanged."))
        << hub.Log();
    std::string removed = client.Receive();
    EXPECT_EQ(Member(removed, "MessageID"), "\"waiting\"");
    EXPECT_EQ(Member(Member(removed, "Data"), "Message"),
              "\"Gateway 2 was removed from the configuration.\"");

    ASSERT_TRUE(hub.WaitForLog("to state READY", 5));
    for (int gateway : {1, 3, 4}) {
        ASSERT_TRUE(client.Send(Open("open-" + std::to_string(gateway), gateway)));
        EXPECT_EQ(Member(client.Receive(), "MessageCode"), "0") << gateway;
    }
    EXPECT_TRUE(after.WaitForOutput("OPEN_LOCK"));
    EXPECT_EQ(CountOf(before.Output(), "OPEN_LOCK"), 0u);
    EXPECT_EQ(CountOf(kept.Output(), "locksim connected"), 1u);

    // A file start-up would refuse changes nothing.
    WriteFile(hub.ConfigFile(), "{\"Enabled\": true, \"Gateways\": [");
    Reload(hub);
    ASSERT_TRUE(hub.WaitForLog("Reload refused: "));
    ASSERT_TRUE(client.Send(Open("after-broken", 3)));
    EXPECT_EQ(Member(client.Receive(), "MessageCode"), "0");
    EXPECT_EQ(hub.Process().Errors().find("Sanitizer"), std::string::npos);
}

TEST(Reload, HundredReloadsDuringAFloodLoseNothing) {
    TempDir folder;
    Locksim sim(folder, {"--locks", "4711"});
    Lockhub hub(folder, Configuration({Gateway(1, sim.Port(), 4711)}));
    ASSERT_TRUE(hub.WaitForLog("to state READY")) << hub.Log();
    MuxClient client(hub.Port());
    ASSERT_TRUE(client.Send(Open("first", 1)));
    ASSERT_EQ(Member(client.Receive(), "MessageCode"), "0");
    const size_t descriptors = OpenDescriptors(hub.Process().Pid());

    // Requests for a gateway that is not configured are answered at once, reload or not.
    constexpr int kRequests = 2000;
    for (int i = 0; i < kRequests; ++i) {
        ASSERT_TRUE(client.Send(Open("flood-" + std::to_string(i), 9)));
        if (i % 20 == 0) {
            Reload(hub);
        }
    }
    for (int i = 0; i < kRequests; ++i) {
        ASSERT_EQ(Member(client.Receive(), "MessageID"), "\"flood-" + std::to_string(i) + "\"");
    }
    ASSERT_TRUE(
        hub.WaitForLog("Configuration reloaded: 0 gateways connected anew, 0 removed, "
                       "1 unchanged."));
    ASSERT_TRUE(client.Send(Open("last", 1)));
    EXPECT_EQ(Member(client.Receive(), "MessageCode"), "0");
    EXPECT_EQ(CountOf(sim.Output(), "locksim connected"), 1u);
    EXPECT_EQ(OpenDescriptors(hub.Process().Pid()), descriptors);
}
