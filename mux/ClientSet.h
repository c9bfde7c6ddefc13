#pragma once
// A set of client connections, such as the subscribers to gateway status events. A
// member is the pair (descriptor, connection id), so that a later client that got the
// same descriptor is never taken for it. Any thread: each operation takes the set's own
// lock, which is never held while anything else is called.

#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "net/ServerSocket.h"

namespace Mux {

class ClientSet {
public:
    void Add(int clientFd, uint64_t connectionId) {
        std::lock_guard<std::mutex> lock(mutex_);
        members_[connectionId] = clientFd;
    }

    void Remove(uint64_t connectionId) {
        std::lock_guard<std::mutex> lock(mutex_);
        members_.erase(connectionId);
    }

    // In order of connection.
    std::vector<Quarn::Net::ClientConnection> Members() const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<Quarn::Net::ClientConnection> members;
        members.reserve(members_.size());
        for (const auto& [connectionId, clientFd] : members_) {
            members.push_back({clientFd, connectionId});
        }
        return members;
    }

private:
    mutable std::mutex mutex_;
    std::map<uint64_t, int> members_;  // connection id -> descriptor; guarded by mutex_
};

}  // namespace Mux
