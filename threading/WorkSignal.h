#pragma once
// Wakes a loop that waits for work. Notify marks that work may be there; Wait returns at
// once when it was marked since the last Wait, else when it is marked or the time is up.
// So a loop checks its queues, then waits, and never misses work queued in between.

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace Threading {

class WorkSignal {
public:
    // Any thread.
    void Notify() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            signalled_ = true;
        }
        condition_.notify_all();
    }

    // The waiting loop's thread. Waits without limit.
    void Wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        condition_.wait(lock, [this] { return signalled_; });
        signalled_ = false;
    }

    // The waiting loop's thread. Waits at most timeout.
    void WaitFor(std::chrono::steady_clock::duration timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        condition_.wait_for(lock, timeout, [this] { return signalled_; });
        signalled_ = false;
    }

private:
    std::mutex mutex_;
    std::condition_variable condition_;
    bool signalled_ = false;
};

}  // namespace Threading
