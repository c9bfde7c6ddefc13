#include "mux/ProcessStartup.h"

#include <sys/resource.h>

#include <memory>

#include "diagnostics/FaultHandling.h"
#include "diagnostics/Log.h"
#include "mux/QuarnMux.h"

namespace Mux {

namespace {

// Each client connection holds one descriptor: take as many as the system allows.
void RaiseDescriptorLimit() {
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur >= files.rlim_max) {
        return;
    }
    const rlim_t before = files.rlim_cur;
    files.rlim_cur = files.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &files) == 0) {
        LOG_DEBUG << "Raised the open files limit from " << before << " to " << files.rlim_cur
                  << ".";
    }
}

}  // namespace

int RunProcess(const CommandLineOptions& options) {
    RaiseDescriptorLimit();
    auto core = std::make_unique<QuarnMux>(options.port);
    if (!options.bindAddress.empty()) {
        core->SetBindAddress(options.bindAddress);
    }
    if (!options.configFile.empty()) {
        core->ParseConfigurationFile(options.configFile);
    }
    if (!core->StartupFailure().empty()) {
        LOG_ERROR << core->StartupFailure();
        return 1;
    }
    if (!core->PrepareListeners()) {
        LOG_ERROR << "Mux not started: its listeners cannot be set up as configured.";
        return 1;
    }
    // The error thresholds may be reached as soon as the gateways are being connected.
    QuarnMux* stoppable = core.get();
    Diagnostics::SetCoreStopHook([stoppable] { stoppable->Stop(); });
    Diagnostics::SetExitHook([stoppable] { stoppable->CloseAuditTrail(); });
    core->Start();
    LOG_VERBOSE << "Registering signals handlers.";
    Diagnostics::RegisterSignalHandlers();
    LOG_INFO << "Mux ended initialization process.";
    LOG_VERBOSE << "Entering Mux loop cycle.";
    core->Wait();
    LOG_VERBOSE << "Mux loop cycle ended.";
    Diagnostics::SetCoreStopHook(nullptr);
    Diagnostics::SetExitHook(nullptr);
    return Diagnostics::GetProcessExitCode();
}

}  // namespace Mux
