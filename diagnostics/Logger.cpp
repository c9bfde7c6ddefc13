#include "diagnostics/Logger.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <pthread.h>

#include "diagnostics/FaultHandling.h"

namespace Diagnostics {
namespace {

// The maximum severity; none (0) until the logger exists, so nothing is written before.
std::atomic<int> maxLoggedSeverity{none};

// A writer that stalls for this long (or a crash that interrupted a writer) does not
// keep other statements waiting: the line is then written without the lock.
constexpr std::chrono::seconds kOutputLockWait{2};

void WriteAll(int fd, std::string_view text) {
    while (!text.empty()) {
        ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        text.remove_prefix(static_cast<size_t>(written));
    }
}

// Serialises one output's writes; a lock that cannot be had in time is skipped.
class OutputMutex {
public:
    OutputMutex() { pthread_mutex_init(&mutex_, nullptr); }
    OutputMutex(const OutputMutex&) = delete;
    OutputMutex& operator=(const OutputMutex&) = delete;

    bool TryLockInTime() {
        timespec deadline{};
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += kOutputLockWait.count();
        return pthread_mutex_timedlock(&mutex_, &deadline) == 0;
    }
    void Unlock() { pthread_mutex_unlock(&mutex_); }

private:
    pthread_mutex_t mutex_;
};

class OutputLock {
public:
    explicit OutputLock(OutputMutex& mutex) : mutex_(mutex), locked_(mutex.TryLockInTime()) {}
    ~OutputLock() {
        if (locked_) {
            mutex_.Unlock();
        }
    }

private:
    OutputMutex& mutex_;
    bool locked_;
};

class FileOutput {
public:
    explicit FileOutput(std::string path) : path_(std::move(path)) {}

    // Opened at the first statement, as a rolling file appender with no rolled copies does.
    void Write(const std::string& line) {
        OutputLock lock(mutex_);
        if (!opened_) {
            opened_ = true;
            fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        }
        if (fd_ >= 0) {
            WriteAll(fd_, line);
        }
    }

private:
    std::string path_;
    OutputMutex mutex_;
    bool opened_ = false;
    int fd_ = -1;
};

class ConsoleOutput {
public:
    explicit ConsoleOutput(bool colours) : colours_(colours && ::isatty(STDOUT_FILENO) == 1) {}

    void Write(Severity severity, const std::string& line) {
        if (!colours_) {
            WriteText(line);
            return;
        }
        std::string coloured = ColourOf(severity);
        coloured += line.substr(0, line.size() - 1);
        coloured += "\x1B[0m\x1B[0K\n";
        WriteText(coloured);
    }

    void WriteText(std::string_view text) {
        OutputLock lock(mutex_);
        WriteAll(STDOUT_FILENO, text);
    }

private:
    static const char* ColourOf(Severity severity) {
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

    bool colours_;
    OutputMutex mutex_;
};

// Created once by InitDiagnostics and never destroyed: threads may log until the
// process ends.
FileOutput* fileOutput = nullptr;
ConsoleOutput* consoleOutput = nullptr;
ConsoleOutput* plainConsoleOutput() {
    static ConsoleOutput* const plain = new ConsoleOutput(false);
    return plain;
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

std::string FunctionName(const char* prettyFunction) {
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
    return std::string(begin, end);
}

std::string FormatLine(Severity severity, const char* prettyFunction, int line,
                       const std::string& message) {
    timeval now{};
    ::gettimeofday(&now, nullptr);
    std::tm local{};
    ::localtime_r(&now.tv_sec, &local);
    char head[96];
    std::snprintf(head, sizeof head, "%d-%02d-%02d %02d:%02d:%02d.%03d %-5s [%ld] [",
                  local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                  local.tm_min, local.tm_sec, static_cast<int>(now.tv_usec / 1000),
                  SeverityName(severity), static_cast<long>(::syscall(SYS_gettid)));
    std::string text = head;
    text += FunctionName(prettyFunction);
    text += '@';
    text += std::to_string(line);
    text += "] ";
    text += message;
    text += '\n';
    return text;
}

Record::~Record() {
    std::string line = FormatLine(severity_, function_, line_, stream_.str());
    if (fileOutput != nullptr) {
        fileOutput->Write(line);
    }
    if (consoleOutput != nullptr) {
        consoleOutput->Write(severity_, line);
    }
}

void WriteToStandardOutput(std::string_view text) {
    (consoleOutput != nullptr ? consoleOutput : plainConsoleOutput())->WriteText(text);
}

void InitDiagnostics(Severity maxSeverity, std::string& logFile, bool colours) {
    if (fileOutput != nullptr) {
        return;
    }
    fileOutput = new FileOutput(logFile);
    consoleOutput = colours ? new ConsoleOutput(true) : plainConsoleOutput();
    maxLoggedSeverity.store(maxSeverity);
    LOG_DEBUG << "Logging initialized.";
    ArmErrorGuard();
    LOG_DEBUG << "Error guard initialized.";
}

}  // namespace Diagnostics
