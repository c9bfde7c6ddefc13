#pragma once
// lockhub's command line: the options, their defaults, and the information texts.

#include <iosfwd>
#include <string>

#include "diagnostics/Log.h"

namespace Mux {

inline constexpr const char* kVersion = "2.18.1";
inline constexpr int kDefaultListenPort = 5555;
inline constexpr const char* kDefaultLogFile = "./smartlock_mux.log";

struct CommandLineOptions {
    bool help = false;
    bool version = false;
    bool bareVersion = false;
    int port = kDefaultListenPort;
    std::string configFile;
    std::string bindAddress;  // empty: every local address
    std::string logFile = kDefaultLogFile;
    Diagnostics::Severity severity = Diagnostics::info;
    bool colours = false;
};

// Options are matched with their leading dashes removed; a value follows as the next
// argument or joined by "="; a value option followed by another option, or standing
// last, keeps its default. Unknown options and free arguments are ignored.
CommandLineOptions ParseCommandLine(int argc, const char* const* argv);

void PrintUsage(std::ostream& out);

}  // namespace Mux
