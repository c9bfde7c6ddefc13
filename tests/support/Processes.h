#pragma once
// The system's programs as real processes for end-to-end tests: locksim (a gateway
// simulator), lockhub behind it, and a client that speaks the client protocol.

#include <chrono>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace TestSupport {

// locksim on a port the system picks. Destruction kills it if it still runs; a sanitizer
// report on its standard error fails the test.
class Locksim {
public:
    Locksim(const TempDir& folder, std::vector<std::string> options = {});
    ~Locksim();
    int Port() const { return port_; }
    // One command line on its standard input ("card 4711 04A10B").
    void Command(const std::string& line);
    std::string Output() const { return process_->Output(); }
    // Waits until its output holds text count times.
    bool WaitForOutput(const std::string& text, size_t count = 1,
                       std::chrono::milliseconds deadline = std::chrono::milliseconds(10000));
    ChildProcess& Process() { return *process_; }

private:
    std::unique_ptr<ChildProcess> process_;
    int port_ = 0;
};

// lockhub on a free port with the given configuration text (none when empty), logging
// at verbose severity into a file of the folder. Destruction kills it if it still runs; a
// sanitizer report on its standard error fails the test.
class Lockhub {
public:
    // port 0: a free port. environment: "NAME=value" added to lockhub's.
    Lockhub(const TempDir& folder, const std::string& configuration,
            std::vector<std::string> options = {}, int port = 0,
            std::vector<std::string> environment = {});
    ~Lockhub();
    int Port() const { return port_; }
    // The configuration file it reads (rewrite it, then SIGUSR1, to reload).
    std::string ConfigFile() const { return logFile_ + ".json"; }
    std::string Log() const;
    bool WaitForLog(const std::string& text, size_t count = 1,
                    std::chrono::milliseconds deadline = std::chrono::milliseconds(10000));
    ChildProcess& Process() { return *process_; }

private:
    std::unique_ptr<ChildProcess> process_;
    std::string logFile_;
    int port_ = 0;
};

// A configuration with one enabled gateway, ID gatewayId, on 127.0.0.1:port.
std::string OneGatewayConfiguration(int port, int gatewayId = 1,
                                    const std::string& extraTopLevel = "");

// The client packet of one JSON text: length (little-endian, whole packet), "MUXM", text.
std::string Frame(const std::string& json);

// A client connection to lockhub. Answers and events arrive as bare JSON objects one
// after the other; Receive cuts them apart.
class MuxClient {
public:
    explicit MuxClient(int port);
    ~MuxClient();
    MuxClient(const MuxClient&) = delete;
    MuxClient& operator=(const MuxClient&) = delete;

    bool Connected() const { return fd_ >= 0; }
    bool Send(const std::string& json);
    bool SendRaw(const std::string& bytes);
    // The next whole JSON object, or "" when none came within the deadline.
    std::string Receive(std::chrono::milliseconds deadline = std::chrono::milliseconds(10000));
    int Fd() const { return fd_; }

private:
    int fd_ = -1;
    std::string pending_;
};

// One connection attempt to address:port (an IPv4 address in text form): the connected
// socket, or -1 when refused or unusable. For servers listening on one address only.
int ConnectToAddress(const std::string& address, int port);

// The text with the value of every one of these JSON members replaced by _: times and
// event identifiers differ from run to run.
std::string Masked(std::string text, std::initializer_list<const char*> keys);

// A request text: {"Timestamp":1,"MessageID":id,"MessageCode":code,"Data":data}.
std::string Request(const std::string& id, int code, const std::string& data);

// The text of a JSON member in an object text, e.g. Member(answer, "MessageCode") == "0".
std::string Member(const std::string& object, const std::string& key);

}  // namespace TestSupport
