#include "mux/ProcessStartup.h"

#include <sys/resource.h>

#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "diagnostics/FaultHandling.h"
#include "diagnostics/Log.h"
#include "mux/Configuration.h"
#include "mux/QuarnMux.h"
#include "service/ServiceNotifier.h"

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

// Ends start-up before lockhub serves: the reason goes to the log, to standard error (the
// journal, under systemd, where the log itself may go to a file) and to the service
// manager's status line.
int EndStartup(Service::ServiceNotifier& notifier, const std::string& reason) {
    LOG_ERROR << reason;
    std::cerr << "lockhub: " << reason << std::endl;
    notifier.Failed(reason);
    return 1;
}

}  // namespace

int RunProcess(const CommandLineOptions& options) {
    RaiseDescriptorLimit();
    // Declared before the core: the core's loops beat the notifier's heartbeats until the
    // core is destroyed; stopped before, since its thread asks the core for the status.
    Service::ServiceNotifier notifier;
    auto core = std::make_unique<QuarnMux>(options.port);
    if (!options.bindAddress.empty()) {
        core->SetBindAddress(options.bindAddress);
    }
    if (!options.configFile.empty()) {
        core->ParseConfigurationFile(options.configFile);
    }
    if (!core->StartupFailure().empty()) {
        return EndStartup(notifier, core->StartupFailure());
    }
    // Run by hand, a refused configuration leaves lockhub running without gateways; under
    // the service manager it fails the unit, so that systemctl status tells the operator.
    if (notifier.Active() && !core->ConfigurationRefusal().empty()) {
        return EndStartup(notifier, core->ConfigurationRefusal());
    }
    if (!core->PrepareListeners()) {
        return EndStartup(notifier,
                          "Mux not started: its listeners cannot be set up as configured.");
    }
    core->WatchLoops(notifier);
    notifier.SetStatusSource([&core] { return core->Summarize().Text(); });
    core->SetListeningCallback([&notifier] { notifier.Ready(); });
    notifier.Start();
    // The error thresholds may be reached as soon as the gateways are being connected.
    QuarnMux* stoppable = core.get();
    Diagnostics::SetCoreStopHook([stoppable] { stoppable->Stop(); });
    Diagnostics::SetExitHook([stoppable] { stoppable->CloseAuditTrail(); });
    Diagnostics::SetReloadHook(
        [stoppable, path = options.configFile] { stoppable->RequestReload(path); });
    core->Start();
    LOG_VERBOSE << "Registering signals handlers.";
    Diagnostics::RegisterSignalHandlers();
    LOG_INFO << "Mux ended initialization process.";
    LOG_VERBOSE << "Entering Mux loop cycle.";
    core->Wait();
    LOG_VERBOSE << "Mux loop cycle ended.";
    notifier.Stop();
    Diagnostics::SetCoreStopHook(nullptr);
    Diagnostics::SetExitHook(nullptr);
    Diagnostics::SetReloadHook(nullptr);
    return Diagnostics::GetProcessExitCode();
}

}  // namespace Mux
