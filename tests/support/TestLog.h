#pragma once
// The log of a test program: one file of its own, every severity written. The logger is
// set up at the first call, which a test makes before it starts threads.

#include <string>
#include <vector>

namespace TestSupport {

// The path of the log file (sets the logger up at the first call).
const std::string& TestLogFile();
// Sets the logger up if needed.
void CaptureLog();
// Everything logged so far.
std::string CapturedLog();

// What the log got from the moment this object was made.
class LogTail {
public:
    LogTail();
    std::string Text() const;
    std::vector<std::string> Lines() const;
    // The message parts of the new lines (what follows the "[function@line] " head), each
    // with a line end.
    std::string Messages() const;
    // Waits, with a deadline, until the text was logged.
    bool WaitFor(const std::string& text) const;

private:
    size_t start_;
};

}  // namespace TestSupport
