// The notify protocol against a datagram socket that the test sets as NOTIFY_SOCKET: the
// notifier in this process with loops the test drives, and a real lockhub.

#include <gtest/gtest.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <thread>

#include "service/ServiceNotifier.h"
#include "tests/support/Processes.h"

using namespace std::chrono_literals;
using namespace TestSupport;
using Mux::Service::Heartbeat;
using Mux::Service::ServiceNotifier;

namespace {

// The service manager's end: a datagram socket bound to a path in the folder.
class NotifySocket {
public:
    explicit NotifySocket(const TempDir& folder) : path_(folder.File("notify")) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path_.copy(address.sun_path, sizeof address.sun_path - 1);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ADD_FAILURE() << "cannot bind " << path_;
        }
    }
    ~NotifySocket() { ::close(fd_); }
    const std::string& Path() const { return path_; }

    // The next message, or "" when none came in time.
    std::string Next(std::chrono::milliseconds deadline) {
        std::string message = ReceiveFor(fd_, 1, deadline);
        return message;
    }
    // Waits for a message that starts with text; false when none came in time.
    bool WaitFor(const std::string& text, std::chrono::milliseconds deadline = 10s) {
        const auto end = std::chrono::steady_clock::now() + deadline;
        for (auto now = std::chrono::steady_clock::now(); now < end;
             now = std::chrono::steady_clock::now()) {
            std::string message =
                Next(std::chrono::duration_cast<std::chrono::milliseconds>(end - now));
            last_ = message;
            if (message.compare(0, text.size(), text) == 0) {
                return true;
            }
        }
        return false;
    }
    const std::string& Last() const { return last_; }

private:
    std::string path_;
    int fd_ = -1;
    std::string last_;
};

}  // namespace

TEST(ServiceNotifier, WithoutNotifySocketNothingRuns) {
    ::unsetenv("NOTIFY_SOCKET");
    ::setenv("WATCHDOG_USEC", "200000", 1);
    ServiceNotifier notifier;
    EXPECT_FALSE(notifier.Active());
    EXPECT_EQ(notifier.AddLoop("loop"), nullptr);
}

TEST(ServiceNotifier, PingsTheWatchdogOnlyWhileEveryLoopTurns) {
    TempDir folder;
    NotifySocket manager(folder);
    ::setenv("NOTIFY_SOCKET", manager.Path().c_str(), 1);
    ::setenv("WATCHDOG_USEC", "200000", 1);
    ServiceNotifier notifier;
    ASSERT_EQ(notifier.PingInterval(), 100ms);
    Heartbeat* steady = notifier.AddLoop("steady loop");
    Heartbeat* halting = notifier.AddLoop("halting loop");
    ASSERT_NE(halting, nullptr);
    EXPECT_EQ(halting->Period(), 25ms);
    std::mutex statusMutex;
    std::string status = "starting";
    notifier.SetStatusSource([&] {
        std::lock_guard<std::mutex> lock(statusMutex);
        return status;
    });
    std::atomic<bool> halted{false};
    std::atomic<bool> stop{false};
    std::thread loops([&] {
        while (!stop) {
            steady->Beat();
            if (!halted) {
                halting->Beat();
            }
            std::this_thread::sleep_for(steady->Period());
        }
    });
    notifier.Start();
    notifier.Ready();
    EXPECT_TRUE(manager.WaitFor("READY=1\nSTATUS=starting")) << manager.Last();
    EXPECT_TRUE(manager.WaitFor("WATCHDOG=1")) << manager.Last();
    {
        std::lock_guard<std::mutex> lock(statusMutex);
        status = "changed";
    }
    EXPECT_TRUE(manager.WaitFor("STATUS=changed")) << manager.Last();

    halted = true;
    // A ping decided before the loop halted may still come; then none.
    manager.WaitFor("no such message", 300ms);
    EXPECT_FALSE(manager.WaitFor("WATCHDOG=1", 600ms));
    halted = false;
    EXPECT_TRUE(manager.WaitFor("WATCHDOG=1")) << manager.Last();
    stop = true;
    loops.join();
}

// lockhub under a service manager: READY=1 once its port listens, its status, and
// watchdog pings that stop while the core's main loop is held still (by ptrace, as a
// debugger would hold it) and come back when it runs again.
TEST(ServiceProcess, ReadinessStatusAndWatchdogFollowTheCore) {
    TempDir folder;
    NotifySocket manager(folder);
    Locksim sim(folder);
    Lockhub hub(folder, OneGatewayConfiguration(sim.Port()), {}, 0,
                {"NOTIFY_SOCKET=" + manager.Path(), "WATCHDOG_USEC=1000000"});
    ASSERT_TRUE(manager.WaitFor("READY=1\nSTATUS=")) << manager.Last();
    const int client = ConnectToAddress("127.0.0.1", hub.Port());
    EXPECT_GE(client, 0) << "READY=1 came before the port listened";
    EXPECT_TRUE(manager.WaitFor("STATUS=1 of 1 gateways ready, 1 clients")) << manager.Last();
    EXPECT_TRUE(manager.WaitFor("WATCHDOG=1")) << manager.Last();

    ASSERT_TRUE(hub.WaitForLog("Mux main thread is now running"));
    const std::string log = hub.Log();
    const size_t line = log.rfind('\n', log.find("Mux main thread is now running")) + 1;
    const size_t open = log.find('[', line) + 1;
    const pid_t mainThread = std::atoi(log.c_str() + open);
    ASSERT_GT(mainThread, 0);
    if (::ptrace(PTRACE_SEIZE, mainThread, nullptr, nullptr) != 0) {
        ::close(client);
        GTEST_SKIP() << "ptrace is not permitted here";
    }
    ASSERT_EQ(::ptrace(PTRACE_INTERRUPT, mainThread, nullptr, nullptr), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(mainThread, &status, __WALL), mainThread);
    manager.WaitFor("no such message", 1500ms);
    EXPECT_FALSE(manager.WaitFor("WATCHDOG=1", 2500ms));
    EXPECT_TRUE(hub.WaitForLog("Watchdog not pinged: no turn of the core main loop for 500 ms."));
    ASSERT_EQ(::ptrace(PTRACE_DETACH, mainThread, nullptr, nullptr), 0);
    EXPECT_TRUE(manager.WaitFor("WATCHDOG=1")) << manager.Last();
    ::close(client);
}

// Under a service manager a configuration that start-up refuses ends lockhub with status 1
// and the reason on its status line and standard error, so that the unit fails and says
// why; run by hand, lockhub keeps running without gateways.
TEST(ServiceProcess, RefusedConfigurationFailsTheUnitWithItsReason) {
    ::unsetenv("NOTIFY_SOCKET");  // an earlier test of this program may have set it
    TempDir folder;
    NotifySocket manager(folder);
    const std::string broken = R"({"Enabled": true, "RequestTimeout": 99999999999})";
    Lockhub underManager(folder, broken, {}, 0, {"NOTIFY_SOCKET=" + manager.Path()});
    EXPECT_EQ(underManager.Process().ExitStatus(30s), 1);
    const std::string reason = "The configuration is refused: ";
    EXPECT_TRUE(manager.WaitFor("STATUS=" + reason)) << manager.Last();
    EXPECT_NE(underManager.Process().Errors().find("lockhub: " + reason), std::string::npos)
        << underManager.Process().Errors();

    Lockhub byHand(folder, broken);
    EXPECT_TRUE(byHand.WaitForLog("Mux ended initialization process."));
    EXPECT_TRUE(byHand.Process().Running());
}
