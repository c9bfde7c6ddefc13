#include "threading/MutexGuard.h"

#include <cerrno>
#include <ctime>
#include <stdexcept>

#include "diagnostics/Log.h"
#include "threading/Mutex.h"

namespace Threading {

namespace {
constexpr int kDefaultGuardTimeoutSeconds = 5;
}

MutexGuard::MutexGuard(Mutex& mutex) : MutexGuard(mutex, true, kDefaultGuardTimeoutSeconds) {}

MutexGuard::MutexGuard(Mutex& mutex, bool lockNow) : MutexGuard(mutex, lockNow, 0) {}

MutexGuard::MutexGuard(Mutex& mutex, bool lockNow, int timeout)
    : name_(mutex.name_), mutex_(mutex) {
    if (!lockNow) {
        return;
    }
    if (timeout != 0) {
        Lock(timeout);
    } else {
        Lock();
    }
}

MutexGuard::~MutexGuard() {
    if (locked_) {
        Unlock();
    }
}

bool MutexGuard::Lock() {
    if (locked_) {
        return false;
    }
    LOG_WARNING << "Requested lock withtout timeout for mutex " << name_;
    int result = pthread_mutex_lock(&mutex_.mutex_);
    if (result == 0 || result == EOWNERDEAD) {
        return HandleLockResult(result);
    }
    LOG_ERROR << "Cannot lock for mutex " << name_;
    return false;
}

bool MutexGuard::Lock(int timeout) {
    if (locked_) {
        return false;
    }
    int result;
    if (timeout > 0) {
        timespec deadline{};
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += timeout;
        result = pthread_mutex_timedlock(&mutex_.mutex_, &deadline);
    } else {
        result = pthread_mutex_lock(&mutex_.mutex_);
    }
    return HandleLockResult(result);
}

bool MutexGuard::HandleLockResult(int result) {
    switch (result) {
        case 0:
            locked_ = true;
            return true;
        case EDEADLK:
            // The lock belongs to an outer guard of this thread, which keeps the unlock:
            // releasing it here would open the outer critical section to other threads.
            LOG_WARNING << "Mutex " << name_ << " already owned.";
            return true;
        case ETIMEDOUT:
            LOG_ERROR << "Mutex " << name_ << " timed out while acquiring lock.";
            return false;
        case EOWNERDEAD:
            LOG_INFO << "Mutex owner is dead. Reclaiming consistancy of current mutex " << name_;
            if (pthread_mutex_consistent(&mutex_.mutex_) == EINVAL) {
                throw std::runtime_error("Cannot make mutex " + name_ + " consistent");
            }
            locked_ = true;
            LOG_INFO << "Current mutex " << name_
                     << " is considered locked as recovered consistancy from dead owner.";
            return true;
        default:
            LOG_WARNING << "Cannot lock mutex. The mutex is already locked and timedout, or "
                           "there was an error. Mutex "
                        << name_;
            return false;
    }
}

bool MutexGuard::Unlock() {
    if (!locked_) {
        return false;
    }
    pthread_mutex_unlock(&mutex_.mutex_);
    locked_ = false;
    return true;
}

}  // namespace Threading
