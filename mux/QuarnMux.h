#pragma once
// The multiplexer core: one per process. Owns the server socket that clients connect to,
// the gateway loop and its gateways, the pending list and the answer queue through which
// requests and answers travel, the permissions and the audit trail, and two threads: the
// main thread delivers queued answers and events to clients; the gateways thread starts
// the gateways connecting and applies reloads. The gateway loop's thread keeps every
// gateway connected.
//
// A request travels: receive thread (parsed, checked against the client's permissions,
// pendingMessagesList, submitted to its gateway; into an idle connection the frame goes
// out from this thread, else from the gateway loop's) -> the gateway loop's thread (answer
// built, and sent to the client that asked, on that very connection; when answers or
// events are still queued or being delivered ahead of it, it joins answerQueue and the
// main thread sends it). A request that cannot be handed over is answered at once with a
// NACK; so is one for a gateway that is not connected and will not be by its deadline. Each request
// has one deadline, the request time-out counted from its arrival: a request that cannot be sent by
// then is answered "not sent", and one sent but not answered within the request time-out of sending
// is answered "did not answer in time". A record belongs to the container that holds it, or to the
// thread that took it out.

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "homeassistant/Discovery.h"
#include "mux/ClientPermissions.h"
#include "mux/ClientSet.h"
#include "mux/CommandLine.h"
#include "mux/Configuration.h"
#include "mux/CoreMetrics.h"
#include "mux/CoreServices.h"
#include "mux/HeldCommands.h"
#include "service/FreedMemory.h"
#include "threading/Mutex.h"
#include "threading/Snapshot.h"
#include "threading/WorkSignal.h"

namespace Quarn {
class GatewayLink;
class GatewayLoop;
namespace Tls {
class TlsServerContext;
}
enum VirtualGatewayStatuses : uint32_t;
namespace Net {
class ServerSocket;
struct ClientPeer;
}  // namespace Net
namespace Messages::VG {
class VirtualGatewayResponseMessage;
class VirtualGatewayEventMessage;
}  // namespace Messages::VG
}  // namespace Quarn

namespace Threading {
class Thread;
}

namespace Mux::Service {
class Heartbeat;
class ServiceNotifier;
}  // namespace Mux::Service

namespace Mux {

namespace Audit {
class AuditTrail;
struct AuditEntry;
enum class Outcome;
}  // namespace Audit
namespace Mqtt {
class MqttBridge;
struct MqttCommand;
}  // namespace Mqtt
namespace Metrics {
class MetricsEndpoint;
}

class MuxMessage;
struct MuxRequestRecord;
struct RequestRoute;

// One configuration's gateways: each with the configuration data it was made from, in
// configuration order, and the gateway each routed ID reaches.
struct GatewaySet {
    struct Entry {
        Configuration::MuxGatewayData data;
        bool checkFrameCrc = true;
        std::shared_ptr<Quarn::GatewayLink> gateway;
    };
    std::vector<Entry> entries;
    std::map<int, Quarn::GatewayLink*> routed;
};

class QuarnMux final : private CoreServices {
public:
    // Port 5555.
    QuarnMux();
    // The port when above 0 and neither 80 nor 443, else 5555.
    explicit QuarnMux(int port);
    // Stops and joins the core's threads, the server socket and every gateway, then frees
    // whatever is still queued. Not to be called from one of the core's callbacks.
    ~QuarnMux();
    QuarnMux(const QuarnMux&) = delete;
    QuarnMux& operator=(const QuarnMux&) = delete;

    // Configuration, on the starting thread before Start. True when read, parsed and applied.
    bool ParseConfigurationFile(std::string path);
    bool ParseConfiguration(std::string json);
    // Why lockhub must not start with the configuration applied last (an audit trail that
    // cannot be opened); empty when it may. A configuration that was refused as a whole
    // leaves lockhub running without gateways instead.
    const std::string& StartupFailure() const { return startupFailure_; }
    // Why the last configuration given to ParseConfigurationFile was not applied; empty
    // when it was.
    const std::string& ConfigurationRefusal() const { return configurationRefusal_; }
    // Writes what the audit trail holds, syncs and closes it; later entries are dropped.
    // For the signal thread just before the process ends; nothing without a trail.
    void CloseAuditTrail();

