#pragma once
// The log of the messages tests: one file per test program, every severity written.

#include <string>

namespace MessagesTest {

// The log text written since the previous call (sets the logger up at the first call).
std::string NewLogText();

}  // namespace MessagesTest
