#include "tools/lockctl/Arguments.h"

#include <argh.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <limits>
#include <ostream>
#include <string_view>
#include <vector>

namespace Lockctl {
namespace {

using namespace Mux;

constexpr unsigned kLockRequest = kRequest | kLockAddress;
constexpr int kHighestPort = 65535;
constexpr int kHighestShortLock = 65535;
constexpr int kHighestByte = 255;

// What a request type's command reads from the command line.
unsigned FieldsOf(const MuxRequestType& type) {
    unsigned fields = type.addressesLock ? kLockRequest : kRequest;
    if (type.highestLockID <= kHighestShortLock) {
        fields |= kShortLock;
    }
    if (type.members & kDurationMember) {
        fields |= kDuration;
    }
    if (type.members & kCardMembers) {
        fields |= kCard;
    }
    if (type.members & kCardOptionsMember) {
        fields |= kCardOptions;
    }
    return fields;
}

// A command for each request type that names one, in their order, then watch.
std::vector<Command> MakeCommands() {
    std::vector<Command> commands;
    for (const MuxRequestType& type : RequestTypes()) {
        if (type.command == nullptr) {
            continue;
        }
        if (!type.answersEvent) {
            commands.push_back({type.command, &type, nullptr, FieldsOf(type), type.summary});
            continue;
        }
        for (Command& command : commands) {
            if (std::string_view(command.name) == type.command) {
                command.eventAnswer = &type;
                command.fields |= kEventAnswer;
            }
        }
    }
    commands.push_back({"watch", nullptr, nullptr, kEventCount | kGatewayEvents,
                        "print every event lockhub sends, as it arrives"});
    return commands;
}

const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = MakeCommands();
    return commands;
}

// One option: its name without dashes, whether a value follows it, the field of the
// commands that take it (0: every command), and its line in the usage text.
struct OptionRule {
    const char* name;
    bool takesValue;
    unsigned field;
    const char* usage;
};

constexpr OptionRule kOptions[] = {
    {"gateway", true, kLockAddress,
     "--gateway G     the gateway's \"ID\" in lockhub's configuration"},
    {"lock", true, kLockAddress, "--lock L        the lock's device address"},
    {"duration", true, kDuration, "--duration S    seconds the lock stays open, 1-255"},
    {"card", true, kCard, "--card HEX      the card data, hexadecimal digits (04A10B)"},
    {"uid", false, kCard, "--uid           the card data is a card UID"},
    {"setup", true, kCard, "--setup N       the setup number, 0-255 (default 0)"},
    {"options", true, kCardOptions, "--options N     the entry's options, 0-255 (default 0)"},
    {"event-answer", false, kEventAnswer,
     "--event-answer  send it as the answer to a card-reader event"},
    {"id", true, kRequest, "--id TEXT       the request's MessageID (default: made up)"},
    {"count", true, kEventCount, "--count N       end after N events (default: never)"},
    {"gateways", false, kGatewayEvents,
     "--gateways      also print each change of a gateway's status (code 102)"},
    {"host", true, 0, "--host H        lockhub's address (default 127.0.0.1)"},
    {"port", true, 0,
     "--port P        lockhub's port (default 5555; with --tls, required: the TLS\n"
     "                  listener's \"Port\")"},
    {"tls", false, 0, "--tls           connect to lockhub's TLS listener, with these three:"},
    {"cert", true, 0,
     "--cert FILE     this client's certificate (PEM); lockhub knows the\n"
     "                  client by its common name"},
    {"key", true, 0, "--key FILE      the certificate's private key (PEM, not encrypted)"},
    {"ca", true, 0, "--ca FILE       the CA that lockhub's certificate must chain to (PEM)"},
    {"timeout", true, 0,
     "--timeout S     seconds to wait: for the answer (default 25), for watch's events\n"
     "                  (default: for ever); 0 waits for ever"},
    {"json", false, 0, "--json          print what lockhub sends as it is, one JSON text a line"},
    {"verbose", false, 0, "--verbose       print the request sent and messages skipped on stderr"},
    {"help", false, 0, "--help          this text"},
    {"h", false, 0, nullptr},
};

const Command* FindCommand(const std::string& name) {
    const std::vector<Command>& commands = Commands();
    auto command = std::find_if(commands.begin(), commands.end(),
                                [&](const Command& candidate) { return name == candidate.name; });
    return command == commands.end() ? nullptr : &*command;
}

const OptionRule* FindOption(const std::string& name) {
    const OptionRule* rule =
        std::find_if(std::begin(kOptions), std::end(kOptions),
                     [&](const OptionRule& candidate) { return name == candidate.name; });
    return rule == std::end(kOptions) ? nullptr : rule;
}

bool Applies(const OptionRule& rule, const Command* command) {
    return rule.field == 0 || (command != nullptr && (command->fields & rule.field) != 0);
}

// Every option given is known, applies to the command, and has a value when it needs one.
bool CheckOptionNames(const argh::parser& parser, const Command* command, std::string& error) {
    for (const std::string& flag : parser.flags()) {
        const OptionRule* rule = FindOption(flag);
        if (rule == nullptr) {
            error = "unknown option --" + flag;
        } else if (rule->takesValue) {
            error = "--" + flag + " needs a value";
        } else if (!Applies(*rule, command)) {
            error = "--" + flag + " does not apply to " + command->name;
        }
        if (!error.empty()) {
            return false;
        }
    }
    for (const auto& [name, value] : parser.params()) {
        const OptionRule* rule = FindOption(name);
        if (rule == nullptr) {
            error = "unknown option --" + name;
        } else if (!rule->takesValue) {
            error = "--" + name + " takes no value";
        } else if (!Applies(*rule, command)) {
            error = "--" + name + " does not apply to " + command->name;
        }
        if (!error.empty()) {
            return false;
        }
    }
    return true;
}

// Reads the integer value of an option, whole and within [lowest, highest]. An absent
// option leaves target as it is unless it is required.
bool ReadInteger(const argh::parser& parser, const std::string& name, int64_t lowest,
                 int64_t highest, bool required, int64_t& target, std::string& error) {
    auto found = parser.params().find(name);
    if (found == parser.params().end()) {
        if (required) {
            error = "--" + name + " is required";
        }
        return !required;
    }
    const std::string& text = found->second;
    int64_t value = 0;
    auto [end, result] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result != std::errc() || end != text.data() + text.size() || value < lowest ||
        value > highest) {
        error = "--" + name + " must be a whole number from " + std::to_string(lowest) + " to " +
                std::to_string(highest) + ", not \"" + text + "\"";
        return false;
    }
    target = value;
    return true;
}

