#include "diagnostics/Logger.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string_view>
#include <thread>
#include <utility>

namespace Diagnostics {
namespace {

// The maximum severity; none (0) until the logger exists, so nothing is written before.
std::atomic<int> maxLoggedSeverity{none};

// Set by WriteLogDirectly: statements bypass the buffers and the writer threads.
std::atomic<bool> directWrites{false};
// Taken around appending one line to both outputs, so that they hold the same order.
std::mutex appendOrder;

std::atomic<uint64_t> droppedLines{0};

// On the fatal-signal path, how long an output's lock is waited for, once, and the pause
// between two tries.
constexpr std::chrono::milliseconds kOutputLockWait{2000};
constexpr std::chrono::milliseconds kOutputLockRetry{1};

// Tries the lock until kOutputLockWait passes; pausing between tries is safe in a signal
// handler.
bool LockInTime(std::unique_lock<std::mutex>& lock) {
    for (auto waited = std::chrono::milliseconds::zero(); !lock.try_lock();
         waited += kOutputLockRetry) {
        if (waited >= kOutputLockWait) {
            return false;
        }
        std::this_thread::sleep_for(kOutputLockRetry);
    }
    return true;
}

// Writes text whole, or as much as fd takes before an error; the bytes written (errno tells
// why when fewer).
size_t WriteAll(int fd, std::string_view text) {
    const size_t size = text.size();
    while (!text.empty()) {
        ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            break;
        }
        text.remove_prefix(static_cast<size_t>(written));
    }
    return size - text.size();
}

// Writes whole lines for as long as fd takes them without waiting: a pipe that polls
// writable has room for PIPE_BUF bytes, so lines go out in pieces of at most that size
// (a longer line whole). What a stalled reader does not take is left out.
void WriteWithoutWaiting(int fd, std::string_view text) {
    while (!text.empty()) {
        pollfd ready{fd, POLLOUT, 0};
        if (::poll(&ready, 1, 0) != 1 || (ready.revents & POLLOUT) == 0) {
            return;
        }
        size_t end = text.rfind('\n', PIPE_BUF - 1);
        if (end == std::string_view::npos) {
            end = text.find('\n');
        }
        size_t length = end == std::string_view::npos ? text.size() : end + 1;
        WriteAll(fd, text.substr(0, length));
        text.remove_prefix(length);
    }
}

const char* ColourOf(Severity severity) {
    switch (severity) {
        case fatal:
            return "\x1B[97m\x1B[41m";
        case error:
            return "\x1B[91m";
        case warning:
            return "\x1B[93m";
        case debug:
        case verbose:
            return "\x1B[96m";
        default:
            return "";
    }
}

std::string Coloured(Severity severity, const std::string& line) {
    std::string coloured = ColourOf(severity);
    coloured.append(line, 0, line.size() - 1);
    coloured += "\x1B[0m\x1B[0K\n";
    return coloured;
}

class Output;
Output& Console();

// One output: a bounded buffer that any thread appends to, and a writer thread of its
// own that drains it. queueMutex_ guards the buffer and is held only to append or take
// it, never across a write; writeMutex_ is held by whoever writes to the descriptor (the
// writer thread, or a thread on the fatal-signal path) and is taken before queueMutex_.
//
// The writer sleeps on a timer that the appending threads set: the first line into an
// empty buffer sets it kGatherTime ahead, a full gathering or a flush to now. A request
// logs a burst of lines from several threads, and the writer wakes once for all of them,
// with one write; nobody wakes it just to start the wait.
class Output {
public:
    // Standard output.
    explicit Output(int fd) : fd_(fd) { Start(); }
    // A file, opened at its first line.
    explicit Output(std::string path) : path_(std::move(path)) { Start(); }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    void UseColours() { colours_.store(true); }

    // A log line, coloured when this output uses colours.
    void Write(Severity severity, const std::string& line) {
        if (colours_.load()) {
            Append(Coloured(severity, line));
        } else {
            Append(line);
        }
    }

    // Queues text whole, or drops it when the buffer has no room for it. Never waits for
    // a write.
    void Append(std::string_view text) {
        if (directWrites.load()) {
            WriteDirectly(text);
            return;
        }
        std::lock_guard<std::mutex> lock(queueMutex_);
        const size_t before = queue_.size();
        if (before + writing_ + text.size() <= kLogBufferBytes) {
            queue_ += text;
        } else {
            ++unreported_;
            droppedLines.fetch_add(1);
        }
        if (before < kGatherBytes && queue_.size() >= kGatherBytes) {
            WakeWriterIn(std::chrono::nanoseconds::zero());
        } else if (before == 0) {
            WakeWriterIn(flushWaiters_ > 0 ? std::chrono::nanoseconds::zero() : kGatherTime);
        }
    }

