#include "diagnostics/FaultHandling.h"

#include <execinfo.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string_view>
#include <thread>

#include "diagnostics/ErrorGuard.h"
#include "diagnostics/Log.h"
#include "diagnostics/Logger.h"

namespace Diagnostics {
namespace {

constexpr int kMaxBacktraceFrames = 500;
// A fatal-signal handler that cannot finish (a crash inside the allocator or a hung
// gcore) still ends the process with the fatal status after this many seconds.
constexpr unsigned kFatalHandlerLimitSeconds = 60;
constexpr int kFatalExitStatus = 255;
// How often the signal thread renews the local time's offset for the crash lines.
constexpr int kLocalOffsetRefreshMs = 60 * 1000;
// The longest crash line; the longer rest of one is cut off. The frame addresses of a
// back-trace without symbols share one line: 500 of at most 20 bytes each.
constexpr size_t kCrashLineBytes = 16 * 1024;
constexpr size_t kSymbolBytes = 4096;

std::string& programPath() {
    static std::string* const path = new std::string();
    return *path;
}

// Guards the hooks.
std::mutex stopHookMutex;
std::function<void()>& stopHook() {
    static std::function<void()>* const hook = new std::function<void()>();
    return *hook;
}
std::function<void()>& exitHook() {
    static std::function<void()>* const hook = new std::function<void()>();
    return *hook;
}
std::function<void()>& reloadHook() {
    static std::function<void()>* const hook = new std::function<void()>();
    return *hook;
}

std::atomic<int> processExitCode{0};

// SIGQUIT and SIGHUP travel from the handler to the signal thread through this pipe.
int signalPipe[2] = {-1, -1};

// What the fatal-signal path needs, made when the handlers are installed, so that the
// handler allocates nothing: the dump command and the shell's arguments for it, and a pipe
// through which backtrace_symbols_fd hands over one frame's text at a time (backtrace_symbols
// would allocate the texts).
struct FatalPath {
    std::string dumpCommand;  // gcore -o lockhub.dump 812
    std::array<char*, 4> shellArguments{};
    int symbolPipe[2] = {-1, -1};
};
std::atomic<const FatalPath*> fatalPath{nullptr};

// Set by the first thread that takes the fatal path; a second one waits for the end.
std::atomic<bool> crashing{false};

// The local time's offset from UTC in seconds. Finding it takes the C library's time zone
// lock, which the crashed thread may hold, so the crash lines use the one found last.
std::atomic<long> localOffsetSeconds{0};

void RefreshLocalOffset() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    if (::localtime_r(&now, &local) != nullptr) {
        localOffsetSeconds.store(local.tm_gmtoff);
    }
}

// One log line of the fatal path, in the logger's line format, put together in a fixed
// buffer and written directly when the statement ends. Allocates nothing. Only the thread
// that handles the crash writes these lines, one at a time.
class CrashLine {
public:
    CrashLine(Severity severity, const char* prettyFunction, int line)
        : severity_(severity), logged_(IsLogged(severity)) {
        if (!logged_) {
            return;
        }
        using namespace std::chrono;
        auto now = system_clock::now() + seconds(localOffsetSeconds.load());
        auto day = floor<days>(now);
        year_month_day date(day);
        hh_mm_ss timeOfDay(floor<milliseconds>(now - day));
        std::string_view severityName = SeverityName(severity);
        Number(static_cast<int>(date.year()), 4) << "-";
        Number(static_cast<unsigned>(date.month()), 2) << "-";
        Number(static_cast<unsigned>(date.day()), 2) << " ";
        Number(timeOfDay.hours().count(), 2) << ":";
        Number(timeOfDay.minutes().count(), 2) << ":";
        Number(timeOfDay.seconds().count(), 2) << ".";
        Number(timeOfDay.subseconds().count(), 3) << " " << severityName;
        *this << std::string_view("     ", 5 - std::min<size_t>(severityName.size(), 5)) << " [";
        Number(::gettid(), 1) << "] [" << FunctionNameView(prettyFunction) << "@";
        Number(line, 1) << "] ";
    }
    CrashLine(const CrashLine&) = delete;
    CrashLine& operator=(const CrashLine&) = delete;
    ~CrashLine() {
        if (logged_) {
            text_[length_++] = '\n';  // room for it is always kept
            WriteLineDirectly(severity_, std::string_view(text_, length_));
        }
    }

