#pragma once
// The process-wide logger: a file output and one console output (standard output), set up
// once.
//
// A statement never waits for an output. The thread that logs formats its line and
// appends it to each output's bounded buffer (holding that buffer's lock only to copy the
// line in), and each output has a writer thread of its own that drains its buffer, so a
// reader of standard output that falls behind holds up neither the file nor any thread
// that logs. A line that does not fit into a full buffer is dropped and counted; once the
// writer catches up, one warning line through that same output tells how many were lost.
// Each write carries whole lines only, in the order they were appended; several lines may
// share one write.
//
// Threads: InitLogger on the main thread before any other thread exists; statements,
// WriteToStandardOutput, FlushLog and DroppedLogLines from any thread. Only FlushLog
// blocks, up to its time-out. WriteLogDirectly is for the fatal-signal handler.
//
// Ownership: the outputs, their buffers, the log file descriptor and the writer threads are
// created once and live until the process ends, so threads may log until the very end.
// Queued lines reach the outputs before the process ends normally (main returns or exit is
// called: InitLogger registers a flush with atexit) and on the exits of the fault
// handling, which call FlushLogForExit; both wait at most kLogFlushAtExit.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "diagnostics/Log.h"

namespace Diagnostics {

// What an output may hold, queued and being written, before lines are dropped.
inline constexpr size_t kLogBufferBytes = 4 * 1024 * 1024;

// How long an exit waits for queued lines to be written.
inline constexpr std::chrono::milliseconds kLogFlushAtExit{2000};

// Sets up the logger once: the file output on logFile (opened at the first statement,
// appended to, never rolled) and the console output on standard output (coloured only
// when colours is true and standard output is a terminal). Call once, before any other
// thread exists; InitDiagnostics (diagnostics/Diagnostics.h) does, for the process.
void InitLogger(Severity maxSeverity, std::string& logFile, bool colours);

// Appends text to standard output whole, in order with the console's log lines, so that
// it never splits a log line.
void WriteToStandardOutput(std::string_view text);

// Waits until everything appended so far is written (the dropped-lines report included),
// or until timeout passes. True when nothing is left to write.
bool FlushLog(std::chrono::milliseconds timeout);

// FlushLog for an _exit that follows at once: from the call on, a thread that logs waits
// until the process ends, so the file and the console end with the same line. Never call
// it on a thread that logs afterwards.
void FlushLogForExit();

// Lines dropped so far, over both outputs, because their buffer was full.
uint64_t DroppedLogLines();

// From now on every statement writes its line on the calling thread, straight to the
// descriptors, after what is still queued there, and only as much as a descriptor takes
// without waiting: the writer threads may be what crashed, or hold a lock, and a stalled
// reader must not hold up the crash handling. A lock is waited for a few seconds at most;
// an output whose lock did not come in time is written without its locks from then on.
// Itself only sets a flag.
void WriteLogDirectly();

// Writes one whole formatted log line (newline included) the way statements write after
// WriteLogDirectly, coloured as they are, without allocating: for the fatal-signal handler,
// which formats its lines itself. Writes nothing before InitLogger.
void WriteLineDirectly(Severity severity, std::string_view line);

// The function name a log line shows: the text after the last blank that precedes
// the first "(" of the pretty-function text, up to that "(".
std::string FunctionName(const char* prettyFunction);
// The same as a view into prettyFunction: allocates nothing.
std::string_view FunctionNameView(const char* prettyFunction);

// Formats one whole log line, newline included, for the calling thread at the current time.
std::string FormatLine(Severity severity, const char* prettyFunction, int line,
                       const std::string& message);

}  // namespace Diagnostics
