#include "bench/BenchSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <stdexcept>

namespace Bench {
namespace {

using TestSupport::Member;

bool Bindable(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool free =
        fd != -1 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return free;
}

}  // namespace

bool Options::Wants(const std::string& part) const {
    return only.empty() || std::find(only.begin(), only.end(), part) != only.end();
}

double Milliseconds(Clock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

double Seconds(Clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

std::string Format(const char* format, ...) {
    char text[1024];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    return text;
}

Spread SpreadOf(std::vector<double> values) {
    Spread spread;
    spread.count = values.size();
    if (values.empty()) {
        return spread;
    }
    std::sort(values.begin(), values.end());
    auto rank = [&](double p) {
        size_t index = static_cast<size_t>(std::ceil(p * static_cast<double>(values.size())));
        return values[std::clamp<size_t>(index, 1, values.size()) - 1];
    };
    spread.p50 = rank(0.50);
    spread.p99 = rank(0.99);
    spread.max = values.back();
    for (double value : values) {
        spread.mean += value;
    }
    spread.mean /= static_cast<double>(values.size());
    return spread;
}

void PrintSpread(const char* label, const Spread& spread) {
    std::printf("  %-36s p50 %7.3f ms   p99 %7.3f ms   max %7.3f ms   mean %7.3f ms\n", label,
                spread.p50, spread.p99, spread.max, spread.mean);
}

void Fail(const std::string& what) {
    throw std::runtime_error(what);
}

std::string OpenRequest(const std::string& id, int gatewayId, long lockId) {
    return TestSupport::Request(id, kLockOpen,
                                Format(R"({"gatewayID":%d,"lockID":%ld})", gatewayId, lockId));
}

std::string StatusRequest(const std::string& id, int gatewayId, long lockId) {
    return TestSupport::Request(id, kLockGetStatus,
                                Format(R"({"gatewayID":%d,"lockID":%ld})", gatewayId, lockId));
}

double RoundTrip(MuxClient& client, const std::string& id, const std::string& request,
                 const char* expectedCode) {
    const auto start = Clock::now();
    if (!client.Send(request)) {
        Fail("cannot send request " + id);
    }
    for (;;) {
        std::string answer = client.Receive(kAnswerDeadline);
        if (answer.empty()) {
            Fail("no answer to " + id);
        }
        if (Member(answer, "MessageID") == "\"" + id + "\"") {
            const double elapsed = Milliseconds(Clock::now() - start);
            if (Member(answer, "MessageCode") != expectedCode) {
                Fail("unexpected answer to " + id + ": " + answer);
            }
            return elapsed;
        }
    }
}

void Register(MuxClient& client, const std::string& id) {
    if (!client.Connected()) {
        Fail("cannot connect a client");
    }
    RoundTrip(client, id, OpenRequest(id, kUnconfiguredGateway, 1), kNack);
}

std::string GatewayJson(int id, const std::string& description, int port, long lockId) {
    return Format(R"({"ID": %d, "Description": "%s", "IpAddress": "127.0.0.1", "Port": %d, )"
                  R"("Devices": [{"Name": "Door", "ID": %ld}]})",
                  id, description.c_str(), port, lockId);
}

std::string Configuration(const std::vector<std::string>& gateways,
                          const std::string& extraTopLevel) {
    std::string list;
    for (const std::string& gateway : gateways) {
        list += (list.empty() ? "" : ", ") + gateway;
    }
    return R"({"Enabled": true, )" + extraTopLevel + R"("Gateways": [)" + list + "]}";
}

int QuietPort() {
    int ephemeralLow = 32768;
    std::sscanf(TestSupport::ReadFile("/proc/sys/net/ipv4/ip_local_port_range").c_str(), "%d",
                &ephemeralLow);
    constexpr int kLowest = 10000;
    const int span = std::max(1, ephemeralLow - kLowest);
    // Started at a place of its own per process, so that parallel runs rarely meet.
    const int first = static_cast<int>(::getpid() * 7919L % span);
    for (int step = 0; step < span; ++step) {
        const int port = kLowest + (first + step) % span;
        if (Bindable(port)) {
            return port;
        }
    }
    Fail("no free port below the ephemeral range");
}

LockhubProcess::LockhubProcess(const TempDir& folder, const std::string& name,
                               const Options& options, const std::string& configuration,
                               const std::string& stdoutFifo)
    : logFile_(folder.File(name + ".log")), port_(TestSupport::FreePort()) {
    const std::string configurationFile = folder.File(name + ".json");
    TestSupport::WriteFile(configurationFile, configuration);
    std::vector<std::string> argv = {options.lockhub,  "--port", std::to_string(port_),
                                     "--logFile",      logFile_, "--configFile",
                                     configurationFile};
    if (options.verbose) {
        argv.push_back("--verbose");
    }
    if (!stdoutFifo.empty()) {
        // The shell opens the fifo for lockhub and becomes lockhub: the same process id.
        argv.insert(argv.begin(), {"/bin/sh", "-c", "exec \"$0\" \"$@\" > '" + stdoutFifo + "'"});
    }
    process_ = std::make_unique<ChildProcess>(argv, ChildProcess::Options{"", {}, folder.Path()});
    meter_ = std::make_unique<ProcessMeter>(process_->Pid());
}

std::string LockhubProcess::State() {
    if (process_->Running()) {
        return "running";
    }
    const std::optional<int> status = process_->ExitStatus(0ms);
    return status && *status >= 0 ? Format("exited with status %d", *status)
                                  : "was killed by a signal";
}

std::unique_ptr<ChildProcess> StartLocksimOn(const TempDir& folder, int port,
                                             const std::vector<std::string>& options) {
    std::vector<std::string> argv = {LOCKSIM_BINARY, "--port", std::to_string(port)};
    argv.insert(argv.end(), options.begin(), options.end());
    auto locksim =
        std::make_unique<ChildProcess>(argv, ChildProcess::Options{"", {}, folder.Path()});
    const bool listening = TestSupport::WaitFor(
        [&] { return locksim->Output().find("locksim listening on") != std::string::npos; },
        kStartDeadline);
    return listening ? std::move(locksim) : nullptr;
}

std::optional<double> WaitUntilReady(MuxClient& client, const std::vector<int>& gateways,
                                     long lockId, std::chrono::milliseconds deadline) {
    constexpr auto kRetryPause = 200ms;
    constexpr auto kReceiveSlice = 50ms;
    const auto start = Clock::now();
    const auto end = start + deadline;
    // The gateways not ready yet: when to ask each next (max: its request is waiting).
    std::map<int, Clock::time_point> due;
    std::map<std::string, int> waiting;  // quoted MessageID -> gateway
    for (int gateway : gateways) {
        due[gateway] = start;
    }
    int serial = 0;
    while (!due.empty() && Clock::now() < end) {
        for (auto& [gateway, when] : due) {
            if (when <= Clock::now()) {
                const std::string id = Format("ready-%d-%d", gateway, serial++);
                if (!client.Send(StatusRequest(id, gateway, lockId))) {
                    return std::nullopt;
                }
                waiting.emplace("\"" + id + "\"", gateway);
                when = Clock::time_point::max();
            }
        }
        const std::string answer = client.Receive(kReceiveSlice);
        if (answer.empty() && PeerClosed(client.Fd())) {
            return std::nullopt;  // lockhub has gone
        }
        auto found = waiting.find(Member(answer, "MessageID"));
        if (found == waiting.end()) {
            continue;
        }
        if (Member(answer, "MessageCode") == kAck) {
            due.erase(found->second);
        } else {
            due[found->second] = Clock::now() + kRetryPause;
        }
        waiting.erase(found);
    }
    if (!due.empty()) {
        return std::nullopt;
    }
    return Seconds(Clock::now() - start);
}

bool PeerClosed(int fd) {
    char byte;
    return ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

std::string LoadAverage() {
    std::string text = TestSupport::ReadFile("/proc/loadavg");
    size_t end = 0;
    for (int field = 0; field < 3 && end != std::string::npos; ++field) {
        end = text.find(' ', end + 1);
    }
    return text.substr(0, end);
}

const char* Verdict(bool met) {
    return met ? "met" : "MISSED";
}

void Summary::Add(const std::string& measurement, const std::string& result,
                  const std::string& target) {
    rows_.push_back({measurement, result, target});
}

void Summary::Failed(const std::string& part, const std::string& reason) {
    failures_.push_back({part, reason, ""});
}

void Summary::Print() const {
    std::printf("\nSummary (markdown)\n\n");
    std::printf("| measurement | result | target |\n|---|---|---|\n");
    for (const Row& row : rows_) {
        std::printf("| %s | %s | %s |\n", row.measurement.c_str(), row.result.c_str(),
                    row.target.c_str());
    }
    for (const Row& failure : failures_) {
        std::printf("\nPart \"%s\" FAILED: %s\n", failure.measurement.c_str(),
                    failure.result.c_str());
    }
}

void KeepLogs(const TempDir& folder, const Options& options, const std::string& part, bool always) {
    std::string root = options.keep;
    if (root.empty()) {
        if (!always) {
            return;
        }
        static const std::string kept = [] {
            char pattern[] = "/tmp/lockhub-bench-XXXXXX";
            return ::mkdtemp(pattern) == nullptr ? std::string("/tmp") : std::string(pattern);
        }();
        root = kept;
    }
    const std::filesystem::path target = std::filesystem::path(root) / part;
    std::error_code error;
    std::filesystem::create_directories(target, error);
    for (const auto& entry : std::filesystem::directory_iterator(folder.Path(), error)) {
        std::filesystem::copy_file(entry.path(), target / entry.path().filename(),
                                   std::filesystem::copy_options::overwrite_existing, error);
    }
    std::printf("  logs of \"%s\" kept in %s\n", part.c_str(), target.c_str());
}

void RunPart(const std::string& name, const Part& part, const Options& options, Summary& summary) {
    if (!options.Wants(name)) {
        return;
    }
    TempDir folder;
    bool keep = false;
    try {
        keep = part(folder, options, summary);
    } catch (const std::exception& error) {
        std::fflush(stdout);
        std::fprintf(stderr, "lockhub_bench: %s: %s\n", name.c_str(), error.what());
        summary.Failed(name, error.what());
        keep = true;
    }
    KeepLogs(folder, options, name, keep);
}

}  // namespace Bench
