#pragma once
// The process start-up of the multiplexer: builds and starts the core on the listen port,
// applies the configuration file, installs the signal handlers and waits until the core's
// main loop ends. On an orderly exit by signal, the audit trail reaches the disk first.

#include "mux/CommandLine.h"

namespace Mux {

// Returns the exit status: 1, after an error line, when the core was not started because
// the configuration asks for what cannot be set up (listeners that cannot be opened as
// configured, an audit trail that cannot be opened); else as the core ended.
int RunProcess(const CommandLineOptions& options);

}  // namespace Mux
