#include "mqtt/MqttBridge.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "diagnostics/Log.h"
#include "threading/Backoff.h"
#include "threading/Thread.h"

namespace Mux::Mqtt {
namespace {

// How often the client library gets to do its timed work (keep-alive pings) at least.
constexpr auto kServiceInterval = std::chrono::seconds(1);
// How long the bridge's DISCONNECT may take to leave at Stop.
constexpr auto kDisconnectFlushTime = std::chrono::milliseconds(500);
constexpr int kQos = 1;

// libmosquitto wants its global set-up once per process before the first client.
void InitialiseLibrary() {
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

// The library's words for an error, without their full stop, to fit into a log line.
std::string ErrorText(int rc) {
    std::string text = rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc);
    if (!text.empty() && text.back() == '.') {
        text.pop_back();
    }
    return text;
}

// A retained message is published again after every connect from the outbox; what else
// was not confirmed goes back to it: events, notices, answers, and the clearing of a topic,
// which the outbox forgets once taken.
bool KeptForRetry(const MqttPublication& publication) {
    using Kind = MqttPublication::Kind;
    return publication.kind == Kind::event || publication.kind == Kind::notice ||
           publication.kind == Kind::reply ||
           (publication.kind == Kind::retained && publication.payload.empty());
}

// Home Assistant's birth message comes here.
std::string BirthTopic(const DiscoverySettings& discovery) {
    return discovery.prefix + "/status";
}

}  // namespace

void MqttBridge::ClientFree::operator()(mosquitto* client) const {
    mosquitto_destroy(client);
}

MqttBridge::MqttBridge(MqttSettings settings, MqttBridgeLimits limits)
    : limits_(limits),
      outbox_(limits.maxQueued),
      wakeFd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      settings_(std::move(settings)),
      topics_(settings_.topicPrefix) {}

MqttBridge::~MqttBridge() {
    Stop();
    if (wakeFd_ >= 0) {
        ::close(wakeFd_);
    }
}

bool MqttBridge::Start() {
    if (thread_ || stopped_) {
        return false;
    }
    InitialiseLibrary();
    if (wakeFd_ < 0) {
        LOG_ERROR << "MQTT: cannot create the bridge's wake-up descriptor: "
                  << std::strerror(errno);
        return false;
    }
    client_ = NewClient();
    if (!client_) {
        return false;
    }
    thread_ = std::make_unique<Threading::Thread>([this] { NetworkThreadProc(); });
    if (!thread_->Start()) {
        LOG_ERROR << "MQTT: cannot start the bridge's thread.";
        thread_.reset();
        client_.reset();
        return false;
    }
    LOG_INFO << "MQTT: bridge to broker " << settings_.BrokerName() << " as \""
             << settings_.clientId << "\" under " << settings_.topicPrefix << " started.";
    return true;
}

void MqttBridge::Stop() {
    if (stopped_) {
        return;
    }
    stopped_ = true;
    if (thread_) {
        stopping_ = true;
        Wake();
        thread_->Join();
        thread_.reset();
    }
}

void MqttBridge::Reconfigure(MqttSettings settings) {
    {
        std::lock_guard<std::mutex> lock(moveMutex_);
        requestedSettings_ = std::move(settings);
    }
    Wake();
}

void MqttBridge::PublishEvent(int32_t gatewayId, int32_t lockId, std::string json) {
    outbox_.Add({MqttPublication::Kind::event, MqttTopics::EventLevels(gatewayId, lockId),
                 std::move(json), "", false});
    Wake();
}

void MqttBridge::PublishGatewayStatus(int32_t gatewayId, std::string statusWord) {
    outbox_.SetRetained({false, MqttTopics::GatewayStatusLevels(gatewayId)}, std::move(statusWord));
    Wake();
}

void MqttBridge::Reply(const MqttCommand& command, std::string json) {
    outbox_.Add({MqttPublication::Kind::reply, command.responseTopic, std::move(json),
                 command.correlationData, false, true});
    Wake();
}

void MqttBridge::PublishRetained(std::string topic, std::string payload) {
    outbox_.SetRetained({true, std::move(topic)}, std::move(payload));
    Wake();
}

void MqttBridge::PublishNotice(std::string topic, std::string payload) {
    outbox_.Add(
        {MqttPublication::Kind::notice, std::move(topic), std::move(payload), "", false, true});
    Wake();
}

MqttCounters MqttBridge::Counters() const {
    return {eventsPublished_.load(), outbox_.DroppedEvents() + eventsRefused_.load(),
            reconnects_.load()};
}

void MqttBridge::Wake() {
    uint64_t one = 1;
    // A full counter already wakes the thread; nothing else can go wrong here.
    [[maybe_unused]] ssize_t written = ::write(wakeFd_, &one, sizeof one);
}

MqttBridge::Client MqttBridge::NewClient() {
    Client client(mosquitto_new(settings_.clientId.c_str(), true, this));
    if (!client) {
        LOG_ERROR << "MQTT: cannot create a client: " << std::strerror(errno);
        return nullptr;
    }
    mosquitto* raw = client.get();
    mosquitto_int_option(raw, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    // An acknowledgement followed by an answer would otherwise wait for the broker's
    // delayed ACK.
    mosquitto_int_option(raw, MOSQ_OPT_TCP_NODELAY, 1);
    const std::string& offline = kOffline;
    int rc = mosquitto_will_set_v5(raw, topics_.Status().c_str(), static_cast<int>(offline.size()),
                                   offline.data(), kQos, true, nullptr);
    if (rc == MOSQ_ERR_SUCCESS && !settings_.username.empty()) {
        rc = mosquitto_username_pw_set(
            raw, settings_.username.c_str(),
            settings_.password.empty() ? nullptr : settings_.password.c_str());
    }
    if (rc == MOSQ_ERR_SUCCESS && settings_.UsesTls()) {
        auto fileOrNull = [](const std::string& file) {
            return file.empty() ? nullptr : file.c_str();
        };
        // No password for the key: an encrypted key fails here instead of asking for one
        // on the terminal.
        rc = mosquitto_tls_set(raw, settings_.caFile.c_str(), nullptr,
                               fileOrNull(settings_.certificateFile), fileOrNull(settings_.keyFile),
                               [](char*, int, int, void*) { return 0; });
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        LOG_ERROR << "MQTT: cannot set the client up for broker " << settings_.BrokerName() << ": "
                  << ErrorText(rc);
        return nullptr;
    }
    mosquitto_connect_v5_callback_set(
        raw, [](mosquitto*, void* self, int reasonCode, int, const mosquitto_property*) {
            static_cast<MqttBridge*>(self)->OnConnect(reasonCode);
        });
    mosquitto_subscribe_v5_callback_set(raw, [](mosquitto*, void* self, int messageId, int count,
                                                const int* granted, const mosquitto_property*) {
        static_cast<MqttBridge*>(self)->OnSubscribe(messageId, count, granted);
    });
    mosquitto_publish_v5_callback_set(
        raw, [](mosquitto*, void* self, int messageId, int reasonCode, const mosquitto_property*) {
            static_cast<MqttBridge*>(self)->OnPublish(messageId, reasonCode);
        });
    mosquitto_message_v5_callback_set(
        raw, [](mosquitto*, void* self, const mosquitto_message* message,
                const mosquitto_property* properties) {
            static_cast<MqttBridge*>(self)->OnMessage(*message, properties);
        });
    mosquitto_log_callback_set(raw, [](mosquitto*, void* self, int level, const char* text) {
        // The library's debug lines tell of every packet: verbose only.
        if (level == MOSQ_LOG_DEBUG) {
            LOG_VERBOSE << "libmosquitto: " << text;
        } else {
            LOG_DEBUG << "libmosquitto: " << text;
        }
        std::string& detail = static_cast<MqttBridge*>(self)->failureDetail_;
        if (level == MOSQ_LOG_ERR && detail.empty()) {
            detail = text;
        }
    });
    return client;
}

void MqttBridge::NetworkThreadProc() {
    std::optional<Clock::time_point> stopDeadline;
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (stopping_ && !stopDeadline) {
            stopDeadline = now + kStopDrainTime;
        }
        if (stopDeadline && (link_ != Link::up || now >= *stopDeadline ||
                             (inFlight_.empty() && outbox_.Queued() == 0))) {
            break;
        }
        if (!stopDeadline) {
            MoveIfAsked(now);
        }
        if (link_ == Link::down && now >= nextAttempt_) {
            Connect(now);
        } else if (link_ == Link::connecting && now >= connectDeadline_) {
            ConnectionEnded(now,
                            "no answer within " + std::to_string(kConnectTimeout.count()) + " s");
        }
        if (link_ == Link::up && announce_) {
            Announce();
        } else if (link_ == Link::up && republish_) {
            Republish();
        }
        if (link_ == Link::up) {
            PublishQueued();
        }
        if (uint64_t drops = outbox_.DropsToReport()) {
            LOG_WARNING << "MQTT: " << drops
                        << " messages were dropped while the queue for the broker was full.";
        }
        Clock::time_point until = link_ == Link::down ? nextAttempt_ : now + kServiceInterval;
        if (link_ == Link::connecting) {
            until = std::min(until, connectDeadline_);
        }
        if (stopDeadline) {
            until = std::min(until, *stopDeadline);
        }
        WaitAndServe(until);
    }
    Disconnect();
}

void MqttBridge::Connect(Clock::time_point now) {
    if (!client_) {
        client_ = NewClient();
    }
    int rc = client_ ? mosquitto_connect_bind_async(client_.get(), settings_.host.c_str(),
                                                    settings_.port,
                                                    static_cast<int>(kKeepAlive.count()), nullptr)
                     : MOSQ_ERR_INVAL;
    if (rc != MOSQ_ERR_SUCCESS) {
        ConnectionEnded(now, client_ ? ErrorText(rc) : "the client cannot be set up");
        return;
    }
    link_ = Link::connecting;
    connectDeadline_ = now + kConnectTimeout;
}

void MqttBridge::ConnectionEnded(Clock::time_point now, const std::string& reason) {
    const bool wasUp = link_ == Link::up;
    DropConnection();
    if (wasUp && now - connectedAt_ >= kSteadyConnection) {
        failures_ = 0;
        LOG_WARNING << "MQTT: connection to broker " << settings_.BrokerName()
                    << " lost: " << reason << "; reconnecting.";
    } else if (wasUp) {
        // Lost as soon as made: backing off keeps a flapping connection from flooding the
        // log and the broker.
        ++failures_;
        LOG_WARNING << "MQTT: connection to broker " << settings_.BrokerName()
                    << " lost right after it was made: " << reason
                    << "; does another client use the ClientId \"" << settings_.clientId
                    << "\"? Reconnecting, at most " << limits_.reconnectMaxDelay.count()
                    << " ms apart.";
    } else {
        ++failures_;
        if (reason != lastFailure_) {
            LOG_WARNING << "MQTT: cannot connect to broker " << settings_.BrokerName() << ": "
                        << reason << "; trying again, at most " << limits_.reconnectMaxDelay.count()
                        << " ms apart.";
        } else {
            LOG_DEBUG << "MQTT: cannot connect to broker " << settings_.BrokerName() << ": "
                      << reason << " (attempt " << failures_ << ")";
        }
    }
    lastFailure_ = reason;
    nextAttempt_ = now + Threading::BackoffDelay(failures_, limits_.reconnectFirstDelay,
                                                 limits_.reconnectMaxDelay);
}

void MqttBridge::DropConnection() {
    link_ = Link::down;
    failureDetail_.clear();
    connected_ = false;
    // A fresh client for the next connection: what this one had not sent or had not had
    // confirmed goes back to the outbox, to be published again from there.
    std::vector<MqttPublication> unconfirmed;
    for (InFlight& entry : inFlight_) {
        if (KeptForRetry(entry.publication)) {
            unconfirmed.push_back(std::move(entry.publication));
        }
    }
    inFlight_.clear();
    subscriptions_.clear();
    outbox_.PutBack(std::move(unconfirmed));
    client_.reset();
}

void MqttBridge::MoveIfAsked(Clock::time_point now) {
    std::optional<MqttSettings> next;
    {
        std::lock_guard<std::mutex> lock(moveMutex_);
        next.swap(requestedSettings_);
    }
    if (next && next->SameLink(settings_)) {
        // Only what discovery puts into its messages changed: nothing of the link.
        settings_ = std::move(*next);
        return;
    }
    if (!next) {
        return;
    }
    LOG_INFO << "MQTT: bridge moving from broker " << settings_.BrokerName() << " under "
             << settings_.topicPrefix << " to broker " << next->BrokerName() << " under "
             << next->topicPrefix << ".";
    if (link_ == Link::up) {
        LeaveWithWill();
    }
    DropConnection();
    settings_ = std::move(*next);
    topics_ = MqttTopics(settings_.topicPrefix);
    // The new broker is tried at once, and its failures are its own.
    failures_ = 0;
    lastFailure_.clear();
    nextAttempt_ = now;
}

void MqttBridge::WaitAndServe(Clock::time_point until) {
    const int socket = client_ ? mosquitto_socket(client_.get()) : -1;
    pollfd waitSet[2] = {{wakeFd_, POLLIN, 0}, {socket, POLLIN, 0}};
    if (socket >= 0 && mosquitto_want_write(client_.get())) {
        waitSet[1].events |= POLLOUT;
    }
    auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
    int timeout = static_cast<int>(std::clamp<int64_t>(left.count(), 0, 60000));
    if (::poll(waitSet, socket >= 0 ? 2 : 1, timeout) < 0 && errno != EINTR) {
        LOG_ERROR << "MQTT: poll failed: " << std::strerror(errno);
    }
    if (waitSet[0].revents & POLLIN) {
        uint64_t count;
        [[maybe_unused]] ssize_t read = ::read(wakeFd_, &count, sizeof count);
    }
    if (socket < 0) {
        return;
    }
    int rc = MOSQ_ERR_SUCCESS;
    if (waitSet[1].revents & (POLLIN | POLLERR | POLLHUP)) {
        rc = mosquitto_loop_read(client_.get(), 1);
    }
    if (rc == MOSQ_ERR_SUCCESS && (waitSet[1].revents & POLLOUT)) {
        rc = mosquitto_loop_write(client_.get(), 1);
    }
    if (rc == MOSQ_ERR_SUCCESS) {
        rc = mosquitto_loop_misc(client_.get());
    }
    if (rc != MOSQ_ERR_SUCCESS || mosquitto_socket(client_.get()) < 0) {
        std::string reason = rc == MOSQ_ERR_SUCCESS || rc == MOSQ_ERR_CONN_LOST
                                 ? "closed by the broker or the network"
                                 : ErrorText(rc);
        if (!failureDetail_.empty()) {
            reason += " (" + failureDetail_ + ")";
        }
        ConnectionEnded(Clock::now(), reason);
    }
}

void MqttBridge::PublishQueued() {
    while (link_ == Link::up && inFlight_.size() < kMaxInFlight) {
        std::optional<MqttPublication> next = outbox_.Next();
        if (!next || !Publish(std::move(*next))) {
            return;
        }
    }
}

std::string MqttBridge::TopicOf(const MqttPublication& publication) const {
    return publication.absolute ? publication.topic : topics_.Under(publication.topic);
}

bool MqttBridge::Publish(MqttPublication publication) {
    mosquitto_property* properties = nullptr;
    if (!publication.correlationData.empty()) {
        mosquitto_property_add_binary(&properties, MQTT_PROP_CORRELATION_DATA,
                                      publication.correlationData.data(),
                                      static_cast<uint16_t>(publication.correlationData.size()));
    }
    int messageId = 0;
    const std::string topic = TopicOf(publication);
    int rc = mosquitto_publish_v5(
        client_.get(), &messageId, topic.c_str(), static_cast<int>(publication.payload.size()),
        publication.payload.data(), kQos, publication.retained, properties);
    mosquitto_property_free_all(&properties);
    if (rc == MOSQ_ERR_SUCCESS) {
        inFlight_.push_back({messageId, std::move(publication)});
        return true;
    }
    if (rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_ERRNO) {
        // The connection is going; the next pass notices and publishes it again later.
        if (KeptForRetry(publication)) {
            outbox_.PutBack({std::move(publication)});
        }
        return false;
    }
    LOG_WARNING << "MQTT: cannot publish to " << topic << ": " << ErrorText(rc);
    if (publication.kind == MqttPublication::Kind::event) {
        ++eventsRefused_;
    }
    return true;
}

void MqttBridge::LeaveWithWill() {
    // The will goes out as the last word: subscribers see "offline" either way.
    mosquitto_disconnect_v5(client_.get(), MQTT_RC_DISCONNECT_WITH_WILL_MSG, nullptr);
    const Clock::time_point deadline = Clock::now() + kDisconnectFlushTime;
    while (mosquitto_socket(client_.get()) >= 0 && mosquitto_want_write(client_.get()) &&
           Clock::now() < deadline) {
        pollfd writable{mosquitto_socket(client_.get()), POLLOUT, 0};
        ::poll(&writable, 1, 50);
        if (mosquitto_loop_write(client_.get(), 1) != MOSQ_ERR_SUCCESS) {
            break;
        }
    }
}

void MqttBridge::Disconnect() {
    if (link_ == Link::up) {
        LeaveWithWill();
    }
    DropConnection();
    if (size_t left = outbox_.Queued(); left > 0) {
        LOG_WARNING << "MQTT: bridge stopped with " << left << " messages not published.";
    }
    LOG_INFO << "MQTT: bridge to broker " << settings_.BrokerName() << " stopped.";
}

void MqttBridge::OnConnect(int reasonCode) {
    if (reasonCode != 0) {
        // The broker closes the connection next; the failure is reported then.
        failureDetail_ =
            std::string("the broker refused it: ") + mosquitto_reason_string(reasonCode);
        return;
    }
    link_ = Link::up;
    connected_ = true;
    connectedAt_ = Clock::now();
    lastFailure_.clear();
    failureDetail_.clear();
    refusalLogged_ = false;
    if (everConnected_) {
        ++reconnects_;
    }
    everConnected_ = true;
    LOG_INFO << "MQTT: connected to broker " << settings_.BrokerName() << " as \""
             << settings_.clientId << "\".";
    announce_ = true;
}

void MqttBridge::Announce() {
    announce_ = false;
    std::vector<std::string> filters{topics_.CommandFilter()};
    if (settings_.discovery) {
        filters.push_back(topics_.SetFilter());
        filters.push_back(BirthTopic(*settings_.discovery));
    }
    for (const std::string& filter : filters) {
        // Retain as published: a command sent retained still shows it, so it can be refused.
        int messageId = 0;
        int rc = mosquitto_subscribe_v5(client_.get(), &messageId, filter.c_str(), kQos,
                                        MQTT_SUB_OPT_RETAIN_AS_PUBLISHED, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            LOG_ERROR << "MQTT: cannot subscribe to " << filter << ": " << ErrorText(rc);
        } else {
            subscriptions_[messageId] = filter;
        }
    }
    Republish();
}

void MqttBridge::Republish() {
    republish_ = false;
    Publish({MqttPublication::Kind::presence, std::string(MqttTopics::kStatusLevels), kOnline, "",
             true});
    outbox_.RepublishRetained();
}

void MqttBridge::OnSubscribe(int messageId, int grantedCount, const int* granted) {
    auto filter = subscriptions_.find(messageId);
    const std::string topic = filter != subscriptions_.end() ? filter->second : "the commands";
    if (filter != subscriptions_.end()) {
        subscriptions_.erase(filter);
    }
    if (grantedCount < 1 || granted[0] >= MQTT_RC_UNSPECIFIED) {
        LOG_ERROR << "MQTT: the broker refused the subscription to " << topic << ": "
                  << mosquitto_reason_string(grantedCount < 1 ? MQTT_RC_UNSPECIFIED : granted[0])
                  << "; nothing will arrive there.";
    }
}

void MqttBridge::OnPublish(int messageId, int reasonCode) {
    auto entry = std::find_if(inFlight_.begin(), inFlight_.end(), [&](const InFlight& flight) {
        return flight.messageId == messageId;
    });
    if (entry == inFlight_.end()) {
        return;
    }
    const bool refused = reasonCode >= MQTT_RC_UNSPECIFIED;
    if (entry->publication.kind == MqttPublication::Kind::event) {
        ++(refused ? eventsRefused_ : eventsPublished_);
    }
    if (refused && !refusalLogged_) {
        refusalLogged_ = true;
        LOG_WARNING << "MQTT: the broker refused a publication to " << TopicOf(entry->publication)
                    << ": " << mosquitto_reason_string(reasonCode)
                    << " (logged once per connection).";
    }
    inFlight_.erase(entry);
}

void MqttBridge::OnMessage(const mosquitto_message& message, const mqtt5__property* properties) {
    const std::string topic = message.topic;
    if (settings_.discovery && topic == BirthTopic(*settings_.discovery)) {
        const std::string_view word(static_cast<const char*>(message.payload),
                                    static_cast<size_t>(message.payloadlen));
        if (word == kOnline) {
            LOG_INFO << "MQTT: Home Assistant is online; publishing its configurations and "
                        "states again.";
            republish_ = true;
        }
        return;
    }
    if (message.retain) {
        LOG_WARNING << "MQTT: retained command on " << topic
                    << " ignored: it would run again at every reconnect.";
        return;
    }
    MqttCommand command;
    command.setTopic = MqttTopics::IsSetTopic(topic);
    char* responseTopic = nullptr;
    mosquitto_property_read_string(properties, MQTT_PROP_RESPONSE_TOPIC, &responseTopic, false);
    if (!command.setTopic && (responseTopic == nullptr || *responseTopic == '\0')) {
        std::free(responseTopic);
        LOG_WARNING << "MQTT: command on " << topic << " without a response topic dropped.";
        return;
    }
    command.responseTopic = command.setTopic || responseTopic == nullptr ? "" : responseTopic;
    std::free(responseTopic);
    void* correlation = nullptr;
    uint16_t correlationLength = 0;
    if (mosquitto_property_read_binary(properties, MQTT_PROP_CORRELATION_DATA, &correlation,
                                       &correlationLength, false) != nullptr) {
        command.correlationData.assign(static_cast<const char*>(correlation), correlationLength);
        std::free(correlation);
    }
    command.badTopic = !topics_.ParseCommand(topic, command.gatewayId, command.lockId);
    if (command.badTopic) {
        command.gatewayId = command.lockId = 0;
    }
    command.tooLarge = static_cast<size_t>(message.payloadlen) > kMaxCommandBytes;
    if (!command.tooLarge) {
        command.payload.assign(static_cast<const char*>(message.payload),
                               static_cast<size_t>(message.payloadlen));
    }
    if (commandCallback_) {
        commandCallback_(std::move(command));
    }
}

}  // namespace Mux::Mqtt
