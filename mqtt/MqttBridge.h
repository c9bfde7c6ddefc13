#pragma once
// lockhub's link to an MQTT broker (MQTT 5, libmosquitto): publishes gateway events and
// status words, and hands the commands that arrive to the core, whose answers it publishes.
//
// The bridge owns one thread, which does all of the network work: it connects, with
// backoff after failures (Threading::BackoffDelay, from reconnectFirstDelay up to
// reconnectMaxDelay), keeps the connection alive and publishes what the outbox holds. Only
// the lookup of the broker's name holds that thread up; the connection itself is made
// without waiting. The operations of the core (PublishEvent, PublishGatewayStatus, Reply)
// only queue and wake that thread: whatever the broker does, down, slow or restarting, they
// never wait for it. Events and answers wait in the outbox while the broker is away, up to
// maxQueued; beyond that they are dropped and counted (MqttOutbox.h). Publications the
// broker had not confirmed when the connection ended are published again after the next
// connect, so an event may arrive twice but is not lost.
//
// On each connect the bridge publishes "online" retained to <prefix>/status (its last
// will, "offline", replaces it when the connection dies or the bridge stops), subscribes
// to the command topics, and publishes every retained message again (each gateway's latest
// status word; with discovery, Home Assistant's configurations and states). Every
// connection starts with a clean session: no command published while lockhub was away is
// delivered to it later.
//
// With Home Assistant discovery the bridge also subscribes to the set topics and to Home
// Assistant's <discovery prefix>/status: when Home Assistant says "online" there (its birth
// message, after it restarts), every retained message is published again.
//
// Reconfigure moves the bridge to other settings while it runs: its thread leaves the
// broker as Stop does (the old broker publishes the will on the old <prefix>/status), then
// connects with the new settings, with the usual backoff while the new broker cannot be
// reached. Nothing held is dropped by the move: what the old broker had not confirmed goes
// back to the outbox, and the outbox keeps its topics below the prefix, so every event and
// status word still waiting, also one queued before the move, is published to the new
// broker under the new prefix. An answer keeps its response topic. Counters carry on. The
// words retained on the old broker stay there, "offline" among them.
//
// Commands: a command published retained is ignored (a retained "open" would open the
// door again at every reconnect), and so is one on a command topic without a response
// topic; each is logged. Every other command, and every set message, reaches the command
// callback; a payload over kMaxCommandBytes is flagged tooLarge instead of being kept.
//
// Threads: construction, SetCommandCallback, Start, Reconfigure, Stop and destruction on
// the owner's thread; the Publish operations, Reply, Connected and Counters from any
// thread, also from the command callback. The command callback runs on the bridge's
// thread: it must return soon (the bridge's network work waits meanwhile) and must not call
// Start, Reconfigure or Stop.
//
// Ownership: the bridge owns its thread, its libmosquitto client and its outbox. A command
// handed to the callback belongs to the callee.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "mqtt/MqttOutbox.h"
#include "mqtt/MqttSettings.h"
#include "mqtt/MqttTopics.h"
#include "mux/protocol/MuxPacket.h"

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;

namespace Threading {
class Thread;
}

namespace Mux::Mqtt {

// One command as it arrived on <prefix>/gateway/<GatewayID>/lock/<lockID>/command, or
// on .../set (Home Assistant's).
struct MqttCommand {
    // From a set topic: the payload is "LOCK", "UNLOCK" or "OPEN", or something else to
    // refuse, and nothing is answered (the lock's state topic tells what happened).
    bool setTopic = false;
    // From the topic; both 0 with badTopic, when either level is not a decimal 32-bit
    // integer.
    int32_t gatewayId = 0;
    int32_t lockId = 0;
    bool badTopic = false;
    // The request's JSON text, as sent; empty when tooLarge.
    std::string payload;
    bool tooLarge = false;
    // Where the answer goes (empty for a set topic's), and the bytes it must carry back
    // (may be empty).
    std::string responseTopic;
    std::string correlationData;
};

struct MqttCounters {
    uint64_t eventsPublished = 0;  // confirmed by the broker
    uint64_t eventsDropped = 0;    // the outbox was full, or the broker refused them
    uint64_t reconnects = 0;       // connects after the first
};

// The bridge's bounds and pauses. Tests shorten them; the defaults are the production values.
struct MqttBridgeLimits {
    // Events and answers that may wait for the broker before new ones are dropped: ten
    // seconds of events at a thousand a second.
    size_t maxQueued = 10000;
    std::chrono::milliseconds reconnectFirstDelay{1000};
    std::chrono::milliseconds reconnectMaxDelay{60000};
};

class MqttBridge {
public:
    using CommandCallback = std::function<void(MqttCommand command)>;
    using Clock = std::chrono::steady_clock;

    // The longest JSON text a client packet can carry: a command is held to the same bound.
    static constexpr size_t kMaxCommandBytes =
        std::numeric_limits<uint16_t>::max() - MuxPacket::kHeaderSize;
    // The broker ends a connection that was silent for 1.5 times this; the bridge pings
    // within it.
    static constexpr std::chrono::seconds kKeepAlive{10};
    // How long a connection may take to be accepted by the broker.
    static constexpr std::chrono::seconds kConnectTimeout{10};
    // A connection lost sooner than this after it was made counts as a failed attempt, so
    // the pauses before the next ones grow.
    static constexpr std::chrono::seconds kSteadyConnection{10};
    // How long Stop waits for queued publications while the broker is there.
    static constexpr std::chrono::milliseconds kStopDrainTime{1000};
    // Publications handed to the client library and not yet confirmed, at most.
    static constexpr size_t kMaxInFlight = 64;
    static constexpr const char* kOnline = "online";
    static constexpr const char* kOffline = "offline";

