#include "gateway/FairQueue.h"

#include <algorithm>
#include <utility>

namespace Quarn {

void FairQueue::Push(Request request) {
    const uint64_t client = request->client;
    std::deque<Request>& queue = byClient_[client];
    if (queue.empty()) {
        turns_.push_back(client);
    }
    queue.push_back(std::move(request));
    ++size_;
}

void FairQueue::PushFront(Request request) {
    const uint64_t client = request->client;
    std::erase(turns_, client);
    turns_.push_front(client);
    byClient_[client].push_front(std::move(request));
    ++size_;
}

FairQueue::Request FairQueue::Pop() {
    if (turns_.empty()) {
        return nullptr;
    }
    const uint64_t client = turns_.front();
    turns_.pop_front();
    auto found = byClient_.find(client);
    Request request = std::move(found->second.front());
    found->second.pop_front();
    if (found->second.empty()) {
        byClient_.erase(found);
    } else {
        turns_.push_back(client);
    }
    --size_;
    return request;
}

FairQueue::Request FairQueue::PopOf(uint64_t client) {
    auto found = byClient_.find(client);
    if (found == byClient_.end()) {
        return nullptr;
    }
    Request request = std::move(found->second.front());
    found->second.pop_front();
    if (found->second.empty()) {
        byClient_.erase(found);
        std::erase(turns_, client);
    }
    --size_;
    return request;
}

size_t FairQueue::Ahead(uint64_t client) const {
    auto own = byClient_.find(client);
    const size_t queued = own == byClient_.end() ? 0 : own->second.size();
    // The new request leaves in the client's round queued + 1; a client whose turn comes
    // before this one's in each round sends one more frame by then.
    auto position = std::find(turns_.begin(), turns_.end(), client);
    size_t ahead = queued;
    for (auto turn = turns_.begin(); turn != turns_.end(); ++turn) {
        if (*turn == client) {
            continue;
        }
        const size_t rounds = queued + (turn < position ? 1 : 0);
        ahead += std::min(byClient_.at(*turn).size(), rounds);
    }
    return ahead;
}

std::vector<FairQueue::Request> FairQueue::TakeIf(
    const std::function<bool(const MessageRequestInfo&)>& expired) {
    std::vector<Request> taken;
    for (auto it = byClient_.begin(); it != byClient_.end();) {
        std::deque<Request>& queue = it->second;
        for (auto request = queue.begin(); request != queue.end();) {
            if (expired(**request)) {
                taken.push_back(std::move(*request));
                request = queue.erase(request);
                --size_;
            } else {
                ++request;
            }
        }
        if (queue.empty()) {
            std::erase(turns_, it->first);
            it = byClient_.erase(it);
        } else {
            ++it;
        }
    }
    return taken;
}

std::optional<MessageRequestInfo::Clock::time_point> FairQueue::EarliestDeadline() const {
    std::optional<MessageRequestInfo::Clock::time_point> earliest;
    for (const auto& [client, queue] : byClient_) {
        for (const Request& request : queue) {
            if (request->deadline && (!earliest || *request->deadline < *earliest)) {
                earliest = request->deadline;
            }
        }
    }
    return earliest;
}

void FairQueue::Clear() {
    byClient_.clear();
    turns_.clear();
    size_ = 0;
}

}  // namespace Quarn
