#pragma once
// lockhub --check-config: reads a configuration file the way start-up reads it and tells
// what lockhub would make of it, or why it would refuse it. Starts nothing and logs
// nothing, so it may run next to a live lockhub.

#include <iosfwd>
#include <string>

namespace Mux {

// Writes the report to out. Returns the exit status: 0 when start-up would accept the
// configuration (notes about ignored or unusable parts do not change that), 1 when the
// file cannot be read or the configuration is refused.
int CheckConfigurationFile(const std::string& path, std::ostream& out);

}  // namespace Mux
