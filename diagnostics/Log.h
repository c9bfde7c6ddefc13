#pragma once
// The log statement convention: LOG_INFO << "text" << value;
// A statement whose severity is above the logger's maximum (or written before the
// logger exists) costs one load and one comparison: its message is never built.

#include <charconv>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>

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

    // Texts, characters and integers are appended as an output stream would write them,
    // without one; anything else goes through a stream of its own.
    template <class T>
    Record& operator<<(const T& value) {
        if constexpr (std::is_same_v<T, const char*> || std::is_same_v<T, char*>) {
            if (value != nullptr) {
                message_ += value;
            }
        } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
            message_ += std::string_view(value);
        } else if constexpr (std::is_same_v<T, char> || std::is_same_v<T, signed char> ||
                             std::is_same_v<T, unsigned char>) {
            message_ += static_cast<char>(value);
        } else if constexpr (std::is_same_v<T, bool>) {
            message_ += value ? '1' : '0';
        } else if constexpr (std::is_integral_v<T>) {
            char digits[24];
            message_.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
        } else {
            std::ostringstream stream;
            stream << value;
            message_ += stream.str();
        }
        return *this;
    }

private:
    Severity severity_;
    const char* function_;
    int line_;
    std::string message_;
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
