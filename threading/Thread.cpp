#include "threading/Thread.h"

#include "diagnostics/Log.h"

namespace Threading {

Thread::~Thread() {
    if (started_ && !joined_) {
        Join();
    }
}

void* Thread::ThreadProc(void* self) {
    Thread& thread = *static_cast<Thread*>(self);
    if (!thread.name_.empty()) {
        pthread_setname_np(pthread_self(), thread.name_.substr(0, 15).c_str());
    }
    thread.body_();
    return nullptr;
}

bool Thread::Start() {
    if (!body_ || started_) {
        return false;
    }
    started_ = pthread_create(&threadId_, nullptr, ThreadProc, this) == 0;
    return started_;
}

bool Thread::Join() {
    if (!started_ || joined_) {
        return false;
    }
    LOG_VERBOSE << "Waiting for join thrad ID " << static_cast<unsigned long>(threadId_);
    if (pthread_equal(threadId_, pthread_self())) {
        // A body that tears down its own owner cannot wait for itself; it is let go instead.
        pthread_detach(threadId_);
        joined_ = true;
        return false;
    }
    joined_ = pthread_join(threadId_, nullptr) == 0;
    return joined_;
}

}  // namespace Threading
