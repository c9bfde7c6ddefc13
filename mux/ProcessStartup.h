#pragma once
// The process start-up of the multiplexer: builds and starts the core on the listen port,
// applies the configuration file, installs the signal handlers and waits until the core's
// main loop ends. False, after an error line, when the core was not started because its
// listeners cannot be set up as configured (lockhub then exits with status 1).

#include "mux/CommandLine.h"

namespace Mux {

bool RunProcess(const CommandLineOptions& options);

}  // namespace Mux
