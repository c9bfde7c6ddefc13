#include "MessagesLog.h"

#include "tests/support/TestLog.h"

namespace MessagesTest {

std::string NewLogText() {
    static size_t seen = 0;
    const std::string text = TestSupport::CapturedLog();
    const std::string fresh = text.size() > seen ? text.substr(seen) : std::string();
    seen = text.size();
    return fresh;
}

}  // namespace MessagesTest