    // Asks the gateways thread to reread the configuration file at path and apply what
    // changed (Apply): gateways added, removed (their requests answered with a NACK) or
    // replaced, the request time-out and the permissions for new requests, the audit
    // trail, the MQTT bridge, the metrics and the TLS listener's files. Only the
    // listeners' ports wait for a restart. A file that start-up would refuse, or whose new
    // trail or TLS files cannot be used, changes nothing. Any thread (the signal thread on
    // SIGUSR1); returns at once.
    void RequestReload(std::string path);

    // Listen on one local address instead of all; before Start.
    void SetBindAddress(std::string address) { bindAddress_ = std::move(address); }
    // Lets the system choose the listening port (tests, benchmarks); before Start.
    // GetListenPort tells the port in use once the server socket listens.
    void UseSystemChosenPort() { port_ = 0; }
    int GetListenPort() const { return listenPort_.load(); }
    // The same for the TLS listener of the configuration; 0 while it does not listen.
    void UseSystemChosenTlsPort() { systemChosenTlsPort_ = true; }
    int GetTlsListenPort() const { return tlsListenPort_.load(); }
    // Reads and checks the TLS listener's files, if the configuration has one. False,
    // after an error line, when they cannot be used or the configuration's listener
    // settings were refused: lockhub must not start then. After the configuration, before
    // Start (which calls it itself when it was not called).
    bool PrepareListeners();
    // True once the server socket listens (or failed: then the core shut itself down).
    bool IsServing() const { return serving_.load(); }

    // Operating the core (QuarnMuxOperations.cpp). Before Start: the notifier watches the
    // core's two loops, and the callback runs once, on the core's main thread, as soon as
    // the server socket listens.
    void WatchLoops(Service::ServiceNotifier& notifier);
    void SetListeningCallback(std::function<void()> callback) {
        listeningCallback_ = std::move(callback);
    }
    // Any thread.
    CoreSummary Summarize();
    Metrics::Registry& MetricsRegistry() { return metrics_.Registry(); }

    // Starts the main thread once.
    void Start();
    // Blocks until the main thread has ended.
    void Wait();
    // Ends both loops; any thread, also from inside a callback. Not undone.
    void Stop();
    void ForceShutdown();

private:
    using Gateway = Quarn::GatewayLink;
    using GatewayResponse = Quarn::Messages::VG::VirtualGatewayResponseMessage;
    using GatewayEvent = Quarn::Messages::VG::VirtualGatewayEventMessage;
    using Record = std::unique_ptr<MuxRequestRecord>;

    // Operating the core (QuarnMuxOperations.cpp).
    std::vector<GatewayReport> ReportGateways() override;
    void SubscribeToGatewayStatus(int clientFd, uint64_t connectionId) override;
    // Main thread, once the server socket listens.
    void AnnounceListening();
    // Answers and queues a request of a code the core answers itself; false for any
    // other, which stays with the caller. Receive thread, MQTT bridge thread.
    bool AnswerInCore(Record& record);
    // Queues an event (code 102) for each subscriber (gateway loop thread).
    void PublishGatewayStatus(Gateway& gateway, Quarn::VirtualGatewayStatuses oldStatus,
                              Quarn::VirtualGatewayStatuses newStatus);
    // A loop without work waits for it: without limit, or for one heartbeat period while
    // the loop is watched, so that it still beats; at most until until, when given.
    static void AwaitWork(Threading::WorkSignal& work, const Service::Heartbeat* heartbeat,
                          std::optional<std::chrono::steady_clock::time_point> until = {});