    explicit MqttBridge(MqttSettings settings, MqttBridgeLimits limits = {});
    // Stop.
    ~MqttBridge();
    MqttBridge(const MqttBridge&) = delete;
    MqttBridge& operator=(const MqttBridge&) = delete;

    // Before Start.
    void SetCommandCallback(CommandCallback callback) { commandCallback_ = std::move(callback); }

    // Sets the client up and starts the bridge's thread, which connects at once. False,
    // logged, when the client cannot be set up (the TLS files, say) or the thread cannot
    // start. Once only.
    bool Start();
    // Publishes what is queued while the broker takes it (kStopDrainTime at most),
    // disconnects so that the broker publishes the will ("offline"), and joins the thread.
    // What was still queued is dropped, with a log line. A second call does nothing.
    void Stop();
    // Moves the bridge to new settings (broker, client id, topic prefix, credentials, TLS
    // files) while it runs. Owner's thread, after Start; returns at once. Settings equal to
    // the bridge's change nothing; of calls made before the bridge's thread gets to them,
    // the last one counts.
    void Reconfigure(MqttSettings settings);

    // QoS 1, not retained, to <prefix>/gateway/<gatewayId>/lock/<lockId>/event.
    void PublishEvent(int32_t gatewayId, int32_t lockId, std::string json);
    // Retained, QoS 1, to <prefix>/gateway/<gatewayId>/status; published again after
    // every reconnect (the latest word only).
    void PublishGatewayStatus(int32_t gatewayId, std::string statusWord);
    // QoS 1 to the command's response topic, with its correlation data.
    void Reply(const MqttCommand& command, std::string json);
    // The latest retained message of a whole topic, QoS 1, published again after every
    // reconnect and Home Assistant birth; an empty payload clears the topic and is
    // forgotten once published.
    void PublishRetained(std::string topic, std::string payload);
    // QoS 1, not retained, to a whole topic: kept while the broker is away like an event,
    // not counted among them.
    void PublishNotice(std::string topic, std::string payload);

    // Connected, and the broker accepted the connection.
    bool Connected() const { return connected_.load(); }
    MqttCounters Counters() const;

private:
    struct ClientFree {
        void operator()(mosquitto* client) const;
    };
    using Client = std::unique_ptr<mosquitto, ClientFree>;
    enum class Link { down, connecting, up };
    struct InFlight {
        int messageId;
        MqttPublication publication;
    };

    void Wake();
    // Bridge thread.
    void NetworkThreadProc();
    Client NewClient();
    void Connect(Clock::time_point now);
    void ConnectionEnded(Clock::time_point now, const std::string& reason);
    // Closes the connection at once, if any: what the broker had not confirmed goes back to
    // the outbox.
    void DropConnection();
    // Sends DISCONNECT asking the broker to publish the will, and lets it leave.
    void LeaveWithWill();
    // Applies the settings Reconfigure left, if they differ from the bridge's.
    void MoveIfAsked(Clock::time_point now);
    // One pass of waiting for the socket, the wake-up or the time; then the client's work.
    void WaitAndServe(Clock::time_point until);
    // After a connect, outside the library's callbacks (it holds its own locks in them):
    // subscribes to the commands, publishes "online" and every status word again.
    void Announce();
    // Publishes "online" and every retained message again (bridge thread).
    void Republish();
    void PublishQueued();
    // Where the publication goes: under the bridge's prefix, but for a reply.
    std::string TopicOf(const MqttPublication& publication) const;
    bool Publish(MqttPublication publication);
    // At the end of the thread: leaves the broker and logs what was not published.
    void Disconnect();
    // Client library callbacks (bridge thread).
    void OnConnect(int reasonCode);
    void OnSubscribe(int messageId, int grantedCount, const int* granted);
    void OnPublish(int messageId, int reasonCode);
    void OnMessage(const mosquitto_message& message, const mqtt5__property* properties);

    const MqttBridgeLimits limits_;
    MqttOutbox outbox_;
    CommandCallback commandCallback_;

    // Written to wake the bridge's thread: something queued, or Stop.
    int wakeFd_ = -1;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> connected_{false};
    std::atomic<uint64_t> eventsPublished_{0};
    std::atomic<uint64_t> eventsRefused_{0};
    std::atomic<uint64_t> reconnects_{0};

    // The settings of the latest Reconfigure, until the bridge's thread takes them.
    std::mutex moveMutex_;
    std::optional<MqttSettings> requestedSettings_;

    // Bridge thread only (Start reads them and hands the first client over before the
    // thread starts).
    MqttSettings settings_;
    MqttTopics topics_;
    Client client_;
    Link link_ = Link::down;
    bool everConnected_ = false;
    bool announce_ = false;   // connected, Announce not done yet
    bool republish_ = false;  // Home Assistant came online, Republish not done yet
    int failures_ = 0;        // failed attempts, and connections soon lost, in a row
    Clock::time_point connectedAt_{};
    Clock::time_point nextAttempt_{};
    Clock::time_point connectDeadline_{};
    std::string lastFailure_;  // so that a failure repeating itself is logged once
    // What the broker or the library said about the connection's failure, for the log.
    std::string failureDetail_;
    bool refusalLogged_ = false;     // the broker refused a publication on this connection
    std::deque<InFlight> inFlight_;  // in the order handed to the client
    std::map<int, std::string> subscriptions_;  // asked for, by message id, not yet granted

    // Owner's thread only.
    std::unique_ptr<Threading::Thread> thread_;
    bool stopped_ = false;
};

}  // namespace Mux::Mqtt
