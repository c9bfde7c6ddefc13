#pragma once
// What waits to be published to the broker: a bounded queue of events and answers, and the
// latest retained message of each topic (gateway status words, Home Assistant's
// configurations and states).
//
// Adding never waits for the broker: the bridge's thread takes publications out while it
// is connected. When maxQueued publications wait, a new one is dropped and counted: the
// first drop is logged at once, how many were dropped once the queue has drained again
// (the bridge reports it then), so an outage gives two log lines whatever its length. A
// retained message is never dropped: a newer one for the same topic replaces an older one
// not yet published, and all of them are kept to be published again after a reconnect. An
// empty one clears its topic at the broker and is forgotten once taken. Topics are kept
// below the prefix (MqttTopics) unless absolute, so that what waits here goes out under the
// prefix the bridge has when it publishes it.
//
// Threads: Add, SetRetained and the counters from any thread; the rest on the bridge's
// thread. One mutex guards everything and is never held while anything else is done.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace Mux::Mqtt {

struct MqttPublication {
    // event: counted among the events published; notice: an event not counted (Home
    // Assistant's reader events).
    enum class Kind { presence, retained, event, notice, reply };
    Kind kind = Kind::event;
    // Absolute: the whole topic (a reply's, as the requester named it). Else the levels
    // below the prefix (MqttTopics), which the bridge puts beneath its prefix as it
    // publishes.
    std::string topic;
    std::string payload;
    std::string correlationData;  // replies: bytes echoed to the requester; may be empty
    bool retained = false;
    bool absolute = false;
};

// A retained topic: absolute or below the prefix, and its name.
using RetainedTopic = std::pair<bool, std::string>;

class MqttOutbox {
public:
    explicit MqttOutbox(size_t maxQueued) : maxQueued_(maxQueued) {}

    // Any thread. Queues the publication at the end, or drops it when full.
    void Add(MqttPublication publication);
    // Any thread. The latest retained message of topic; an empty payload clears it.
    void SetRetained(RetainedTopic topic, std::string payload);

    // Bridge thread. The next publication: a retained message not yet published, in the
    // order they were set, else the oldest queued one; none when nothing waits.
    std::optional<MqttPublication> Next();
    // Bridge thread. Puts publications that the broker did not confirm before the
    // connection ended back at the front, in their order, beyond the bound if need be. A
    // clearing whose topic was set again meanwhile is left out: the newer message counts.
    void PutBack(std::vector<MqttPublication> publications);
    // Bridge thread, after each new connection and when Home Assistant comes online:
    // every retained message is published again.
    void RepublishRetained();
    // Bridge thread. Drops since the last call, once the queue is empty; else 0.
    uint64_t DropsToReport();

    size_t Queued() const;
    uint64_t DroppedEvents() const;

private:
    struct Retained {
        std::string payload;
        bool waiting = false;  // its topic is in unpublished_
    };

    const size_t maxQueued_;
    mutable std::mutex mutex_;
    // Guarded by mutex_: the queue, oldest first; retained messages by topic and the topics
    // whose message waits, in the order set; drops since the last report and in all.
    std::deque<MqttPublication> queue_;
    std::map<RetainedTopic, Retained> retained_;
    std::deque<RetainedTopic> unpublished_;
    uint64_t unreportedDrops_ = 0;
    uint64_t droppedEvents_ = 0;
};

}  // namespace Mux::Mqtt
