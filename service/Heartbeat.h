#pragma once
// One loop's sign of life for the service watchdog (ServiceNotifier). The loop's own
// thread beats once per turn; the notifier's thread reads the count. A loop that waits
// for work waits at most Period() while it is watched, so that an idle loop still beats.
//
// Owned by the ServiceNotifier that handed it out; the loop borrows it for as long as
// the notifier lives. Beat and Period from any thread.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

namespace Mux::Service {

class Heartbeat {
public:
    Heartbeat(std::string name, std::chrono::milliseconds period)
        : name_(std::move(name)), period_(period) {}
    Heartbeat(const Heartbeat&) = delete;
    Heartbeat& operator=(const Heartbeat&) = delete;

    void Beat() { beats_.fetch_add(1, std::memory_order_relaxed); }
    uint64_t Beats() const { return beats_.load(std::memory_order_relaxed); }
    // The longest the loop may go without a turn and still count as alive.
    std::chrono::milliseconds Period() const { return period_; }
    const std::string& Name() const { return name_; }

private:
    const std::string name_;
    const std::chrono::milliseconds period_;
    std::atomic<uint64_t> beats_{0};
};

// A loop's turn when the loop may or may not be watched (null: not watched).
inline void Beat(Heartbeat* heartbeat) {
    if (heartbeat != nullptr) {
        heartbeat->Beat();
    }
}

}  // namespace Mux::Service
