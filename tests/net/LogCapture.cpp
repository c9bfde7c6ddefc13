#include "tests/net/LogCapture.h"

#include "diagnostics/Logger.h"
#include "tests/support/TestSupport.h"

namespace TestSupport {
namespace {

const std::string& LogPath() {
    static TempDir folder;
    static std::string path = [] {
        std::string file = folder.File("test.log");
        Diagnostics::InitDiagnostics(Diagnostics::verbose, file, false);
        return file;
    }();
    return path;
}

}  // namespace

void CaptureLog() {
    LogPath();
}

std::string CapturedLog() {
    return ReadFile(LogPath());
}

}  // namespace TestSupport
