#include "service/FreedMemory.h"

#include <malloc.h>

namespace Mux::Service {

namespace {
// glibc's own starting values, kept fixed.
constexpr int kMmapThresholdBytes = 128 * 1024;
constexpr int kTrimThresholdBytes = 128 * 1024;
}  // namespace

void FreedMemory::UseOneArena() {
    ::mallopt(M_ARENA_MAX, 1);
    ::mallopt(M_MMAP_THRESHOLD, kMmapThresholdBytes);
    ::mallopt(M_TRIM_THRESHOLD, kTrimThresholdBytes);
}

void FreedMemory::GiveBackWhenDue(Clock::time_point now) {
    if (now < due_) {
        return;
    }
    ::malloc_trim(0);
    due_ = now + kInterval;
}

}  // namespace Mux::Service
