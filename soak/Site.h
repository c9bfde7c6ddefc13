#pragma once
// The soak's site: the gateways (each a locksim behind a FaultyWire), lockhub with
// logtrim reading its standard output, and the service manager's end of lockhub's
// notification socket. Owned by the soak's main thread; the calls noted so are safe from
// the fault threads.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "soak/FaultyWire.h"
#include "soak/Ledger.h"
#include "tests/support/TestSupport.h"

namespace Soak {

inline constexpr long kLockId = 4711;

// One gateway: locksim on a port of its own, reached through its wire. Every call is safe
// from any thread.
class Gateway {
public:
    Gateway(const TestSupport::TempDir& folder, int id, PortPicker& ports, Ledger& ledger);
    ~Gateway();
    int Id() const { return id_; }
    FaultyWire& Wire() { return *wire_; }
    // A reboot: connections refused while locksim is gone; Up starts it again.
    void Down();
    bool Up();
    bool IsUp();
    // A card at the lock's reader whose data is the gateway's next event number; false
    // when locksim is down.
    bool Card();

private:
    const TestSupport::TempDir& folder_;
    const int id_;
    const int locksimPort_;
    std::unique_ptr<FaultyWire> wire_;
    std::mutex mutex_;
    // Guarded by mutex_.
    std::unique_ptr<TestSupport::ChildProcess> locksim_;
    uint32_t events_ = 0;
};

// The service manager's end of NOTIFY_SOCKET: READY=1 and every watchdog ping, each ping
// checked against the watchdog's interval. One thread of its own.
class Watchdog {
public:
    static constexpr std::chrono::microseconds kInterval{4000000};
    Watchdog(const std::string& path, Ledger& ledger);
    ~Watchdog();
    const std::string& Path() const { return path_; }
    bool Ready() const { return ready_.load(); }
    // The ping that is due now came (or is not due yet).
    void CheckNow();

private:
    void Run();
    std::string path_;
    Ledger& ledger_;
    int fd_ = -1;
    std::atomic<bool> ready_{false};
    std::atomic<bool> stop_{false};
    std::atomic<Clock::rep> lastPing_{0};
    std::thread thread_;
};

// What lockhub holds, as /proc tells.
struct Resources {
    long rssKilobytes = 0;
    long threads = 0;
    long descriptors = 0;
};

// lockhub, its standard output piped into logtrim. Reload and Stall are safe from the
// fault threads.
class Hub {
public:
    Hub(const TestSupport::TempDir& folder, const std::string& outputFile,
        const std::string& configuration, const Watchdog& watchdog);
    int Port() const { return port_; }
    pid_t Pid() const { return lockhub_->Pid(); }
    bool Running();
    bool LogtrimRunning();
    // What logtrim said on its standard error.
    std::string LogtrimErrors() const { return logtrim_->Errors(); }
    // Writes the configuration and signals lockhub to read it.
    void Reload(const std::string& configuration);
    // Holds logtrim still, so that nothing reads lockhub's standard output; or lets it go.
    void StallReader(bool stalled);
    Resources Measure() const;
    const std::string& LogFile() const { return logFile_; }

private:
    std::string configFile_;
    std::string logFile_;
    int port_ = 0;
    std::mutex mutex_;  // one reload at a time
    std::unique_ptr<TestSupport::ChildProcess> logtrim_;
    std::unique_ptr<TestSupport::ChildProcess> lockhub_;
};

}  // namespace Soak
