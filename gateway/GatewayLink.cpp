// One gateway as the loop drives it: its protocol state and its non-blocking socket under
// one mutex, connecting, reading, writing, and handing the gateway's notices on.

#include <sys/epoll.h>

#include <cstring>
#include <utility>

#include "diagnostics/Log.h"
#include "gateway/GatewayLoop.h"

namespace Quarn {

GatewayLink::GatewayLink(GatewaySettings settings, Callbacks callbacks)
    : id_(settings.id),
      description_(settings.description),
      ipAddress_(settings.ipAddress),
      port_(settings.port),
      callbacks_(std::move(callbacks)),
      gateway_(settings.ipAddress, settings.port, settings.timings) {
    gateway_.SetId(settings.id);
    gateway_.SetDescription(std::move(settings.description));
    gateway_.SetCheckFrameCrc(settings.checkFrameCrc);
    socket_.ReceiveErrorCallback = [this](int errorCode) {
        if (errorCode == 0) {
            loss_ = VirtualGateway::Loss::PeerClosed;
            return;
        }
        LOG_ERROR << "Socket faulted. Receive error. Error description: "
                  << std::strerror(errorCode);
        loss_ = VirtualGateway::Loss::ReceiveError;
    };
    socket_.SendErrorCallback = [this](int errorCode) {
        LOG_ERROR << "Socket faulted. Send error. Error description: " << std::strerror(errorCode);
        loss_ = VirtualGateway::Loss::SendError;
    };
}

void GatewayLink::Submit(GatewayCommand command) {
    const Clock::time_point now = Clock::now();
    VirtualGateway::Notices notices;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        gateway_.Submit(std::move(command), now);
        // Into an idle connection the frame goes at once, from this thread; anything
        // else about the connection is the loop's.
        if (loop_ != nullptr && socket_.IsConnected() && unwritten_.empty() && !sendFailed_ &&
            !SendFrames(now)) {
            sendFailed_ = true;
            loop_->Schedule(*this, now);
        }
        notices = Conclude(now);
    }
    Deliver(std::move(notices));
}

VirtualGatewayHealth GatewayLink::GetHealth() {
    std::lock_guard<std::mutex> lock(mutex_);
    return gateway_.GetHealth();
}

void GatewayLink::SetRequestTimeout(std::chrono::milliseconds timeout) {
    VirtualGateway::Notices notices;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        gateway_.SetRequestTimeout(timeout);
        notices = Conclude(Clock::now());
    }
    Deliver(std::move(notices));
}

void GatewayLink::Serve(Clock::time_point now) {
    VirtualGateway::Notices notices;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (loop_ == nullptr) {
            return;
        }
        Service(now);
        notices = Conclude(now);
    }
    Deliver(std::move(notices));
}

void GatewayLink::HandleEvents(uint32_t events, Clock::time_point now) {
    VirtualGateway::Notices notices;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (loop_ == nullptr) {
            return;
        }
        if (!socket_.IsConnected()) {
            AttemptFinished(now);
        } else {
            if ((events & (EPOLLIN | EPOLLERR | EPOLLHUP)) != 0) {
                ReadAvailable(now);
            }
            if (socket_.IsConnected() && (events & EPOLLOUT) != 0) {
                WritePending();
            }
        }
        Service(now);
        notices = Conclude(now);
    }
    Deliver(std::move(notices));
}

void GatewayLink::Resolved(std::optional<Net::ClientSocket::Addresses> addresses) {
    std::lock_guard<std::mutex> lock(mutex_);
    resolving_ = false;
    if (loop_ == nullptr) {
        return;
    }
    // An attempt that timed out meanwhile has failed already; the next one may start now
    // when it is due.
    if (gateway_.ConnectUnderWay()) {
        resolved_ = std::move(addresses);
    }
    loop_->Schedule(*this, Clock::now());
}

void GatewayLink::Service(Clock::time_point now) {
    if (sendFailed_) {
        sendFailed_ = false;
        Lose(now, VirtualGateway::Loss::SendError);
    }
    if (resolved_) {
        std::optional<Net::ClientSocket::Addresses> addresses = std::move(*resolved_);
        resolved_.reset();
        if (addresses) {
            BeginConnect(now, std::move(*addresses));
        } else {
            gateway_.ConnectFailed(now);
        }
    }
    if (gateway_.ConnectTimedOut(now)) {
        Unwatch();
        socket_.Abandon();
        gateway_.ConnectFailed(now);
    }
    gateway_.Tick(now);
    if (!resolving_ && gateway_.ConnectDue(now)) {
        StartAttempt(now);
    }
    if (socket_.IsConnected() && !SendFrames(now)) {
        Lose(now, VirtualGateway::Loss::SendError);
    }
}

