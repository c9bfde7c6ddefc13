// lockhub_soak: lockhub under overlapping faults for a while, held to its invariants.
//
// 16 locksim gateways behind faulty wires, 50 clients (plain and TLS, steady and
// misbehaving), a real mosquitto broker, lockhub's standard output through logtrim, its
// audit trail and logtrim's file on a small file system of their own. Faults are drawn
// from the seed and overlap: gateway reboots, hanging connects, silence, garbage, bad CRCs
// and dropped connections; client floods, clients that stop reading, vanish or dribble;
// broker restarts and stalls; reloads that add, remove and change gateways; a stalled log
// reader; a full disk under the trail. The faults end a while before the end, so that
// everything can come back; then the final checks run and the table is printed.
//
//   lockhub_soak [--minutes N] [--seed S] [--keep FOLDER]
// exits 1, naming the seed, when an invariant broke. --keep copies lockhub's log, its
// standard output (logtrim's file) and the audit trail into FOLDER at the end.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>

#include <rapidjson/document.h>

#include "soak/Site.h"
#include "soak/SoakClients.h"
#include "tests/support/MqttBroker.h"

namespace Soak {
namespace {

using namespace std::chrono_literals;
using TestSupport::WaitFor;

constexpr int kGateways = 16;
// Gateways a reload adds and removes; the one it moves between its wire's two ports; the
// one whose description it changes.
constexpr int kComingAndGoing[] = {15, 16};
constexpr int kMoving = 14;
constexpr int kRenamed = 13;
constexpr int kSteadyPlain = 30;
constexpr int kSteadyTls = 8;
constexpr int kGuards = 2;  // TLS, status only and no events
constexpr int kChaosPlain = 7;
constexpr int kChaosTls = 3;
constexpr auto kRequestTimeout = 3s;
// After the faults: time for every gateway and the broker to come back (the backoffs of
// the gateways and the bridge, up to 60 s, and a hanging connect's 15 s), then calm
// traffic.
constexpr auto kQuiet = 120s;
// Room for an hour's trail; a fault fills the rest now and then.
constexpr size_t kTrailDisk = 512 * 1024 * 1024;
const std::string kCerts = TEST_CERTS_DIR;

// SIGINT or SIGTERM: the soak ends early, and its processes and mount go with it.
volatile sig_atomic_t interrupted = 0;

struct Options {
    int minutes = 5;
    uint64_t seed = 0;
    std::string keep;  // a folder that gets lockhub's log, its standard output and the trail
};

Options Parse(int argc, char** argv) {
    Options options;
    options.seed = std::random_device()();
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--minutes" && i + 1 < argc) {
            options.minutes = std::atoi(argv[++i]);
        } else if (word == "--keep" && i + 1 < argc) {
            options.keep = argv[++i];
        } else if (word == "--seed" && i + 1 < argc) {
            options.seed = std::strtoull(argv[++i], nullptr, 10);
        } else {
            std::fprintf(stderr, "usage: lockhub_soak [--minutes N] [--seed S] [--keep FOLDER]\n");
            std::exit(2);
        }
    }
    if (options.minutes < 3) {
        std::fprintf(stderr, "lockhub_soak: --minutes must be at least 3\n");
        std::exit(2);
    }
    return options;
}

// What a reload may change.
struct Layout {
    bool present[2] = {true, true};  // kComingAndGoing
    int movingPort = 0;              // which of its wire's ports
    bool renamed = false;
};