    // Logs the notes of a configuration's reading, as --check-config prints them.
    static void LogNotes(const std::vector<std::string>& notes);
    // Clears both loop flags and wakes the loops.
    void EndLoops();
    void DestroyMutexes();
    void RemoveAllGateways();
    // A gateway for one entry of a configuration, with the core's callbacks; null, logged,
    // when it cannot be made.
    std::shared_ptr<Gateway> CreateGateway(const Configuration::MuxGatewayData& data, int port,
                                           bool checkFrameCrc);
    // The gateways of a configuration: those of previous that it leaves unchanged, and new
    // ones (also added to created, not connected yet).
    std::shared_ptr<const GatewaySet> BuildGatewaySet(
        const Configuration::MuxConfigurationData& configuration, const GatewaySet& previous,
        std::vector<std::shared_ptr<Gateway>>& created);
    // Gateways thread: the reload asked for, and the removal of a gateway that left the
    // configuration once no other thread holds it.
    void Reload();
    // Puts a configuration in force: at start-up (previous null) all of it, on a reload
    // what differs from previous. The listeners' ports stay as they are. False, with why,
    // when the new audit trail or the TLS listener's new files cannot be used: nothing
    // changed then. The starting thread before Start, then the gateways thread.
    bool Apply(Configuration::MuxConfigurationData next,
               const Configuration::MuxConfigurationData* previous, std::string& why);
    // Apply's parts that follow a reload by themselves.
    void ApplyMqtt(const Configuration::MuxConfigurationData& next,
                   const Configuration::MuxConfigurationData* previous);
    void ApplyGateways(const Configuration::MuxConfigurationData& next);
    // Serves the metrics where the configuration in force asks (the gateways thread, or
    // Start).
    void ApplyMetrics();
    // The MQTT bridge's and the audit trail's counters among the metrics, once each is
    // there; they read whichever bridge and trail are in force.
    void AddBridgeAndTrailMetrics();
    // Announces the doors of the configuration in force to Home Assistant, or stops.
    void ApplyHomeAssistant();
    void Retire(std::vector<std::shared_ptr<Gateway>> retired);

    // Threads.
    void mainThreadProc();
    void gatewaysThreadProc();
    // The server socket object exists from Start on, before any thread that uses it;
    // the main thread makes it listen.
    void CreateServerSocket();
    bool StartServerSocket();

    // Gateways: status (gateway loop thread).
    void VirtualGatewayStateChangedCallback(Gateway& gateway,
                                            Quarn::VirtualGatewayStatuses oldStatus,
                                            Quarn::VirtualGatewayStatuses newStatus);

    // Clients: requests (receive thread, MQTT bridge thread).
    void ServerSocketClientAccepted(int clientFd, uint64_t connectionId);
    void ServerSocketClientDeleted(int clientFd, uint64_t connectionId);
    void ServerSocketClientDataReceived(int clientFd, uint64_t connectionId,
                                        const Quarn::Net::ClientPeer& peer,
                                        std::unique_ptr<std::vector<unsigned char>> data);
    void TranslateClientMessage(int clientFd, uint64_t connectionId,
                                const Quarn::Net::ClientPeer& peer,
                                std::vector<unsigned char>& json);
    // True when the client's permissions cover the request (its kind and its gateway).
    bool IsPermitted(const MuxRequestRecord& record) const;
    // Its permission check, then hands the request to its gateway (receive thread, MQTT
    // bridge thread).
    void Admit(Record record);

    // MQTT (the bridge's thread): a command is a request like a client's, from the identity
    // "mqtt", answered on its response topic.
    void MqttCommandReceived(Mqtt::MqttCommand command);
    // Answers a command that cannot be read with "Error in request".
    void RefuseMqttCommand(const Mqtt::MqttCommand& command, const std::string& messageId);