    bool WaitUntilWritten(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock<std::mutex> lock(queueMutex_);
        ++flushWaiters_;
        WakeWriterIn(std::chrono::nanoseconds::zero());
        bool written = written_.wait_until(
            lock, deadline, [this] { return queue_.empty() && writing_ == 0 && unreported_ == 0; });
        --flushWaiters_;
        return written;
    }

    // A formatted line like Write, but straight to the descriptor and without allocating:
    // a coloured line is put together on the stack (one too long for that goes uncoloured).
    void WriteLineDirectly(Severity severity, std::string_view line) {
        char coloured[kDirectLineBytes];
        std::string_view colour = ColourOf(severity);
        constexpr std::string_view reset = "\x1B[0m\x1B[0K\n";
        if (colours_.load() && !line.empty() &&
            colour.size() + line.size() - 1 + reset.size() <= sizeof coloured) {
            char* end = std::copy(colour.begin(), colour.end(), coloured);
            end = std::copy(line.begin(), line.end() - 1, end);
            end = std::copy(reset.begin(), reset.end(), end);
            WriteDirectly(std::string_view(coloured, static_cast<size_t>(end - coloured)));
        } else {
            WriteDirectly(line);
        }
    }

    // What is still queued, then text, straight to the descriptor on the calling thread.
    void WriteDirectly(std::string_view text) {
        std::unique_lock<std::mutex> writing(writeMutex_, std::defer_lock);
        std::unique_lock<std::mutex> queued(queueMutex_, std::defer_lock);
        if (!stalled_.load() && !(LockInTime(writing) && LockInTime(queued))) {
            stalled_.store(true);
        }
        int fd = Descriptor();
        if (queued.owns_lock()) {
            WriteWithoutWaiting(fd, queue_);
            queue_.clear();
        }
        WriteWithoutWaiting(fd, text);
    }

private:
    int Descriptor() {
        if (fd_.load() == kNotOpened) {
            fd_.store(::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
        }
        return fd_.load();
    }

    void Start() {
        timer_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
        if (timer_ == -1) {
            std::perror("log writer timer");
            std::abort();  // at start-up, before any other thread: nothing could be logged
        }
        std::thread(&Output::WriterThreadProc, this).detach();
    }

    // Sets the writer's timer; under queueMutex_, so that settings keep their order.
    void WakeWriterIn(std::chrono::nanoseconds delay) {
        // An all-zero time would stop the timer instead: "now" is one nanosecond.
        delay = std::max(delay, std::chrono::nanoseconds(1));
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(delay);
        itimerspec when{};
        when.it_value.tv_sec = static_cast<time_t>(seconds.count());
        when.it_value.tv_nsec = static_cast<long>((delay - seconds).count());
        ::timerfd_settime(timer_, 0, &when, nullptr);
    }

    void WriterThreadProc() {
        pthread_setname_np(pthread_self(), path_.empty() ? "log-console" : "log-file");
        std::string batch;
        for (;;) {
            uint64_t expirations;
            if (::read(timer_, &expirations, sizeof expirations) < 0 && errno != EINTR) {
                std::perror("log writer timer");
                return;
            }
            std::lock_guard<std::mutex> writing(writeMutex_);
            uint64_t dropped;
            {
                std::lock_guard<std::mutex> lock(queueMutex_);
                batch.swap(queue_);
                writing_ = batch.size();
                dropped = std::exchange(unreported_, 0);
            }
            if (dropped > 0 && IsLogged(warning)) {
                std::string report =
                    FormatLine(warning, __PRETTY_FUNCTION__, __LINE__,
                               std::to_string(dropped) +
                                   " log lines dropped: the log output could not keep up.");
                batch += colours_.load() ? Coloured(warning, report) : report;
            }
            if (path_.empty()) {
                WriteAll(Descriptor(), batch);
            } else {
                WriteToFile(batch);
            }
            // A stalled reader leaves megabytes behind; a process that runs for months keeps
            // no more than a gathering's worth once it has caught up.
            batch.clear();
            if (batch.capacity() > 2 * kGatherBytes) {
                batch.shrink_to_fit();  // assigning an empty string would keep the buffer
            }
            {
                std::lock_guard<std::mutex> lock(queueMutex_);
                writing_ = 0;
            }
            written_.notify_all();
        }
    }

    // The file output's write. Lines a failed write (a full disk, say) could not take are
    // counted, the console is told once when such an episode starts, and the first write
    // that succeeds again begins with one line saying how many were lost; a line the
    // failure cut short is ended first, so the file keeps whole lines.
    void WriteToFile(const std::string& batch) {
        if (lostLines_ > 0) {
            std::string report = cutShort_ ? "\n" : "";
            report += FormatLine(warning, __PRETTY_FUNCTION__, __LINE__,
                                 std::to_string(lostLines_) +
                                     " log lines lost: the log file could not be written: " +
                                     std::strerror(lostErrno_) + ".");
            const size_t written = WriteAll(Descriptor(), report);
            if (written < report.size()) {
                // Still failing: the batch is not tried, and its lines join the lost ones.
                lostErrno_ = errno;
                cutShort_ = written == 0 ? cutShort_ : report[written - 1] != '\n';
                lostLines_ += static_cast<uint64_t>(std::count(batch.begin(), batch.end(), '\n'));
                return;
            }
            lostLines_ = 0;
            cutShort_ = false;
        }
        const size_t written = WriteAll(Descriptor(), batch);
        if (written < batch.size()) {
            const bool startsEpisode = lostLines_ == 0;
            Lost(std::string_view(batch).substr(written),
                 written > 0 && batch[written - 1] != '\n');
            if (startsEpisode) {
                Console().Append(FormatLine(error, __PRETTY_FUNCTION__, __LINE__,
                                            "The log file " + path_ +
                                                " cannot be written: " + std::strerror(lostErrno_) +
                                                "; its lines are lost until it can."));
            }
        }
    }

    // Counts the lines of what a write left out (a line cut short counts once).
    void Lost(std::string_view rest, bool cutShort) {
        lostErrno_ = errno;
        lostLines_ += static_cast<uint64_t>(std::count(rest.begin(), rest.end(), '\n'));
        cutShort_ = cutShort;
    }

    static constexpr int kNotOpened = -2;
    // How long the writer gathers lines after the first one, and how many bytes end the
    // gathering early.
    static constexpr std::chrono::milliseconds kGatherTime{5};
    static constexpr size_t kGatherBytes = 64 * 1024;
    static constexpr size_t kDirectLineBytes = 4096;

    std::string path_;
    std::atomic<int> fd_{kNotOpened};
    std::atomic<bool> colours_{false};
    // Set on the fatal-signal path once a lock did not come in time: not waited for again.
    std::atomic<bool> stalled_{false};
    int timer_ = -1;  // the writer's wake-up
    std::mutex writeMutex_;
    std::mutex queueMutex_;
    std::condition_variable written_;  // a batch was written
    std::string queue_;
    size_t writing_ = 0;       // bytes the writer took and has not finished writing
    int flushWaiters_ = 0;     // threads in WaitUntilWritten: write at once
    uint64_t unreported_ = 0;  // lines dropped since the last report
    // The writer thread's own: lines a failed file write lost since the last report, the
    // error, and whether the file ends in a line cut short.
    uint64_t lostLines_ = 0;
    int lostErrno_ = 0;
    bool cutShort_ = false;
};

// Created once and never destroyed: threads may log until the process ends.
Output* fileOutput = nullptr;
Output& Console() {
    static Output* const console = new Output(STDOUT_FILENO);
    return *console;
}

// After main returns, the core's threads have ended; static destructors may still log.
void FlushLogAtExit() {
    FlushLog(kLogFlushAtExit);
}

}  // namespace

const char* SeverityName(Severity severity) noexcept {
    switch (severity) {
        case fatal:
            return "FATAL";
        case error:
            return "ERROR";
        case warning:
            return "WARN";
        case info:
            return "INFO";
        case debug:
            return "DEBUG";
        case verbose:
            return "VERB";
        default:
            return "NONE";
    }
}

bool IsLogged(Severity severity) noexcept {
    return static_cast<int>(severity) <= maxLoggedSeverity.load(std::memory_order_relaxed);
}

std::string_view FunctionNameView(const char* prettyFunction) {
    const char* begin = prettyFunction;
    const char* end = std::strchr(begin, '(');
    if (end == nullptr) {
        return prettyFunction;
    }
    for (const char* i = end - 1; i >= begin; --i) {
        if (*i == ' ') {
            begin = i + 1;
            break;
        }
    }
    return std::string_view(begin, static_cast<size_t>(end - begin));
}

namespace {

// The local date and time of a second, "YYYY-MM-DD HH:MM:SS": formatted once per second
// on each thread that logs, since every line of that second starts with it.
std::string_view DateTimeOf(std::time_t second) {
    struct Cached {
        std::time_t second = -1;
        char text[40];
        size_t length = 0;
    };
    thread_local Cached cached;
    if (cached.second != second) {
        std::tm local{};
        ::localtime_r(&second, &local);
        int length = std::snprintf(cached.text, sizeof cached.text, "%d-%02d-%02d %02d:%02d:%02d",
                                   local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                   local.tm_hour, local.tm_min, local.tm_sec);
        cached.length =
            length > 0 ? std::min(static_cast<size_t>(length), sizeof cached.text - 1) : 0;
        cached.second = second;
    }
    return std::string_view(cached.text, cached.length);
}

// The calling thread's system id, asked for once per thread.
long ThreadId() {
    thread_local const long id = static_cast<long>(::syscall(SYS_gettid));
    return id;
}

void AppendNumber(std::string& text, long number) {
    char digits[24];
    text.append(digits, std::to_chars(digits, digits + sizeof digits, number).ptr);
}

}  // namespace

std::string FunctionName(const char* prettyFunction) {
    return std::string(FunctionNameView(prettyFunction));
}

std::string FormatLine(Severity severity, const char* prettyFunction, int line,
                       const std::string& message) {
    timeval now{};
    ::gettimeofday(&now, nullptr);
    const std::string_view function = FunctionNameView(prettyFunction);
    std::string text;
    text.reserve(64 + function.size() + message.size());
    text += DateTimeOf(now.tv_sec);
    const int milliseconds = static_cast<int>(now.tv_usec / 1000);
    text += '.';
    text += static_cast<char>('0' + milliseconds / 100);
    text += static_cast<char>('0' + milliseconds / 10 % 10);
    text += static_cast<char>('0' + milliseconds % 10);
    text += ' ';
    // The severity word, padded to five characters.
    const std::string_view name = SeverityName(severity);
    text += name;
    text.append(name.size() < 5 ? 5 - name.size() : 0, ' ');
    text += " [";
    AppendNumber(text, ThreadId());
    text += "] [";
    text += function;
    text += '@';
    AppendNumber(text, line);
    text += "] ";
    text += message;
    text += '\n';
    return text;
}

Record::~Record() {
    std::string line = FormatLine(severity_, function_, line_, message_);
    // Both outputs get the lines of all threads in one order. The crash path takes no
    // lock: the thread that crashed may hold it.
    std::unique_lock<std::mutex> order(appendOrder, std::defer_lock);
    if (!directWrites.load()) {
        order.lock();
    }
    if (fileOutput != nullptr) {
        fileOutput->Write(severity_, line);
    }
    Console().Write(severity_, line);
}

void WriteToStandardOutput(std::string_view text) {
    Console().Append(text);
}

bool FlushLog(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    bool fileWritten = fileOutput == nullptr || fileOutput->WaitUntilWritten(deadline);
    return Console().WaitUntilWritten(deadline) && fileWritten;
}

void FlushLogForExit() {
    // Taken and never given back: appending stops here for every other thread. The crash
    // path appends without it.
    std::unique_lock<std::mutex> order(appendOrder, std::defer_lock);
    if (LockInTime(order)) {
        order.release();
    }
    FlushLog(kLogFlushAtExit);
}

uint64_t DroppedLogLines() {
    return droppedLines.load();
}

void WriteLogDirectly() {
    directWrites.store(true);
}

void WriteLineDirectly(Severity severity, std::string_view line) {
    if (fileOutput == nullptr) {
        return;
    }
    fileOutput->WriteLineDirectly(severity, line);
    Console().WriteLineDirectly(severity, line);
}

void InitLogger(Severity maxSeverity, std::string& logFile, bool colours) {
    if (fileOutput != nullptr) {
        return;
    }
    fileOutput = new Output(logFile);
    Output& console = Console();  // made now: the fatal-signal path must not allocate it
    if (colours && ::isatty(STDOUT_FILENO) == 1) {
        console.UseColours();
    }
    std::atexit(FlushLogAtExit);
    maxLoggedSeverity.store(maxSeverity);
    LOG_DEBUG << "Logging initialized.";
}

}  // namespace Diagnostics
