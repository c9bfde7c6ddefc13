#pragma once
// Standard output of the protocol test program, captured while a test looks at it.

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "diagnostics/Logger.h"
#include "tests/support/TestSupport.h"

namespace ProtocolTest {

// Standard output redirected into a file while the object lives.
class StandardOutputCapture {
public:
    StandardOutputCapture() : path_(folder_.File("stdout")) {
        Diagnostics::FlushLog(std::chrono::seconds(10));
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
            Diagnostics::FlushLog(std::chrono::seconds(10));
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
