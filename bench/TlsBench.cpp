// lockhub_bench --only tls: what the TLS listener costs against the plain one, in the same
// run: round trips, 1,000 idle TLS clients, and handshakes with the ECDSA P-256 certificates
// of scripts/make-test-certs.

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "bench/Parts.h"
#include "mux/protocol/MuxAnswerStream.h"
#include "tls/TlsClient.h"

namespace Bench {
namespace {

using Quarn::Tls::TlsClient;
using Quarn::Tls::TlsClientContext;
using TestSupport::Locksim;
using TestSupport::Member;

constexpr int kGatewayCount = 8;
constexpr int kLockId = 4711;
// Between two requests, TLS and plain taking turns: each gateway's last frame is
// kGatewayCount * kGap (336 ms) old when its next request comes, so the 300 ms frame
// spacing holds none back.
constexpr auto kGap = 42ms;
static_assert(kGatewayCount * kGap > kGatewaySpacing);
constexpr double kAddedP99TargetMs = 1;
constexpr double kIdleCpuTargetPercent = 0.1;

const std::string kCerts = TEST_CERTS_DIR;

struct Sizes {
    int roundTrips = 200;  // each, TLS and plain
    int idleClients = 1000;
    std::chrono::seconds idleTime{10};
    int handshakes = 500;
};

// One client of the TLS listener.
class TlsMuxClient {
public:
    TlsMuxClient(int port, std::shared_ptr<const TlsClientContext> context)
        : fd_(TestSupport::ConnectTo(port)) {
        std::string error;
        if (fd_ == -1) {
            Fail("cannot connect to the TLS listener");
        }
        // As lockctl: the client's last handshake messages must not wait for an ACK.
        int on = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        client_ = TlsClient::Connect(std::move(context), fd_, "127.0.0.1",
                                     Clock::now() + kStartDeadline, error);
        if (!client_) {
            Fail("TLS handshake: " + error);
        }
    }
    ~TlsMuxClient() {
        client_.reset();
        ::close(fd_);
    }
    TlsMuxClient(const TlsMuxClient&) = delete;
    TlsMuxClient& operator=(const TlsMuxClient&) = delete;

