#pragma once
// The log statement convention: LOG_INFO << "text" << value;
// A statement whose severity is above the logger's maximum (or written before the
// logger exists) costs one load and one comparison: its message is never built.

#include <sstream>
#include <string>

namespace Diagnostics {

// plog's numbering: a statement is written when its number is at most the maximum.
enum Severity { none = 0, fatal = 1, error = 2, warning = 3, info = 4, debug = 5, verbose = 6 };

// The word a severity shows in a log line ("WARN", "VERB", ...).
const char* SeverityName(Severity severity) noexcept;

// True when a statement of this severity would be written now.
bool IsLogged(Severity severity) noexcept;

// One statement being built; it is written when the full expression ends.
// Built only on the thread that logs, before any output lock is taken.
class Record {
public:
    Record(Severity severity, const char* prettyFunction, int line)
        : severity_(severity), function_(prettyFunction), line_(line) {}
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;
    ~Record();

    template <class T>
    Record& operator<<(const T& value) {
        stream_ << value;
        return *this;
    }

private:
    Severity severity_;
    const char* function_;
    int line_;
    std::ostringstream stream_;
};

}  // namespace Diagnostics

#define LOCKHUB_LOG(severity)                 \
    if (!::Diagnostics::IsLogged(severity)) { \
    } else                                    \
        ::Diagnostics::Record(severity, __PRETTY_FUNCTION__, __LINE__)

#define LOG_FATAL LOCKHUB_LOG(::Diagnostics::fatal)
#define LOG_ERROR LOCKHUB_LOG(::Diagnostics::error)
#define LOG_WARNING LOCKHUB_LOG(::Diagnostics::warning)
#define LOG_INFO LOCKHUB_LOG(::Diagnostics::info)
#define LOG_DEBUG LOCKHUB_LOG(::Diagnostics::debug)
#define LOG_VERBOSE LOCKHUB_LOG(::Diagnostics::verbose)