template <class Target>
bool ReadInto(const argh::parser& parser, const std::string& name, int64_t lowest, int64_t highest,
              bool required, Target& target, std::string& error) {
    int64_t value = target;
    if (!ReadInteger(parser, name, lowest, highest, required, value, error)) {
        return false;
    }
    target = static_cast<Target>(value);
    return true;
}

bool IsHexText(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(),
                                        [](unsigned char c) { return std::isxdigit(c) != 0; });
}

// --tls needs all three files and --port; a file option without --tls is a mistake.
bool ReadTlsOptions(const argh::parser& parser, Options& options, std::string& error) {
    options.tls = parser["tls"];
    const auto& params = parser.params();
    for (auto [name, target] :
         {std::pair{"cert", &options.certificate}, std::pair{"key", &options.privateKey},
          std::pair{"ca", &options.ca}}) {
        auto found = params.find(name);
        if (found != params.end() && !options.tls) {
            error = std::string("--") + name + " needs --tls";
            return false;
        }
        if (options.tls && (found == params.end() || found->second.empty())) {
            error = std::string("--tls needs --") + name;
            return false;
        }
        if (found != params.end()) {
            *target = found->second;
        }
    }
    if (options.tls && params.count("port") == 0) {
        error = "--tls needs --port: the port of lockhub's TLS listener";
        return false;
    }
    return true;
}

