#pragma once
// The audit trail: one JSON line (AuditEntry) per door command, whitelist change, refused
// request and card or PIN event, appended to a file of its own.
//
// Recording never waits for the disk. Record formats the line on the calling thread and
// appends it to a bounded queue; the trail's writer thread writes each line with one
// write(2) of the whole line, in the order recorded, and makes what it wrote reach the
// disk (fdatasync) at most kSyncInterval after a line was written, and at Close. When the
// queue is full the entry is dropped and counted: the first drop is logged at once, how
// many were dropped once the writer has caught up.
//
// A full disk (no space, a quota, a file size limit, an I/O error) starts an episode: it is
// logged once, the trail is not Writable, and the writer tries the line again every
// kRetryInterval, from where it was cut, while later lines wait in the queue; the episode's
// end is logged with how long it lasted. A line is given up, counted and logged, only when
// Close or a Reopen comes meanwhile, or for any other error; a line cut short then is
// ended, so the next one starts on a line of its own.
//
// Open and Reopen look at the end of the file first: a last line cut short (lockhub was
// killed while writing it, the power went) is moved to <path>.torn, with a log line, so
// that it never stays in the middle of the trail.
//
// RecordThen is Record for a line that must be on the disk before something happens (a
// door command's frame goes out): the writer writes it, then syncs once for every such line
// of its batch (lines recorded together share one fdatasync), and then calls each one's
// callback, in order, on its own thread: true once the line is on the disk, false when it
// was dropped (the queue was full, Close had begun), given up, or its sync failed.
//
// Reopen moves the trail to another file (a reload): the move is queued among the lines,
// so each line goes to the file that was the trail's when it was recorded, in order.
//
// Threads: Open, Reopen, Close and destruction on the owner's thread; Record,
// WaitUntilWritten, Path and the counters from any thread until destruction, Record also
// during and after Close (entries recorded once Close began are dropped and counted, not
// logged).
//
// Ownership: the trail owns its file descriptors (the one written and those queued by
// Reopen), its queue and its writer thread.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

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
    // How often a line that could not be written is tried again.
    static constexpr std::chrono::milliseconds kRetryInterval{1000};
    // Where a last line cut short goes: the trail's path with this added.
    static constexpr const char* kTornSuffix = ".torn";

    // Opens path for appending, creating it with mode 0600, and starts the writer thread.
    // Null on failure, logged, with reason set to one line naming the file and the cause.
    static std::unique_ptr<AuditTrail> Open(const std::string& path, std::string& reason,
                                            size_t maxQueuedBytes = kMaxQueuedBytes);

    // Moves the trail to path: opens it (append, create 0600) now, then the writer writes
    // every line recorded before this call to the old file, syncs and closes it, and
    // writes every later line to the new one. False, with reason set (and logged) as Open
    // sets it, when path cannot be opened, or after Close: the trail then stays where it
    // was. The path the trail has now: nothing happens, true. Owner's thread.
    bool Reopen(const std::string& path, std::string& reason);

    // For --check-config and start-up: empty when Open could open path now, else one line
    // telling why not. Creates nothing, logs nothing.
    static std::string CheckPath(const std::string& path);

    // Close.
    ~AuditTrail();
    AuditTrail(const AuditTrail&) = delete;
    AuditTrail& operator=(const AuditTrail&) = delete;

    // Queues the entry's line for writing. Any thread; never waits for the disk.
    void Record(const AuditEntry& entry);
    // Called once, on the writer's thread (or at once on the caller's, when the line is
    // dropped): whether the line reached the disk. It must not call Close or Reopen.
    using Synced = std::function<void(bool onDisk)>;
    // Record, then synced once the line is on the disk. Any thread; never waits.
    void RecordThen(const AuditEntry& entry, Synced synced);

    // Writes what is queued, syncs, ends the writer thread and closes the file. Waits for
    // the disk as long as it takes. A second call does nothing.
    void Close();

    // Waits until every line recorded so far was written (or failed), at most timeout.
    // True when nothing is left.
    bool WaitUntilWritten(std::chrono::milliseconds timeout);

    uint64_t WrittenLines() const { return writtenLines_.load(); }
    // False from a write that failed for want of space until a write succeeds again.
    bool Writable() const { return writable_.load(); }
    // write(2) calls that failed, those tried again included.
    uint64_t WriteErrors() const { return writeErrors_.load(); }
    uint64_t DroppedEntries() const { return droppedEntries_.load(); }
    // Lines given up: they could not be written whole.
    uint64_t FailedWrites() const { return failedWrites_.load(); }
    // fdatasync calls that failed: lines written before may not be on the disk.
    uint64_t FailedSyncs() const { return failedSyncs_.load(); }
    // fdatasync calls made.
    uint64_t Syncs() const { return syncs_.load(); }
    // Where the entries recorded now go: the path of the last Open or Reopen.
    std::string Path() const;

