// The gateway's status machine, its connection schedule and what it tells of its health.

#include "gateway/VirtualGateway.h"

#include <utility>

#include "diagnostics/Log.h"
#include "gateway/Exceptions.h"
#include "threading/Backoff.h"

namespace Quarn {

namespace {

constexpr int kMaxPort = 65535;

const std::string& NonEmpty(const std::string& address) {
    if (address.empty()) {
        throw NullObjectException();
    }
    return address;
}

}  // namespace

const char* StatusName(VirtualGatewayStatuses status) {
    switch (status) {
        case UNKNOWN:
            return "UNKNOWN";
        case INITIALIZED:
            return "INITIALIZED";
        case CONNECTED:
            return "CONNECTED";
        case READY:
            return "READY";
        case DISCONNECTED:
            return "DISCONNECTED";
        case FAULTED:
            return "FAULTED";
        case NOT_PRESENT:
            return "NOT_PRESENT";
    }
    return "?";
}

VirtualGateway::VirtualGateway(std::string ipAddress, int port, VirtualGatewayTimings timings)
    : ipAddress_(NonEmpty(ipAddress)), port_(port), timings_(timings) {
    if (port <= 0 || port > kMaxPort) {
        throw InvalidArgumentException();
    }
}

VirtualGatewayHealth VirtualGateway::GetHealth() const {
    VirtualGatewayHealth health{};
    health.status = status_;
    health.statusSince = statusSince_;
    if (lastFrameAt_ != 0) {
        health.lastFrame = lastFrameAt_;
    }
    health.queued = doorQueue_.Size() + routineQueue_.Size();
    health.waiting = waitingMessages_.size();
    health.connectFailures = connectFailures_;
    health.reconnects = connections_ > 0 ? connections_ - 1 : 0;
    health.crcErrors = crcErrors_;
    return health;
}

void VirtualGateway::ChangeStatus(VirtualGatewayStatuses newStatus) {
    const VirtualGatewayStatuses oldStatus = status_;
    status_ = newStatus;
    statusSince_ = std::time(nullptr);
    notices_.items.push_back({StatusChange{oldStatus, newStatus}, nullptr, nullptr});
}

void VirtualGateway::StartConnecting(Clock::time_point now) {
    keepConnected_ = true;
    nextConnectAttempt_ = now;
}

void VirtualGateway::StopConnecting() {
    keepConnected_ = false;
}

VirtualGateway::Clock::time_point VirtualGateway::NextAttempt() const {
    if (!keepConnected_ || IsConnected() || connecting_) {
        return Clock::time_point::max();
    }
    return nextConnectAttempt_;
}

bool VirtualGateway::ConnectDue(Clock::time_point now) const {
    return NextAttempt() <= now;
}

void VirtualGateway::ConnectStarted(Clock::time_point now) {
    if (status_ == INITIALIZED || status_ == NOT_PRESENT) {
        LOG_VERBOSE << "Try to connect to gateway with ID " << id_ << " over IP " << ipAddress_
                    << ", and also send a request for a SEQUENCE REFRESH.";
    }
    connecting_ = true;
    connectStartedAt_ = now;
}

bool VirtualGateway::ConnectTimedOut(Clock::time_point now) const {
    return connecting_ && now - connectStartedAt_ >= timings_.connectTimeout;
}

void VirtualGateway::Connected(Clock::time_point now) {
    connecting_ = false;
    LOG_VERBOSE << "Connected to gateway with ID " << id_ << " over IP " << ipAddress_ << ".";
    // A first connection, one after the gateway was given up and one after an error
    // refresh the counter.
    const bool refresh = refreshOnReconnect_ || status_ == INITIALIZED || status_ == NOT_PRESENT;
    refreshOnReconnect_ = false;
    connectFailures_ = 0;
    ++connections_;
    // Reconnecting after a lost connection waits at least the first pause from here.
    nextConnectAttempt_ = now + timings_.reconnectFirstDelay;
    if (refresh) {
        ChangeStatus(CONNECTED);
        EnqueueRefresh(now);
    } else {
        ChangeStatus(READY);
    }
}

void VirtualGateway::ConnectFailed(Clock::time_point now) {
    connecting_ = false;
    LOG_ERROR << "Cannot connect to gateway with ID " << id_ << " over IP " << ipAddress_ << ".";
    if (++connectFailures_ == kMaxConnectFailures) {
        ChangeStatus(NOT_PRESENT);
    }
    nextConnectAttempt_ =
        now + Threading::BackoffDelay(connectFailures_, timings_.reconnectFirstDelay,
                                      timings_.reconnectMaxDelay);
}

void VirtualGateway::ConnectionLost(Clock::time_point now, Loss loss) {
    connecting_ = false;
    if (!IsConnected() && status_ != FAULTED) {
        return;
    }
    switch (loss) {
        case Loss::PeerClosed:
            LOG_WARNING << "Connection gracefully closed. The VGs will reconnect. Error "
                           "description: Success";
            break;
        case Loss::ReceiveError:
        case Loss::SendError:
            if (status_ != FAULTED) {
                ChangeStatus(FAULTED);
            }
            LOG_DEBUG << "[VirtualGateway::readThreadProc] Socket in error. Try a reconnect.";
            refreshOnReconnect_ = true;
            break;
        case Loss::Closed:
            break;
    }
    frameCutter_.Clear();
    if (nextConnectAttempt_ < now) {
        nextConnectAttempt_ = now;
    }
    ChangeStatus(DISCONNECTED);
}

VirtualGateway::Notices VirtualGateway::TakeNotices() {
    return std::exchange(notices_, Notices{});
}

void VirtualGateway::Discard() {
    doorQueue_.Clear();
    routineQueue_.Clear();
    waitingMessages_.clear();
    frameCutter_.Clear();
}

}  // namespace Quarn
