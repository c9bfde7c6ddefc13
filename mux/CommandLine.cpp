#include "mux/CommandLine.h"

#include <argh.h>

#include <ostream>

namespace Mux {

CommandLineOptions ParseCommandLine(int argc, const char* const* argv) {
    CommandLineOptions options;
    argh::parser parser;
    parser.add_params({"--configFile", "--logFile", "--port", "-p", "--bind", "--check-config"});
    parser.parse(argc, argv, argh::parser::PREFER_FLAG_FOR_UNREG_OPTION);

    options.help = argc <= 0 || parser[{"help", "h"}];
    options.version = parser["version"];
    options.bareVersion = parser["ver"];

    int port = kDefaultListenPort;
    if (parser({"port", "p"}) >> port) {
        options.port = port;
    }
    if (parser[{"debug", "dbg"}]) {
        options.severity = Diagnostics::debug;
    }
    if (parser[{"verbose", "v"}]) {
        options.severity = Diagnostics::verbose;
    }
    parser("configFile") >> options.configFile;
    parser("logFile", kDefaultLogFile) >> options.logFile;
    bool colours = false;
    if (parser("colors") >> colours) {
        options.colours = colours;
    }
    if (parser["bind"] ||
        (parser.params().count("bind") && !(parser("bind") >> options.bindAddress))) {
        options.optionError = "--bind needs an IPv4 address";
    }
    options.checkConfig = parser["check-config"] || parser.params().count("check-config") > 0;
    if (options.checkConfig && !(parser("check-config") >> options.checkConfigFile)) {
        options.optionError = "--check-config needs a file";
    }
    return options;
}

void PrintUsage(std::ostream& out) {
    out << "Quarnvell MUX version " << kVersion << std::endl;
    out << "Usage: " << std::endl;
    out << "lockhub [--port <listen port> --configFile <filePath> --help]" << std::endl;
    out << "** commands listed inside \"[\" and \"]\" are optionals." << std::endl;
    out << std::endl;
    out << "--version: print out the application name and current version." << std::endl;
    out << "--ver: print out the application current version number." << std::endl;
    out << "--help: print this help." << std::endl;
    out << "--port: specifies a new listen port, different from default 5555." << std::endl;
    out << "--configFile: loads a JSON config file directly from filesystem. TCP/IP can still "
           "be used to change configuration."
        << std::endl;
    out << "--logFile: write the log to a specified logfile" << std::endl;
    out << "--verbose, -v: enable verbose logging" << std::endl;
    out << "--debug, -dbg: enable debug logging" << std::endl;
    out << "--colors: enable colored output for console" << std::endl;
    out << "If nothing specified, MUX will be started with the default listen port (5555) "
           "waiting for a valid configuration to be send via network using TCP connection."
        << std::endl;
    out << std::endl;
}

}  // namespace Mux
