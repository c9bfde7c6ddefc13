#pragma once
// A real mosquitto broker for tests, as a child process listening on 127.0.0.1, and a
// small MQTT 5 client to watch and drive it. Every wait has a deadline.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

struct mosquitto;

namespace TestSupport {

// mosquitto with a configuration of its own in the folder, on a port that was free when the
// object was made. Anonymous clients are allowed.
class MqttBroker {
public:
    struct Options {
        // Keeps sessions and queued messages across Stop and Start, in the folder.
        bool persistent = false;
        // Further configuration lines for the listener (TLS files, say).
        std::string listenerLines;
    };

    explicit MqttBroker(const TempDir& folder);
    MqttBroker(const TempDir& folder, Options options);
    int Port() const { return port_; }

    // Starts the broker (again) on its port; true once it accepts connections.
    bool Start();
    // Ends it with SIGTERM (a persistent broker saves its state) and waits until it is gone.
    void Stop();
    // Sends it a signal: SIGSTOP and SIGCONT make a broker that stops answering for a while.
    void Signal(int signal);
    // Its log so far (standard error).
    std::string Log() const;

private:
    const TempDir& folder_;
    const int port_;
    std::string configFile_;
    std::unique_ptr<ChildProcess> process_;
};

// One message as a client received it.
struct MqttReceived {
    std::string topic;
    std::string payload;
    int qos = 0;
    bool retained = false;
    std::string correlationData;
    std::chrono::steady_clock::time_point arrived;  // when the client's thread got it
};

// A client with its own network thread (libmosquitto's). It records every message that
// arrives; the test waits for what it expects.
class MqttTestClient {
public:
    // Connects to 127.0.0.1:port and waits for the broker's answer. With a session expiry
    // the broker keeps the client's session (its subscriptions and the messages for it)
    // while the client is away, and the client reconnects by itself.
    MqttTestClient(int port, const std::string& clientId, uint32_t sessionExpirySeconds = 0);
    ~MqttTestClient();
    MqttTestClient(const MqttTestClient&) = delete;
    MqttTestClient& operator=(const MqttTestClient&) = delete;

    bool Connected() const;
    // QoS 1; waits for the broker's acknowledgement.
    bool Subscribe(const std::string& filter);
    // QoS 1, with the MQTT 5 response topic and correlation data when not empty; waits for
    // the broker's acknowledgement.
    bool Publish(const std::string& topic, const std::string& payload, bool retained = false,
                 const std::string& responseTopic = "", const std::string& correlationData = "");
    // The descriptor of its connection to the broker.
    int Socket() const;

    std::vector<MqttReceived> Received() const;
    size_t ReceivedCount() const;
    // Waits until a received message on the topic satisfies the test (any message on it
    // when there is none); the first such one.
    std::optional<MqttReceived> WaitFor(
        const std::string& topic, const std::function<bool(const MqttReceived&)>& test = nullptr,
        std::chrono::milliseconds deadline = std::chrono::milliseconds(10000)) const;

private:
    bool WaitForAcknowledgement(int messageId);

    mosquitto* client_ = nullptr;
    mutable std::mutex mutex_;
    // Guarded by mutex_.
    bool connected_ = false;
    std::set<int> acknowledged_;
    std::vector<MqttReceived> received_;
};

}  // namespace TestSupport
