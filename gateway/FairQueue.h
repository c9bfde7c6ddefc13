#pragma once
// The requests of one class waiting for a gateway, taking turns by client: each client's
// requests leave in the order that client sent them, and the clients with requests waiting
// take one turn each in the order they first queued. So one client that queues hundreds of
// requests delays another client's next one by at most one frame.
//
// Owned by one gateway and driven by whoever drives it; not thread-safe.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "gateway/MessageRequestInfo.h"

namespace Quarn {

class FairQueue {
public:
    using Request = std::unique_ptr<MessageRequestInfo>;

    void Push(Request request);
    // Back to the head of its client's requests, its client next in turn: a frame that
    // could not be sent.
    void PushFront(Request request);
    // The next request in turn, or null.
    Request Pop();
    // The next request of one client, or null.
    Request PopOf(uint64_t client);
    // How many requests would leave before one the client queued now.
    size_t Ahead(uint64_t client) const;
    size_t Size() const { return size_; }
    bool Holds(uint64_t client) const { return byClient_.count(client) != 0; }
    bool Empty() const { return size_ == 0; }
    // Takes out every request for which expired is true, in queue order per client.
    std::vector<Request> TakeIf(const std::function<bool(const MessageRequestInfo&)>& expired);
    // The earliest deadline of a waiting request; none when no request has one.
    std::optional<MessageRequestInfo::Clock::time_point> EarliestDeadline() const;
    void Clear();

private:
    std::map<uint64_t, std::deque<Request>> byClient_;
    // The clients with requests waiting, in the order of their turns.
    std::deque<uint64_t> turns_;
    size_t size_ = 0;
};

}  // namespace Quarn