    // As RoundTrip for plain clients.
    double RoundTrip(const std::string& id, const std::string& request, const char* expected) {
        const auto start = Clock::now();
        const auto deadline = start + kAnswerDeadline;
        std::string error;
        if (!client_->Write(TestSupport::Frame(request), deadline, error)) {
            Fail("cannot send request " + id + ": " + error);
        }
        for (;;) {
            if (size_t length = Mux::CompleteObjectLength(pending_)) {
                std::string answer = pending_.substr(0, length);
                pending_.erase(0, length);
                if (Member(answer, "MessageID") != "\"" + id + "\"") {
                    continue;
                }
                const double elapsed = Milliseconds(Clock::now() - start);
                if (Member(answer, "MessageCode") != expected) {
                    Fail("unexpected answer to " + id + ": " + answer);
                }
                return elapsed;
            }
            if (client_->Read(pending_, deadline, error) != TlsClient::Status::Ok) {
                Fail("no answer to " + id + (error.empty() ? "" : ": " + error));
            }
        }
    }

private:
    int fd_;
    std::unique_ptr<TlsClient> client_;
    std::string pending_;
};

struct Results {
    Spread tls;
    Spread plain;
    double idleRunPercent = 0;
    double idleTickPercent = 0;
    double idleWakeupsPerSecond = 0;
    long idleRssKilobytes = 0;
    double handshakesPerSecond = 0;
    double cpuPerConnectionMs = 0;
};

void MeasureRoundTrips(MuxClient& plain, TlsMuxClient& tls, const Sizes& sizes, Results& results) {
    std::printf(
        "\nT1. Round trips, TLS and plain in turn: %d lock-open requests each\n"
        "    client -> lockhub -> locksim -> lockhub -> client, one TLS client (front-desk,\n"
        "    TLS 1.3) and one plain client taking turns %.0f ms apart over %d gateways, as in "
        "1a.\n",
        sizes.roundTrips, Milliseconds(kGap), kGatewayCount);
    std::this_thread::sleep_for(kGatewaySpacing);
    std::vector<double> throughTls;
    std::vector<double> throughPlain;
    for (int i = 0; i < 2 * sizes.roundTrips; ++i) {
        std::this_thread::sleep_for(kGap);
        const std::string id = "tls-bench-" + std::to_string(i);
        const std::string request = OpenRequest(id, 1 + i % kGatewayCount, kLockId);
        if (i % 2 == 0) {
            throughTls.push_back(tls.RoundTrip(id, request, kAck));
        } else {
            throughPlain.push_back(RoundTrip(plain, id, request, kAck));
        }
    }
    results.tls = SpreadOf(throughTls);
    results.plain = SpreadOf(throughPlain);
    PrintSpread("T1 over TLS:", results.tls);
    PrintSpread("T1 plain:", results.plain);
}

void MeasureIdleClients(LockhubProcess& lockhub, std::shared_ptr<const TlsClientContext> context,
                        int tlsPort, const Sizes& sizes, Results& results) {
    std::printf(
        "\nT2. CPU of lockhub with %d idle TLS clients, %lld s of no traffic\n"
        "    Each client made its handshake and had one request answered, then stays silent.\n"
        "    Measured as in 3.\n",
        sizes.idleClients, static_cast<long long>(sizes.idleTime.count()));
    std::vector<std::unique_ptr<TlsMuxClient>> clients;
    for (int i = 0; i < sizes.idleClients; ++i) {
        clients.push_back(std::make_unique<TlsMuxClient>(tlsPort, context));
        const std::string id = "idle-tls-" + std::to_string(i);
        clients.back()->RoundTrip(id, OpenRequest(id, kUnconfiguredGateway, 1), kNack);
    }
    std::this_thread::sleep_for(500ms);
    const CpuUse before = lockhub.Meter().Cpu();
    const auto start = Clock::now();
    std::this_thread::sleep_for(sizes.idleTime);
    const CpuUse after = lockhub.Meter().Cpu();
    const double seconds = Seconds(Clock::now() - start);
    results.idleRunPercent = 100 * (after.runSeconds - before.runSeconds) / seconds;
    results.idleTickPercent = 100 * (after.tickSeconds - before.tickSeconds) / seconds;
    results.idleWakeupsPerSecond = static_cast<double>(after.switches - before.switches) / seconds;
    results.idleRssKilobytes = lockhub.Meter().ResidentKilobytes();
    std::printf("  run time:    %.4f %% of one core; utime+stime %.3f %%\n", results.idleRunPercent,
                results.idleTickPercent);
    std::printf("  wake-ups:    %.1f per second; VmRSS %ld kB with %d TLS clients\n",
                results.idleWakeupsPerSecond, results.idleRssKilobytes, sizes.idleClients);
}

void MeasureHandshakes(LockhubProcess& lockhub, std::shared_ptr<const TlsClientContext> context,
                       int tlsPort, const Sizes& sizes, Results& results) {
    std::printf(
        "\nT3. %d TLS connections one after the other, ECDSA P-256 certificates (TLS 1.3)\n"
        "    Each: connect, handshake, one request answered by lockhub itself (so that lockhub\n"
        "    has verified the certificate), close. lockhub's CPU time per connection bounds\n"
        "    how many handshakes per second one core can take.\n",
        sizes.handshakes);
    const CpuUse before = lockhub.Meter().Cpu();
    const auto start = Clock::now();
    for (int i = 0; i < sizes.handshakes; ++i) {
        TlsMuxClient client(tlsPort, context);
        const std::string id = "handshake-" + std::to_string(i);
        client.RoundTrip(id, OpenRequest(id, kUnconfiguredGateway, 1), kNack);
    }
    const double seconds = Seconds(Clock::now() - start);
    const CpuUse after = lockhub.Meter().Cpu();
    results.handshakesPerSecond = sizes.handshakes / seconds;
    results.cpuPerConnectionMs = 1000 * (after.runSeconds - before.runSeconds) / sizes.handshakes;
    std::printf(
        "  %.0f connections per second from one client; lockhub CPU %.2f ms each\n"
        "  (at most %.0f handshakes per second per core)\n",
        results.handshakesPerSecond, results.cpuPerConnectionMs, 1000 / results.cpuPerConnectionMs);
}

}  // namespace

bool MeasureTls(const TempDir& folder, const Options& options, Summary& summary) {
    Sizes sizes;
    if (options.quick) {
        sizes.roundTrips = 40;
        sizes.idleClients = 200;
        sizes.idleTime = 3s;
        sizes.handshakes = 100;
    }
    std::vector<std::unique_ptr<Locksim>> locksims;
    std::vector<std::string> gateways;
    std::vector<int> ids;
    for (int id = 1; id <= kGatewayCount; ++id) {
        locksims.push_back(std::make_unique<Locksim>(folder));
        if (locksims.back()->Port() == 0) {
            Fail("locksim did not start");
        }
        gateways.push_back(GatewayJson(id, "Bench gateway", locksims.back()->Port(), kLockId));
        ids.push_back(id);
    }
    const int tlsPort = QuietPort();
    const std::string tls = Format(
        R"("Tls": {"Port": %d, "Certificate": "%s/server.pem", "PrivateKey": "%s/server.key", )"
        R"("ClientCA": "%s/ca.pem", "ClientCRL": "%s/crl.pem"}, )",
        tlsPort, kCerts.c_str(), kCerts.c_str(), kCerts.c_str(), kCerts.c_str());
    LockhubProcess lockhub(folder, "lockhub", options, Configuration(gateways, tls));
    MuxClient plain(lockhub.Port());
    if (!plain.Connected() || !WaitUntilReady(plain, ids, kLockId, kStartDeadline)) {
        Fail("the gateways did not become ready");
    }
    std::string error;
    auto context = TlsClientContext::Create(
        {kCerts + "/front-desk.pem", kCerts + "/front-desk.key", kCerts + "/ca.pem"}, error);
    if (!context) {
        Fail(error);
    }
    Results results;
    {
        TlsMuxClient client(tlsPort, context);
        MeasureRoundTrips(plain, client, sizes, results);
    }
    MeasureIdleClients(lockhub, context, tlsPort, sizes, results);
    MeasureHandshakes(lockhub, context, tlsPort, sizes, results);
    if (!lockhub.Running()) {
        Fail("lockhub ended during the run");
    }

    const double added = results.tls.p99 - results.plain.p99;
    summary.Add(Format("TLS round trip, %d lock-opens against %d plain", sizes.roundTrips,
                       sizes.roundTrips),
                Format("TLS p50 %.2f ms, p99 %.2f ms; plain p50 %.2f ms, p99 %.2f ms",
                       results.tls.p50, results.tls.p99, results.plain.p50, results.plain.p99),
                Format("p99 <= plain + %.0f ms: %s", kAddedP99TargetMs,
                       Verdict(added <= kAddedP99TargetMs)));
    summary.Add(Format("idle CPU, %d idle TLS clients, %lld s", sizes.idleClients,
                       static_cast<long long>(sizes.idleTime.count())),
                Format("%.3f %% of a core (%.1f wake-ups/s); VmRSS %ld kB", results.idleRunPercent,
                       results.idleWakeupsPerSecond, results.idleRssKilobytes),
                Format("< %.1f %%: %s", kIdleCpuTargetPercent,
                       Verdict(results.idleRunPercent < kIdleCpuTargetPercent &&
                               results.idleTickPercent < kIdleCpuTargetPercent)));
    summary.Add(Format("TLS connections (ECDSA P-256, TLS 1.3), %d in a row", sizes.handshakes),
                Format("%.0f per second from one client; lockhub CPU %.2f ms each (<= %.0f/s per "
                       "core)",
                       results.handshakesPerSecond, results.cpuPerConnectionMs,
                       1000 / results.cpuPerConnectionMs),
                "report");
    return false;
}

}  // namespace Bench
