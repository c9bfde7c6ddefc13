#include "mux/CommandLine.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

namespace {

Mux::CommandLineOptions Parse(std::vector<const char*> args) {
    args.insert(args.begin(), "lockhub");
    return Mux::ParseCommandLine(static_cast<int>(args.size()), args.data());
}

}  // namespace

TEST(CommandLine, DefaultsWithoutOptions) {
    Mux::CommandLineOptions options = Parse({});
    EXPECT_FALSE(options.help || options.version || options.bareVersion);
    EXPECT_EQ(options.port, 5555);
    EXPECT_EQ(options.configFile, "");
    EXPECT_EQ(options.logFile, "./smartlock_mux.log");
    EXPECT_EQ(options.severity, Diagnostics::info);
    EXPECT_FALSE(options.colours);
}

TEST(CommandLine, InformationOptions) {
    EXPECT_TRUE(Parse({"--help"}).help);
    EXPECT_TRUE(Parse({"-h"}).help);
    EXPECT_TRUE(Parse({"--h"}).help);
    EXPECT_TRUE(Parse({"--version"}).version);
    EXPECT_FALSE(Parse({"--version"}).bareVersion);
    EXPECT_TRUE(Parse({"--ver"}).bareVersion);
    Mux::CommandLineOptions both = Parse({"--version", "--help"});
    EXPECT_TRUE(both.help && both.version);
    EXPECT_TRUE(Mux::ParseCommandLine(0, nullptr).help);
}

TEST(CommandLine, PortForms) {
    EXPECT_EQ(Parse({"--port", "6000"}).port, 6000);
    EXPECT_EQ(Parse({"-p", "6000"}).port, 6000);
    EXPECT_EQ(Parse({"--port=6000"}).port, 6000);
    EXPECT_EQ(Parse({"-p=6000"}).port, 6000);
    EXPECT_EQ(Parse({"--p", "6000"}).port, 6000);
    EXPECT_EQ(Parse({"--port", "abc"}).port, 5555);
    EXPECT_EQ(Parse({"--port"}).port, 5555);
    EXPECT_EQ(Parse({"--port", "--debug"}).port, 5555);
    EXPECT_EQ(Parse({"--port", "--debug"}).severity, Diagnostics::debug);
}

TEST(CommandLine, Severities) {
    EXPECT_EQ(Parse({"--debug"}).severity, Diagnostics::debug);
    EXPECT_EQ(Parse({"-dbg"}).severity, Diagnostics::debug);
    EXPECT_EQ(Parse({"--verbose"}).severity, Diagnostics::verbose);
    EXPECT_EQ(Parse({"-v", "--debug"}).severity, Diagnostics::verbose);
    EXPECT_EQ(Parse({"--debug", "-v"}).severity, Diagnostics::verbose);
}

TEST(CommandLine, TextValues) {
    EXPECT_EQ(Parse({"--configFile", "/etc/a.json"}).configFile, "/etc/a.json");
    EXPECT_EQ(Parse({"--configFile=/etc/a.json"}).configFile, "/etc/a.json");
    EXPECT_EQ(Parse({"--configFile", "/etc/my file.json"}).configFile, "/etc/my");
    EXPECT_EQ(Parse({"--logFile", "/tmp/x.log"}).logFile, "/tmp/x.log");
    EXPECT_EQ(Parse({"--port", "7", "--logFile"}).logFile, "./smartlock_mux.log");
    EXPECT_EQ(Parse({"stray", "--unknown", "x", "--port", "7"}).port, 7);
}

TEST(CommandLine, ColoursOnlyWithAJoinedOne) {
    EXPECT_FALSE(Parse({"--colors"}).colours);
    EXPECT_FALSE(Parse({"--colors", "1"}).colours);
    EXPECT_TRUE(Parse({"--colors=1"}).colours);
    EXPECT_FALSE(Parse({"--colors=0"}).colours);
}

TEST(CommandLine, BindAndCheckConfigNeedTheirValues) {
    EXPECT_EQ(Parse({}).bindAddress, "");
    EXPECT_EQ(Parse({"--bind", "127.0.0.1"}).bindAddress, "127.0.0.1");
    EXPECT_EQ(Parse({"--bind=10.1.2.3", "--port", "7"}).bindAddress, "10.1.2.3");
    Mux::CommandLineOptions check = Parse({"--check-config", "/etc/a.json"});
    EXPECT_TRUE(check.checkConfig);
    EXPECT_EQ(check.checkConfigFile, "/etc/a.json");
    EXPECT_EQ(check.optionError, "");
    EXPECT_FALSE(Parse({"--configFile", "/etc/a.json"}).checkConfig);
    // Falling back to a default would listen on every address, or start the daemon.
    EXPECT_EQ(Parse({"--bind"}).optionError, "--bind needs an IPv4 address");
    EXPECT_EQ(Parse({"--bind", "--debug"}).optionError, "--bind needs an IPv4 address");
    EXPECT_EQ(Parse({"--bind="}).optionError, "--bind needs an IPv4 address");
    EXPECT_EQ(Parse({"--check-config"}).optionError, "--check-config needs a file");
    EXPECT_TRUE(Parse({"--check-config"}).checkConfig);
}

TEST(CommandLine, UsageText) {
    std::ostringstream out;
    Mux::PrintUsage(out);
    EXPECT_EQ(out.str(),
              "Quarnvell MUX version 2.18.1\n"
              "Usage: \n"
              "lockhub [--port <listen port> --configFile <filePath> --help]\n"
              "** commands listed inside \"[\" and \"]\" are optionals.\n"
              "\n"
              "--version: print out the application name and current version.\n"
              "--ver: print out the application current version number.\n"
              "--help: print this help.\n"
              "--port: specifies a new listen port, different from default 5555.\n"
              "--configFile: loads a JSON config file directly from filesystem. TCP/IP can "
              "still be used to change configuration.\n"
              "--logFile: write the log to a specified logfile\n"
              "--verbose, -v: enable verbose logging\n"
              "--debug, -dbg: enable debug logging\n"
              "--colors: enable colored output for console\n"
              "If nothing specified, MUX will be started with the default listen port (5555) "
              "waiting for a valid configuration to be send via network using TCP connection.\n"
              "\n");
}