private:
    // A file Reopen opened, queued after the last line for the old file.
    struct Move {
        int fd;
        std::string path;
        bool torn;  // its last line was cut short and stays
    };
    struct Line {
        std::string text;
        Synced synced;  // may be empty
    };
    using Queued = std::variant<Line, Move>;
    static bool IsMove(const Queued& queued) { return std::holds_alternative<Move>(queued); }
    // A line of the batch being written whose callback waits for the sync.
    struct Waiting {
        Synced synced;
        bool written;
    };

    AuditTrail(std::string path, int fd, size_t maxQueuedBytes);

    void WriterThreadProc();
    // moveWaiting: a Reopen's move follows in the batch being written.
    // True when the line was written whole.
    bool WriteLine(const std::string& line, bool moveWaiting);
    // Syncs the lines written so far for those waiting, then tells each.
    void Commit(std::vector<Waiting>& waiting);
    // Waits kRetryInterval for a line to be tried again; false when Close or a Reopen
    // came, and the line is to be given up.
    bool AwaitRetry(bool moveWaiting);
    // Ends an episode of failed writes, if one goes on, as the file is closed or left.
    void EndEpisode(const std::string& how);
    // False when the sync failed: the lines may not be on the disk.
    bool Sync();
    void Queue(const AuditEntry& entry, Synced synced);
    // Syncs the file written so far when it has unsynced lines and closes it; the lines
    // that follow go to the move's file, which starts on a line of its own.
    void MoveTo(Move& move, bool unsynced);

    const size_t maxQueuedBytes_;

    mutable std::mutex queueMutex_;
    std::condition_variable work_;     // lines or moves queued, drops to report, or Close
    std::condition_variable written_;  // a batch was written
    // Guarded by queueMutex_: the lines and moves in order; the bytes of the lines queued
    // and being written; drops not reported yet; Close began; the path of the last Open or
    // Reopen (changed on the owner's thread only).
    std::deque<Queued> queue_;
    size_t queuedBytes_ = 0;
    uint64_t unreportedDrops_ = 0;
    bool closing_ = false;
    std::string path_;

    std::atomic<uint64_t> writtenLines_{0};
    std::atomic<bool> writable_{true};
    std::atomic<uint64_t> writeErrors_{0};
    std::atomic<uint64_t> droppedEntries_{0};
    std::atomic<uint64_t> failedWrites_{0};
    std::atomic<uint64_t> failedSyncs_{0};
    std::atomic<uint64_t> syncs_{0};

    // Writer thread only (the owner's once Close joined it; lineTorn_ also Open's, before
    // the thread starts): the file written and its path; the last line was cut short; the
    // file cannot be synced.
    int fd_;
    std::string filePath_;
    bool lineTorn_ = false;
    bool syncable_ = true;
    // The episode of failed writes going on: when it began, and the lines given up in it.
    std::chrono::steady_clock::time_point episodeBegan_{};
    uint64_t givenUp_ = 0;

    // Owner's thread only.
    std::unique_ptr<Threading::Thread> writer_;
    bool closed_ = false;
};

}  // namespace Mux::Audit
