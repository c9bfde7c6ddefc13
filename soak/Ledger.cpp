#include "soak/Ledger.h"

#include <cstdio>
#include <sstream>

#include <rapidjson/document.h>

namespace Soak {
namespace {

// How late an answer or a frame may be, past its deadline.
constexpr auto kSlack = std::chrono::milliseconds(50);
constexpr size_t kExamples = 5;

const char* const kNames[kInvariants] = {
    "every request gets one answer, by its deadline + 50 ms",
    "no door frame reaches a gateway after its request's deadline",
    "every door command taken has one audit outcome, as answered",
    "every event reaches every permitted client once, in order",
    "every event reaches the broker at least once",
    "lockhub never exits",
    "watchdog pings never stop",
    "memory, descriptors and threads return to their baseline",
};

// Whether the trail's outcome says what the client was answered.
bool Matches(const std::string& outcome, const DoorAnswer& answer) {
    if (outcome == "ACK") {
        return answer.code == 0;
    }
    if (answer.code != 1) {
        return false;
    }
    if (outcome == "TIMEOUT") {
        return answer.message == "The gateway did not answer in time.";
    }
    if (outcome == "NOT_SENT") {
        return answer.message.find("not sent") != std::string::npos;
    }
    if (outcome == "NOT_PERMITTED") {
        return answer.message.rfind("Not permitted", 0) == 0;
    }
    return outcome == "NACK";
}

}  // namespace

void Ledger::Check(Invariant invariant, bool held, const std::string& broken) {
    std::lock_guard<std::mutex> lock(mutex_);
    CheckLocked(invariant, held, broken);
}

void Ledger::CheckLocked(Invariant invariant, bool held, const std::string& broken) {
    Tally& tally = tallies_[static_cast<size_t>(invariant)];
    ++tally.checks;
    if (!held) {
        ++tally.broken;
        if (tally.examples.size() < kExamples) {
            const double at = std::chrono::duration<double>(Clock::now() - start_).count();
            char when[32];
            std::snprintf(when, sizeof when, "at %.1f s: ", at);
            tally.examples.push_back(when + broken);
        }
    }
}

void Ledger::Count(const std::string& what, uint64_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    counts_[what] += count;
}

void Ledger::Late(const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counts_["answers 50-250 ms past their deadline (not a break)"];
    if (late_.size() < kExamples) {
        late_.push_back(what);
    }
}

void Ledger::Note(const std::string& what, const std::string& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    notes_[what] = value;
}

void Ledger::DoorSent(int gateway, Clock::time_point at) {
    std::lock_guard<std::mutex> lock(mutex_);
    doorsWaiting_[gateway].insert(at);
}

void Ledger::DoorFrame(int gateway, Clock::time_point at) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::multiset<Clock::time_point>& waiting = doorsWaiting_[gateway];
    // Commands whose deadline passed can no longer be sent.
    while (!waiting.empty() && *waiting.begin() + requestTimeout_ + kSlack < at) {
        waiting.erase(waiting.begin());
    }
    const bool covered = !waiting.empty() && *waiting.begin() <= at;
    if (covered) {
        waiting.erase(waiting.begin());
    }
    CheckLocked(Invariant::LateFrames, covered,
                "a door frame to gateway " + std::to_string(gateway) +
                    " with no door command for it within its deadline");
}

void Ledger::DoorAnswered(const std::string& id, DoorAnswer answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    doorAnswers_[id] = std::move(answer);
}

void Ledger::DoorAbandoned(const std::string& id) {
    std::lock_guard<std::mutex> lock(mutex_);
    doorsAbandoned_.insert(id);
}

void Ledger::EventSeen(int client, int gateway, uint32_t number) {
    std::lock_guard<std::mutex> lock(mutex_);
    eventsByClient_[client].insert({gateway, number});
}

void Ledger::ClientLost(int client) {
    std::lock_guard<std::mutex> lock(mutex_);
    lostClients_.insert(client);
}

