#include "diagnostics/Diagnostics.h"

#include "diagnostics/FaultHandling.h"
#include "diagnostics/Logger.h"

namespace Diagnostics {

void InitDiagnostics(Severity maxSeverity, std::string& logFile, bool colours) {
    InitLogger(maxSeverity, logFile, colours);
    ArmErrorGuard();
    LOG_DEBUG << "Error guard initialized.";
}

}  // namespace Diagnostics