    // Home Assistant (QuarnMuxHomeAssistant.cpp). A set command becomes a request of the
    // identity "mqtt", answered through the lock's entities (the bridge's thread).
    void SetCommandReceived(const Mqtt::MqttCommand& command);
    // The status polls due, and the states whose time came (gateways thread).
    void HomeAssistantWork();
    // Asks for a lock's status on Home Assistant's behalf, when "mqtt" may.
    void PollLockStatus(HomeAssistant::LockKey lock);
    // What an answer to a door command or a status request tells the lock's entities;
    // response: the gateway's, when the answer was built from one. Where the audit trail
    // learns the outcome, on the same thread.
    void TellHomeAssistant(const MuxRequestRecord& record, const GatewayResponse* response);
    // Hands the request to its gateway, or answers it at once with a NACK.
    void HandOver(Record record);
    // True when the gateway queued the request: the record then waits in the pending list.
    // Else the record stays with the caller.
    bool SendMessageToVG(Record& record);
    // The gateway of set a request goes to, after the checks and log lines of its route (a
    // duration of 0 becomes 1); null when it cannot be routed.
    Gateway* RouteRequest(const GatewaySet& set, const RequestRoute& route, MuxMessage& request);
    // The time by which the request's frame must have left; none without a time-out.
    std::optional<std::chrono::steady_clock::time_point> DeadlineOf(
        const MuxRequestRecord& record) const;
    // Answers a request that was not handed over with a NACK with error code 0; outcome is
    // what the audit trail makes of it.
    void EnqueueErrorAnswer(Record record, const std::string& text, Audit::Outcome outcome);
    // Records a request's outcome in the audit trail when it moves a door or changes a
    // whitelist, or was not permitted; nothing without a trail.
    void AuditAnswer(const MuxRequestRecord& record, Audit::Outcome outcome) const;
    static Audit::AuditEntry EntryOf(const MuxRequestRecord& record, Audit::Outcome outcome);
    // Whether the trail records every request of this kind: it moves a door or changes a
    // whitelist.
    static bool IsRecorded(const MuxRequestRecord& record);
    // Whether a trail is there and takes lines now (not in a full disk's episode).
    bool IsRecordable() const;
    // With "AuditSync": "before-send", takes a request the trail records: its "SENDING"
    // line goes to the disk, then the request is handed over from the trail's writer
    // thread (or refused when the line cannot be written). One whose line is not on the
    // disk by its deadline is answered "not sent" then, from the gateways thread. False,
    // the record left with the caller, for any other request or mode.
    bool RecordBeforeSending(Record& record);
    // The gateways thread: answers the held door commands whose deadline has come.
    void ExpireHeldCommands();
    void AuditEvent(int gatewayId, int lockId, int eventCode) const;

    // Answers and events (the gateway loop thread; an outcome known at once, on the thread
    // that submitted the request).
    void VirtualGatewayResponseReceivedCallback(Gateway& gateway,
                                                std::unique_ptr<GatewayResponse> response);
    void VirtualGatewayEventReceivedCallback(Gateway& gateway, std::unique_ptr<GatewayEvent> event);
    void TranslateVirtualGatewayMessage(Gateway& gateway, const GatewayResponse& response);
    void TranslateVirtualGatewayEvent(Gateway& gateway, const GatewayEvent& event);
    // gatewayId: the gateway that gave the response.
    std::unique_ptr<MuxMessage> BuildAnswer(const MuxMessage& request, int gatewayId,
                                            const GatewayResponse& response);
    // Sends an answer on the calling thread when nothing waits or is being delivered ahead
    // of it, else queues it for the main thread; either way answers and events keep their
    // order. The queue length it left, or none when the queue lock did not come within
    // lockTimeoutSeconds (0: without limit) and the answer is lost.
    std::optional<size_t> Deliver(Record record, int lockTimeoutSeconds);
    // Delivers a record whose answer was built (Deliver), with its log lines.
    void EnqueueAnswer(Record record);
    // Queues one delivery of the event, text its JSON text, for each of the clients; any
    // thread.
    void EnqueueEvent(std::shared_ptr<MuxMessage> event, const std::string& text,
                      const std::vector<Quarn::Net::ClientConnection>& clients);
    // Takes every queued answer and event at once and sends them in order; false when
    // none was queued. Main thread only.
    bool SendQueuedMessagesToClients();
    // Sends one answer or event; false when the server socket closed its client.
    bool SendToClient(const MuxRequestRecord& record);
    // Drops what else is queued for the client of failed: in batch from that index on, and
    // in the answer queue.
    void DropQueuedFor(const MuxRequestRecord& failed, std::deque<Record>& batch, size_t from);

