#include "service/ServiceNotifier.h"

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "diagnostics/Log.h"
#include "threading/Thread.h"

namespace Mux::Service {

ServiceNotifier::ServiceNotifier() {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    active_ = socket != nullptr && socket[0] != '\0';
    if (!active_) {
        return;
    }
    uint64_t microseconds = 0;
    if (sd_watchdog_enabled(0, &microseconds) > 0 && microseconds >= 2000) {
        pingInterval_ = std::chrono::milliseconds(microseconds / 2000);
    }
    if (pingInterval_) {
        LOG_INFO << "Telling the service manager of readiness and status; watchdog pinged every "
                 << pingInterval_->count() << " ms while the core's loops turn.";
    } else {
        LOG_INFO << "Telling the service manager of readiness and status; no watchdog.";
    }
}

ServiceNotifier::~ServiceNotifier() {
    Stop();
}

void ServiceNotifier::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_) {
        thread_->Join();
    }
}

Heartbeat* ServiceNotifier::AddLoop(std::string name) {
    if (!active_ || !pingInterval_) {
        return nullptr;
    }
    auto period = std::max(std::chrono::milliseconds(1), *pingInterval_ / kBeatsPerPing);
    heartbeats_.push_back(std::make_unique<Heartbeat>(std::move(name), period));
    return heartbeats_.back().get();
}

void ServiceNotifier::SetStatusSource(std::function<std::string()> status) {
    status_ = std::move(status);
}

void ServiceNotifier::Start() {
    if (!active_ || thread_) {
        return;
    }
    thread_ = std::make_unique<Threading::Thread>([this] { ThreadProc(); });
    if (!thread_->Start()) {
        LOG_ERROR << "Cannot start the service notifier thread: systemd learns nothing.";
    }
}

void ServiceNotifier::Ready() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ready_ = true;
    }
    wake_.notify_all();
}

void ServiceNotifier::ThreadProc() {
    std::vector<uint64_t> lastBeats(heartbeats_.size(), 0);
    bool stalled = false;
    bool readySent = false;
    std::string lastStatus;
    // Never, until READY=1 went out; never without a watchdog.
    Clock::time_point nextStatus = Clock::time_point::max();
    Clock::time_point nextPing =
        pingInterval_ ? Clock::now() + *pingInterval_ : Clock::time_point::max();
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        auto woken = [&] { return stopping_ || (ready_ && !readySent); };
        const Clock::time_point due = std::min(nextStatus, nextPing);
        if (due == Clock::time_point::max()) {
            wake_.wait(lock, woken);
        } else {
            wake_.wait_until(lock, due, woken);
        }
        if (stopping_) {
            break;
        }
        const bool sendReady = ready_ && !readySent;
        lock.unlock();
        const Clock::time_point now = Clock::now();
        if (sendReady || now >= nextStatus) {
            SendStatus(lastStatus, sendReady);
            readySent = true;
            nextStatus = now + kStatusInterval;
        }
        if (now >= nextPing) {
            Watch(lastBeats, stalled);
            nextPing = now + *pingInterval_;
        }
        lock.lock();
    }
}

void ServiceNotifier::Watch(std::vector<uint64_t>& lastBeats, bool& stalled) {
    std::string standing;
    for (size_t i = 0; i < heartbeats_.size(); ++i) {
        const uint64_t beats = heartbeats_[i]->Beats();
        if (beats == lastBeats[i]) {
            standing += (standing.empty() ? "" : ", ") + heartbeats_[i]->Name();
        }
        lastBeats[i] = beats;
    }
    if (standing.empty()) {
        if (stalled) {
            LOG_WARNING << "Every watched loop turns again: the watchdog is pinged again.";
            stalled = false;
        }
        Notify("WATCHDOG=1");
        return;
    }
    if (!stalled) {
        LOG_ERROR << "Watchdog not pinged: no turn of the " << standing << " for "
                  << pingInterval_->count()
                  << " ms. systemd restarts lockhub unless it turns again.";
        stalled = true;
    }
}

void ServiceNotifier::SendStatus(std::string& lastStatus, bool withReady) {
    std::string status = status_ ? status_() : std::string();
    if (!withReady && status == lastStatus) {
        return;
    }
    std::string message = withReady ? "READY=1\n" : "";
    message += "STATUS=" + status;
    Notify(message);
    lastStatus = std::move(status);
}

void ServiceNotifier::Failed(const std::string& reason) {
    if (active_) {
        Notify("STATUS=" + reason);
    }
}

void ServiceNotifier::Notify(const std::string& message) {
    const int result = sd_notify(0, message.c_str());
    if (result < 0 && !failureLogged_) {
        LOG_WARNING << "Cannot notify the service manager: " << std::strerror(-result) << ".";
        failureLogged_ = true;
    }
}

}  // namespace Mux::Service
