#pragma once
// lockhub's command line: the options, their defaults, and the information texts.

#include <iosfwd>
#include <string>

#include "diagnostics/Log.h"
#include "mux/protocol/MuxPacket.h"

namespace Mux {

inline constexpr const char* kVersion = "2.18.1";
inline constexpr const char* kDefaultLogFile = "./smartlock_mux.log";

struct CommandLineOptions {
    bool help = false;
    bool version = false;
    bool bareVersion = false;
    int port = kDefaultListenPort;
    std::string configFile;
    std::string bindAddress;  // empty: every local address
    // --check-config: check the configuration file checkConfigFile and exit.
    bool checkConfig = false;
    std::string checkConfigFile;
    // Set when an option that must not fall back to its default was given without a value
    // (a bare --bind would listen on every address); main reports it and exits 1.
    std::string optionError;
    std::string logFile = kDefaultLogFile;
    Diagnostics::Severity severity = Diagnostics::info;
    bool colours = false;
};

// Options are matched with their leading dashes removed; a value follows as the next
// argument or joined by "="; a value option followed by another option, or standing
// last, keeps its default, except --bind and --check-config, which set optionError.
// Unknown options and free arguments are ignored.
CommandLineOptions ParseCommandLine(int argc, const char* const* argv);

void PrintUsage(std::ostream& out);

}  // namespace Mux
