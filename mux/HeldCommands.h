#pragma once
// Door commands that wait for their audit line to reach the disk before they may go to
// their gateway ("AuditSync": "before-send"). Each leaves once: by Release, when its line
// is on the disk (or was given up), or by Expire, when its deadline came first and it is
// to be answered "not sent" then; whichever comes second finds nothing.
//
// Ownership: the held records, until one of those hands it back.
// Threads: Hold on the thread that received the request, Release on the trail's writer
// thread, Expire and NextWake on the core's gateways thread; all guarded by one mutex,
// held only to move a record in or out.

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "mux/MuxRequestRecord.h"

namespace Mux {

class HeldCommands {
public:
    using Clock = std::chrono::steady_clock;
    using Record = std::unique_ptr<MuxRequestRecord>;

    struct Ticket {
        uint64_t number;
        // It has the earliest deadline held: the thread that calls Expire must look again.
        bool earliest;
    };
    // deadline: none when requests wait for ever.
    Ticket Hold(Record record, std::optional<Clock::time_point> deadline);
    // The record, or null when Expire took it already.
    Record Release(uint64_t ticket);
    // The records whose deadline has come.
    std::vector<Record> Expire(Clock::time_point now);
    // The earliest deadline held.
    std::optional<Clock::time_point> NextWake() const;

private:
    mutable std::mutex mutex_;
    // Guarded by mutex_.
    uint64_t next_ = 0;
    struct Held {
        Record record;
        std::optional<Clock::time_point> deadline;
    };
    std::map<uint64_t, Held> held_;
    std::multimap<Clock::time_point, uint64_t> deadlines_;
};

}  // namespace Mux