    CrashLine& operator<<(std::string_view text) {
        if (logged_) {
            size_t taken = std::min(text.size(), sizeof text_ - 1 - length_);
            text.copy(text_ + length_, taken);
            length_ += taken;
        }
        return *this;
    }
    CrashLine& operator<<(int value) { return Number(value, 1); }
    // A pointer as 0x and its hexadecimal digits.
    CrashLine& Address(const void* pointer) {
        char digits[2 * sizeof(uintptr_t)];
        size_t count = 0;
        for (auto value = reinterpret_cast<uintptr_t>(pointer); count == 0 || value != 0;
             value /= 16) {
            digits[count++] = "0123456789abcdef"[value % 16];
        }
        *this << "0x";
        while (count > 0) {
            *this << std::string_view(&digits[--count], 1);
        }
        return *this;
    }

private:
    // A decimal number with leading zeros up to width digits.
    CrashLine& Number(long long value, size_t width) {
        char digits[24];
        size_t count = 0;
        unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                                 : static_cast<unsigned long long>(value);
        for (; count < width || magnitude != 0 || count == 0; magnitude /= 10) {
            digits[count++] = static_cast<char>('0' + magnitude % 10);
        }
        if (value < 0) {
            *this << "-";
        }
        while (count > 0) {
            *this << std::string_view(&digits[--count], 1);
        }
        return *this;
    }

