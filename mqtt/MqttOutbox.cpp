#include "mqtt/MqttOutbox.h"

#include "diagnostics/Log.h"

namespace Mux::Mqtt {

void MqttOutbox::Add(MqttPublication publication) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (queue_.size() < maxQueued_) {
        queue_.push_back(std::move(publication));
        return;
    }
    bool first = unreportedDrops_++ == 0;
    droppedEvents_ += publication.kind == MqttPublication::Kind::event ? 1 : 0;
    lock.unlock();
    if (first) {
        LOG_WARNING << "MQTT: " << maxQueued_
                    << " messages wait for the broker; dropping new ones until it takes them.";
    }
}

void MqttOutbox::SetRetained(RetainedTopic topic, std::string payload) {
    std::lock_guard<std::mutex> lock(mutex_);
    Retained& entry = retained_[topic];
    entry.payload = std::move(payload);
    if (!entry.waiting) {
        entry.waiting = true;
        unpublished_.push_back(std::move(topic));
    }
}

std::optional<MqttPublication> MqttOutbox::Next() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!unpublished_.empty()) {
        RetainedTopic topic = std::move(unpublished_.front());
        unpublished_.pop_front();
        auto entry = retained_.find(topic);
        MqttPublication next{MqttPublication::Kind::retained,
                             std::move(topic.second),
                             entry->second.payload,
                             "",
                             true,
                             topic.first};
        entry->second.waiting = false;
        if (next.payload.empty()) {
            retained_.erase(entry);
        }
        return next;
    }
    if (queue_.empty()) {
        return std::nullopt;
    }
    MqttPublication next = std::move(queue_.front());
    queue_.pop_front();
    return next;
}

void MqttOutbox::PutBack(std::vector<MqttPublication> publications) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::erase_if(publications, [this](const MqttPublication& publication) {
        return publication.kind == MqttPublication::Kind::retained &&
               retained_.contains({publication.absolute, publication.topic});
    });
    queue_.insert(queue_.begin(), std::make_move_iterator(publications.begin()),
                  std::make_move_iterator(publications.end()));
}

void MqttOutbox::RepublishRetained() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [topic, entry] : retained_) {
        if (!entry.waiting) {
            entry.waiting = true;
            unpublished_.push_back(topic);
        }
    }
}

uint64_t MqttOutbox::DropsToReport() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!queue_.empty()) {
        return 0;
    }
    uint64_t drops = unreportedDrops_;
    unreportedDrops_ = 0;
    return drops;
}

size_t MqttOutbox::Queued() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
}

uint64_t MqttOutbox::DroppedEvents() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return droppedEvents_;
}

}  // namespace Mux::Mqtt
