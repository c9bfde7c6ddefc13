#include <iostream>

#include "diagnostics/Diagnostics.h"
#include "diagnostics/FaultHandling.h"
#include "diagnostics/Log.h"
#include "diagnostics/Logger.h"
#include "mux/CommandLine.h"
#include "mux/ConfigurationCheck.h"
#include "mux/ProcessStartup.h"
#include "service/FreedMemory.h"

int main(int argc, char** argv) {
    Mux::Service::FreedMemory::UseOneArena();
    Mux::CommandLineOptions options = Mux::ParseCommandLine(argc, argv);
    Diagnostics::SetProgramPath(argc > 0 ? argv[0] : "");
    if (options.help) {
        Mux::PrintUsage(std::cout);
        return 0;
    }
    if (options.version) {
        std::cout << "Quarnvell MUX version " << Mux::kVersion << std::endl;
        return 0;
    }
    if (options.bareVersion) {
        std::cout << Mux::kVersion << std::endl;
        return 0;
    }
    if (!options.optionError.empty()) {
        std::cerr << "lockhub: " << options.optionError << std::endl;
        return 1;
    }
    if (options.checkConfig) {
        return Mux::CheckConfigurationFile(options.checkConfigFile, std::cout);
    }
    Diagnostics::IgnoreBrokenPipes();
    Diagnostics::InitDiagnostics(options.severity, options.logFile, options.colours);
    LOG_INFO << "Starting Mux version " << Mux::kVersion;
    LOG_INFO << "Initializing Mux modules...";
    return Mux::RunProcess(options);
}