void Ledger::CheckTrail(const std::string& trailText) {
    std::lock_guard<std::mutex> lock(mutex_);
    struct Lines {
        std::vector<std::string> outcomes;
        int sending = 0;
    };
    std::map<std::string, Lines> byId;
    std::istringstream lines(trailText);
    uint64_t count = 0;
    for (std::string line; std::getline(lines, line);) {
        ++count;
        rapidjson::Document entry;
        entry.Parse(line.c_str(), line.size());
        if (entry.HasParseError() || !entry.IsObject()) {
            CheckLocked(Invariant::Audit, false, "a trail line that does not parse: " + line);
            continue;
        }
        if (!entry.HasMember("MessageID") || !entry["MessageID"].IsString()) {
            continue;  // an event's line
        }
        const std::string outcome = entry.HasMember("Outcome") && entry["Outcome"].IsString()
                                        ? entry["Outcome"].GetString()
                                        : "";
        Lines& entries = byId[entry["MessageID"].GetString()];
        if (outcome == "SENDING") {
            ++entries.sending;
        } else {
            entries.outcomes.push_back(outcome);
        }
    }
    counts_["trail lines"] += count;
    for (const auto& [id, entries] : byId) {
        CheckLocked(Invariant::Audit, entries.outcomes.size() == 1 && entries.sending <= 1,
                    id + " has " + std::to_string(entries.outcomes.size()) + " outcomes and " +
                        std::to_string(entries.sending) + " SENDING lines");
    }
    for (const auto& [id, answer] : doorAnswers_) {
        const auto found = byId.find(id);
        const bool recorded = found != byId.end() && found->second.outcomes.size() == 1;
        CheckLocked(
            Invariant::Audit, recorded && Matches(found->second.outcomes.front(), answer),
            id + (recorded ? " recorded " + found->second.outcomes.front() : " not recorded") +
                ", answered " + std::to_string(answer.code) + " " + answer.message);
    }
    for (const std::string& id : doorsAbandoned_) {
        const auto found = byId.find(id);
        CheckLocked(Invariant::Audit, found != byId.end() && found->second.outcomes.size() == 1,
                    id + " (its client went) has no outcome");
    }
}

void Ledger::CheckEvents(const std::vector<int>& clients,
                         const std::set<std::pair<int, uint32_t>>& atBroker, uint64_t dropped) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::set<std::pair<int, uint32_t>> reached;
    for (int client : clients) {
        reached.insert(eventsByClient_[client].begin(), eventsByClient_[client].end());
    }
    counts_["events that reached lockhub"] += reached.size();
    for (int client : clients) {
        if (lostClients_.count(client) != 0) {
            continue;
        }
        const auto& seen = eventsByClient_[client];
        for (const auto& event : reached) {
            CheckLocked(Invariant::Events, seen.count(event) != 0,
                        "client " + std::to_string(client) + " missed event " +
                            std::to_string(event.second) + " of gateway " +
                            std::to_string(event.first));
        }
    }
    uint64_t missing = 0;
    for (const auto& event : reached) {
        missing += atBroker.count(event) == 0 ? 1 : 0;
    }
    counts_["events missing at the broker"] += missing;
    counts_["events the bridge counted dropped"] += dropped;
    CheckLocked(Invariant::BrokerEvents, missing <= dropped,
                std::to_string(missing) + " events never reached the broker, " +
                    std::to_string(dropped) + " counted dropped");
}

size_t Ledger::EventsReached(const std::vector<int>& clients) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::set<std::pair<int, uint32_t>> reached;
    for (int client : clients) {
        const auto found = eventsByClient_.find(client);
        if (found != eventsByClient_.end()) {
            reached.insert(found->second.begin(), found->second.end());
        }
    }
    return reached.size();
}

bool Ledger::AnyBroken() const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Tally& tally : tallies_) {
        if (tally.broken > 0) {
            return true;
        }
    }
    return false;
}

void Ledger::Print(uint64_t seed) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::printf("\n| invariant | checks | broken |\n|---|---:|---:|\n");
    for (size_t i = 0; i < kInvariants; ++i) {
        std::printf("| %s | %llu | %llu |\n", kNames[i],
                    static_cast<unsigned long long>(tallies_[i].checks),
                    static_cast<unsigned long long>(tallies_[i].broken));
    }
    std::printf("\n| counted | |\n|---|---:|\n");
    for (const auto& [what, count] : counts_) {
        std::printf("| %s | %llu |\n", what.c_str(), static_cast<unsigned long long>(count));
    }
    for (const auto& [what, value] : notes_) {
        std::printf("| %s | %s |\n", what.c_str(), value.c_str());
    }
    for (const std::string& late : late_) {
        std::printf("late: %s\n", late.c_str());
    }
    for (size_t i = 0; i < kInvariants; ++i) {
        for (const std::string& example : tallies_[i].examples) {
            std::printf("broken: %s: %s\n", kNames[i], example.c_str());
        }
    }
    std::printf("seed %llu\n", static_cast<unsigned long long>(seed));
}

}  // namespace Soak
