#pragma once
// A value that is replaced whole and read by many threads: a reader takes the current
// version and keeps it alive as long as it holds it; a writer publishes a new one (null
// for none). Snapshot<const T> for a value that never changes once published. Any
// thread may call either. (A mutex rather than std::atomic<std::shared_ptr>: the standard
// library's lock-bit version of the latter is invisible to ThreadSanitizer.)

#include <memory>
#include <mutex>

namespace Threading {

template <class T>
class Snapshot {
public:
    explicit Snapshot(std::shared_ptr<T> value) : value_(std::move(value)) {}

    std::shared_ptr<T> load() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return value_;
    }
    // The old version is released after the lock, when this was its last reference.
    void store(std::shared_ptr<T> value) {
        std::lock_guard<std::mutex> lock(mutex_);
        value_.swap(value);
    }
    std::shared_ptr<T> exchange(std::shared_ptr<T> value) {
        std::lock_guard<std::mutex> lock(mutex_);
        value_.swap(value);
        return value;
    }

private:
    mutable std::mutex mutex_;
    std::shared_ptr<T> value_;
};

}  // namespace Threading
