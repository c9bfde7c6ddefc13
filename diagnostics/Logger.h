#pragma once
// The process-wide logger: a file output and one console output, set up once.

#include <string>
#include <string_view>

#include "diagnostics/Log.h"

namespace Diagnostics {

// Sets up the logger once: the file output on logFile (opened at the first statement,
// appended to, never rolled) and the console output on standard output (coloured only
// when colours is true and standard output is a terminal). Then arms the error guard.
// Call once, before any other thread exists.
void InitDiagnostics(Severity maxSeverity, std::string& logFile, bool colours);

// Writes text to standard output whole, serialised with the console log output,
// so that it never splits a log line.
void WriteToStandardOutput(std::string_view text);

// The function name a log line shows: the text after the last blank that precedes
// the first "(" of the pretty-function text, up to that "(".
std::string FunctionName(const char* prettyFunction);

// Formats one whole log line, newline included, for the calling thread at the current time.
std::string FormatLine(Severity severity, const char* prettyFunction, int line,
                       const std::string& message);

}  // namespace Diagnostics