    // Shared by every crash line: a line never allocates, and the stack of a crashed thread
    // may be nearly used up.
    static char text_[kCrashLineBytes];
    Severity severity_;
    bool logged_;
    size_t length_ = 0;
};
char CrashLine::text_[kCrashLineBytes];

// What system(command) does, from calls that are safe in a signal handler: the shell in a
// child process (_Fork runs no fork handlers and takes no allocator lock) with the signal
// mask cleared, and the wait for it. Returns the wait status, -1 when it could not be had.
int RunShell(const FatalPath& path) {
    pid_t child = ::_Fork();
    if (child == 0) {
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execve("/bin/sh", path.shellArguments.data(), environ);
        ::_exit(127);
    }
    int status = -1;
    while (child > 0 && ::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return child > 0 ? status : -1;
}

// The text backtrace_symbols gives a frame, without its newline; empty when there is none.
std::string_view FrameText(const FatalPath& path, void* frame) {
    static char text[kSymbolBytes];
    ::backtrace_symbols_fd(&frame, 1, path.symbolPipe[1]);
    ssize_t got = ::read(path.symbolPipe[0], text, sizeof text);
    // A text longer than the buffer: the rest is dropped, so the next frame starts clean.
    for (char rest[256]; got == static_cast<ssize_t>(sizeof text) &&
                         ::read(path.symbolPipe[0], rest, sizeof rest) > 0;) {
    }
    size_t length = got > 0 ? static_cast<size_t>(got) : 0;
    if (length > 0 && text[length - 1] == '\n') {
        --length;
    }
    return std::string_view(text, length);
}

void PrepareFatalPath() {
    auto* path = new FatalPath();
    std::string program = programPath();
    std::string::size_type slash = program.find_last_of('/');
    std::string name = slash == std::string::npos ? program : program.substr(slash + 1);
    path->dumpCommand = "gcore -o " + name + ".dump " + std::to_string(::getpid());
    static char shell[] = "sh";
    static char option[] = "-c";
    path->shellArguments = {shell, option, path->dumpCommand.data(), nullptr};
    if (::pipe2(path->symbolPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        path->symbolPipe[0] = path->symbolPipe[1] = -1;
    }
    // The first back-trace loads the unwinder, which allocates: done here, not in a crash.
    void* frame = nullptr;
    ::backtrace(&frame, 1);
    RefreshLocalOffset();
    fatalPath.store(path);
}

// The exit hook's records and the queued log lines go out first, unless the log's output
// stalls past the flush time.
void EndProcess(int status) {
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> lock(stopHookMutex);
        hook = exitHook();
    }
    if (hook) {
        hook();
    }
    FlushLogForExit();
    std::fflush(nullptr);
    ::_exit(status);
}

void StopCore() {
    std::function<void()> stop;
    {
        std::lock_guard<std::mutex> lock(stopHookMutex);
        stop = stopHook();
    }
    if (stop) {
        stop();
    }
}

void HandleTerminationSignal(int signal) {
    if (signal == SIGUSR1) {
        std::function<void()> reload;
        {
            std::lock_guard<std::mutex> lock(stopHookMutex);
            reload = reloadHook();
        }
        LOG_INFO << "Reload signal received. Rereading the configuration.";
        if (reload) {
            reload();
        }
        return;
    }
    if (signal == SIGHUP || signal == SIGKILL) {
        LOG_WARNING << "Kill signal received. Terminating mux.";
        EndProcess(kFatalExitStatus);
    }
    // SIGTERM is what service managers send to stop a service: the same orderly end.
    if (signal == SIGQUIT || signal == SIGTERM) {
        LOG_INFO << "Termination signal received. Closing Mux.";
        EndProcess(0);
    }
}

// Carries SIGQUIT and SIGHUP out of the handler; between them it keeps the local time's
// offset current for the crash lines (a daylight-saving change).
void SignalThreadProc() {
    for (;;) {
        pollfd ready{signalPipe[0], POLLIN, 0};
        if (::poll(&ready, 1, kLocalOffsetRefreshMs) != 1) {
            RefreshLocalOffset();
            continue;
        }
        unsigned char number = 0;
        ssize_t got = ::read(signalPipe[0], &number, 1);
        if (got == 1) {
            HandleTerminationSignal(number);
        } else if (got == 0) {
            return;
        }
    }
}

void FatalWatchdog(int) {
    ::_exit(kFatalExitStatus);
}

}  // namespace

void SetProgramPath(const std::string& path) {
    programPath() = path;
}

void SetReloadHook(std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(stopHookMutex);
    reloadHook() = std::move(hook);
}

void SetExitHook(std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(stopHookMutex);
    exitHook() = std::move(hook);
}

void SetCoreStopHook(std::function<void()> stop) {
    std::lock_guard<std::mutex> lock(stopHookMutex);
    stopHook() = std::move(stop);
}

int GetProcessExitCode() {
    return processExitCode.load();
}

void ArmErrorGuard() {
    ErrorGuard& guard = ErrorGuard::GetInstance();
    guard.SetCommonErrorThreshold(kCommonErrorThreshold, ErrorThresholdReached);
    guard.SetCriticalErrorThreshold(kCriticalErrorThreshold, CriticalErrorThresholdReached);
}

void ErrorThresholdReached() {
    LOG_ERROR << "Exit for common errors.";
    StopCore();
    processExitCode.store(1);
}

void CriticalErrorThresholdReached() {
    LOG_ERROR << "Exit for critical errors.";
    StopCore();
    processExitCode.store(1);
    EndProcess(1);
}

void IgnoreBrokenPipes() {
    ::signal(SIGPIPE, SIG_IGN);
}

void RegisterSignalHandlers() {
    if (fatalPath.load() == nullptr) {
        PrepareFatalPath();
    }
    if (signalPipe[0] < 0) {
        if (::pipe2(signalPipe, O_CLOEXEC) != 0) {
            signalPipe[0] = signalPipe[1] = -1;
        } else {
            std::thread(SignalThreadProc).detach();
        }
    }
    // One action record whose blocked set grows as each signal is added.
    struct sigaction action {};
    action.sa_handler = SignalHandler;
    action.sa_flags = 0;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGQUIT, SIGTERM, SIGHUP, SIGUSR1, SIGKILL, SIGABRT, SIGSEGV, SIGBUS}) {
        sigaddset(&action.sa_mask, signal);
        ::sigaction(signal, &action, nullptr);
    }
}

