// The gateway loop: its thread, the timers, adding and removing links, and the resolver.

#include "gateway/GatewayLoop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "diagnostics/Log.h"

namespace Quarn {

namespace {

// Events taken from epoll at once.
constexpr int kEventBatch = 64;
// The loop's longest wait. A timer further away than this is scheduled without waking the
// loop: within this wait the loop looks at its timers again and sleeps until the timer
// exactly. So a request sent at once from another thread, whose answer time-out is seconds
// away, costs no wake-up of the loop; an idle loop wakes once per wait.
constexpr std::chrono::milliseconds kLongestWait{1000};

// Set on the loop thread: scheduling from there never needs to wake it.
thread_local bool onLoopThread = false;

int Checked(int descriptor, const char* what) {
    if (descriptor == -1) {
        throw std::system_error(errno, std::generic_category(), what);
    }
    return descriptor;
}

}  // namespace

GatewayLoop::GatewayLoop()
    : epoll_(Checked(epoll_create1(EPOLL_CLOEXEC), "epoll_create1")),
      wake_(Checked(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK), "eventfd")) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = nullptr;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &event);
    loopThread_ = std::make_unique<Threading::Thread>("gw-loop", [this] { loopThreadProc(); });
    resolverThread_ =
        std::make_unique<Threading::Thread>("gw-resolve", [this] { resolverThreadProc(); });
    if (!loopThread_->Start() || !resolverThread_->Start()) {
        LOG_ERROR << "Cannot spawn the gateway loop's threads.";
    }
}

GatewayLoop::~GatewayLoop() {
    std::vector<std::shared_ptr<GatewayLink>> links;
    {
        std::lock_guard<std::mutex> lock(linksMutex_);
        links = links_;
    }
    for (const std::shared_ptr<GatewayLink>& link : links) {
        Remove(link);
    }
    running_ = false;
    Wake();
    {
        std::lock_guard<std::mutex> lock(resolverMutex_);
        resolverWake_.notify_all();
    }
    loopThread_->Join();
    resolverThread_->Join();
    ::close(wake_);
    ::close(epoll_);
}

void GatewayLoop::Add(const std::shared_ptr<GatewayLink>& link) {
    {
        std::lock_guard<std::mutex> lock(linksMutex_);
        links_.push_back(link);
    }
    std::lock_guard<std::mutex> lock(link->mutex_);
    link->loop_ = this;
    const Clock::time_point now = Clock::now();
    link->gateway_.StartConnecting(now);
    Schedule(*link, now);
}

void GatewayLoop::Remove(const std::shared_ptr<GatewayLink>& link) {
    std::unique_lock<std::mutex> lock(linksMutex_);
    if (std::find(links_.begin(), links_.end(), link) == links_.end()) {
        return;
    }
    removals_.push_back(link.get());
    Wake();
    removed_.wait(lock, [&] {
        return std::find(links_.begin(), links_.end(), link) == links_.end();
    });
}

void GatewayLoop::Schedule(GatewayLink& link, Clock::time_point when) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(timersMutex_);
        if (link.scheduled_ == when) {
            return;
        }
        if (link.scheduled_ != Clock::time_point::max()) {
            timers_.erase({link.scheduled_, &link});
        }
        link.scheduled_ = when;
        if (when != Clock::time_point::max()) {
            timers_.insert({when, &link});
        }
        if (when < plannedWake_ && when < Clock::now() + kLongestWait) {
            plannedWake_ = when;
            wake = !onLoopThread;
        }
    }
    if (wake) {
        Wake();
    }
}

void GatewayLoop::Wake() {
    const uint64_t one = 1;
    if (::write(wake_, &one, sizeof one) != sizeof one && errno != EAGAIN) {
        LOG_ERROR << "Cannot wake the gateway loop: " << std::strerror(errno);
    }
}

void GatewayLoop::Resolve(const std::shared_ptr<GatewayLink>& link) {
    std::lock_guard<std::mutex> lock(resolverMutex_);
    toResolve_.push_back(link);
    resolverWake_.notify_one();
}

