#pragma once
// The audit trail: one JSON line (AuditEntry) per door command, whitelist change, refused
// request and card or PIN event, appended to a file of its own.
//
// Recording never waits for the disk. Record formats the line on the calling thread and
// appends it to a bounded queue; the trail's writer thread writes each line with one
// write(2) of the whole line, in the order recorded, and makes what it wrote reach the
// disk (fdatasync) at most kSyncInterval after a line was written, and at Close. When the
// queue is full the entry is dropped and counted: the first drop is logged at once, how
// many were dropped once the writer has caught up. A write that fails is logged and
// counted and the trail goes on with the next line; if a line was cut short (a full
// disk), the next one starts on a line of its own.
//
// Threads: Open, Close and destruction on the owner's thread; Record, WaitUntilWritten and
// the counters from any thread until destruction, Record also during and after Close
// (entries recorded once Close began are dropped and counted, not logged).
//
// Ownership: the trail owns its file descriptor, its queue and its writer thread.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "audit/AuditEntry.h"

namespace Threading {
class Thread;
}

namespace Mux::Audit {

class AuditTrail {
public:
    // Lines waiting to be written may take this much memory before entries are dropped.
    static constexpr size_t kMaxQueuedBytes = 1024 * 1024;
    // The longest a written line waits for fdatasync.
    static constexpr std::chrono::milliseconds kSyncInterval{1000};

    // Opens path for appending, creating it with mode 0600, and starts the writer thread.
    // Null on failure, logged, with reason set to one line naming the file and the cause.
    static std::unique_ptr<AuditTrail> Open(const std::string& path, std::string& reason,
                                            size_t maxQueuedBytes = kMaxQueuedBytes);

    // For --check-config and start-up: empty when Open could open path now, else one line
    // telling why not. Creates nothing, logs nothing.
    static std::string CheckPath(const std::string& path);

    // Close.
    ~AuditTrail();
    AuditTrail(const AuditTrail&) = delete;
    AuditTrail& operator=(const AuditTrail&) = delete;

    // Queues the entry's line for writing. Any thread; never waits for the disk.
    void Record(const AuditEntry& entry);

    // Writes what is queued, syncs, ends the writer thread and closes the file. Waits for
    // the disk as long as it takes. A second call does nothing.
    void Close();

    // Waits until every line recorded so far was written (or failed), at most timeout.
    // True when nothing is left.
    bool WaitUntilWritten(std::chrono::milliseconds timeout);

    uint64_t WrittenLines() const { return writtenLines_.load(); }
    uint64_t DroppedEntries() const { return droppedEntries_.load(); }
    // Lines that could not be written whole.
    uint64_t FailedWrites() const { return failedWrites_.load(); }
    // fdatasync calls that failed: lines written before may not be on the disk.
    uint64_t FailedSyncs() const { return failedSyncs_.load(); }
    const std::string& Path() const { return path_; }

private:
    AuditTrail(std::string path, int fd, size_t maxQueuedBytes);

    void WriterThreadProc();
    void WriteLine(const std::string& line);
    void Sync();

    const std::string path_;
    const int fd_;
    const size_t maxQueuedBytes_;

    std::mutex queueMutex_;
    std::condition_variable work_;     // lines queued, drops to report, or Close
    std::condition_variable written_;  // a batch was written
    // Guarded by queueMutex_: the lines in order; the bytes queued and being written;
    // drops not reported yet; Close began.
    std::deque<std::string> queue_;
    size_t queuedBytes_ = 0;
    uint64_t unreportedDrops_ = 0;
    bool closing_ = false;

    std::atomic<uint64_t> writtenLines_{0};
    std::atomic<uint64_t> droppedEntries_{0};
    std::atomic<uint64_t> failedWrites_{0};
    std::atomic<uint64_t> failedSyncs_{0};

    // Writer thread only: the last line was cut short; the file cannot be synced.
    bool lineTorn_ = false;
    bool syncable_ = true;

    // Owner's thread only.
    std::unique_ptr<Threading::Thread> writer_;
    bool closed_ = false;
};

}  // namespace Mux::Audit
