#pragma once
// What lockhub does when things go badly: signal handling, back-traces, core dumps
// through the external gcore tool, and the error-guard thresholds that end the process.

#include <functional>
#include <string>

namespace Diagnostics {

// Error-guard thresholds, armed by ArmErrorGuard.
inline constexpr unsigned kCommonErrorThreshold = 5000;
inline constexpr unsigned kCriticalErrorThreshold = 750;

// The program path (argv[0]); the core dump is named after its last component.
void SetProgramPath(const std::string& path);

// How the error thresholds stop the core. Set by the process start-up once the core
// exists; called from whichever thread reached a threshold.
void SetCoreStopHook(std::function<void()> stop);

// What SIGUSR1 asks for: rereading the configuration. Set by the process start-up; called
// by the signal thread, so it must return soon.
void SetReloadHook(std::function<void()> hook);

// What must reach the disk before an orderly exit on a signal (the audit trail). Set by
// the process start-up; called by the signal thread before it ends the process.
void SetExitHook(std::function<void()> hook);

// The exit status main returns: 0, or 1 once the common-error threshold was reached.
int GetProcessExitCode();

// Stores the thresholds and their handlers in the error guard.
void ArmErrorGuard();
void ErrorThresholdReached();
void CriticalErrorThresholdReached();

// A closed peer or a log reader that went away must make writes fail, not end the process.
void IgnoreBrokenPipes();

// Installs the handlers for SIGQUIT, SIGTERM, SIGHUP, SIGUSR1, SIGKILL (refused by the
// system), SIGABRT, SIGSEGV and SIGBUS. SIGUSR1 (the reload hook), SIGQUIT and SIGTERM
// (exit status 0) and SIGHUP are handed to a thread of their own, which logs and, but for
// SIGUSR1, ends the process once the queued log lines are written (FlushLogForExit); the fatal
// signals are handled in the thread that raised them, which writes its log lines directly
// (WriteLogDirectly). The critical-error exit also flushes the log first.
void RegisterSignalHandlers();
void SignalHandler(int signal);

// The parts of the fatal-signal path. They allocate nothing (what they need is made by
// RegisterSignalHandlers) and share one line buffer, so only one thread may run them.
void SaveDumpFile();
void PrintBacktrace();

}  // namespace Diagnostics
