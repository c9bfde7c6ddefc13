#include "MessagesLog.h"

#include "diagnostics/Logger.h"
#include "tests/support/TestSupport.h"

namespace MessagesTest {

std::string NewLogText() {
    static TestSupport::TempDir folder;
    static std::string path = [] {
        std::string file = folder.File("messages.log");
        Diagnostics::InitDiagnostics(Diagnostics::verbose, file, false);
        return file;
    }();
    static size_t seen = 0;
    const std::string text = TestSupport::ReadFile(path);
    const std::string fresh = text.size() > seen ? text.substr(seen) : std::string();
    seen = text.size();
    return fresh;
}

}  // namespace MessagesTest