class Soak {
public:
    Soak(const Options& options, Ledger& ledger)
        : options_(options),
          ledger_(ledger),
          disk_(folder_, kTrailDisk),
          broker_(folder_, {true, ""}),
          watchdog_(folder_.File("notify"), ledger) {
        if (!broker_.Start()) {
            throw std::runtime_error("mosquitto did not start");
        }
        for (int id = 1; id <= kGateways; ++id) {
            gateways_.push_back(std::make_unique<Gateway>(folder_, id, ports_, ledger_));
        }
        metricsPort_ = ports_.Next();
        tlsPort_ = TestSupport::FreePort();
        watcher_ =
            std::make_unique<TestSupport::MqttTestClient>(broker_.Port(), "soak-watcher", 86400);
        if (!watcher_->Subscribe("soak/gateway/+/lock/+/event")) {
            throw std::runtime_error("the broker took no subscription");
        }
        const std::string place = disk_.Mounted() ? disk_.File("") : folder_.File("");
        trail_ = place + "audit.log";
        output_ = place + "lockhub.out";
        hub_ = std::make_unique<Hub>(folder_, output_, Configuration(Layout{}), watchdog_);
    }

    int Run() {
        std::printf("lockhub_soak: seed %llu, %d minutes, in %s%s\n",
                    static_cast<unsigned long long>(options_.seed), options_.minutes,
                    folder_.Path().c_str(),
                    disk_.Mounted() ? "" : " (not root: no small file system, no full disk)");
        std::fflush(stdout);
        if (!WaitFor([&] { return watchdog_.Ready(); }, 20s) ||
            !WaitFor([&] { return Up() == kGateways; }, 30s)) {
            std::printf("lockhub did not come up: %d gateways ready\n", Up());
            return 1;
        }
        ClientSite& site = site_;
        site = ClientSite{hub_->Port(), tlsPort_, kCerts, kGateways, kLockId, kRequestTimeout};
        std::vector<int> eventClients;
        int index = 0;
        for (int n = 0; n < kSteadyPlain + kSteadyTls + kGuards; ++n, ++index) {
            const bool guard = n >= kSteadyPlain + kSteadyTls;
            const std::string certificate = n < kSteadyPlain ? ""
                                            : guard          ? "night-guard"
                                                             : "front-desk";
            steady_.push_back(std::make_unique<SteadyClient>(ledger_, site, index, certificate,
                                                             !guard, options_.seed + index));
            if (!guard) {
                eventClients.push_back(index);
            }
        }
        WaitFor([&] { return Metric("lockhub_mqtt_connected") == 1; }, 20s);
        std::this_thread::sleep_for(2s);  // the clients' first requests are answered
        const Resources baseline = hub_->Measure();
        for (int n = 0; n < kChaosPlain + kChaosTls; ++n, ++index) {
            chaos_.push_back(std::make_unique<ChaosClient>(
                ledger_, site, index, n < kChaosPlain ? "" : "front-desk", options_.seed + index));
        }

        const auto start = Clock::now();
        const auto end = start + std::chrono::minutes(options_.minutes);
        faultsEnd_ = end - kQuiet;
        std::vector<std::thread> threads;
        threads.emplace_back([&] { Events(); });
        threads.emplace_back([&] { GatewayFaults(); });
        threads.emplace_back(
            [&] { Recurring(1, 15s, 45s, [&](std::mt19937_64& r) { BrokerFault(r); }); });
        threads.emplace_back(
            [&] { Recurring(2, 2s, 12s, [&](std::mt19937_64& r) { ReloadFault(r); }); });
        threads.emplace_back(
            [&] { Recurring(3, 10s, 40s, [&](std::mt19937_64& r) { ReaderFault(r); }); });
        if (disk_.Mounted()) {
            threads.emplace_back(
                [&] { Recurring(4, 20s, 60s, [&](std::mt19937_64& r) { DiskFault(r); }); });
        }

        while (Clock::now() < faultsEnd_ && Watch() && !interrupted) {
            std::this_thread::sleep_for(1s);
        }
        std::printf("lockhub_soak: faults end, everything comes back\n");
        std::fflush(stdout);
        faultsOver_ = true;
        for (size_t i = 1; i < threads.size(); ++i) {
            threads[i].join();
        }
        chaos_.clear();
        hub_->Reload(Configuration(Layout{}));
        ledger_.Check(Invariant::Running,
                      WaitFor([&] { return !Watch() || Up() == kGateways; }, 100s),
                      "only " + std::to_string(Up()) + " gateways ready again after the faults");
        CheckResources(baseline);
        while (Clock::now() < end - 10s && Watch() && !interrupted) {
            std::this_thread::sleep_for(1s);
        }
        eventsOver_ = true;
        threads[0].join();
        std::this_thread::sleep_for(2s);  // the last events reach the clients
        for (auto& client : steady_) {
            client->StopSending();
        }
        steady_.clear();  // each waits for its answers
        Watch();

        std::set<std::pair<int, uint32_t>> atBroker;
        const auto collect = [&] {
            atBroker.clear();
            for (const auto& message : watcher_->Received()) {
                rapidjson::Document event;
                event.Parse(message.payload.c_str(), message.payload.size());
                if (event.IsObject() && event.HasMember("Data") && event["Data"].IsObject() &&
                    event["Data"].HasMember("RFIDData") && event["Data"]["RFIDData"].IsString()) {
                    const char* data = event["Data"]["RFIDData"].GetString();
                    atBroker.insert({event["Data"]["gatewayID"].GetInt(),
                                     static_cast<uint32_t>(std::strtoul(data + 2, nullptr, 16))});
                }
            }
            return atBroker.size();
        };
        const size_t reached = ledger_.EventsReached(eventClients);
        WaitFor([&] { return collect() >= reached; }, 30s);
        ledger_.CheckEvents(
            eventClients, atBroker,
            static_cast<uint64_t>(std::max(0.0, Metric("lockhub_mqtt_events_dropped_total"))));
        std::this_thread::sleep_for(2s);  // the trail's last lines are synced
        ledger_.Check(Invariant::Audit, !std::ifstream(trail_ + ".torn").good(),
                      "a torn trail line was found while lockhub ran");
        ledger_.CheckTrail(TestSupport::ReadFile(trail_));
        ledger_.Count("logtrim: its file started anew when the disk took no more",
                      TestSupport::CountOf(hub_->LogtrimErrors(), "(len differ)"));
        const std::string log = TestSupport::ReadFile(hub_->LogFile());
        ledger_.Count("log lines: the trail cannot be written (a full disk)",
                      TestSupport::CountOf(log, "cannot be written: No space left on device"));
        ledger_.Count("log lines: the trail is written again",
                      TestSupport::CountOf(log, " is written again, after "));
        ledger_.Check(Invariant::Running, !interrupted, "the soak was interrupted");
        ledger_.Print(options_.seed);
        Keep();
        if (ledger_.AnyBroken()) {
            std::printf(
                "lockhub_soak: FAILED with seed %llu (run again: scripts/soak --minutes %d --seed "
                "%llu)\n",
                static_cast<unsigned long long>(options_.seed), options_.minutes,
                static_cast<unsigned long long>(options_.seed));
            return 1;
        }
        std::printf("lockhub_soak: passed with seed %llu\n",
                    static_cast<unsigned long long>(options_.seed));
        return 0;
    }

private:
    void Keep() {
        if (options_.keep.empty()) {
            return;
        }
        ::mkdir(options_.keep.c_str(), 0755);
        for (const std::string& file : {hub_->LogFile(), trail_, output_}) {
            TestSupport::WriteFile(options_.keep + "/" + file.substr(file.rfind('/') + 1),
                                   TestSupport::ReadFile(file));
        }
    }