void SignalHandler(int signal) {
    switch (signal) {
        case SIGABRT:
        case SIGBUS:
        case SIGSEGV:
            // Another thread crashed as well: its lines and dump are being written.
            if (crashing.exchange(true)) {
                for (;;) {
                    ::pause();
                }
            }
            // The writer threads may be what crashed, or hold a lock: write the lines here.
            WriteLogDirectly();
            ::signal(SIGALRM, FatalWatchdog);
            ::alarm(kFatalHandlerLimitSeconds);
            CrashLine(error, __PRETTY_FUNCTION__, __LINE__)
                << "Received aborting or error signal. Try to save a dump file. Closing the Mux "
                   "process.";
            SaveDumpFile();
            PrintBacktrace();
            ::_exit(kFatalExitStatus);
        case SIGHUP:
        case SIGKILL:
        case SIGTERM:
        case SIGUSR1:
        case SIGQUIT: {
            // Logging and exiting are not safe inside a handler: the signal thread does them.
            unsigned char number = static_cast<unsigned char>(signal);
            if (signalPipe[1] < 0 || ::write(signalPipe[1], &number, 1) != 1) {
                HandleTerminationSignal(signal);
            }
            return;
        }
        default:
            return;
    }
}

void SaveDumpFile() {
    PrintBacktrace();
    const FatalPath* path = fatalPath.load();
    if (path == nullptr) {
        return;
    }
    CrashLine(verbose, __PRETTY_FUNCTION__, __LINE__)
        << "Running gcore for save current core dump.\nCommand line: " << path->dumpCommand;
    // gcore needs to trace the process, which a system-call filter (as the service unit's)
    // or the kernel's ptrace policy may refuse: the log says the dump is missing.
    const int status = RunShell(*path);
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        CrashLine(error, __PRETTY_FUNCTION__, __LINE__)
            << "No core dump saved: gcore ended with status "
            << (status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1) << ".";
    }
}

void PrintBacktrace() {
    CrashLine(error, __PRETTY_FUNCTION__, __LINE__) << "Obtaining stack trace for current SIG.";
    void* frames[kMaxBacktraceFrames];
    int count = ::backtrace(frames, kMaxBacktraceFrames);
    if (count == kMaxBacktraceFrames) {
        CrashLine(error, __PRETTY_FUNCTION__, __LINE__)
            << "Backtrace may have been truncated to current max value of " << kMaxBacktraceFrames;
    }
    const FatalPath* path = fatalPath.load();
    if (path != nullptr && path->symbolPipe[0] >= 0) {
        CrashLine(error, __PRETTY_FUNCTION__, __LINE__)
            << "Backtrace (frames) with symbols starts here";
        for (int i = 0; i < count; ++i) {
            std::string_view symbol = FrameText(*path, frames[i]);
            CrashLine(error, __PRETTY_FUNCTION__, __LINE__)
                << " " << (symbol.empty() ? "<NULL>" : symbol) << "\n";
        }
        CrashLine(error, __PRETTY_FUNCTION__, __LINE__) << "Backtrace (frames) ends here";
        return;
    }
    CrashLine(error, __PRETTY_FUNCTION__, __LINE__) << "Backtrace symbols are not available";
    CrashLine(error, __PRETTY_FUNCTION__, __LINE__) << "Backtrace (frames) starts here";
    {
        CrashLine addresses(error, __PRETTY_FUNCTION__, __LINE__);
        for (int i = 0; i < count; ++i) {
            addresses << " ";
            addresses.Address(frames[i]) << "\n";
        }
    }
    CrashLine(error, __PRETTY_FUNCTION__, __LINE__) << "Backtrace (frames) ends here";
}

}  // namespace Diagnostics
