#include "diagnostics/FaultHandling.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <sstream>
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

std::string& programPath() {
    static std::string* const path = new std::string();
    return *path;
}

std::mutex stopHookMutex;
std::function<void()>& stopHook() {
    static std::function<void()>* const hook = new std::function<void()>();
    return *hook;
}

std::atomic<int> processExitCode{0};

// SIGQUIT and SIGHUP travel from the handler to the signal thread through this pipe.
int signalPipe[2] = {-1, -1};

// Queued log lines go out first, unless their output stalls past the flush time.
void EndProcess(int status) {
    FlushLog(kLogFlushAtExit);
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
    if (signal == SIGHUP || signal == SIGKILL) {
        LOG_WARNING << "Kill signal received. Terminating mux.";
        EndProcess(kFatalExitStatus);
    }
    if (signal == SIGQUIT) {
        LOG_INFO << "Termination signal received. Closing Mux.";
        EndProcess(0);
    }
}

void SignalThreadProc() {
    for (;;) {
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
    for (int signal : {SIGQUIT, SIGHUP, SIGKILL, SIGABRT, SIGSEGV, SIGBUS}) {
        sigaddset(&action.sa_mask, signal);
        ::sigaction(signal, &action, nullptr);
    }
}

void SignalHandler(int signal) {
    switch (signal) {
        case SIGABRT:
        case SIGBUS:
        case SIGSEGV:
            // The writer threads may be what crashed, or hold a lock: write the lines here.
            WriteLogDirectly();
            ::signal(SIGALRM, FatalWatchdog);
            ::alarm(kFatalHandlerLimitSeconds);
            LOG_ERROR << "Received aborting or error signal. Try to save a dump file. Closing "
                         "the Mux process.";
            SaveDumpFile();
            PrintBacktrace();
            ::_exit(kFatalExitStatus);
        case SIGHUP:
        case SIGKILL:
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
    std::string path = programPath();
    std::string::size_type slash = path.find_last_of('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string command = "gcore -o " + name + ".dump " + std::to_string(::getpid());
    LOG_VERBOSE << "Running gcore for save current core dump."
                << "\n"
                << "Command line: " << command;
    int ignored = std::system(command.c_str());
    (void)ignored;
}

void PrintBacktrace() {
    LOG_ERROR << "Obtaining stack trace for current SIG.";
    void* frames[kMaxBacktraceFrames];
    int count = ::backtrace(frames, kMaxBacktraceFrames);
    if (count == kMaxBacktraceFrames) {
        LOG_ERROR << "Backtrace may have been truncated to current max value of "
                  << kMaxBacktraceFrames;
    }
    char** symbols = ::backtrace_symbols(frames, count);
    if (symbols != nullptr) {
        LOG_ERROR << "Backtrace (frames) with symbols starts here";
        for (int i = 0; i < count; ++i) {
            LOG_ERROR << " " << (symbols[i] != nullptr ? symbols[i] : "<NULL>") << "\n";
        }
        LOG_ERROR << "Backtrace (frames) ends here";
        std::free(symbols);
        return;
    }
    LOG_ERROR << "Backtrace symbols are not available";
    LOG_ERROR << "Backtrace (frames) starts here";
    std::ostringstream addresses;
    for (int i = 0; i < count; ++i) {
        addresses << " " << frames[i] << "\n";
    }
    LOG_ERROR << addresses.str();
    LOG_ERROR << "Backtrace (frames) ends here";
}

}  // namespace Diagnostics
