#include "audit/AuditTrail.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "diagnostics/Log.h"
#include "threading/Thread.h"

namespace Mux::Audit {

namespace {

std::string Named(const std::string& path) {
    return "AuditLog " + path;
}

std::string FolderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The longest last line looked for when the trail does not end with a line break: a line
// of the trail is far shorter; a longer tail is no trail's and is left alone.
constexpr off_t kLongestTornLine = 1024 * 1024;

// Moves a last line cut short (the file does not end with a line break) to <path>.torn and
// cuts it off the file written through fd. False when a torn line stays at the end of the
// file: it could not be moved aside (the next line must then start on a line of its own).
bool MoveTornTail(int fd, const std::string& path) {
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size == 0) {
        return true;
    }
    const int reader = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    char last = '\n';
    if (reader < 0 || ::pread(reader, &last, 1, status.st_size - 1) != 1 || last == '\n') {
        if (reader >= 0) {
            ::close(reader);
        }
        return true;
    }
    const off_t size = status.st_size;
    const off_t from = std::max<off_t>(0, size - kLongestTornLine);
    std::string tail(static_cast<size_t>(size - from), '\0');
    const bool read =
        ::pread(reader, tail.data(), tail.size(), from) == static_cast<ssize_t>(tail.size());
    ::close(reader);
    if (!read) {
        LOG_ERROR << Named(path)
                  << ": its last line was cut short and cannot be read: " << std::strerror(errno);
        return false;
    }
    const size_t lineBreak = tail.rfind('\n');
    if (lineBreak == std::string::npos && from > 0) {
        LOG_ERROR << Named(path) << ": does not end with a line break, and its last "
                  << kLongestTornLine << " bytes hold none: not a trail's end; left as it is.";
        return false;
    }
    const std::string torn = lineBreak == std::string::npos ? tail : tail.substr(lineBreak + 1);
    const std::string aside = path + AuditTrail::kTornSuffix;
    const int asideFd = ::open(aside.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    const std::string line = torn + "\n";
    const bool moved =
        asideFd >= 0 &&
        ::write(asideFd, line.data(), line.size()) == static_cast<ssize_t>(line.size()) &&
        ::fdatasync(asideFd) == 0 && ::ftruncate(fd, size - static_cast<off_t>(torn.size())) == 0;
    const int error = errno;
    if (asideFd >= 0) {
        ::close(asideFd);
    }
    if (!moved) {
        LOG_ERROR << Named(path) << ": its last line was cut short (" << torn.size()
                  << " bytes) and cannot be moved to " << aside << ": " << std::strerror(error)
                  << "; the next line starts on a line of its own.";
        return false;
    }
    ::fdatasync(fd);
    LOG_WARNING << Named(path) << ": its last line was cut short (" << torn.size()
                << " bytes; lockhub ended while writing it) and was moved to " << aside << ".";
    return true;
}

// path opened for appending, or -1 with reason set and logged.
// torn: a last line cut short stays at its end.
int OpenFile(const std::string& path, std::string& reason, bool& torn) {
    reason.clear();
    int fd =
        path.empty() ? -1 : ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
        reason = path.empty() ? "AuditLog: no file given"
                              : Named(path) + ": cannot be opened: " + std::strerror(errno);
        LOG_ERROR << reason;
        return -1;
    }
    struct stat status {};
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && (status.st_mode & 077) != 0) {
        LOG_WARNING << Named(path) << ": others may read it (mode " << std::oct
                    << (status.st_mode & 0777) << "); 0600 keeps it to lockhub's user.";
    }
    torn = !MoveTornTail(fd, path);
    return fd;
}

}  // namespace

std::string AuditTrail::CheckPath(const std::string& path) {
    if (path.empty()) {
        return "AuditLog: no file given";
    }
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0) {
        if (S_ISDIR(status.st_mode)) {
            return Named(path) + ": is a folder";
        }
        if (::access(path.c_str(), W_OK) != 0) {
            return Named(path) + ": cannot be written: " + std::strerror(errno);
        }
        return "";
    }
    if (errno != ENOENT) {
        return Named(path) + ": " + std::strerror(errno);
    }
    std::string folder = FolderOf(path);
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        return Named(path) + ": cannot be created in " + folder + ": " + std::strerror(errno);
    }
    return "";
}

