#pragma once
// The log of a test program, written to a file of its own at verbose level. The logger
// is set up on the first call, before the test starts threads.

#include <string>

namespace TestSupport {

// Sets the logger up if needed.
void CaptureLog();
// Everything logged so far.
std::string CapturedLog();

}  // namespace TestSupport
