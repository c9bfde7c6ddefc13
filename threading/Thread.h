#pragma once
// The owner of one POSIX thread. Created, started, joined and destroyed by its owner's
// thread only. The owner makes the body return before the Thread is destroyed: the
// destructor joins a thread that was started and not joined yet.

#include <pthread.h>

#include <functional>
#include <string>

namespace Threading {

class Thread {
public:
    explicit Thread(std::function<void()> body) : body_(std::move(body)) {}
    // name: what top -H and the debugger show for the thread; the system keeps 15 bytes.
    Thread(std::string name, std::function<void()> body)
        : name_(std::move(name)), body_(std::move(body)) {}
    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // False when there is no body or the thread could not be created.
    bool Start();
    // False when the thread was never started or cannot be joined (a thread joining itself).
    bool Join();

    bool IsStarted() const { return started_; }

private:
    static void* ThreadProc(void* self);

    std::string name_;
    std::function<void()> body_;
    bool started_ = false;
    bool joined_ = false;
    pthread_t threadId_{};
};

}  // namespace Threading
