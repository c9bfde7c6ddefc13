#pragma once
// Gives back to the system the memory that the allocator keeps after a burst: the log's
// buffers behind a stalled reader, a TLS client's unread output, a flood's requests. glibc
// returns freed memory by itself only from the top of each arena, so without this a daemon
// that runs for months would keep its highest resident size for good.
//
// UseOneArena, first thing in main before any thread starts, puts every thread's memory in
// the one arena whose top a give-back can also return, and fixes the thresholds that glibc
// would otherwise raise to the largest buffer ever freed (a 4 MiB log buffer would then be
// kept at the arena's top for good).
//
// Owned by one loop, which calls NextWake and GiveBackWhenDue on its own thread. A give-back
// walks the arena's free lists once (well under a millisecond for lockhub's few megabytes)
// under the arena's lock.

#include <chrono>

namespace Mux::Service {

class FreedMemory {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kInterval{30};

    static void UseOneArena();

    explicit FreedMemory(Clock::time_point now) : due_(now + kInterval) {}

    Clock::time_point NextWake() const { return due_; }
    // Gives back every whole free page once kInterval has passed since the last time.
    void GiveBackWhenDue(Clock::time_point now);

private:
    Clock::time_point due_;
};

}  // namespace Mux::Service
