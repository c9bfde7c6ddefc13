#include "tools/lockctl/RequestBuilder.h"

#include <unistd.h>

#include <chrono>
#include <memory>

#include "mux/protocol/MuxMessageBuilder.h"
#include "mux/protocol/MuxMessageCodes.h"

namespace Lockctl {

std::string MakeMessageId() {
    auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    return "lockctl-" + std::to_string(::getpid()) + "-" + std::to_string(milliseconds.count());
}

std::string BuildRequestText(const Options& options, const std::string& messageId) {
    const Command& command = *options.command;
    const Mux::MuxRequestType& type = options.eventAnswer ? *command.eventAnswer : *command.request;
    Mux::MuxRequestValues values;
    values.gatewayID = options.gateway;
    values.lockID = options.lock;
    values.duration = static_cast<uint8_t>(options.duration);
    values.cardData = Mux::MuxMessageBuilder::DecodeCardData(options.card);
    values.setupNumber = static_cast<uint8_t>(options.setup);
    values.options = static_cast<uint8_t>(options.cardOptions);
    values.isUIDCard = options.uid;
    return Mux::MuxMessageBuilder::BuildMessage(type.code, messageId, type.build(values))->ToJSON();
}

std::string BuildGatewayStatusSubscription(const std::string& messageId) {
    const Mux::MuxRequestType& type =
        *Mux::FindRequestType(Mux::MUX_MESSAGE_SUBSCRIBE_GATEWAY_STATUS);
    return Mux::MuxMessageBuilder::BuildMessage(type.code, messageId, type.build({}))->ToJSON();
}

}  // namespace Lockctl