void GatewayLink::StartAttempt(Clock::time_point now) {
    gateway_.ConnectStarted(now);
    if (auto addresses = Net::ClientSocket::Resolve(ipAddress_, port_, true)) {
        BeginConnect(now, std::move(*addresses));
        return;
    }
    resolving_ = true;
    loop_->Resolve(shared_from_this());
}

void GatewayLink::BeginConnect(Clock::time_point now, Net::ClientSocket::Addresses addresses) {
    Unwatch();
    Attempted(now, socket_.Connect(std::move(addresses)));
}

void GatewayLink::AttemptFinished(Clock::time_point now) {
    if (!gateway_.ConnectUnderWay() || socket_.Descriptor() == -1) {
        return;
    }
    Unwatch();
    Attempted(now, socket_.Continue());
}

void GatewayLink::Attempted(Clock::time_point now, Net::ClientSocket::Attempt attempt) {
    if (attempt == Net::ClientSocket::Attempt::Connected) {
        gateway_.Connected(now);
    } else if (attempt == Net::ClientSocket::Attempt::Failed) {
        gateway_.ConnectFailed(now);
    }
    Watch();
}

void GatewayLink::ReadAvailable(Clock::time_point now) {
    std::vector<unsigned char> bytes;
    const bool open = socket_.Receive(bytes);
    if (!bytes.empty()) {
        gateway_.Receive(bytes, now);
    }
    if (!open) {
        Lose(now, loss_);
    }
}

void GatewayLink::WritePending() {
    if (unwritten_.empty()) {
        return;
    }
    const ptrdiff_t written = socket_.Send(unwritten_);
    if (written < 0) {
        sendFailed_ = true;
        return;
    }
    unwritten_.erase(unwritten_.begin(), unwritten_.begin() + written);
    Watch();
}

bool GatewayLink::SendFrames(Clock::time_point now) {
    while (unwritten_.empty()) {
        std::vector<unsigned char> frame = gateway_.TakeFrame(now);
        if (frame.empty()) {
            return true;
        }
        const ptrdiff_t written = socket_.Send(frame);
        if (written < 0) {
            gateway_.FrameNotSent();
            return false;
        }
        if (static_cast<size_t>(written) < frame.size()) {
            unwritten_.assign(frame.begin() + written, frame.end());
            Watch();
        }
    }
    return true;
}

void GatewayLink::Lose(Clock::time_point now, VirtualGateway::Loss loss) {
    Unwatch();
    socket_.Close();
    unwritten_.clear();
    gateway_.ConnectionLost(now, loss);
}

void GatewayLink::Watch() {
    const int descriptor = socket_.Descriptor();
    uint32_t events = 0;
    if (descriptor != -1) {
        events = socket_.IsConnected() ? EPOLLIN | (unwritten_.empty() ? 0u : EPOLLOUT) : EPOLLOUT;
    }
    if (descriptor == watchedDescriptor_ && events == watchedEvents_) {
        return;
    }
    epoll_event event{};
    event.events = events;
    event.data.ptr = this;
    const int operation = watchedDescriptor_ == descriptor ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    if (watchedDescriptor_ != descriptor) {
        Unwatch();
    }
    if (descriptor == -1) {
        return;
    }
    if (epoll_ctl(loop_->epoll_, operation, descriptor, &event) != 0) {
        LOG_ERROR << "Cannot watch the socket of gateway with ID " << id_ << ": "
                  << std::strerror(errno);
        return;
    }
    watchedDescriptor_ = descriptor;
    watchedEvents_ = events;
}

void GatewayLink::Unwatch() {
    if (watchedDescriptor_ != -1) {
        epoll_ctl(loop_->epoll_, EPOLL_CTL_DEL, watchedDescriptor_, nullptr);
        watchedDescriptor_ = -1;
        watchedEvents_ = 0;
    }
}

VirtualGateway::Notices GatewayLink::Conclude(Clock::time_point now) {
    status_ = gateway_.GetStatus();
    if (loop_ != nullptr) {
        loop_->Schedule(*this,
                        gateway_.NextWake(now, unwritten_.empty() && !sendFailed_, !resolving_));
    }
    return gateway_.TakeNotices();
}

void GatewayLink::Deliver(VirtualGateway::Notices notices) {
    for (VirtualGateway::Notices::Notice& notice : notices.items) {
        if (notice.status) {
            if (callbacks_.stateChanged) {
                callbacks_.stateChanged(*this, notice.status->from, notice.status->to);
            }
        } else if (notice.response) {
            if (callbacks_.responseReceived) {
                callbacks_.responseReceived(*this, std::move(notice.response));
            } else {
                LOG_WARNING << "No callback for message response is set. The message will be "
                               "ignored.";
            }
        } else if (notice.event) {
            if (callbacks_.eventReceived) {
                callbacks_.eventReceived(*this, std::move(notice.event));
            } else {
                LOG_WARNING << "No callback for events is set. The event will be ignored.";
            }
        }
    }
}

}  // namespace Quarn
