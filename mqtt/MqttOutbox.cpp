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

void MqttOutbox::SetStatus(const std::string& topic, std::string word) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto [status, added] = statuses_.try_emplace(topic);
    unpublishedStatuses_ += added || status->second.published ? 1 : 0;
    status->second = Status{std::move(word), false};
}

std::optional<MqttPublication> MqttOutbox::Next() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = statuses_.begin(); unpublishedStatuses_ > 0 && it != statuses_.end(); ++it) {
        if (!it->second.published) {
            it->second.published = true;
            --unpublishedStatuses_;
            return MqttPublication{MqttPublication::Kind::status, it->first, it->second.word, "",
                                   true};
        }
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
    queue_.insert(queue_.begin(), std::make_move_iterator(publications.begin()),
                  std::make_move_iterator(publications.end()));
}

void MqttOutbox::RepublishStatuses() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& entry : statuses_) {
        entry.second.published = false;
    }
    unpublishedStatuses_ = statuses_.size();
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
