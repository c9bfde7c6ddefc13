// The gateway's queue and its sending: commands taken in, door commands first and each
// class taking turns by client, the keep-alive refresh, deadlines and answer time-outs,
// and frames given out with the spacing, a fresh counter and a free reference identifier.

#include <algorithm>
#include <ctime>
#include <utility>

#include "diagnostics/Log.h"
#include "gateway/VirtualGateway.h"
#include "messages/QuarnMessageTypes.h"

namespace Quarn {

namespace {

// The gateway's own requests (sequence refreshes) queue as this client.
constexpr uint64_t kOwnClient = 0;

}  // namespace

void VirtualGateway::Submit(GatewayCommand command, Clock::time_point now) {
    const std::chrono::milliseconds timeout = timings_.requestTimeout;
    std::optional<Clock::time_point> deadline = command.deadline;
    if (!deadline && timeout.count() > 0) {
        deadline = now + timeout;
    }
    if (!IsConnected()) {
        // Waiting helps only when a connection can be there before the deadline.
        const Clock::time_point attempt = connecting_ ? now : NextAttempt();
        const bool mayConnect = keepConnected_ && status_ != NOT_PRESENT &&
                                (!deadline || attempt <= *deadline);
        if (!mayConnect) {
            LOG_WARNING << "Request with ID " << command.requestId << " for gateway with ID "
                        << id_ << " was refused: the gateway is not connected ("
                        << StatusName(status_) << ").";
            Report(Response::Failed(command.requestId, Failure::NotConnected));
            return;
        }
    }
    auto frame = BuildCommandFrame(messageBuilder_, command);
    if (!frame) {
        Report(Response::Failed(command.requestId, Failure::Refused));
        return;
    }
    auto request = std::make_unique<MessageRequestInfo>(std::move(command.requestId),
                                                        std::move(frame), false, now);
    request->deadline = deadline;
    request->client = command.client;
    const bool door = IsDoorCommand(command.kind);
    request->door = door;
    // Frames that would leave before this one, one send spacing each: when they cannot
    // all go before its deadline, the request is refused now rather than sent late.
    size_t ahead = door ? doorQueue_.Ahead(request->client)
                        : doorQueue_.Size() + routineQueue_.Ahead(request->client);
    const bool busy = doorQueue_.Size() + routineQueue_.Size() >= kMaxQueuedFrames ||
                      (command.deadline && IsConnected() &&
                       timings_.sendSpacing * static_cast<int64_t>(ahead) >= *deadline - now);
    if (busy) {
        LOG_WARNING << "Gateway with ID " << id_ << " has " << ahead
                    << " frames queued ahead of request " << request->requestId << ".";
        ReportFailed(std::move(request), Failure::Busy, "was refused: the gateway is busy");
        return;
    }
    (door ? doorQueue_ : routineQueue_).Push(std::move(request));
    LOG_VERBOSE << "RequestInfo pushed to messagesQueue.";
}

void VirtualGateway::EnqueueRefresh(Clock::time_point now) {
    LOG_VERBOSE << "Refreshing sequence couter.";
    auto frame = messageBuilder_.BuildGetStatusMessage(kRefreshDeviceAddress);
    std::string requestId = kRefreshRequestPrefix + std::to_string(std::time(nullptr));
    auto request = std::make_unique<MessageRequestInfo>(std::move(requestId), std::move(frame),
                                                        true, now);
    if (timings_.requestTimeout.count() > 0) {
        request->deadline = now + timings_.requestTimeout;
    }
    request->client = kOwnClient;
    request->door = true;
    doorQueue_.Push(std::move(request));
    LOG_VERBOSE << "Sequence Counter refresh enqueued.";
}

VirtualGateway::Request VirtualGateway::TakeNextRequest() {
    // Until the gateway answered a refresh, only refreshes go out, one at a time: a
    // command sent meanwhile could carry a counter the gateway refuses.
    if (status_ == CONNECTED) {
        return RefreshAwaited() ? nullptr : doorQueue_.PopOf(kOwnClient);
    }
    if (Request request = doorQueue_.Pop()) {
        return request;
    }
    return routineQueue_.Pop();
}

std::vector<unsigned char> VirtualGateway::TakeFrame(Clock::time_point now) {
    lastTakenReferenceId_ = 0;
    if (!IsConnected() || waitingMessages_.size() >= Messages::QUARN_REFERENCE_ID_MAX) {
        return {};
    }
    if (lastSendTime_ && now - *lastSendTime_ < timings_.sendSpacing) {
        return {};
    }
    Request request;
    while ((request = TakeNextRequest()) && request->deadline && *request->deadline <= now) {
        // Never sent late: the door must not move after the client was told it would not.
        ReportFailed(std::move(request), Failure::NotSent, "was not sent before its deadline");
    }
    if (!request) {
        return {};
    }
    uint8_t referenceId = 0;
    if (!TakeFreeReferenceId(referenceId)) {
        ReportFailed(std::move(request), Failure::NotSent,
                     "could not be entered in the waiting table");
        return {};
    }
    lastSendTime_ = now;
    request->sendTime = now;
    // Stamped now, not when built: every frame carries the counter that follows the
    // previous frame's, and an identifier no waiting request holds.
    request->referenceId = referenceId;
    request->sequenceEpoch = sequenceEpoch_;
    messageBuilder_.Stamp(*request->message);
    messageBuilder_.IncrementSequenceCounter();
    messageBuilder_.NextReferenceId();
    std::vector<unsigned char> bytes = request->message->Serialize();
    if (!request->refresh) {
        // The type as a number: as a raw character, 0x0A would break the log line.
        LOG_INFO << "Sending binary serialized message with ID " << request->requestId
                 << ", code " << static_cast<unsigned>(request->message->GetMessageType())
                 << " to address " << request->message->GetDeviceAddress();
    }
    LOG_VERBOSE << "Message binary data: " << request->message->ToHexString();
    lastTakenReferenceId_ = referenceId;
    waitingMessages_[referenceId] = std::move(request);
    return bytes;
}

void VirtualGateway::FrameNotSent() {
    auto found = waitingMessages_.find(lastTakenReferenceId_);
    if (lastTakenReferenceId_ == 0 || found == waitingMessages_.end()) {
        return;
    }
    Request request = std::move(found->second);
    waitingMessages_.erase(found);
    lastTakenReferenceId_ = 0;
    LOG_ERROR << "Error sending enqueued message " << request->requestId
              << " to current Virtual Gateway. It waits for the next connection.";
    // Back to the head of its queue: it goes out on the next connection, or is reported as
    // not sent when its deadline passes first.
    (request->door ? doorQueue_ : routineQueue_).PushFront(std::move(request));
}

bool VirtualGateway::TakeFreeReferenceId(uint8_t& referenceId) {
    for (int tries = 0; tries < Messages::QUARN_REFERENCE_ID_MAX; ++tries) {
        uint8_t candidate = messageBuilder_.GetReferenceId();
        if (candidate >= 1 && candidate <= Messages::QUARN_REFERENCE_ID_MAX &&
            waitingMessages_.find(candidate) == waitingMessages_.end()) {
            referenceId = candidate;
            return true;
        }
        messageBuilder_.NextReferenceId();
    }
    return false;
}

void VirtualGateway::Tick(Clock::time_point now) {
    const std::chrono::milliseconds interval = timings_.keepAliveInterval;
    if (interval.count() > 0 && IsConnected()) {
        if (!lastKeepAliveTime_ || now - *lastKeepAliveTime_ >= interval) {
            const bool first = !lastKeepAliveTime_;
            lastKeepAliveTime_ = now;
            if (!first) {
                LOG_VERBOSE << "Enquequing keep alive Get status.";
                EnqueueRefresh(now);
            }
        }
    }
    ExpireRequests(now);
}

void VirtualGateway::ExpireRequests(Clock::time_point now) {
    auto expired = [now](const MessageRequestInfo& request) {
        return request.deadline && *request.deadline <= now;
    };
    for (FairQueue* queue : {&doorQueue_, &routineQueue_}) {
        for (Request& request : queue->TakeIf(expired)) {
            ReportFailed(std::move(request), Failure::NotSent, "was not sent before its deadline");
        }
    }
    const std::chrono::milliseconds timeout = timings_.requestTimeout;
    if (timeout.count() <= 0) {
        return;
    }
    for (auto it = waitingMessages_.begin(); it != waitingMessages_.end();) {
        if (it->second->sendTime + timeout <= now) {
            Request request = std::move(it->second);
            it = waitingMessages_.erase(it);
            ReportFailed(std::move(request), Failure::NoAnswer,
                         "timed out without an answer from the gateway");
        } else {
            ++it;
        }
    }
}

VirtualGateway::Clock::time_point VirtualGateway::NextWake(Clock::time_point now, bool writable,
                                                          bool mayConnect) const {
    Clock::time_point wake = mayConnect ? NextAttempt() : Clock::time_point::max();
    if (connecting_) {
        wake = std::min(wake, connectStartedAt_ + timings_.connectTimeout);
    }
    for (const FairQueue* queue : {&doorQueue_, &routineQueue_}) {
        if (auto deadline = queue->EarliestDeadline()) {
            wake = std::min(wake, *deadline);
        }
    }
    if (timings_.requestTimeout.count() > 0) {
        for (const auto& [referenceId, request] : waitingMessages_) {
            wake = std::min(wake, request->sendTime + timings_.requestTimeout);
        }
    }
    if (!IsConnected()) {
        return wake;
    }
    if (timings_.keepAliveInterval.count() > 0) {
        wake = std::min(wake, lastKeepAliveTime_ ? *lastKeepAliveTime_ + timings_.keepAliveInterval
                                                 : now);
    }
    const bool sendable = status_ == CONNECTED
                              ? doorQueue_.Holds(kOwnClient) && !RefreshAwaited()
                              : !doorQueue_.Empty() || !routineQueue_.Empty();
    if (writable && sendable && waitingMessages_.size() < Messages::QUARN_REFERENCE_ID_MAX) {
        wake = std::min(wake, lastSendTime_ ? std::max(now, *lastSendTime_ + timings_.sendSpacing)
                                            : now);
    }
    return wake;
}

void VirtualGateway::Report(std::unique_ptr<Response> response) {
    notices_.items.push_back({std::nullopt, std::move(response), nullptr});
}

bool VirtualGateway::RefreshAwaited() const {
    return std::any_of(waitingMessages_.begin(), waitingMessages_.end(),
                       [](const auto& waiting) { return waiting.second->refresh; });
}

void VirtualGateway::RefreshSettled() {
    if (status_ == CONNECTED) {
        ChangeStatus(READY);
    }
}

void VirtualGateway::ReportFailed(Request request, Failure failure, const char* reason) {
    if (request->refresh) {
        LOG_DEBUG << "Sequence refresh " << request->requestId << " " << reason << ". Dropped.";
        // A gateway whose refresh gets no answer is used all the same: a counter it
        // refuses is adopted from its answer to the next command.
        RefreshSettled();
        return;
    }
    LOG_WARNING << "Request with ID " << request->requestId << " " << reason
                << ". Reported as failed.";
    Report(Response::Failed(request->requestId, failure));
}

}  // namespace Quarn
