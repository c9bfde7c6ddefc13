// lockctl: a command-line client of lockhub. Sends one request and prints its answer, or
// prints lockhub's events as they arrive (watch).

#include <csignal>
#include <iostream>

#include "mux/protocol/MuxMessageCodes.h"
#include "tls/TlsClient.h"
#include "tools/lockctl/Arguments.h"
#include "tools/lockctl/MessagePrinter.h"
#include "tools/lockctl/MuxConnection.h"
#include "tools/lockctl/RequestBuilder.h"

namespace {

using namespace Lockctl;
using Clock = MuxConnection::Clock;

// Connecting gives up after this long even when the answer may take for ever.
constexpr std::chrono::seconds kConnectTimeout{10};

std::optional<Clock::time_point> DeadlineAfter(std::chrono::seconds timeout,
                                               Clock::time_point start) {
    if (timeout.count() == 0) {
        return std::nullopt;
    }
    return start + timeout;
}

int SendAndWaitForAnswer(const Options& options, MuxConnection& connection,
                         std::optional<Clock::time_point> deadline) {
    const std::string messageId = options.messageId.empty() ? MakeMessageId() : options.messageId;
    const std::string request = BuildRequestText(options, messageId);
    if (options.verbose) {
        std::cerr << "sent: " << request << std::endl;
    }
    std::string error;
    if (!connection.Send(request, deadline.value_or(Clock::now() + kConnectTimeout), error)) {
        std::cerr << "lockctl: cannot send the request: " << error << std::endl;
        return kExitNoAnswer;
    }
    for (;;) {
        std::string text;
        switch (connection.Receive(deadline, text, error)) {
            case MuxConnection::Outcome::kTimeout:
                std::cerr << "lockctl: no answer to " << messageId << " within "
                          << options.timeout.count() << " s" << std::endl;
                return kExitNoAnswer;
            case MuxConnection::Outcome::kClosed:
                std::cerr << "lockctl: no answer to " << messageId << ": " << error << std::endl;
                return kExitNoAnswer;
            case MuxConnection::Outcome::kMessage:
                break;
        }
        std::optional<Envelope> envelope = ReadEnvelope(text);
        const bool answer = envelope && envelope->messageId == messageId &&
                            (envelope->messageCode == Mux::MUX_MESSAGE_ACK ||
                             envelope->messageCode == Mux::MUX_MESSAGE_NACK);
        if (!answer) {
            // An event, or the answer to another request: not what was asked for.
            if (options.verbose) {
                std::cerr << "skipped: " << text << std::endl;
            }
            continue;
        }
        const bool ack = envelope->messageCode == Mux::MUX_MESSAGE_ACK;
        if (ack && !options.json && options.command->request->code == Mux::MUX_MESSAGE_GATEWAYS) {
            PrintGatewayTable(std::cout, text);
        } else {
            PrintMessage(std::cout, text, options.json);
        }
        return ack ? kExitAck : kExitNack;
    }
}

int Watch(const Options& options, MuxConnection& connection,
          std::optional<Clock::time_point> deadline) {
    std::string error;
    // With --gateways, the answer to the subscription is not an event: it is not printed.
    std::string subscription;
    if (options.gatewayEvents) {
        subscription = MakeMessageId();
        const std::string request = BuildGatewayStatusSubscription(subscription);
        if (options.verbose) {
            std::cerr << "sent: " << request << std::endl;
        }
        if (!connection.Send(request, deadline.value_or(Clock::now() + kConnectTimeout), error)) {
            std::cerr << "lockctl: cannot subscribe to gateway status events: " << error
                      << std::endl;
            return kExitNoAnswer;
        }
    }
    int printed = 0;
    while (options.count == 0 || printed < options.count) {
        std::string text;
        switch (connection.Receive(deadline, text, error)) {
            case MuxConnection::Outcome::kTimeout:
                if (options.count == 0) {
                    return kExitAck;  // watched for as long as asked
                }
                std::cerr << "lockctl: " << printed << " of " << options.count << " events within "
                          << options.timeout.count() << " s" << std::endl;
                return kExitNoAnswer;
            case MuxConnection::Outcome::kClosed:
                std::cerr << "lockctl: " << error << std::endl;
                return kExitNoAnswer;
            case MuxConnection::Outcome::kMessage:
                break;
        }
        std::optional<Envelope> envelope = ReadEnvelope(text);
        if (!subscription.empty() && envelope && envelope->messageId == subscription) {
            if (envelope->messageCode != Mux::MUX_MESSAGE_ACK) {
                std::cerr << "lockctl: gateway status events refused: " << text << std::endl;
                return kExitNack;
            }
            continue;
        }
        PrintMessage(std::cout, text, options.json);
        ++printed;
    }
    return kExitAck;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    std::string error;
    std::optional<Options> options = ParseArguments(argc, argv, error);
    if (!options) {
        std::cerr << "lockctl: " << error << "\n(lockctl --help tells the usage)" << std::endl;
        return kExitUsage;
    }
    if (options->help) {
        PrintUsage(std::cout, options->command);
        return kExitAck;
    }
    std::shared_ptr<const Quarn::Tls::TlsClientContext> tls;
    if (options->tls) {
        tls = Quarn::Tls::TlsClientContext::Create(
            {options->certificate, options->privateKey, options->ca}, error);
        if (!tls) {
            std::cerr << "lockctl: " << error << std::endl;
            return kExitUsage;
        }
    }
    const Clock::time_point start = Clock::now();
    std::optional<Clock::time_point> deadline = DeadlineAfter(options->timeout, start);
    Clock::time_point connectDeadline =
        std::min(deadline.value_or(start + kConnectTimeout), start + kConnectTimeout);
    std::unique_ptr<MuxConnection> connection =
        MuxConnection::Open(options->host, options->port, tls, connectDeadline, error);
    if (!connection) {
        std::cerr << "lockctl: cannot connect to lockhub at " << options->host << ":"
                  << options->port << (options->tls ? " (TLS)" : "") << ": " << error << std::endl;
        return kExitNoAnswer;
    }
    if (options->command->fields & kRequest) {
        return SendAndWaitForAnswer(*options, *connection, deadline);
    }
    return Watch(*options, *connection, deadline);
}