std::unique_ptr<AuditTrail> AuditTrail::Open(const std::string& path, std::string& reason,
                                             size_t maxQueuedBytes) {
    bool torn = false;
    int fd = OpenFile(path, reason, torn);
    if (fd < 0) {
        return nullptr;
    }
    std::unique_ptr<AuditTrail> trail(new AuditTrail(path, fd, maxQueuedBytes));
    trail->lineTorn_ = torn;
    trail->writer_ = std::make_unique<Threading::Thread>(
        "audit-writer", [self = trail.get()] { self->WriterThreadProc(); });
    if (!trail->writer_->Start()) {
        reason = Named(path) + ": cannot start its writer thread";
        LOG_ERROR << reason;
        trail->closed_ = true;
        ::close(fd);
        return nullptr;
    }
    return trail;
}

AuditTrail::AuditTrail(std::string path, int fd, size_t maxQueuedBytes)
    : maxQueuedBytes_(maxQueuedBytes), path_(path), fd_(fd), filePath_(std::move(path)) {}

AuditTrail::~AuditTrail() {
    Close();
}

bool AuditTrail::Reopen(const std::string& path, std::string& reason) {
    reason.clear();
    // Only this thread changes path_: reading it needs no lock.
    if (path == path_) {
        return true;
    }
    if (closed_) {
        reason = Named(path) + ": the trail is closed";
        LOG_ERROR << reason;
        return false;
    }
    bool torn = false;
    int fd = OpenFile(path, reason, torn);
    if (fd < 0) {
        return false;
    }
    std::string old;
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        old = std::exchange(path_, path);
        queue_.push_back(Move{fd, path, torn});
    }
    work_.notify_one();
    LOG_INFO << "The audit trail moves from " << old << " to " << path << ".";
    return true;
}

std::string AuditTrail::Path() const {
    std::lock_guard<std::mutex> lock(queueMutex_);
    return path_;
}

void AuditTrail::Record(const AuditEntry& entry) {
    Queue(entry, nullptr);
}

void AuditTrail::RecordThen(const AuditEntry& entry, Synced synced) {
    Queue(entry, std::move(synced));
}

void AuditTrail::Queue(const AuditEntry& entry, Synced synced) {
    std::string line = ToJsonLine(entry);
    std::string droppingAt;
    bool dropped = true;
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        if (closing_) {
            droppedEntries_.fetch_add(1);
        } else if (queuedBytes_ + line.size() > maxQueuedBytes_) {
            if (unreportedDrops_++ == 0) {
                droppingAt = path_;
            }
            droppedEntries_.fetch_add(1);
        } else {
            queuedBytes_ += line.size();
            queue_.push_back(Line{std::move(line), std::move(synced)});
            dropped = false;
        }
    }
    work_.notify_one();
    if (dropped && synced) {
        synced(false);
    }
    if (!droppingAt.empty()) {
        LOG_ERROR << "Audit trail " << droppingAt
                  << " cannot keep up: entries are dropped until it has caught up.";
    }
}

void AuditTrail::Close() {
    if (closed_) {
        return;
    }
    closed_ = true;
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        closing_ = true;
    }
    work_.notify_one();
    writer_->Join();
    ::close(fd_);
}

bool AuditTrail::WaitUntilWritten(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(queueMutex_);
    return written_.wait_for(lock, timeout, [this] { return queuedBytes_ == 0; });
}

void AuditTrail::WriterThreadProc() {
    using Clock = std::chrono::steady_clock;
    std::deque<Queued> batch;
    // Whether lines were written to this file and not yet synced, and by when they must be.
    bool unsynced = false;
    Clock::time_point syncDue{};
    bool closing = false;
    while (!closing) {
        uint64_t dropped;
        {
            std::unique_lock<std::mutex> lock(queueMutex_);
            auto ready = [this] { return !queue_.empty() || unreportedDrops_ > 0 || closing_; };
            if (unsynced) {
                work_.wait_until(lock, syncDue, ready);
            } else {
                work_.wait(lock, ready);
            }
            batch.swap(queue_);
            dropped = std::exchange(unreportedDrops_, 0);
            // Close writes what came before it; nothing can be queued after.
            closing = closing_;
        }
        size_t bytes = 0;
        std::vector<Waiting> waiting;
        // Where the batch's next move is: a line before it is given up rather than held.
        auto nextMove = std::find_if(batch.begin(), batch.end(), IsMove);
        for (auto item = batch.begin(); item != batch.end(); ++item) {
            if (Move* move = std::get_if<Move>(&*item)) {
                // What waits for the disk is synced on the file it went to.
                if (!waiting.empty()) {
                    Commit(waiting);
                    unsynced = false;
                }
                MoveTo(*move, unsynced);
                unsynced = false;
                nextMove = std::find_if(item + 1, batch.end(), IsMove);
                continue;
            }
            Line& line = std::get<Line>(*item);
            const bool written = WriteLine(line.text, nextMove != batch.end());
            bytes += line.text.size();
            if (line.synced) {
                waiting.push_back({std::move(line.synced), written});
            }
            if (!unsynced) {
                unsynced = true;
                syncDue = Clock::now() + kSyncInterval;
            }
        }
        batch.clear();
        if (!waiting.empty()) {
            Commit(waiting);
            unsynced = false;
        }
        {
            std::lock_guard<std::mutex> lock(queueMutex_);
            queuedBytes_ -= bytes;
        }
        written_.notify_all();
        if (dropped > 0) {
            LOG_ERROR << "Audit trail " << filePath_ << ": " << dropped
                      << " entries were dropped: it could not keep up.";
        }
        if (unsynced && (closing || Clock::now() >= syncDue)) {
            Sync();
            unsynced = false;
        }
    }
    EndEpisode("closed");
}

