#pragma once
// A scoped lock on one Mutex with an optional time-out in seconds. Lives on the stack of
// one thread; unlocks in its destructor what it locked.

#include <string>

namespace Threading {

class Mutex;

class MutexGuard {
public:
    // Locks at once with a time-out of 5 seconds.
    explicit MutexGuard(Mutex& mutex);
    // Locks at once, without limit, when lockNow is set.
    MutexGuard(Mutex& mutex, bool lockNow);
    // Locks at once when lockNow is set: Lock(timeout) when timeout is not 0, else Lock().
    MutexGuard(Mutex& mutex, bool lockNow, int timeout);
    ~MutexGuard();
    MutexGuard(const MutexGuard&) = delete;
    MutexGuard& operator=(const MutexGuard&) = delete;

    // Waits without limit. False when this guard already holds the lock or locking failed.
    bool Lock();
    // Waits at most timeout seconds (0 or less: without limit). A lock whose owner died
    // is recovered. When the calling thread already owns the mutex through another
    // guard the result is true, and that other guard keeps the unlock.
    bool Lock(int timeout);
    // False when this guard holds nothing.
    bool Unlock();

    bool IsLocked() const { return locked_; }

private:
    bool HandleLockResult(int result);

    bool locked_ = false;
    std::string name_;
    Mutex& mutex_;
};

}  // namespace Threading
