// The metrics registry's text, the process's metrics, the HTTP server on 127.0.0.1, and the
// endpoint that moves it.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <thread>

#include "metrics/MetricsEndpoint.h"
#include "metrics/MetricsServer.h"
#include "metrics/ProcessMetrics.h"
#include "metrics/Registry.h"
#include "tests/support/TestLog.h"
#include "tests/support/TestSupport.h"

using namespace Mux::Metrics;
using namespace TestSupport;

TEST(MetricsRegistry, WritesEveryFamilyInTheTextFormat) {
    Registry registry;
    auto& requests = registry.AddCounter("x_requests_total", "Requests,\nby kind.", {"kind"});
    requests.With({"open"}).Inc(2);
    requests.With({"a \"quoted\\\" \nkind"}).Inc();
    registry.AddGauge("x_clients", "Clients.").With({}).Set(-1);
    auto& latency = registry.AddHistogram("x_seconds", "Latency.", {"gateway"}, {0.005, 1});
    for (double seconds : {0.005, 0.25, 7.5}) {
        latency.With({"1"}).Observe(seconds);
    }
    registry.AddCollected({"x_dropped_total", "Dropped.", Type::counter, {"output"}}, [] {
        return std::vector<Sample>{{{"file"}, 3}, {{"console"}, 0.5}};
    });
    EXPECT_EQ(registry.Render(),
              "# HELP x_requests_total Requests,\\nby kind.\n"
              "# TYPE x_requests_total counter\n"
              "x_requests_total{kind=\"a \\\"quoted\\\\\\\" \\nkind\"} 1\n"
              "x_requests_total{kind=\"open\"} 2\n"
              "# HELP x_clients Clients.\n"
              "# TYPE x_clients gauge\n"
              "x_clients -1\n"
              "# HELP x_seconds Latency.\n"
              "# TYPE x_seconds histogram\n"
              "x_seconds_bucket{gateway=\"1\",le=\"0.005\"} 1\n"
              "x_seconds_bucket{gateway=\"1\",le=\"1\"} 2\n"
              "x_seconds_bucket{gateway=\"1\",le=\"+Inf\"} 3\n"
              "x_seconds_sum{gateway=\"1\"} 7.755\n"
              "x_seconds_count{gateway=\"1\"} 3\n"
              "# HELP x_dropped_total Dropped.\n"
              "# TYPE x_dropped_total counter\n"
              "x_dropped_total{output=\"file\"} 3\n"
              "x_dropped_total{output=\"console\"} 0.5\n");
}

TEST(MetricsRegistry, UpdatesFromManyThreadsAreNeverLost) {
    Registry registry;
    auto& counters = registry.AddCounter("x_total", "Counted.", {"thread"});
    auto& histograms = registry.AddHistogram("x_seconds", "Observed.", {}, {1});
    constexpr int kThreads = 4;
    constexpr int kUpdates = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kUpdates; ++i) {
                counters.With({std::to_string(i % 2)}).Inc();
                histograms.With({}).Observe(t % 2 == 0 ? 0.5 : 2);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(counters.With({"0"}).Value() + counters.With({"1"}).Value(), kThreads * kUpdates);
    EXPECT_EQ(histograms.With({}).BucketCounts(),
              (std::vector<uint64_t>{kThreads * kUpdates / 2, kThreads * kUpdates / 2}));
}

// The value of each sample line of an exposition, by name.
std::map<std::string, double> SampleValues(const std::string& text) {
    std::map<std::string, double> values;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line[0] != '#') {
            values[line.substr(0, line.find(' '))] = std::stod(line.substr(line.find(' ')));
        }
    }
    return values;
}

TEST(ProcessMetrics, ReadsProcfsAndLeavesOutWhatCannotBeRead) {
    TempDir proc;
    std::filesystem::create_directories(proc.File("self/fd"));
    for (const char* fd : {"0", "1", "2"}) {
        WriteFile(proc.File("self/fd/") + fd, "");
    }
    // A command name with spaces and parentheses; fields 14 and 15 (user and system time),
    // 22 (start, after boot), 23 (virtual bytes) and 24 (resident pages) differ.
    WriteFile(proc.File("self/stat"),
              "42 (a) b (c) S 1 42 42 0 -1 4194560 100 0 0 0 150 50 0 0 20 0 3 0 250 4096000 "
              "10 18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 17 1 0 0 0 0 0\n");
    // The boot time follows an interrupt line longer than any line buffer.
    WriteFile(proc.File("stat"),
              "cpu  1 2 3 4\nintr " + std::string(3000, '7') + "\nbtime 1700000000\nprocesses 9\n");
    const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);

    Registry registry;
    AddProcessMetrics(registry, proc.Path());
    const std::map<std::string, double> expected = {
        {"process_cpu_seconds_total", 200 / ticks},
        {"process_open_fds", 3},
        {"process_max_fds", static_cast<double>(limit.rlim_cur)},
        {"process_virtual_memory_bytes", 4096000},
        {"process_resident_memory_bytes", 10.0 * static_cast<double>(::sysconf(_SC_PAGESIZE))},
        {"process_start_time_seconds", 1700000000 + 250 / ticks},
    };
    EXPECT_EQ(SampleValues(registry.Render()), expected);

    // Without procfs only the limit, which getrlimit gives, is left.
    Registry without;
    AddProcessMetrics(without, proc.File("missing"));
    EXPECT_EQ(
        SampleValues(without.Render()),
        (std::map<std::string, double>{{"process_max_fds", static_cast<double>(limit.rlim_cur)}}));
}