void GatewayLoop::loopThreadProc() {
    onLoopThread = true;
    LOG_DEBUG << "Gateway loop spawned.";
    std::array<epoll_event, kEventBatch> events;
    while (running_) {
        ServeDueLinks(Clock::now());
        DropRemovedLinks();
        Clock::time_point next;
        {
            std::lock_guard<std::mutex> lock(timersMutex_);
            next = timers_.empty() ? Clock::time_point::max() : timers_.begin()->first;
            plannedWake_ = next;
        }
        const Clock::time_point now = Clock::now();
        std::chrono::milliseconds wait = kLongestWait;
        if (next != Clock::time_point::max()) {
            // Rounded up: woken before its time, the loop would only wait again.
            wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(
                                      std::max(next - now, Clock::duration::zero())));
        }
        const int ready = epoll_wait(epoll_, events.data(), kEventBatch,
                                     static_cast<int>(wait.count()));
        if (ready == -1 && errno != EINTR) {
            LOG_ERROR << "The gateway loop cannot wait: " << std::strerror(errno);
        }
        for (int i = 0; i < ready; ++i) {
            auto* link = static_cast<GatewayLink*>(events[i].data.ptr);
            if (link == nullptr) {
                uint64_t count = 0;
                [[maybe_unused]] ssize_t drained = ::read(wake_, &count, sizeof count);
                continue;
            }
            link->HandleEvents(events[i].events, Clock::now());
        }
    }
    LOG_DEBUG << "Closing gateway loop.";
}

void GatewayLoop::ServeDueLinks(Clock::time_point now) {
    std::vector<GatewayLink*> due;
    {
        std::lock_guard<std::mutex> lock(timersMutex_);
        while (!timers_.empty() && timers_.begin()->first <= now) {
            GatewayLink* link = timers_.begin()->second;
            link->scheduled_ = Clock::time_point::max();
            timers_.erase(timers_.begin());
            due.push_back(link);
        }
    }
    for (GatewayLink* link : due) {
        link->Serve(now);
    }
}

void GatewayLoop::DropRemovedLinks() {
    std::vector<GatewayLink*> removals;
    {
        std::lock_guard<std::mutex> lock(linksMutex_);
        removals.swap(removals_);
    }
    if (removals.empty()) {
        return;
    }
    for (GatewayLink* link : removals) {
        VirtualGateway::Notices notices;
        {
            std::lock_guard<std::mutex> lock(link->mutex_);
            const Clock::time_point now = Clock::now();
            link->gateway_.StopConnecting();
            link->Unwatch();
            link->socket_.Close();
            link->unwritten_.clear();
            link->gateway_.ConnectionLost(now, VirtualGateway::Loss::Closed);
            link->gateway_.Discard();
            link->status_ = link->gateway_.GetStatus();
            Schedule(*link, Clock::time_point::max());
            link->loop_ = nullptr;
            notices = link->gateway_.TakeNotices();
        }
        link->Deliver(std::move(notices));
    }
    {
        std::lock_guard<std::mutex> lock(linksMutex_);
        std::erase_if(links_, [&](const std::shared_ptr<GatewayLink>& link) {
            return std::find(removals.begin(), removals.end(), link.get()) != removals.end();
        });
    }
    removed_.notify_all();
}

void GatewayLoop::resolverThreadProc() {
    for (;;) {
        std::shared_ptr<GatewayLink> link;
        {
            std::unique_lock<std::mutex> lock(resolverMutex_);
            resolverWake_.wait(lock, [&] { return !toResolve_.empty() || !running_; });
            if (!running_) {
                return;
            }
            link = toResolve_.front().lock();
            toResolve_.pop_front();
        }
        if (link) {
            link->Resolved(Net::ClientSocket::Resolve(link->ipAddress_, link->port_, false));
        }
    }
}

}  // namespace Quarn