    int port_;
    std::string bindAddress_;
    std::atomic<int> listenPort_;
    // The listeners of the configuration; set before Start, then fixed.
    std::optional<Configuration::TlsListenerData> tls_;
    bool plainListener_ = true;
    bool listenersRefused_ = false;
    bool systemChosenTlsPort_ = false;
    std::shared_ptr<const Quarn::Tls::TlsServerContext> tlsContext_;
    std::atomic<int> tlsListenPort_{0};
    std::atomic<bool> serving_{false};
    std::unique_ptr<Quarn::Net::ServerSocket> serverSocket_;  // set by Start, then fixed
    std::atomic<bool> enabled_{false};
    // "AuditRequired": refuse what the trail records while it cannot be written.
    std::atomic<bool> auditRequired_{false};
    // "AuditSync": "before-send": what the trail records is on the disk before it is sent.
    std::atomic<bool> auditBeforeSend_{false};
    // Taken by each request on arrival; a reload may change it.
    std::atomic<std::chrono::seconds> requestTimeout_{
        std::chrono::seconds(Configuration::kDefaultRequestTimeoutSeconds)};
    // Who may do what; replaced whole, so a request reads one consistent set.
    Threading::Snapshot<const ClientPermissions> permissions_{
        std::make_shared<const ClientPermissions>()};
    // Null without an "AuditLog"; set by Apply. A trail that a reload removes is closed.
    Threading::Snapshot<Audit::AuditTrail> audit_{nullptr};
    // Null without "Mqtt"; set by Apply, which starts it once the core runs. Stopped first
    // on the way down: its thread calls into the core.
    Threading::Snapshot<Mqtt::MqttBridge> bridge_{nullptr};
    // The client that MQTT commands come from; set by Apply.
    Threading::Snapshot<const Quarn::Net::ClientPeer> mqttPeer_{nullptr};
    // Serves the metrics where the configuration in force asks; Apply moves it once the
    // core runs. Gone before the rest of the core: its thread reads the core's state.
    std::unique_ptr<Metrics::MetricsEndpoint> metricsEndpoint_;
    bool bridgeMetricsAdded_ = false;  // Apply's thread
    bool trailMetricsAdded_ = false;   // Apply's thread
    std::string startupFailure_;
    std::string configurationRefusal_;
    // The configuration in force, as Apply left it: by the starting thread before Start,
    // then by the gateways thread only.
    std::optional<Configuration::MuxConfigurationData> applied_;

    // The gateways of the configuration in force. A set never changes once published: a
    // reload publishes a new one, so any thread reads a consistent set by loading it and
    // keeps its gateways alive while it holds it. Set by the configuration before Start,
    // then by the gateways thread only.
    Threading::Snapshot<const GatewaySet> gatewaySet_{std::make_shared<const GatewaySet>()};
    // Drives every gateway of every set on its thread; its links call back into the core,
    // so it goes before the rest of the core does.
    std::unique_ptr<Quarn::GatewayLoop> gatewayLoop_;
    // The configuration file a reload rereads; set by RequestReload, read by the gateways
    // thread.
    std::mutex reloadMutex_;
    std::string reloadPath_;  // reloadMutex_
    std::atomic<bool> reloadWanted_{false};
    Threading::Mutex muxMessageQueueMutex_;
    Threading::Mutex pendingMessagesListMutex_;
    std::deque<Record> answerQueue_;  // muxMessageQueueMutex_
    bool delivering_ = false;         // muxMessageQueueMutex_: the main thread sends a batch
    std::map<std::string, Record> pendingMessagesList_;  // pendingMessagesListMutex_

    // Wake the loops: the gateways thread to stop; the main thread for an answer or event
    // queued.
    Threading::WorkSignal gatewaysWork_;
    Threading::WorkSignal clientsWork_;

    // Operating the core: its metrics; the clients that get gateway status events; the
    // heartbeats of the main and gateways loops (null: not watched), borrowed from the
    // service notifier and set before Start; called once the server socket listens.
    CoreMetrics metrics_{*this};
    ClientSet gatewayStatusSubscribers_;
    Service::Heartbeat* mainHeartbeat_ = nullptr;
    Service::Heartbeat* gatewaysHeartbeat_ = nullptr;
    std::function<void()> listeningCallback_;
    std::atomic<bool> listening_{false};
    // What Home Assistant sees; it wakes the gateways thread for its timers. Requests made
    // for it are numbered for their MessageIDs.
    HomeAssistant::Discovery homeAssistant_{kVersion, [this] { gatewaysWork_.Notify(); }};
    std::atomic<uint64_t> homeAssistantRequests_{0};
    // Door commands waiting for their "SENDING" line to reach the disk.
    HeldCommands heldCommands_;
    Service::FreedMemory freedMemory_{std::chrono::steady_clock::now()};  // gateways thread

    std::atomic<bool> running_{false};
    std::atomic<bool> gatewaysRunning_{false};
    std::atomic<bool> started_{false};
    std::unique_ptr<Threading::Thread> mainThread_;
    std::unique_ptr<Threading::Thread> gatewaysThread_;  // created by the main thread
};

}  // namespace Mux
