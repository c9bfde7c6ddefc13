#include "tests/support/Processes.h"

#include "mux/protocol/MuxAnswerStream.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <poll.h>

#include <gtest/gtest.h>

namespace TestSupport {
namespace {

// A sanitizer report on a child's standard error fails the test that ran it, whatever
// the test itself checks.
void ExpectNoSanitizerReport(const char* program, const ChildProcess& process) {
    const std::string errors = process.Errors();
    EXPECT_EQ(errors.find("Sanitizer"), std::string::npos) << program << ": " << errors;
}

// The port of locksim's whole line "locksim listening on ADDRESS:PORT", or 0 until it came.
int ListeningPort(const std::string& output) {
    const std::string marker = "locksim listening on ";
    size_t at = output.find(marker);
    size_t end = at == std::string::npos ? at : output.find('\n', at);
    if (end == std::string::npos) {
        return 0;
    }
    size_t colon = output.rfind(':', end);
    if (colon < at || colon + 1 == end) {
        return 0;
    }
    int port = 0;
    for (size_t i = colon + 1; i < end; ++i) {
        if (output[i] < '0' || output[i] > '9') {
            return 0;
        }
        port = port * 10 + (output[i] - '0');
    }
    return port;
}

}  // namespace

Locksim::Locksim(const TempDir& folder, std::vector<std::string> options) {
    std::vector<std::string> argv = {LOCKSIM_BINARY, "--port", "0"};
    argv.insert(argv.end(), options.begin(), options.end());
    process_ = std::make_unique<ChildProcess>(ProjectProgram(argv),
                                              ChildProcess::Options{"", {}, folder.Path()});
    WaitFor([&] {
        port_ = ListeningPort(process_->Output());
        return port_ != 0;
    });
}

Locksim::~Locksim() {
    ExpectNoSanitizerReport("locksim", *process_);
}

void Locksim::Command(const std::string& line) {
    process_->WriteInput(line + "\n");
}

bool Locksim::WaitForOutput(const std::string& text, size_t count,
                            std::chrono::milliseconds deadline) {
    return WaitFor([&] { return CountOf(process_->Output(), text) >= count; }, deadline);
}

Lockhub::Lockhub(const TempDir& folder, const std::string& configuration,
                 std::vector<std::string> options, int port, std::vector<std::string> environment)
    : logFile_(folder.File("lockhub" + std::to_string(FreePort()) + ".log")),
      port_(port != 0 ? port : FreePort()) {
    std::vector<std::string> argv = {LOCKHUB_BINARY, "--port", std::to_string(port_),
                                     "--logFile",    logFile_, "--verbose"};
    if (!configuration.empty()) {
        std::string path = logFile_ + ".json";
        WriteFile(path, configuration);
        argv.insert(argv.end(), {"--configFile", path});
    }
    argv.insert(argv.end(), options.begin(), options.end());
    process_ = std::make_unique<ChildProcess>(
        ProjectProgram(argv), ChildProcess::Options{"", std::move(environment), folder.Path()});
}

Lockhub::~Lockhub() {
    ExpectNoSanitizerReport("lockhub", *process_);
}

std::string Lockhub::Log() const {
    return ReadFile(logFile_);
}

bool Lockhub::WaitForLog(const std::string& text, size_t count,
                         std::chrono::milliseconds deadline) {
    return WaitFor([&] { return CountOf(Log(), text) >= count; }, deadline);
}

std::string OneGatewayConfiguration(int port, int gatewayId, const std::string& extraTopLevel) {
    return R"({"Enabled": true, )" + extraTopLevel + R"("Gateways": [{"ID": )" +
           std::to_string(gatewayId) +
           R"(, "Description": "Test gateway", "IpAddress": "127.0.0.1", "Port": )" +
           std::to_string(port) + R"(, "Devices": [{"Name": "Front door", "ID": 4711}]}]})";
}

std::string Frame(const std::string& json) {
    size_t length = json.size() + 6;
    std::string packet;
    packet += static_cast<char>(length & 0xFF);
    packet += static_cast<char>((length >> 8) & 0xFF);
    packet += "MUXM";
    packet += json;
    return packet;
}

MuxClient::MuxClient(int port) : fd_(ConnectTo(port)) {}

MuxClient::~MuxClient() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool MuxClient::Send(const std::string& json) {
    return SendAll(fd_, Frame(json));
}

bool MuxClient::SendRaw(const std::string& bytes) {
    return SendAll(fd_, bytes);
}

std::string MuxClient::Receive(std::chrono::milliseconds deadline) {
    auto end = std::chrono::steady_clock::now() + Scaled(deadline);
    for (;;) {
        if (size_t length = Mux::CompleteObjectLength(pending_)) {
            std::string object = pending_.substr(0, length);
            pending_.erase(0, length);
            return object;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0 || fd_ < 0) {
            return "";
        }
        pollfd waiting{fd_, POLLIN, 0};
        if (::poll(&waiting, 1, static_cast<int>(left.count())) <= 0) {
            return "";
        }
        char buffer[4096];
        ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return "";
        }
        pending_.append(buffer, static_cast<size_t>(n));
    }
}

int ConnectToAddress(const std::string& address, int port) {
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(static_cast<uint16_t>(port));
    if (::inet_pton(AF_INET, address.c_str(), &target.sin_addr) != 1) {
        return -1;
    }
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) {
        ::close(fd);
        fd = -1;
    }
    return fd;
}

std::string Masked(std::string text, std::initializer_list<const char*> keys) {
    for (const char* key : keys) {
        const std::string marker = std::string("\"") + key + "\":";
        for (size_t at = text.find(marker); at != std::string::npos;
             at = text.find(marker, at + marker.size())) {
            std::string value = Member(text.substr(at), key);
            text.replace(at + marker.size(), value.size(), "_");
        }
    }
    return text;
}

std::string Request(const std::string& id, int code, const std::string& data) {
    return R"({"Timestamp":1,"MessageID":")" + id + R"(","MessageCode":)" + std::to_string(code) +
           R"(,"Data":)" + data + "}";
}

std::string Member(const std::string& object, const std::string& key) {
    std::string marker = "\"" + key + "\":";
    size_t at = object.find(marker);
    if (at == std::string::npos) {
        return "";
    }
    at += marker.size();
    size_t end = at;
    if (object[at] == '"') {
        end = object.find('"', at + 1) + 1;
    } else if (object[at] == '{') {
        end = at + Mux::CompleteObjectLength(std::string_view(object).substr(at));
    } else {
        end = object.find_first_of(",}", at);
    }
    return object.substr(at, end - at);
}

}  // namespace TestSupport
