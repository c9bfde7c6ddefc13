#pragma once
// The process's own metrics, under the names and help texts the Prometheus client
// libraries give them, so that dashboards made for any exporter work: CPU time, resident
// and virtual memory, open and most descriptors, and the start time. They are read from
// procfs (the descriptors' limit from getrlimit) at each rendering into buffers on the
// stack, the start time once; a file that cannot be read or parsed leaves its sample out.
//
// Threads: AddProcessMetrics on the registry owner's thread; the families collect on the
// rendering thread.

#include <string>

#include "metrics/Registry.h"

namespace Mux::Metrics {

// Adds the process_* families to registry. procRoot: where procfs is mounted; tests give
// a folder of their own.
void AddProcessMetrics(Registry& registry, const std::string& procRoot = "/proc");

}  // namespace Mux::Metrics
