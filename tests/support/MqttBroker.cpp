#include "tests/support/MqttBroker.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>

namespace TestSupport {

MqttBroker::MqttBroker(const TempDir& folder) : MqttBroker(folder, Options()) {}

MqttBroker::MqttBroker(const TempDir& folder, Options options)
    : folder_(folder), port_(FreePort()), configFile_(folder.File("mosquitto.conf")) {
    // "user root" keeps a broker started as root from changing to a user that could not
    // read the folder; for anyone else it has no effect. Without Nagle's algorithm, as
    // lockhub's README advises: an answer would otherwise wait for a delayed ACK.
    std::string config = "user root\nset_tcp_nodelay true\nlistener " + std::to_string(port_) +
                         " 127.0.0.1\n" + options.listenerLines + "\nallow_anonymous true\n";
    if (options.persistent) {
        config += "persistence true\npersistence_location " + folder.Path() + "/\n";
    }
    WriteFile(configFile_, config);
}

bool MqttBroker::Start() {
    Stop();
    process_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{MOSQUITTO_BINARY, "-c", configFile_},
        ChildProcess::Options{"", {}, folder_.Path()});
    return WaitFor([&] {
               if (!process_->Running()) {
                   return true;  // ended at once: the port was taken, or the configuration is bad
               }
               int fd = ConnectTo(port_, std::chrono::milliseconds(0));
               if (fd >= 0) {
                   ::close(fd);
               }
               return fd >= 0;
           }) &&
           process_->Running();
}

void MqttBroker::Stop() {
    if (process_) {
        process_->Signal(SIGTERM);
        process_->WaitExit(std::chrono::milliseconds(10000));
        process_.reset();
    }
}

void MqttBroker::Signal(int signal) {
    if (process_) {
        process_->Signal(signal);
    }
}

std::string MqttBroker::Log() const {
    return process_ ? process_->Errors() : "";
}

MqttTestClient::MqttTestClient(int port, const std::string& clientId,
                               uint32_t sessionExpirySeconds) {
    mosquitto_lib_init();
    client_ = mosquitto_new(clientId.c_str(), sessionExpirySeconds == 0, this);
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_int_option(client_, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_v5_callback_set(
        client_, [](mosquitto*, void* self, int rc, int, const mosquitto_property*) {
            auto* client = static_cast<MqttTestClient*>(self);
            std::lock_guard<std::mutex> lock(client->mutex_);
            client->connected_ = rc == 0;
        });
    mosquitto_disconnect_v5_callback_set(
        client_, [](mosquitto*, void* self, int, const mosquitto_property*) {
            auto* client = static_cast<MqttTestClient*>(self);
            std::lock_guard<std::mutex> lock(client->mutex_);
            client->connected_ = false;
        });
    mosquitto_subscribe_v5_callback_set(
        client_, [](mosquitto*, void* self, int mid, int, const int*, const mosquitto_property*) {
            auto* client = static_cast<MqttTestClient*>(self);
            std::lock_guard<std::mutex> lock(client->mutex_);
            client->acknowledged_.insert(mid);
        });
    mosquitto_publish_v5_callback_set(
        client_, [](mosquitto*, void* self, int mid, int, const mosquitto_property*) {
            auto* client = static_cast<MqttTestClient*>(self);
            std::lock_guard<std::mutex> lock(client->mutex_);
            client->acknowledged_.insert(mid);
        });
    mosquitto_message_v5_callback_set(
        client_, [](mosquitto*, void* self, const mosquitto_message* message,
                    const mosquitto_property* properties) {
            MqttReceived received{message->topic,
                                  std::string(static_cast<const char*>(message->payload),
                                              static_cast<size_t>(message->payloadlen)),
                                  message->qos,
                                  message->retain,
                                  "",
                                  std::chrono::steady_clock::now()};
            void* correlation = nullptr;
            uint16_t length = 0;
            if (mosquitto_property_read_binary(properties, MQTT_PROP_CORRELATION_DATA, &correlation,
                                               &length, false)) {
                received.correlationData.assign(static_cast<const char*>(correlation), length);
                std::free(correlation);
            }
            auto* client = static_cast<MqttTestClient*>(self);
            std::lock_guard<std::mutex> lock(client->mutex_);
            client->received_.push_back(std::move(received));
        });
    mosquitto_property* properties = nullptr;
    if (sessionExpirySeconds > 0) {
        mosquitto_property_add_int32(&properties, MQTT_PROP_SESSION_EXPIRY_INTERVAL,
                                     sessionExpirySeconds);
    }
    mosquitto_reconnect_delay_set(client_, 1, 1, false);
    if (mosquitto_connect_bind_v5(client_, "127.0.0.1", port, 30, nullptr, properties) ==
        MOSQ_ERR_SUCCESS) {
        mosquitto_loop_start(client_);
        TestSupport::WaitFor([&] { return Connected(); });
    }
    mosquitto_property_free_all(&properties);
}

MqttTestClient::~MqttTestClient() {
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
    mosquitto_lib_cleanup();
}

bool MqttTestClient::Connected() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connected_;
}

bool MqttTestClient::WaitForAcknowledgement(int messageId) {
    return TestSupport::WaitFor([&] {
        std::lock_guard<std::mutex> lock(mutex_);
        return acknowledged_.count(messageId) > 0;
    });
}

bool MqttTestClient::Subscribe(const std::string& filter) {
    int messageId = 0;
    return mosquitto_subscribe_v5(client_, &messageId, filter.c_str(), 1, 0, nullptr) ==
               MOSQ_ERR_SUCCESS &&
           WaitForAcknowledgement(messageId);
}

bool MqttTestClient::Publish(const std::string& topic, const std::string& payload, bool retained,
                             const std::string& responseTopic, const std::string& correlationData) {
    mosquitto_property* properties = nullptr;
    if (!responseTopic.empty()) {
        mosquitto_property_add_string(&properties, MQTT_PROP_RESPONSE_TOPIC, responseTopic.c_str());
    }
    if (!correlationData.empty()) {
        mosquitto_property_add_binary(&properties, MQTT_PROP_CORRELATION_DATA,
                                      correlationData.data(),
                                      static_cast<uint16_t>(correlationData.size()));
    }
    int messageId = 0;
    int rc =
        mosquitto_publish_v5(client_, &messageId, topic.c_str(), static_cast<int>(payload.size()),
                             payload.data(), 1, retained, properties);
    mosquitto_property_free_all(&properties);
    return rc == MOSQ_ERR_SUCCESS && WaitForAcknowledgement(messageId);
}

int MqttTestClient::Socket() const {
    return mosquitto_socket(client_);
}

std::vector<MqttReceived> MqttTestClient::Received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

size_t MqttTestClient::ReceivedCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_.size();
}

std::optional<MqttReceived> MqttTestClient::WaitFor(
    const std::string& topic, const std::function<bool(const MqttReceived&)>& test,
    std::chrono::milliseconds deadline) const {
    std::optional<MqttReceived> found;
    TestSupport::WaitFor(
        [&] {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const MqttReceived& message : received_) {
                if (message.topic == topic && (!test || test(message))) {
                    found = message;
                    return true;
                }
            }
            return false;
        },
        deadline);
    return found;
}

}  // namespace TestSupport
