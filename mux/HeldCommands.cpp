#include "mux/HeldCommands.h"

namespace Mux {

HeldCommands::Ticket HeldCommands::Hold(Record record, std::optional<Clock::time_point> deadline) {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint64_t number = ++next_;
    held_.emplace(number, Held{std::move(record), deadline});
    bool earliest = false;
    if (deadline) {
        earliest = deadlines_.empty() || *deadline < deadlines_.begin()->first;
        deadlines_.emplace(*deadline, number);
    }
    return {number, earliest};
}

HeldCommands::Record HeldCommands::Release(uint64_t ticket) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = held_.find(ticket);
    if (found == held_.end()) {
        return nullptr;
    }
    Record record = std::move(found->second.record);
    if (const auto deadline = found->second.deadline) {
        const auto [first, last] = deadlines_.equal_range(*deadline);
        for (auto it = first; it != last; ++it) {
            if (it->second == ticket) {
                deadlines_.erase(it);
                break;
            }
        }
    }
    held_.erase(found);
    return record;
}

std::vector<HeldCommands::Record> HeldCommands::Expire(Clock::time_point now) {
    std::vector<Record> expired;
    std::lock_guard<std::mutex> lock(mutex_);
    while (!deadlines_.empty() && deadlines_.begin()->first <= now) {
        const auto found = held_.find(deadlines_.begin()->second);
        expired.push_back(std::move(found->second.record));
        held_.erase(found);
        deadlines_.erase(deadlines_.begin());
    }
    return expired;
}

std::optional<HeldCommands::Clock::time_point> HeldCommands::NextWake() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (deadlines_.empty()) {
        return std::nullopt;
    }
    return deadlines_.begin()->first;
}

}  // namespace Mux
