#pragma once
// What the soak saw, and the invariants it holds lockhub to. Clients, wires and fault
// threads report into it as things happen; the checks that need the whole run (the audit
// trail, events at every client and at the broker) run at the end. Every call is safe
// from any thread.

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace Soak {

using Clock = std::chrono::steady_clock;

enum class Invariant {
    Answers,       // every request one answer, by its deadline plus 50 ms
    LateFrames,    // no door frame reaches a gateway after its request's deadline
    Audit,         // every door command that lockhub took has one outcome, as answered
    Events,        // every event to every permitted client, once and in order
    BrokerEvents,  // every event to the broker, at least once
    Running,       // lockhub runs throughout
    Watchdog,      // its watchdog pings never stop
    Resources,     // memory, descriptors and threads back at their baseline
};
inline constexpr size_t kInvariants = 8;
// How far past its deadline + 50 ms an answer may come before it is a break.
inline constexpr std::chrono::milliseconds kLateRoom{200};

// What lockhub answered a door command.
struct DoorAnswer {
    int code = -1;        // 0 ACK, 1 NACK
    std::string message;  // the NACK's text
};

class Ledger {
public:
    explicit Ledger(Clock::duration requestTimeout) : requestTimeout_(requestTimeout) {}

    // One check of an invariant; broken says how it broke (the first few are printed).
    void Check(Invariant invariant, bool held, const std::string& broken = "");
    // Something counted for the report: requests, faults by kind, events.
    void Count(const std::string& what, uint64_t count = 1);
    // An answer that came past its deadline + 50 ms but within kLateRoom more: counted and
    // shown, not a break (this machine's pauses; see the README's soak figures).
    void Late(const std::string& what);
    // A figure of the report that is no count.
    void Note(const std::string& what, const std::string& value);

    // A door command about to leave a client for gateway at `at`: a door frame may reach
    // the gateway until its deadline.
    void DoorSent(int gateway, Clock::time_point at);
    // A door frame reached gateway at `at`: it must belong to a door command still within
    // its deadline (each command covers one frame).
    void DoorFrame(int gateway, Clock::time_point at);
    // The answer a client got to a door command.
    void DoorAnswered(const std::string& id, DoorAnswer answer);
    // A door command lockhub took whole, whose client went before its answer.
    void DoorAbandoned(const std::string& id);

    // An event a client that has been connected since the start received: gateway and
    // the event's number on that gateway.
    void EventSeen(int client, int gateway, uint32_t number);
    // A client that was connected since the start and went: its events are not compared.
    void ClientLost(int client);

    // The end of the run: the trail's lines against the answers, the events of every
    // client against each other and against the broker's (numbers by gateway). dropped:
    // events the bridge reported dropped.
    void CheckTrail(const std::string& trailText);
    void CheckEvents(const std::vector<int>& clients,
                     const std::set<std::pair<int, uint32_t>>& atBroker, uint64_t dropped);

    // How many events reached at least one of the clients.
    size_t EventsReached(const std::vector<int>& clients) const;

    bool AnyBroken() const;
    // The table of invariants with their counts, and the counts.
    void Print(uint64_t seed) const;

private:
    struct Tally {
        uint64_t checks = 0;
        uint64_t broken = 0;
        std::vector<std::string> examples;
    };

    void CheckLocked(Invariant invariant, bool held, const std::string& broken);

    const Clock::duration requestTimeout_;
    const Clock::time_point start_ = Clock::now();
    mutable std::mutex mutex_;
    // Guarded by mutex_.
    std::array<Tally, kInvariants> tallies_;
    std::map<std::string, uint64_t> counts_;
    std::map<std::string, std::string> notes_;
    std::vector<std::string> late_;                                 // the first few late answers
    std::map<int, std::multiset<Clock::time_point>> doorsWaiting_;  // by gateway
    std::map<std::string, DoorAnswer> doorAnswers_;
    std::set<std::string> doorsAbandoned_;
    std::map<int, std::set<std::pair<int, uint32_t>>> eventsByClient_;
    std::set<int> lostClients_;
};

}  // namespace Soak
