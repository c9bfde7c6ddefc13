#include "tests/support/TestLog.h"

#include "diagnostics/Diagnostics.h"
#include "diagnostics/Logger.h"
#include "tests/support/TestSupport.h"

namespace TestSupport {

const std::string& TestLogFile() {
    static TempDir folder;
    static std::string path = [] {
        std::string file = folder.File("test.log");
        Diagnostics::InitDiagnostics(Diagnostics::verbose, file, false);
        return file;
    }();
    return path;
}

void CaptureLog() {
    TestLogFile();
}

std::string CapturedLog() {
    const std::string& file = TestLogFile();
    Diagnostics::FlushLog(std::chrono::seconds(10));
    return ReadFile(file);
}

LogTail::LogTail() : start_(CapturedLog().size()) {}

std::string LogTail::Text() const {
    return CapturedLog().substr(start_);
}

std::vector<std::string> LogTail::Lines() const {
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

std::string LogTail::Messages() const {
    std::string messages;
    for (const std::string& line : Lines()) {
        size_t head = line.find("] ", line.find("] ") + 2);
        messages += (head == std::string::npos ? line : line.substr(head + 2)) + "\n";
    }
    return messages;
}

bool LogTail::WaitFor(const std::string& text) const {
    return TestSupport::WaitFor([&] { return Text().find(text) != std::string::npos; });
}

}  // namespace TestSupport
