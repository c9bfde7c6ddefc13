#pragma once
// The process start-up of the multiplexer: builds and starts the core on the listen port,
// applies the configuration file, installs the signal handlers and waits until the core's
// main loop ends.

#include "mux/CommandLine.h"

namespace Mux {

void RunProcess(const CommandLineOptions& options);

}  // namespace Mux
