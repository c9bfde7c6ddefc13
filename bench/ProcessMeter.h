#pragma once
// What another process costs, read from /proc: CPU time (clock ticks, as top shows it, and
// the scheduler's nanosecond run time summed over its threads), how often its threads
// were switched in, its resident memory and its thread count. Reads only; any thread.

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>

namespace Bench {

struct CpuUse {
    double tickSeconds = 0;  // utime + stime, in clock-tick resolution (10 ms at 100 Hz)
    double runSeconds = 0;   // time on a CPU, summed over the threads alive now
    uint64_t switches = 0;   // voluntary + involuntary context switches of those threads
    // runSeconds and switches by thread name (threads of one name summed).
    struct Share {
        double runSeconds = 0;
        uint64_t switches = 0;
    };
    std::map<std::string, Share> byThread;
};

class ProcessMeter {
public:
    explicit ProcessMeter(pid_t pid) : pid_(pid) {}

    CpuUse Cpu() const;
    // VmRSS and VmHWM in kB; -1 when the process is gone.
    long ResidentKilobytes() const;
    long PeakResidentKilobytes() const;
    // Threads: of /proc/PID/status; -1 when the process is gone.
    long Threads() const;

private:
    long StatusNumber(const char* field) const;

    pid_t pid_;
};

}  // namespace Bench
