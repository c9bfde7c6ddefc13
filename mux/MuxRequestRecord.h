#pragma once
// One request on its way through the multiplexer core, with the client it came from and
// the answer built for it; or one delivery of an event to one client. A record of the
// core's own queues, not part of the client protocol. Handed between the core's threads
// through its guarded queues: whoever took it out of a queue owns it.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "mux/protocol/MuxMessage.h"
#include "net/ClientPeer.h"

namespace Quarn {
class GatewayLink;
}

namespace Mux {

namespace Mqtt {
struct MqttCommand;
}

struct MuxRequestRecord {
    MuxRequestRecord(int socketFd, uint64_t connectionId, std::shared_ptr<MuxMessage> message)
        : MuxRequestRecord(socketFd, connectionId, std::move(message), false) {}
    MuxRequestRecord(int socketFd, uint64_t connectionId, std::shared_ptr<MuxMessage> message,
                     bool isEvent)
        : socketFd(socketFd),
          connectionId(connectionId),
          isEvent(isEvent),
          requestMessage(std::move(message)) {}

    // The client connection the request came from, or the one an event goes to: send only
    // while the descriptor still belongs to this connection.
    int socketFd;
    uint64_t connectionId;
    // Who sent the request (permissions, the audit trail); null for an event delivery.
    std::shared_ptr<const Quarn::Net::ClientPeer> client;
    // A command through the MQTT bridge: its answer goes to the command's response topic,
    // not to a connection (socketFd is then -1).
    std::shared_ptr<const Mqtt::MqttCommand> mqttCommand;
    // The gateway that took the request, while it waits in the pending list: a gateway
    // removed by a reload answers for its own requests only.
    const Quarn::GatewayLink* handedTo = nullptr;
    // When the request arrived: a request must not reach its gateway long after.
    std::chrono::steady_clock::time_point receivedAt = std::chrono::steady_clock::now();
    bool isEvent;
    // The client's request; for an event delivery, the event, shared by the deliveries of
    // that event to every client.
    std::shared_ptr<MuxMessage> requestMessage;
    // Null until an answer has been built.
    std::unique_ptr<MuxMessage> answerMessage;
    // For an event delivery: the event as sent to clients, serialised once and shared by
    // the deliveries to every client.
    std::shared_ptr<const std::vector<unsigned char>> eventBytes;
    // Those bytes as the send's log line shows them, formatted once; null when the line is
    // not logged.
    std::shared_ptr<const std::string> eventHex;
};

}  // namespace Mux