void AuditTrail::Commit(std::vector<Waiting>& waiting) {
    const bool synced = Sync();
    for (Waiting& line : waiting) {
        line.synced(line.written && synced);
    }
    waiting.clear();
}

void AuditTrail::MoveTo(Move& move, bool unsynced) {
    if (unsynced) {
        Sync();
    }
    EndEpisode("moved to " + move.path);
    ::close(fd_);
    fd_ = move.fd;
    filePath_ = std::move(move.path);
    // A line cut short and a file that cannot be synced belong to the old file.
    lineTorn_ = move.torn;
    syncable_ = true;
}

void AuditTrail::EndEpisode(const std::string& how) {
    if (writable_.load()) {
        return;
    }
    writable_ = true;
    LOG_ERROR << "Audit trail " << filePath_ << " " << how
              << " while it could not be written: " << givenUp_ << " lines were given up.";
    givenUp_ = 0;
}

bool AuditTrail::AwaitRetry(bool moveWaiting) {
    std::unique_lock<std::mutex> lock(queueMutex_);
    auto leave = [&] {
        return moveWaiting || closing_ || std::any_of(queue_.begin(), queue_.end(), IsMove);
    };
    work_.wait_for(lock, kRetryInterval, leave);
    return !leave();
}

bool AuditTrail::WriteLine(const std::string& line, bool moveWaiting) {
    // A line cut short before must not swallow this one.
    std::string restart = lineTorn_ ? "\n" + line : std::string();
    const std::string& text = lineTorn_ ? restart : line;
    size_t done = 0;
    while (done < text.size()) {
        ssize_t count = ::write(fd_, text.data() + done, text.size() - done);
        if (count > 0) {
            done += static_cast<size_t>(count);
            continue;
        }
        if (count < 0 && errno == EINTR) {
            continue;
        }
        const int error = count < 0 ? errno : EIO;
        writeErrors_.fetch_add(1);
        if (writable_.exchange(false)) {
            episodeBegan_ = std::chrono::steady_clock::now();
            LOG_ERROR << "Audit trail " << filePath_
                      << " cannot be written: " << std::strerror(error)
                      << ". Its lines wait, and are tried again every " << kRetryInterval.count()
                      << " ms.";
        }
        if (AwaitRetry(moveWaiting)) {
            continue;
        }
        // Close or a move came first: the line is given up, and the next starts anew.
        lineTorn_ = lineTorn_ || done > 0;
        failedWrites_.fetch_add(1);
        ++givenUp_;
        return false;
    }
    lineTorn_ = false;
    writtenLines_.fetch_add(1);
    if (!writable_.load()) {
        writable_ = true;
        const auto lasted = std::chrono::duration_cast<std::chrono::seconds>(
            std::chrono::steady_clock::now() - episodeBegan_);
        LOG_WARNING << "Audit trail " << filePath_ << " is written again, after " << lasted.count()
                    << " s; " << givenUp_ << " lines were given up.";
        givenUp_ = 0;
    }
    return true;
}

bool AuditTrail::Sync() {
    if (!syncable_) {
        return true;
    }
    syncs_.fetch_add(1);
    if (::fdatasync(fd_) == 0) {
        return true;
    }
    if (errno == EINVAL || errno == EROFS) {
        syncable_ = false;  // a pipe or a device: there is no disk to reach
        LOG_WARNING << "Audit trail " << filePath_ << " cannot be synced: " << std::strerror(errno);
        return true;
    }
    failedSyncs_.fetch_add(1);
    LOG_ERROR << "Audit trail " << filePath_
              << ": written lines may not be on the disk: " << std::strerror(errno);
    return false;
}

}  // namespace Mux::Audit
