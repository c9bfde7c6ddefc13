#include "mux/ProcessStartup.h"

#include <memory>

#include "diagnostics/FaultHandling.h"
#include "diagnostics/Log.h"
#include "mux/QuarnMux.h"

namespace Mux {

void RunProcess(const CommandLineOptions& options) {
    auto core = std::make_unique<QuarnMux>(options.port);
    if (!options.bindAddress.empty()) {
        core->SetBindAddress(options.bindAddress);
    }
    if (!options.configFile.empty()) {
        core->ParseConfigurationFile(options.configFile);
    }
    // The error thresholds may be reached as soon as the gateways are being connected.
    QuarnMux* stoppable = core.get();
    Diagnostics::SetCoreStopHook([stoppable] { stoppable->Stop(); });
    core->Start();
    LOG_VERBOSE << "Registering signals handlers.";
    Diagnostics::RegisterSignalHandlers();
    LOG_INFO << "Mux ended initialization process.";
    LOG_VERBOSE << "Entering Mux loop cycle.";
    core->Wait();
    LOG_VERBOSE << "Mux loop cycle ended.";
    Diagnostics::SetCoreStopHook(nullptr);
}

}  // namespace Mux
