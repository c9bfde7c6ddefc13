#pragma once
// The log of the protocol test program: one file, set up at the first use at verbose
// level, and a view of what was written to it from a given moment on.

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "diagnostics/Logger.h"
#include "tests/support/TestSupport.h"

namespace ProtocolTest {

inline const std::string& LogFile() {
    static TestSupport::TempDir folder;
    static std::string path = [] {
        std::string file = folder.File("protocol.log");
        Diagnostics::InitDiagnostics(Diagnostics::verbose, file, false);
        return file;
    }();
    return path;
}

class LogTail {
public:
    LogTail() : start_(TestSupport::ReadFile(LogFile()).size()) {}
    std::string Text() const { return TestSupport::ReadFile(LogFile()).substr(start_); }
    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        std::string text = Text();
        for (size_t begin = 0, end; begin < text.size(); begin = end + 1) {
            end = text.find('\n', begin);
            if (end == std::string::npos) {
                end = text.size();
            }
            lines.push_back(text.substr(begin, end - begin));
        }
        return lines;
    }
    // The message parts of the new lines (what follows the "[function@line] " head), each
    // with a line end.
    std::string Messages() const {
        std::string messages;
        for (const std::string& line : Lines()) {
            size_t head = line.find("] ", line.find("] ") + 2);
            messages += (head == std::string::npos ? line : line.substr(head + 2)) + "\n";
        }
        return messages;
    }

private:
    size_t start_;
};

// Standard output redirected into a file while the object lives.
class StandardOutputCapture {
public:
    StandardOutputCapture() : path_(folder_.File("stdout")) {
        std::fflush(stdout);
        saved_ = ::dup(STDOUT_FILENO);
        FILE* file = std::fopen(path_.c_str(), "w");
        ::dup2(::fileno(file), STDOUT_FILENO);
        std::fclose(file);
    }
    ~StandardOutputCapture() { Restore(); }
    // Ends the capture and returns what was written.
    std::string Finish() {
        Restore();
        return TestSupport::ReadFile(path_);
    }

private:
    void Restore() {
        if (saved_ != -1) {
            std::fflush(stdout);
            ::dup2(saved_, STDOUT_FILENO);
            ::close(saved_);
            saved_ = -1;
        }
    }

    TestSupport::TempDir folder_;
    std::string path_;
    int saved_ = -1;
};

}  // namespace ProtocolTest
