#pragma once
// A named POSIX mutex: error-checking and, as a rule, robust (a lock whose owner thread
// died is reclaimed by the next locker). The name serves only the log lines.
// Owned by the object whose data it protects; not copied.

#include <pthread.h>

#include <string>

namespace Threading {

class Mutex {
public:
    explicit Mutex(std::string name) : Mutex(std::move(name), true, true) {}
    Mutex(std::string name, bool initialize, bool robust);
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    // True when the mutex is usable (created now or before).
    bool Initialize(bool robust);
    // True when the mutex and its attributes were destroyed; does nothing when not initialised.
    bool Destroy();

    std::string GetName() const { return name_; }

private:
    friend class MutexGuard;

    std::string name_;
    pthread_mutex_t mutex_{};
    pthread_mutexattr_t attributes_{};
    bool initialized_ = false;
};

}  // namespace Threading