bool ReadCommandValues(const argh::parser& parser, Options& options, std::string& error) {
    const unsigned fields = options.command->fields;
    const auto& params = parser.params();
    constexpr int64_t kLowestInt = std::numeric_limits<int32_t>::min();
    constexpr int64_t kHighestInt = std::numeric_limits<int32_t>::max();
    int64_t timeout = fields & kRequest ? kDefaultRequestTimeout.count() : 0;
    bool good = ReadInto(parser, "port", 1, kHighestPort, false, options.port, error) &&
                ReadInteger(parser, "timeout", 0, kHighestInt, false, timeout, error) &&
                ReadInto(parser, "count", 0, kHighestInt, false, options.count, error);
    if (good && (fields & kLockAddress)) {
        good = ReadInto(parser, "gateway", kLowestInt, kHighestInt, true, options.gateway, error) &&
               ReadInto(parser, "lock", 0, fields & kShortLock ? kHighestShortLock : kHighestInt,
                        true, options.lock, error);
    }
    if (good && (fields & kDuration)) {
        good = ReadInto(parser, "duration", 1, kHighestByte, true, options.duration, error);
    }
    if (good && (fields & kCard)) {
        good = ReadInto(parser, "setup", 0, kHighestByte, false, options.setup, error) &&
               ReadInto(parser, "options", 0, kHighestByte, false, options.cardOptions, error);
        auto card = params.find("card");
        if (good && card == params.end()) {
            error = "--card is required";
            good = false;
        } else if (good && !IsHexText(card->second)) {
            error = "--card must be hexadecimal digits, not \"" + card->second + "\"";
            good = false;
        } else if (good) {
            options.card = card->second;
        }
    }
    options.timeout = std::chrono::seconds(timeout);
    if (auto host = params.find("host"); host != params.end()) {
        options.host = host->second;
    }
    if (auto id = params.find("id"); id != params.end()) {
        options.messageId = id->second;
    }
    if (good && params.count("id") && options.messageId.empty()) {
        error = "--id must not be empty";
        good = false;
    }
    options.uid = parser["uid"];
    options.eventAnswer = parser["event-answer"];
    options.gatewayEvents = parser["gateways"];
    return good && ReadTlsOptions(parser, options, error);
}

}  // namespace

std::optional<Options> ParseArguments(int argc, const char* const* argv, std::string& error) {
    argh::parser parser;
    for (const OptionRule& rule : kOptions) {
        if (rule.takesValue) {
            parser.add_param(std::string("--") + rule.name);
        }
    }
    parser.parse(argc, argv);
    Options options;
    options.help = parser[{"help", "h"}];
    options.json = parser["json"];
    options.verbose = parser["verbose"];

    const std::vector<std::string>& words = parser.pos_args();
    if (words.size() > 2) {
        error = "unexpected argument \"" + words[2] + "\"";
        return std::nullopt;
    }
    if (words.size() < 2) {
        if (options.help) {
            return options;
        }
        error = "no command given";
        return std::nullopt;
    }
    options.command = FindCommand(words[1]);
    if (options.command == nullptr) {
        error = "unknown command \"" + words[1] + "\"";
        return std::nullopt;
    }
    if (!CheckOptionNames(parser, options.command, error)) {
        return std::nullopt;
    }
    if (options.help) {
        return options;
    }
    if (!ReadCommandValues(parser, options, error)) {
        return std::nullopt;
    }
    return options;
}

void PrintUsage(std::ostream& out, const Command* command) {
    if (command == nullptr) {
        out << "Usage: lockctl COMMAND [options]\n"
               "Sends one request to lockhub and prints its answer, or prints lockhub's events.\n"
               "\n"
               "Commands:\n";
        for (const Command& each : Commands()) {
            std::string name = each.name;
            out << "  " << name << std::string(20 - name.size(), ' ') << each.summary << "\n";
        }
        out << "\n"
               "Options of every command:\n";
    } else {
        std::string line = std::string("Usage: lockctl ") + command->name;
        if (command->fields & kLockAddress) {
            line += " --gateway G --lock L";
        }
        if (command->fields & kDuration) {
            line += " --duration S";
        }
        if (command->fields & kCard) {
            line += " --card HEX";
        }
        out << line << " [options]\n" << command->summary;
        if (command->request != nullptr) {
            out << " (message code " << command->request->code;
            if (command->eventAnswer != nullptr) {
                out << "; " << command->eventAnswer->code << " with --event-answer";
            }
            out << ")";
        }
        out << "\n\nOptions:\n";
    }
    for (const OptionRule& rule : kOptions) {
        if (rule.usage != nullptr &&
            (command == nullptr ? rule.field == 0 : Applies(rule, command))) {
            out << "  " << rule.usage << "\n";
        }
    }
    out << "\n"
           "Exit status: 0 ACK (or watch ended), 1 NACK, 2 no answer in time or no\n"
           "connection, 64 unusable command line (or --tls files).\n";
    if (command == nullptr) {
        out << "lockctl COMMAND --help tells the options of one command.\n";
    }
    out << std::flush;
}

}  // namespace Lockctl
