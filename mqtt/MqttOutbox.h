#pragma once
// What waits to be published to the broker: a bounded queue of events and answers, and the
// latest status word of each gateway.
//
// Adding never waits for the broker: the bridge's thread takes publications out while it
// is connected. When maxQueued publications wait, a new one is dropped and counted: the
// first drop is logged at once, how many were dropped once the queue has drained again
// (the bridge reports it then), so an outage gives two log lines whatever its length. A
// status word is never dropped: a newer word for the same gateway replaces an older one
// not yet published.
//
// Threads: Add, SetStatus and the counters from any thread; the rest on the bridge's
// thread. One mutex guards everything and is never held while anything else is done.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace Mux::Mqtt {

struct MqttPublication {
    enum class Kind { presence, status, event, reply };
    Kind kind = Kind::event;
    std::string topic;
    std::string payload;
    std::string correlationData;  // replies: bytes echoed to the requester; may be empty
    bool retained = false;
};

class MqttOutbox {
public:
    explicit MqttOutbox(size_t maxQueued) : maxQueued_(maxQueued) {}

    // Any thread. Queues the publication at the end, or drops it when full.
    void Add(MqttPublication publication);
    // Any thread. The retained status word of the gateway whose status topic this is.
    void SetStatus(const std::string& topic, std::string word);

    // Bridge thread. The next publication: a status word not yet published, else the
    // oldest queued one; none when nothing waits.
    std::optional<MqttPublication> Next();
    // Bridge thread. Puts publications that the broker did not confirm before the
    // connection ended back at the front, in their order, beyond the bound if need be.
    void PutBack(std::vector<MqttPublication> publications);
    // Bridge thread, after each new connection: every known status word is published again.
    void RepublishStatuses();
    // Bridge thread. Drops since the last call, once the queue is empty; else 0.
    uint64_t DropsToReport();

    size_t Queued() const;
    uint64_t DroppedEvents() const;

private:
    struct Status {
        std::string word;
        bool published = false;
    };

    const size_t maxQueued_;
    mutable std::mutex mutex_;
    // Guarded by mutex_: the queue, oldest first; status words by topic and how many of
    // them wait; drops since the last report and in all.
    std::deque<MqttPublication> queue_;
    std::map<std::string, Status> statuses_;
    size_t unpublishedStatuses_ = 0;
    uint64_t unreportedDrops_ = 0;
    uint64_t droppedEvents_ = 0;
};

}  // namespace Mux::Mqtt
