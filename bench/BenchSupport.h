#pragma once
// What lockhub_bench's parts share: the command-line options, lockhub and locksim as
// processes, requests and their round trips, percentiles, and the summary table printed
// at the end.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bench/ProcessMeter.h"
#include "tests/support/Processes.h"
#include "tests/support/TestSupport.h"

namespace Bench {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using TestSupport::ChildProcess;
using TestSupport::MuxClient;
using TestSupport::TempDir;

inline constexpr int kLockOpen = 10;
inline constexpr int kLockGetStatus = 12;
inline constexpr int kWhitelistSet = 21;
inline constexpr const char* kAck = "0";
inline constexpr const char* kNack = "1";
// No configuration names it: lockhub answers at once with a NACK.
inline constexpr int kUnconfiguredGateway = 99;
// lockhub spaces the frames to one gateway at least this far apart.
inline constexpr auto kGatewaySpacing = 300ms;
inline constexpr auto kAnswerDeadline = 3s;  // one answer, the 300 ms frame spacing included
inline constexpr auto kStartDeadline = 10s;
// Resident memory may move by this much without counting as growth (allocator noise).
inline constexpr long kMemoryNoiseKilobytes = 64;

struct Options {
    bool quick = false;
    bool verbose = false;
    std::string keep;
    std::string lockhub = LOCKHUB_BINARY;
    std::vector<std::string> only;  // parts to run; empty: all
    // How long the MQTT part sends its thousand events a second; unset: 60 s, 5 s quick.
    std::optional<int> mqttSeconds;
    bool Wants(const std::string& part) const;
};

double Milliseconds(Clock::duration duration);
double Seconds(Clock::duration duration);
// printf into a string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

struct Spread {
    double p50 = 0;
    double p99 = 0;
    double max = 0;
    double mean = 0;
    size_t count = 0;
};

// Nearest-rank percentiles of milliseconds.
Spread SpreadOf(std::vector<double> values);
void PrintSpread(const char* label, const Spread& spread);

// Ends the part: the processes are ended on the way out, and the summary notes it.
[[noreturn]] void Fail(const std::string& what);

std::string OpenRequest(const std::string& id, int gatewayId, long lockId);
std::string StatusRequest(const std::string& id, int gatewayId, long lockId);

// Sends one request and waits for the answer with its MessageID; the milliseconds from
// just before the send to just after the answer was read whole.
double RoundTrip(MuxClient& client, const std::string& id, const std::string& request,
                 const char* expectedCode);
// Makes sure lockhub has taken the client into its list: an answer proves it.
void Register(MuxClient& client, const std::string& id);

// One element of a configuration's "Gateways" on 127.0.0.1, with one device.
std::string GatewayJson(int id, const std::string& description, int port, long lockId);
// An enabled configuration: extraTopLevel (such as "\"RequestTimeout\": 5, ") and the
// gateways, separated by commas.
std::string Configuration(const std::vector<std::string>& gateways,
                          const std::string& extraTopLevel = "");

// A free port on 127.0.0.1 below the system's ephemeral range. Gateways that are down get
// such a port: a connect to a port of the ephemeral range where nothing listens may pick
// that very port as its source port and connect the socket to itself.
int QuietPort();

// lockhub on a free port, reading name.json (the configuration) and logging into
// name.log of the folder at info severity (verbose with --verbose). Its standard output
// goes to a file of the folder, or into the fifo stdoutFifo when given.
class LockhubProcess {
public:
    LockhubProcess(const TempDir& folder, const std::string& name, const Options& options,
                   const std::string& configuration, const std::string& stdoutFifo = "");

    int Port() const { return port_; }
    pid_t Pid() const { return process_->Pid(); }
    const ProcessMeter& Meter() const { return *meter_; }
    bool Running() { return process_->Running(); }
    // "running", "exited with status N" or "was killed by a signal".
    std::string State();
    const std::string& LogFile() const { return logFile_; }

private:
    std::unique_ptr<ChildProcess> process_;
    std::unique_ptr<ProcessMeter> meter_;
    std::string logFile_;
    int port_ = 0;
};

// locksim on the given port (unlike TestSupport::Locksim, which lets the system pick
// one), so that a gateway can come back where it was; null when it did not start.
std::unique_ptr<ChildProcess> StartLocksimOn(const TempDir& folder, int port,
                                             const std::vector<std::string>& options);

// Sends status requests to the gateways until each answered one with an ACK (a gateway
// answers once it is connected and in step). The seconds that took, or nullopt when not
// all did within the deadline.
std::optional<double> WaitUntilReady(MuxClient& client, const std::vector<int>& gateways,
                                     long lockId, std::chrono::milliseconds deadline);

// Whether the other end closed the connection (and nothing is left to read).
bool PeerClosed(int fd);

// The 1, 5 and 15 minute load averages: other work on the machine skews every figure.
std::string LoadAverage();

const char* Verdict(bool met);

// The figures of every part, printed together at the end as one markdown table.
class Summary {
public:
    void Add(const std::string& measurement, const std::string& result,
             const std::string& target = "");
    void Failed(const std::string& part, const std::string& reason);
    bool AnyFailed() const { return !failures_.empty(); }
    void Print() const;

private:
    struct Row {
        std::string measurement;
        std::string result;
        std::string target;
    };
    std::vector<Row> rows_;
    std::vector<Row> failures_;
};

// Copies the folder's files (lockhub's and locksim's logs, configurations) to
// F/part with --keep F; without --keep, when always is set, to a folder of its own under
// /tmp that is left in place. Prints where.
void KeepLogs(const TempDir& folder, const Options& options, const std::string& part, bool always);

// One part of the bench, measuring in the folder it is given; true asks for its logs to be
// kept (lockhub ended on its own, say).
using Part = std::function<bool(const TempDir& folder, const Options& options, Summary& summary)>;
// Runs the part in a folder of its own when the options select it. A part that throws is
// noted in the summary; its processes are ended on the way out and its logs kept.
void RunPart(const std::string& name, const Part& part, const Options& options, Summary& summary);

}  // namespace Bench
