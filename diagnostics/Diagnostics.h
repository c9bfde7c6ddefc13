#pragma once
// Diagnostics for the whole process: the logger, and the error guard's failure policy.
// Threads: the main thread, once, before any other thread exists.

#include <string>

#include "diagnostics/Log.h"

namespace Diagnostics {

// Sets up the logger (InitLogger), then arms the error guard's thresholds (ArmErrorGuard).
void InitDiagnostics(Severity maxSeverity, std::string& logFile, bool colours);

}  // namespace Diagnostics