TEST(MetricsServer, ServesMetricsAndHealthAndNothingElse) {
    Registry registry;
    registry.AddCounter("x_total", "Counted.").With({}).Inc(5);
    std::atomic<bool> healthy{true};
    std::string reason;
    auto server = MetricsServer::Start(
        {"127.0.0.1", 0}, registry,
        [&] {
            return MetricsServer::Health{healthy, healthy ? "ok: fine" : "unavailable: not"};
        },
        reason);
    ASSERT_NE(server, nullptr) << reason;

    HttpAnswer metrics = HttpRequest(server->Port(), "GET", "/metrics");
    EXPECT_EQ(metrics.status, 200);
    EXPECT_NE(metrics.head.find("Content-Type: text/plain; version=0.0.4; charset=utf-8"),
              std::string::npos)
        << metrics.head;
    EXPECT_EQ(metrics.body, registry.Render());
    HttpAnswer health = HttpRequest(server->Port(), "GET", "/healthz");
    EXPECT_EQ(health.status, 200);
    EXPECT_EQ(health.body, "ok: fine\n");
    healthy = false;
    health = HttpRequest(server->Port(), "GET", "/healthz");
    EXPECT_EQ(health.status, 503);
    EXPECT_EQ(health.body, "unavailable: not\n");
    EXPECT_EQ(HttpRequest(server->Port(), "GET", "/metrics/x").status, 404);
    EXPECT_EQ(HttpRequest(server->Port(), "POST", "/metrics").status, 405);

    // The port is taken now: a second server says why it cannot listen.
    EXPECT_EQ(MetricsServer::Start({"127.0.0.1", server->Port()}, registry, nullptr, reason),
              nullptr);
    EXPECT_EQ(reason, "Address already in use");
}

bool ServesMetrics(int port, const Registry& registry) {
    return HttpRequest(port, "GET", "/metrics").body == registry.Render();
}

TEST(MetricsEndpoint, MovesOnlyWhereItCanListenAndStops) {
    CaptureLog();
    Registry registry;
    registry.AddCounter("x_total", "Counted.").With({}).Inc(5);
    MetricsEndpoint endpoint(registry, nullptr);
    ASSERT_TRUE(endpoint.Apply(Settings{"127.0.0.1", 0}));
    const int first = endpoint.Port();
    ASSERT_TRUE(endpoint.Apply(Settings{"0.0.0.0", 0}));
    const int second = endpoint.Port();
    EXPECT_LT(ConnectTo(first, 0ms), 0);
    EXPECT_TRUE(ServesMetrics(second, registry));

    // The same port on another address: the old server makes way, and comes back when the
    // new one cannot listen.
    ASSERT_TRUE(endpoint.Apply(Settings{"127.0.0.1", second}));
    EXPECT_FALSE(endpoint.Apply(Settings{"localhost", second}));
    EXPECT_TRUE(ServesMetrics(second, registry));

    LogTail log;
    int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(::listen(holder, 1), 0);
    ::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);
    EXPECT_FALSE(endpoint.Apply(Settings{"127.0.0.1", ntohs(address.sin_port)}));
    ::close(holder);
    EXPECT_EQ(endpoint.Port(), second);
    EXPECT_TRUE(ServesMetrics(second, registry));
    EXPECT_TRUE(endpoint.Apply(std::nullopt));
    EXPECT_EQ(endpoint.Port(), 0);
    EXPECT_LT(ConnectTo(second, 0ms), 0);
    std::string url = "http://127.0.0.1:" + std::to_string(second) + "/metrics.";
    EXPECT_EQ(log.Messages(),
              "Cannot serve metrics on 127.0.0.1:" + std::to_string(ntohs(address.sin_port)) +
                  ": Address already in use. Metrics stay on " + url +
                  "\nMetrics are not served any more on " + url + "\n");
}
