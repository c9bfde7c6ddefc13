// The core's lifecycle, its two threads, its configuration and its gateways.

#include "mux/QuarnMux.h"

#include <exception>

#include "audit/AuditTrail.h"
#include "diagnostics/Log.h"
#include "gateway/GatewayLoop.h"
#include "metrics/MetricsEndpoint.h"
#include "mqtt/MqttBridge.h"
#include "mux/ConfigurationCheck.h"
#include "mux/MuxRequestRecord.h"
#include "mux/protocol/MuxPacket.h"
#include "net/ServerSocket.h"
#include "service/Heartbeat.h"
#include "threading/Thread.h"
#include "tls/TlsServerContext.h"

namespace Mux {
namespace {

int ListenPortFor(int port) {
    return port > 0 && port != 80 && port != 443 ? port : kDefaultListenPort;
}

// The word a status shows in log lines; INITIALIZED and NOT_PRESENT show their numbers.
std::string StatusWord(Quarn::VirtualGatewayStatuses status) {
    switch (status) {
        case Quarn::UNKNOWN:
        case Quarn::CONNECTED:
        case Quarn::READY:
        case Quarn::DISCONNECTED:
        case Quarn::FAULTED:
            return Quarn::StatusName(status);
        default:
            return std::to_string(static_cast<uint32_t>(status));
    }
}

}  // namespace

QuarnMux::QuarnMux() : QuarnMux(kDefaultListenPort) {}

QuarnMux::QuarnMux(int port)
    : port_(ListenPortFor(port)),
      listenPort_(port_),
      muxMessageQueueMutex_("muxMessageQueueMutex", true, true),
      pendingMessagesListMutex_("pendingMessagesListMutex", true, true) {
    gatewayLoop_ = std::make_unique<Quarn::GatewayLoop>();
    metricsEndpoint_ = std::make_unique<Metrics::MetricsEndpoint>(metrics_.Registry(), [this] {
        CoreSummary summary = Summarize();
        const bool healthy = summary.listening && summary.gatewaysReady > 0;
        return Metrics::MetricsServer::Health{
            healthy, (healthy ? "ok: " : "unavailable: ") + summary.Text() +
                         (summary.listening ? "" : ", not listening")};
    });
    LOG_VERBOSE << "Initializing thread mutexes for multithread sync.";
    LOG_VERBOSE << "Mutexes for multithread initialized.";
}

QuarnMux::~QuarnMux() {
    ForceShutdown();
    metricsEndpoint_.reset();
    if (std::shared_ptr<Mqtt::MqttBridge> bridge = bridge_.exchange(nullptr)) {
        bridge->Stop();
    }
    if (mainThread_) {
        mainThread_->Join();
    }
    if (gatewaysThread_) {
        gatewaysThread_->Join();
    }
    // The trail's writer hands requests over ("before-send"): it ends while the rest of
    // the core is still there.
    CloseAuditTrail();
    if (serverSocket_) {
        serverSocket_->Stop();
    }
    RemoveAllGateways();
    gatewayLoop_.reset();
    DestroyMutexes();
}

void QuarnMux::DestroyMutexes() {
    LOG_VERBOSE << "Destroying thread mutexes for multithread sync.";
    muxMessageQueueMutex_.Destroy();
    pendingMessagesListMutex_.Destroy();
    LOG_VERBOSE << "Thread mutexes destroyed.";
}

void QuarnMux::Start() {
    if (started_.exchange(true)) {
        return;
    }
    CreateServerSocket();
    if (std::shared_ptr<Mqtt::MqttBridge> bridge = bridge_.load(); bridge && !bridge->Start()) {
        LOG_ERROR << "The MQTT bridge did not start; the client ports work without it.";
    }
    ApplyMetrics();
    mainThread_ = std::make_unique<Threading::Thread>("core-main", [this] { mainThreadProc(); });
    running_ = true;
    gatewaysRunning_ = true;
    mainThread_->Start();
    LOG_INFO << "Main thread spawned.";
}

void QuarnMux::Wait() {
    if (!mainThread_) {
        return;
    }
    try {
        mainThread_->Join();
    } catch (const std::exception& error) {
        LOG_ERROR << error.what();
    }
}

void QuarnMux::Stop() {
    if (running_) {
        EndLoops();
    }
}

void QuarnMux::ForceShutdown() {
    LOG_VERBOSE << "Force shutdown initiated";
    EndLoops();
}

void QuarnMux::EndLoops() {
    running_ = false;
    gatewaysRunning_ = false;
    clientsWork_.Notify();
    gatewaysWork_.Notify();
}

void QuarnMux::mainThreadProc() {
    LOG_DEBUG << "Mux main thread is now running on the main process.";
    gatewaysThread_ =
        std::make_unique<Threading::Thread>("core-gateways", [this] { gatewaysThreadProc(); });
    gatewaysThread_->Start();
    LOG_INFO << "Virtual gateways thread spawned.";
    if (!StartServerSocket()) {
        LOG_ERROR << "Error detected on socket. Initialization. Shutdown Mux.";
        ForceShutdown();
    }
    serving_ = true;
    LOG_VERBOSE << "All modules threads spawned. Starting main thread control loop.";
    while (running_) {
        Service::Beat(mainHeartbeat_);
        if (!SendQueuedMessagesToClients()) {
            AwaitWork(clientsWork_, mainHeartbeat_);
        }
    }
    LOG_WARNING << "Mux main thread is closing.";
}

void QuarnMux::CreateServerSocket() {
    serverSocket_ = std::make_unique<Quarn::Net::ServerSocket>(port_);
    serverSocket_->SetBindAddress(bindAddress_);
    serverSocket_->ClientAcceptedCallback = [this](int fd, uint64_t id) {
        ServerSocketClientAccepted(fd, id);
    };
    serverSocket_->DataReceivedCallback = [this](int fd, uint64_t id,
                                                 const Quarn::Net::ClientPeer& peer,
                                                 std::unique_ptr<std::vector<unsigned char>> data) {
        ServerSocketClientDataReceived(fd, id, peer, std::move(data));
    };
    serverSocket_->ClientDeletedCallback = [this](int fd, uint64_t id) {
        ServerSocketClientDeleted(fd, id);
    };
}

bool QuarnMux::PrepareListeners() {
    if (listenersRefused_) {
        return false;
    }
    if (!tls_) {
        return true;
    }
    std::string reason;
    tlsContext_ = Quarn::Tls::TlsServerContext::Create(Configuration::TlsFilesOf(*tls_), reason);
    if (!tlsContext_) {
        LOG_ERROR << "TLS listener refused: " << reason;
        return false;
    }
    return true;
}

bool QuarnMux::StartServerSocket() {
    if (!tlsContext_ && !PrepareListeners()) {
        return false;
    }
    if (tlsContext_) {
        serverSocket_->EnableTls(systemChosenTlsPort_ ? 0 : tls_->Port, tlsContext_);
    }
    if (!plainListener_) {
        serverSocket_->DisablePlainListener();
    }
    if (!serverSocket_->InitSocket()) {
        return false;
    }
    listenPort_ = serverSocket_->GetPort();
    tlsListenPort_ = tlsContext_ ? serverSocket_->GetTlsPort() : 0;
    LOG_INFO << "Listening for clients: "
             << (plainListener_ ? "plain on port " + std::to_string(listenPort_.load())
                                : std::string("no plain listener"))
             << (tlsContext_ ? ", TLS on port " + std::to_string(tlsListenPort_.load()) : "")
             << ".";
    LOG_DEBUG << "Server socket initialized.";
    serverSocket_->StartAcceptLoop();
    serverSocket_->StartReceiveDataLoop();
    AnnounceListening();
    return true;
}

void QuarnMux::gatewaysThreadProc() {
    // The gateway loop keeps every gateway connected: a gateway that is down or slow to
    // accept never holds up the others. Requests do not pass through here: the receive
    // thread hands each to its gateway directly. Reloads are applied here.
    for (const GatewaySet::Entry& entry : gatewaySet_.load()->entries) {
        gatewayLoop_->Add(entry.gateway);
    }
    while (gatewaysRunning_) {
        Service::Beat(gatewaysHeartbeat_);
        if (reloadWanted_.exchange(false)) {
            Reload();
        }
        HomeAssistantWork();
        ExpireHeldCommands();
        freedMemory_.GiveBackWhenDue(std::chrono::steady_clock::now());
        std::chrono::steady_clock::time_point wake = freedMemory_.NextWake();
        for (const auto& next : {homeAssistant_.NextWake(), heldCommands_.NextWake()}) {
            if (next && *next < wake) {
                wake = *next;
            }
        }
        AwaitWork(gatewaysWork_, gatewaysHeartbeat_, wake);
    }
    LOG_DEBUG << "GatewaysThreadProc thread procedure closing.";
}

void QuarnMux::ServerSocketClientAccepted(int clientFd, uint64_t) {
    metrics_.ClientJoined();
    LOG_VERBOSE << "Data callback hit.";
    LOG_DEBUG << "Client with FD " << clientFd << " accepted.";
}

void QuarnMux::ServerSocketClientDeleted(int clientFd, uint64_t connectionId) {
    metrics_.ClientLeft();
    gatewayStatusSubscribers_.Remove(connectionId);
    LOG_DEBUG << "Client deleted from list. FD " << clientFd;
}

bool QuarnMux::ParseConfigurationFile(std::string path) {
    std::optional<std::string> text = Configuration::ReadConfigurationFile(path);
    if (!text) {
        configurationRefusal_ = "Cannot read configuration JSON data from file " + path;
        LOG_ERROR << configurationRefusal_;
        return false;
    }
    LOG_INFO << "Reading configuration JSON data from file " << path;
    return ParseConfiguration(std::move(*text));
}

bool QuarnMux::ParseConfiguration(std::string json) {
    LOG_INFO << "Parsing configuration JSON...";
    configurationRefusal_.clear();
    Configuration::ConfigurationReading reading = Configuration::ReadConfigurationText(json);
    if (!reading.configuration) {
        LOG_ERROR << "Cannot parse JSON configuration. Invalid data.";
        configurationRefusal_ = "The configuration is refused: " + reading.refusal + ".";
        LOG_ERROR << configurationRefusal_;
        // Listeners other than those configured must never open: start-up stops.
        if (reading.namesListeners) {
            listenersRefused_ = true;
        }
        return false;
    }
    LogNotes(reading.notes);
    tls_ = reading.configuration->Tls;
    plainListener_ = reading.configuration->PlainListener;
    LOG_VERBOSE << Configuration::DescribeConfiguration(*reading.configuration);
    LOG_INFO << "JSON Configuration parsed. Activating new configuration.";
    return Apply(std::move(*reading.configuration), nullptr, startupFailure_);
}

void QuarnMux::LogNotes(const std::vector<std::string>& notes) {
    for (const std::string& note : notes) {
        LOG_WARNING << Configuration::kNotePrefix << note;
    }
}

void QuarnMux::RemoveAllGateways() {
    std::shared_ptr<const GatewaySet> set = gatewaySet_.exchange(std::make_shared<GatewaySet>());
    for (const GatewaySet::Entry& entry : set->entries) {
        gatewayLoop_->Remove(entry.gateway);
    }
}

std::shared_ptr<QuarnMux::Gateway> QuarnMux::CreateGateway(
    const Configuration::MuxGatewayData& data, int port, bool checkFrameCrc) {
    // A port the plan calls badPort: the gateway refuses it, and its exception tells why.
    Quarn::GatewaySettings settings;
    settings.id = data.ID;
    settings.description = data.Description;
    settings.ipAddress = data.IpAddress;
    settings.port = port;
    settings.timings.requestTimeout = requestTimeout_.load();
    settings.checkFrameCrc = checkFrameCrc;
    Gateway::Callbacks callbacks;
    callbacks.stateChanged = [this](Gateway& changed, Quarn::VirtualGatewayStatuses oldStatus,
                                    Quarn::VirtualGatewayStatuses newStatus) {
        VirtualGatewayStateChangedCallback(changed, oldStatus, newStatus);
    };
    callbacks.responseReceived = [this](Gateway& from, std::unique_ptr<GatewayResponse> response) {
        VirtualGatewayResponseReceivedCallback(from, std::move(response));
    };
    callbacks.eventReceived = [this](Gateway& from, std::unique_ptr<GatewayEvent> event) {
        VirtualGatewayEventReceivedCallback(from, std::move(event));
    };
    try {
        return std::make_shared<Gateway>(std::move(settings), std::move(callbacks));
    } catch (const std::exception& error) {
        LOG_ERROR << "Cannot create gateway with ID " << data.ID << ": " << error.what();
        return nullptr;
    }
}

std::shared_ptr<const GatewaySet> QuarnMux::BuildGatewaySet(
    const Configuration::MuxConfigurationData& configuration, const GatewaySet& previous,
    std::vector<std::shared_ptr<Gateway>>& created) {
    auto set = std::make_shared<GatewaySet>();
    if (!configuration.Enabled) {
        return set;
    }
    // A gateway is kept when the entry with its ID (the first, second ... with that ID)
    // still has its address, port, devices and CRC setting.
    std::map<int, size_t> seen;
    std::map<int, size_t> seenBefore;
    std::map<std::pair<int, size_t>, const GatewaySet::Entry*> before;
    for (const GatewaySet::Entry& entry : previous.entries) {
        before[{entry.data.ID, seenBefore[entry.data.ID]++}] = &entry;
    }
    for (const Configuration::GatewayPlan& plan : Configuration::PlanGateways(configuration)) {
        const Configuration::MuxGatewayData& data = configuration.Gateways[plan.index];
        if (plan.use == Configuration::GatewayUse::noAddress) {
            continue;
        }
        const bool checkFrameCrc = data.CheckFrameCRC.value_or(configuration.CheckFrameCRC);
        GatewaySet::Entry entry{data, checkFrameCrc, nullptr};
        auto old = before.find({data.ID, seen[data.ID]});
        if (old != before.end() && old->second->data.IpAddress == data.IpAddress &&
            Configuration::PortOf(old->second->data) == plan.port &&
            old->second->data.Devices == data.Devices &&
            old->second->checkFrameCrc == checkFrameCrc) {
            entry.gateway = old->second->gateway;
        } else {
            entry.gateway = CreateGateway(data, plan.port, checkFrameCrc);
            if (!entry.gateway) {
                continue;
            }
            created.push_back(entry.gateway);
        }
        ++seen[data.ID];
        if (plan.use == Configuration::GatewayUse::routed) {
            set->routed.emplace(data.ID, entry.gateway.get());
        }
        set->entries.push_back(std::move(entry));
    }
    return set;
}

void QuarnMux::VirtualGatewayStateChangedCallback(Gateway& gateway,
                                                  Quarn::VirtualGatewayStatuses oldStatus,
                                                  Quarn::VirtualGatewayStatuses newStatus) {
    LOG_VERBOSE << "[QuarnMux::VirtualGatewayStateChangedCallback] Gateway "
                << gateway.GetDescription() << "," << gateway.GetId() << " changed state from "
                << StatusWord(oldStatus) << " to state " << StatusWord(newStatus);
    if (std::shared_ptr<Mqtt::MqttBridge> bridge = bridge_.load()) {
        bridge->PublishGatewayStatus(gateway.GetId(), Quarn::StatusName(newStatus));
    }
    // Of gateways sharing an ID, the routed one is the one Home Assistant sees.
    const std::shared_ptr<const GatewaySet> set = gatewaySet_.load();
    if (auto routed = set->routed.find(static_cast<int>(gateway.GetId()));
        routed != set->routed.end() && routed->second == &gateway) {
        homeAssistant_.GatewayStatus(static_cast<int32_t>(gateway.GetId()),
                                     newStatus == Quarn::READY);
    }
    PublishGatewayStatus(gateway, oldStatus, newStatus);
    switch (newStatus) {
        case Quarn::CONNECTED:
            LOG_VERBOSE << "VG connected.";
            break;
        case Quarn::FAULTED:
            // The gateway reconnects by itself.
            LOG_WARNING << "Try to reconnect VG " << gateway.GetDescription() << ", "
                        << gateway.GetId() << ".";
            break;
        default:
            LOG_VERBOSE << "Virtual gateway switched to an unsupported status.";
            break;
    }
}

}  // namespace Mux
