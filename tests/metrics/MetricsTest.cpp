// The metrics registry's text, and its HTTP server on 127.0.0.1.

#include <gtest/gtest.h>

#include <thread>

#include "metrics/MetricsServer.h"
#include "metrics/Registry.h"
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