    // One look at lockhub; false once it ended.
    bool Watch() {
        const bool running = hub_->Running();
        ledger_.Check(Invariant::Running, running, "lockhub ended");
        if (!logtrimEnded_ && !hub_->LogtrimRunning()) {
            logtrimEnded_ = true;
            const std::string said = hub_->LogtrimErrors();
            ledger_.Check(Invariant::Running, false,
                          "logtrim ended, its last words: " +
                              said.substr(said.size() - std::min<size_t>(said.size(), 300)));
        }
        watchdog_.CheckNow();
        return running;
    }

    std::string Configuration(const Layout& layout) {
        std::string gateways;
        for (const auto& gateway : gateways_) {
            const int id = gateway->Id();
            if ((id == kComingAndGoing[0] && !layout.present[0]) ||
                (id == kComingAndGoing[1] && !layout.present[1])) {
                continue;
            }
            const int port = gateway->Wire().Port(id == kMoving ? layout.movingPort : 0);
            const std::string name = "Door " + std::to_string(id) +
                                     (id == kRenamed && layout.renamed ? " (renamed)" : "");
            gateways += std::string(gateways.empty() ? "" : ", ") + R"({"ID": )" +
                        std::to_string(id) + R"(, "Description": ")" + name +
                        R"(", "IpAddress": "127.0.0.1", "Port": )" + std::to_string(port) +
                        R"(, "Devices": [{"Name": "Door", "ID": )" + std::to_string(kLockId) +
                        "}]}";
        }
        const std::string all =
            R"("Gateways": "*", "Requests": ["open", "close", "status", "denied", "whitelist"], "Events": true)";
        return R"({"Enabled": true, "RequestTimeout": )" + std::to_string(kRequestTimeout.count()) +
               R"(, "AuditLog": ")" + trail_ + R"(", "AuditSync": "before-send", )" +
               R"("Mqtt": {"Broker": "127.0.0.1:)" + std::to_string(broker_.Port()) +
               R"(", "ClientId": "soak-hub", "TopicPrefix": "soak"}, "Metrics": {"Port": )" +
               std::to_string(metricsPort_) + R"(}, "Tls": {"Port": )" + std::to_string(tlsPort_) +
               R"(, "Certificate": ")" + kCerts + R"(/server.pem", "PrivateKey": ")" + kCerts +
               R"(/server.key", "ClientCA": ")" + kCerts + R"(/ca.pem"}, "Clients": [)" +
               R"({"Identity": "plain", )" + all + R"(}, {"Identity": "front-desk", )" + all +
               R"(}, {"Identity": "night-guard", "Gateways": "*", "Requests": ["status"]}, )" +
               R"({"Identity": "mqtt", "Gateways": "*", "Requests": ["status"], "Events": true}], )" +
               "\"Gateways\": [" + gateways + "]}";
    }

    // A metric's value from lockhub's metrics server (the first sample of its name), or -1.
    double Metric(const std::string& name) {
        const std::string body = TestSupport::HttpRequest(metricsPort_, "GET", "/metrics", 2s).body;
        std::istringstream lines(body);
        for (std::string line; std::getline(lines, line);) {
            if (line.compare(0, name.size() + 1, name + " ") == 0) {
                return std::atof(line.c_str() + name.size() + 1);
            }
        }
        return -1;
    }

    // The gateways lockhub has READY.
    int Up() {
        const std::string body = TestSupport::HttpRequest(metricsPort_, "GET", "/metrics", 2s).body;
        int up = 0;
        std::istringstream lines(body);
        for (std::string line; std::getline(lines, line);) {
            up += line.rfind("lockhub_gateway_up{", 0) == 0 && line.size() > 2 &&
                          line.compare(line.size() - 2, 2, " 1") == 0
                      ? 1
                      : 0;
        }
        return up;
    }

    void CheckResources(const Resources& baseline) {
        // lockhub gives freed memory back to the system every 30 s.
        const long memoryRoom = std::max(baseline.rssKilobytes / 5, 8192L);
        Resources now;
        bool returned = false;
        const auto back = [&] {
            now = hub_->Measure();
            returned = now.descriptors <= baseline.descriptors && now.threads <= baseline.threads;
            return returned && now.rssKilobytes <= baseline.rssKilobytes + memoryRoom;
        };
        WaitFor(back, 45s);
        ledger_.Check(Invariant::Resources, returned,
                      std::to_string(now.descriptors) + " descriptors and " +
                          std::to_string(now.threads) + " threads, " +
                          std::to_string(baseline.descriptors) + " and " +
                          std::to_string(baseline.threads) + " at the start");
        ledger_.Check(Invariant::Resources, now.rssKilobytes <= baseline.rssKilobytes + memoryRoom,
                      std::to_string(now.rssKilobytes) + " kB resident, " +
                          std::to_string(baseline.rssKilobytes) + " kB at the start");
        const auto pair = [](long before, long after) {
            return std::to_string(before) + " / " + std::to_string(after);
        };
        ledger_.Note("lockhub's resident kB, at the start / after the faults",
                     pair(baseline.rssKilobytes, now.rssKilobytes));
        ledger_.Note("lockhub's descriptors, at the start / after the faults",
                     pair(baseline.descriptors, now.descriptors));
        ledger_.Note("lockhub's threads, at the start / after the faults",
                     pair(baseline.threads, now.threads));
    }

    // Sleeps d, or less once the faults are over; false then.
    bool Pause(Clock::duration d) {
        const auto until = Clock::now() + d;
        while (Clock::now() < until) {
            if (faultsOver_) {
                return false;
            }
            std::this_thread::sleep_for(20ms);
        }
        return true;
    }

    static Clock::duration Between(std::mt19937_64& random, Clock::duration low,
                                   Clock::duration high) {
        const auto ms = [](Clock::duration d) {
            return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
        };
        return std::chrono::milliseconds(
            std::uniform_int_distribution<long>(ms(low), ms(high))(random));
    }

    // A fault now and then, each one over before the next.
    void Recurring(int stream, Clock::duration low, Clock::duration high,
                   const std::function<void(std::mt19937_64&)>& fault) {
        std::mt19937_64 random(options_.seed * 31 + static_cast<uint64_t>(stream));
        while (Pause(Between(random, low, high))) {
            fault(random);
        }
    }

    // Cards at random readers, each with the next number of its gateway.
    void Events() {
        std::mt19937_64 random(options_.seed * 31 + 5);
        while (!eventsOver_) {
            Gateway& gateway = *gateways_[random() % gateways_.size()];
            if (gateway.Card()) {
                ledger_.Count("events made at the gateways");
            }
            std::this_thread::sleep_for(Between(random, 50ms, 400ms));
        }
    }

    void GatewayFaults() {
        std::mt19937_64 random(options_.seed * 31 + 6);
        struct Active {
            Gateway* gateway;
            bool reboot;
            Clock::time_point until;
        };
        std::vector<Active> active;
        const auto endDue = [&](bool all) {
            for (auto it = active.begin(); it != active.end();) {
                if (all || Clock::now() >= it->until) {
                    if (it->reboot) {
                        ledger_.Check(Invariant::Running, it->gateway->Up(),
                                      "locksim did not start again");
                    } else {
                        it->gateway->Wire().SetMode(FaultyWire::Mode::Pass);
                    }
                    it = active.erase(it);
                } else {
                    ++it;
                }
            }
        };
        while (Pause(Between(random, 300ms, 3s))) {
            endDue(false);
            Gateway* gateway = gateways_[random() % gateways_.size()].get();
            bool busy = false;
            for (const Active& fault : active) {
                busy = busy || fault.gateway == gateway;
            }
            if (busy) {
                continue;
            }
            const auto capped = [&](Clock::duration d) {
                return std::min(Clock::now() + d, faultsEnd_);
            };
            switch (random() % 7) {
                case 0:
                case 1: {
                    const bool longOne = random() % 4 == 0;
                    ledger_.Count(longOne ? "faults: gateway reboots of 5-90 s"
                                          : "faults: gateway reboots of 0.2-5 s");
                    gateway->Down();
                    active.push_back(
                        {gateway, true,
                         capped(longOne ? Between(random, 5s, 90s) : Between(random, 200ms, 5s))});
                    break;
                }
                case 2:
                    ledger_.Count("faults: gateways whose connects hang");
                    gateway->Wire().SetMode(FaultyWire::Mode::Hang);
                    active.push_back({gateway, false, capped(Between(random, 2s, 25s))});
                    break;
                case 3:
                    ledger_.Count("faults: silent gateways");
                    gateway->Wire().SetMode(FaultyWire::Mode::Silent);
                    active.push_back({gateway, false, capped(Between(random, 1s, 15s))});
                    break;
                case 4: {
                    ledger_.Count("faults: garbage from a gateway");
                    std::string garbage(1 + random() % 64, '\0');
                    for (char& c : garbage) {
                        c = static_cast<char>(random());
                    }
                    gateway->Wire().Inject(garbage);
                    break;
                }
                case 5: {
                    ledger_.Count("faults: frames with a bad CRC");
                    // A frame's length and magic, random header and payload, a CRC that does not
                    // fit.
                    std::string frame(19 + random() % 16, '\0');
                    for (char& c : frame) {
                        c = static_cast<char>(random());
                    }
                    frame[0] = static_cast<char>(frame.size());
                    frame[1] = static_cast<char>(0xFE);
                    frame[2] = static_cast<char>(0xFD);
                    gateway->Wire().Inject(frame);
                    break;
                }
                default:
                    ledger_.Count("faults: dropped gateway connections");
                    gateway->Wire().Drop();
                    break;
            }
        }
        endDue(true);
    }

    void BrokerFault(std::mt19937_64& random) {
        if (random() % 2 == 0) {
            ledger_.Count("faults: broker restarts");
            broker_.Stop();
            Pause(Between(random, 500ms, 8s));
            ledger_.Check(Invariant::BrokerEvents, broker_.Start(),
                          "mosquitto did not start again");
        } else {
            ledger_.Count("faults: broker stalls");
            broker_.Signal(SIGSTOP);
            Pause(Between(random, 1s, 10s));
            broker_.Signal(SIGCONT);
        }
    }

    void ReloadFault(std::mt19937_64& random) {
        Layout layout;
        layout.present[0] = random() % 2 == 0;
        layout.present[1] = random() % 2 == 0;
        layout.movingPort = static_cast<int>(random() % 2);
        layout.renamed = random() % 2 == 0;
        ledger_.Count("faults: reloads");
        hub_->Reload(Configuration(layout));
    }

    void ReaderFault(std::mt19937_64& random) {
        ledger_.Count("faults: log reader stalls");
        hub_->StallReader(true);
        Pause(Between(random, 1s, 15s));
        hub_->StallReader(false);
    }

    void DiskFault(std::mt19937_64& random) {
        ledger_.Count("faults: trail disk full");
        disk_.Fill();
        Pause(Between(random, 2s, 12s));
        disk_.Free();
    }

    const Options& options_;
    Ledger& ledger_;
    TestSupport::TempDir folder_;
    TestSupport::SmallFileSystem disk_;
    TestSupport::MqttBroker broker_;
    Watchdog watchdog_;
    PortPicker ports_;
    std::vector<std::unique_ptr<Gateway>> gateways_;
    int metricsPort_ = 0;
    int tlsPort_ = 0;
    std::string trail_;
    std::string output_;
    std::unique_ptr<TestSupport::MqttTestClient> watcher_;
    std::unique_ptr<Hub> hub_;
    ClientSite site_;
    std::vector<std::unique_ptr<SteadyClient>> steady_;
    std::vector<std::unique_ptr<ChaosClient>> chaos_;
    Clock::time_point faultsEnd_;
    std::atomic<bool> faultsOver_{false};
    std::atomic<bool> eventsOver_{false};
    bool logtrimEnded_ = false;
};

}  // namespace
}  // namespace Soak

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    struct sigaction stop {};
    stop.sa_handler = [](int) { Soak::interrupted = 1; };
    ::sigaction(SIGINT, &stop, nullptr);
    ::sigaction(SIGTERM, &stop, nullptr);
    const Soak::Options options = Soak::Parse(argc, argv);
    Soak::Ledger ledger(Soak::kRequestTimeout);
    try {
        Soak::Soak soak(options, ledger);
        return soak.Run();
    } catch (const std::exception& failure) {
        std::printf("lockhub_soak: %s (seed %llu)\n", failure.what(),
                    static_cast<unsigned long long>(options.seed));
        return 1;
    }
}
