#include "audit/AuditTrail.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
    reason.clear();
    int fd =
        path.empty() ? -1 : ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
        reason = path.empty() ? "AuditLog: no file given"
                              : Named(path) + ": cannot be opened: " + std::strerror(errno);
        LOG_ERROR << reason;
        return nullptr;
    }
    struct stat status {};
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && (status.st_mode & 077) != 0) {
        LOG_WARNING << Named(path) << ": others may read it (mode " << std::oct
                    << (status.st_mode & 0777) << "); 0600 keeps it to lockhub's user.";
    }
    std::unique_ptr<AuditTrail> trail(new AuditTrail(path, fd, maxQueuedBytes));
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
    : path_(std::move(path)), fd_(fd), maxQueuedBytes_(maxQueuedBytes) {}

AuditTrail::~AuditTrail() {
    Close();
}

void AuditTrail::Record(const AuditEntry& entry) {
    std::string line = ToJsonLine(entry);
    bool firstDrop = false;
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        if (closing_) {
            droppedEntries_.fetch_add(1);
        } else if (queuedBytes_ + line.size() > maxQueuedBytes_) {
            firstDrop = unreportedDrops_++ == 0;
            droppedEntries_.fetch_add(1);
        } else {
            queuedBytes_ += line.size();
            queue_.push_back(std::move(line));
        }
    }
    work_.notify_one();
    if (firstDrop) {
        LOG_ERROR << "Audit trail " << path_
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
    std::deque<std::string> batch;
    // Whether lines were written and not yet synced, and by when they must be.
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
        for (const std::string& line : batch) {
            WriteLine(line);
            bytes += line.size();
        }
        if (!batch.empty() && !unsynced) {
            unsynced = true;
            syncDue = Clock::now() + kSyncInterval;
        }
        batch.clear();
        {
            std::lock_guard<std::mutex> lock(queueMutex_);
            queuedBytes_ -= bytes;
        }
        written_.notify_all();
        if (dropped > 0) {
            LOG_ERROR << "Audit trail " << path_ << ": " << dropped
                      << " entries were dropped: it could not keep up.";
        }
        if (unsynced && (closing || Clock::now() >= syncDue)) {
            Sync();
            unsynced = false;
        }
    }
}

void AuditTrail::WriteLine(const std::string& line) {
    // A line cut short before must not swallow this one.
    std::string restart = lineTorn_ ? "\n" + line : std::string();
    const std::string& text = lineTorn_ ? restart : line;
    size_t done = 0;
    while (done < text.size()) {
        ssize_t count = ::write(fd_, text.data() + done, text.size() - done);
        if (count > 0) {
            done += static_cast<size_t>(count);
        } else if (count < 0 && errno == EINTR) {
            continue;
        } else {
            int error = count < 0 ? errno : EIO;
            lineTorn_ = lineTorn_ || done > 0;
            failedWrites_.fetch_add(1);
            LOG_ERROR << "Audit trail " << path_
                      << ": a line could not be written: " << std::strerror(error) << " ("
                      << failedWrites_.load() << " failed so far).";
            return;
        }
    }
    lineTorn_ = false;
    writtenLines_.fetch_add(1);
}

void AuditTrail::Sync() {
    if (!syncable_ || ::fdatasync(fd_) == 0) {
        return;
    }
    if (errno == EINVAL || errno == EROFS) {
        syncable_ = false;  // a pipe or a device: there is no disk to reach
        LOG_WARNING << "Audit trail " << path_ << " cannot be synced: " << std::strerror(errno);
        return;
    }
    failedSyncs_.fetch_add(1);
    LOG_ERROR << "Audit trail " << path_
              << ": written lines may not be on the disk: " << std::strerror(errno);
}

}  // namespace Mux::Audit
