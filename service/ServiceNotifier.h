#pragma once
// Tells the service manager (systemd, through sd_notify) how lockhub is doing: READY=1
// once it serves, a STATUS= line kept up to date, and WATCHDOG=1 pings only while every
// watched loop keeps turning, so that a lockhub with a stuck loop is restarted.
//
// Without NOTIFY_SOCKET in the environment the notifier is inactive: it starts no thread,
// hands out no heartbeats and sends nothing, so nothing changes for lockhub. With it, one
// thread of its own sends the messages: the status text is asked for once per
// kStatusInterval and sent when it changed; when the service manager runs a watchdog
// (WATCHDOG_USEC), at half its interval the thread pings if every heartbeat beat since
// the last ping, and otherwise logs which loop stands still and does not ping.
//
// Threads: construction, AddLoop, SetStatusSource, Start, Stop and destruction on the
// owner's thread, in this order; Ready from any thread. The status source runs on the
// notifier's thread and must not block; it is not called after Stop.
//
// Ownership: the notifier owns its thread and the heartbeats; the loops that beat them
// must be stopped before the notifier is destroyed.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "service/Heartbeat.h"

namespace Threading {
class Thread;
}

namespace Mux::Service {

class ServiceNotifier {
public:
    // How often the status text is looked at, and so the most often it is sent.
    static constexpr std::chrono::milliseconds kStatusInterval{1000};
    // Watched loops turn at least this many times per watchdog ping.
    static constexpr int kBeatsPerPing = 4;

    // Reads NOTIFY_SOCKET and the watchdog settings; logs what it found.
    ServiceNotifier();
    // Stop.
    ~ServiceNotifier();
    ServiceNotifier(const ServiceNotifier&) = delete;
    ServiceNotifier& operator=(const ServiceNotifier&) = delete;

    bool Active() const { return active_; }
    // The interval of WATCHDOG=1 pings; none when no watchdog runs.
    std::optional<std::chrono::milliseconds> PingInterval() const { return pingInterval_; }

    // A heartbeat for one loop, named for the log; null when no watchdog runs (the loop
    // then need not beat, nor wake up to beat).
    Heartbeat* AddLoop(std::string name);
    void SetStatusSource(std::function<std::string()> status);

    // Starts the thread when active: the watchdog is pinged from now on.
    void Start();
    // Ends the thread: nothing is sent after. A second call does nothing.
    void Stop();
    // Makes the thread send READY=1 with the current status, and the status from then on.
    // Any thread; once is enough.
    void Ready();
    // Tells the service manager why lockhub ends before it serves (a STATUS= line, shown
    // by systemctl status). The owner's thread, instead of Start; nothing when inactive.
    void Failed(const std::string& reason);

private:
    using Clock = std::chrono::steady_clock;

    void ThreadProc();
    // Pings when every heartbeat beat since the last look, else logs the loops that
    // stand still (once, until they turn again).
    void Watch(std::vector<uint64_t>& lastBeats, bool& stalled);
    // Sends the status when it changed, with READY=1 the first time.
    void SendStatus(std::string& lastStatus, bool withReady);
    // One sd_notify message; the first failure is logged. The notifier's thread, or the
    // owner's before Start.
    void Notify(const std::string& message);

    bool active_ = false;
    std::optional<std::chrono::milliseconds> pingInterval_;
    std::vector<std::unique_ptr<Heartbeat>> heartbeats_;  // fixed from Ready on
    std::function<std::string()> status_;                 // fixed from Ready on

    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;  // guarded by mutex_
    bool ready_ = false;     // guarded by mutex_
    // Notifier thread only: a failed sd_notify was logged.
    bool failureLogged_ = false;
    std::unique_ptr<Threading::Thread> thread_;
};

}  // namespace Mux::Service
