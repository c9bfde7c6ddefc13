#pragma once
// lockctl's command line: the commands, their options, the usage texts and the exit
// statuses.

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>

#include "mux/protocol/MuxPacket.h"
#include "mux/protocol/MuxRequestTypes.h"

namespace Lockctl {

inline constexpr const char* kDefaultHost = "127.0.0.1";
// Longer than lockhub's default request time-out (20 s), so that lockhub's own "did not
// answer in time" NACK arrives before lockctl gives up.
inline constexpr std::chrono::seconds kDefaultRequestTimeout{25};

enum ExitStatus : int {
    kExitAck = 0,
    kExitNack = 1,
    kExitNoAnswer = 2,  // no answer in time, or no connection
    kExitUsage = 64,    // the command line cannot be used
};

// What a command reads from the command line.
enum Field : unsigned {
    kRequest = 1u << 0,        // sends a request: --id
    kLockAddress = 1u << 1,    // --gateway, --lock
    kShortLock = 1u << 2,      // the lock is a 16-bit device address
    kDuration = 1u << 3,       // --duration
    kCard = 1u << 4,           // --card, --uid, --setup
    kCardOptions = 1u << 5,    // --options
    kEventAnswer = 1u << 6,    // --event-answer
    kEventCount = 1u << 7,     // --count
    kGatewayEvents = 1u << 8,  // --gateways
};

// A command sends the request of a request type that names it, or watches (watch).
struct Command {
    const char* name;
    const Mux::MuxRequestType* request;      // null for watch
    const Mux::MuxRequestType* eventAnswer;  // sent with --event-answer; null when none
    unsigned fields;
    const char* summary;
};

struct Options {
    const Command* command = nullptr;  // null only with help: the general usage
    bool help = false;
    std::string host = kDefaultHost;
    int port = Mux::kDefaultListenPort;
    // How long to wait for the answer, or for watch's events; 0 waits for ever.
    std::chrono::seconds timeout{0};
    bool json = false;
    bool verbose = false;
    std::string messageId;  // empty: one is made up
    int32_t gateway = 0;
    int32_t lock = 0;
    int duration = 0;
    std::string card;  // hexadecimal digits
    bool uid = false;
    int setup = 0;
    int cardOptions = 0;
    bool eventAnswer = false;
    int count = 0;               // watch: events to print before ending; 0 for ever
    bool gatewayEvents = false;  // watch: subscribe to gateway status events first
    // --tls: through lockhub's TLS listener, with these files (all three given).
    bool tls = false;
    std::string certificate;
    std::string privateKey;
    std::string ca;
};

// The options of one lockctl command line, or nullopt with the reason in error.
std::optional<Options> ParseArguments(int argc, const char* const* argv, std::string& error);

// The general usage (command null) or that of one command.
void PrintUsage(std::ostream& out, const Command* command);

}  // namespace Lockctl
