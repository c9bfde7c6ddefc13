#pragma once
// The soak's clients of lockhub, plain and TLS, each on a thread of its own.
//
// A SteadyClient stays connected from the start to the end, reads everything, sends door
// commands and status requests to random gateways at a steady pace, and checks each answer
// and, when it may receive them, every event. A ChaosClient connects again and again, each
// time misbehaving another way: a flood of requests, a client that stops reading, one that
// vanishes right after its door commands, a slowloris, or a short visit.
//
// Both report to the Ledger. Construction starts the thread; StopSending ends the
// requests (the answers still due are awaited); Stop ends the thread and joins it.

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "soak/Ledger.h"

namespace TestSupport {
class TlsTestClient;
}

namespace Soak {

// Where the clients find lockhub, and what they may send.
struct ClientSite {
    int plainPort = 0;
    int tlsPort = 0;
    std::string certsDir;
    int gateways = 0;  // requests name gateways 1..gateways
    long lockId = 0;
    Clock::duration requestTimeout{};
};

// One client connection, plain or TLS, that cuts what arrives into JSON objects.
class Connection {
public:
    // certificate: a base name in the site's certificates for TLS, empty for plain.
    Connection(const ClientSite& site, const std::string& certificate);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool Open() const { return open_; }
    // Sends a request lockhub answers at once and waits for its answer: lockhub has taken
    // the client in (for TLS, its side of the handshake is done too), so that the deadlines
    // of the requests that follow count from when they were sent. Drops what else came.
    bool Join();
    bool Send(const std::string& bytes);
    // Appends the whole objects that arrive within wait; false once the connection ended.
    bool Receive(std::chrono::milliseconds wait, std::vector<std::string>& objects);

private:
    int fd_ = -1;
    std::unique_ptr<TestSupport::TlsTestClient> tls_;
    bool open_ = false;
    std::string pending_;
};

// The requests of one client that wait for their answers.
class Outstanding {
public:
    Outstanding(Ledger& ledger, const ClientSite& site) : ledger_(ledger), site_(site) {}
    // The packet of a new request (a door command when door), noted as sent now; lockhub
    // counts its deadline from when it reads it, which may be up to intake later.
    std::string Make(const std::string& id, int gateway, bool door,
                     Clock::duration intake = Clock::duration::zero());
    // Takes the answers among the objects that arrived now, each checked; the events are
    // left in objects.
    void TakeAnswers(std::vector<std::string>& objects);
    // Notes the requests whose deadline plus 50 ms passed unanswered.
    void Expire();
    bool Empty() const { return waiting_.empty(); }
    // The client goes: door commands lockhub took are still to be recorded.
    void Abandon(bool doorsTaken);

private:
    void Answered(const std::string& object);

    // lockhub's deadlines: a request not sent by RequestTimeout after its arrival is
    // answered then; one that was sent waits RequestTimeout from its sending for the
    // gateway's answer.
    struct Waiting {
        Clock::time_point arrival;  // at the latest
        bool door = false;
        Clock::time_point NotSentBy(const ClientSite& site) const;
        Clock::time_point AnsweredBy(const ClientSite& site) const;
    };
    Ledger& ledger_;
    const ClientSite& site_;
    std::map<std::string, Waiting> waiting_;
    std::set<std::string> overdue_;  // already counted as broken
};

class SteadyClient {
public:
    // index: the client's number in the ledger; events: whether lockhub must send it
    // events (false: it must send none).
    SteadyClient(Ledger& ledger, const ClientSite& site, int index, std::string certificate,
                 bool events, uint64_t seed);
    ~SteadyClient();
    void StopSending() { sending_ = false; }
    // Waits until its answers came or were overdue.
    void Stop();
    int Index() const { return index_; }

private:
    void Run();
    // An event object: its number checked against the last one of its gateway.
    void Event(const std::string& object);

    Ledger& ledger_;
    const ClientSite& site_;
    const int index_;
    const std::string certificate_;
    const bool events_;
    std::mt19937_64 random_;
    std::map<int, uint32_t> lastEvent_;  // by gateway
    std::atomic<bool> sending_{true};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class ChaosClient {
public:
    ChaosClient(Ledger& ledger, const ClientSite& site, int index, std::string certificate,
                uint64_t seed);
    ~ChaosClient();
    void Stop();

private:
    void Run();
    void Flood();
    void StopReading();
    void Vanish();
    void Slowloris();
    void Visit();
    // Waits for the answers still due, while reading.
    void Drain(Connection& connection, Outstanding& outstanding);
    bool Stopping() const { return stop_.load(); }
    std::string NextId();
    int AnyGateway();
    // Sleeps for d, or less when the client stops.
    void Pause(Clock::duration d);

    Ledger& ledger_;
    const ClientSite& site_;
    const int index_;
    const std::string certificate_;
    std::mt19937_64 random_;
    uint64_t serial_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace Soak
