// The gateway's request operations, its queue and the send thread: keep-alive refresh,
// request time-outs, and sending with spacing, fresh counters and free reference ids.

#include <algorithm>
#include <ctime>
#include <mutex>
#include <utility>

#include "diagnostics/Log.h"
#include "gateway/Exceptions.h"
#include "gateway/VirtualGateway.h"
#include "messages/QuarnMessageTypes.h"
#include "net/ClientSocket.h"
#include "threading/MutexGuard.h"

namespace Quarn {

namespace {

// Lock waits, in seconds, of the queue and the waiting table.
constexpr int kQueueLockSeconds = 5;
constexpr int kWaitingLockSeconds = 5;
// The send thread's longest sleep when nothing at all is due.
constexpr std::chrono::seconds kLongestSendWait{60};

bool RefusedWhenFaultedOrAbsent(VirtualGatewayStatuses status) {
    return status == FAULTED || status == NOT_PRESENT;
}

// Set while this thread holds a gateway's send turn: a callback run meanwhile that queues
// a request leaves it to the send thread instead of taking a turn again.
thread_local bool holdsSendTurn = false;

class SendTurn {
public:
    SendTurn(std::mutex& mutex, bool wait) : lock_(mutex, std::defer_lock) {
        if (holdsSendTurn) {
            return;
        }
        if (wait) {
            lock_.lock();
        } else if (!lock_.try_lock()) {
            return;
        }
        holdsSendTurn = true;
    }
    ~SendTurn() {
        if (lock_.owns_lock()) {
            holdsSendTurn = false;
        }
    }
    SendTurn(const SendTurn&) = delete;
    SendTurn& operator=(const SendTurn&) = delete;
    bool Taken() const { return lock_.owns_lock(); }

private:
    std::unique_lock<std::mutex> lock_;
};

}  // namespace

bool VirtualGateway::GetNodeStatus(std::string requestId, uint32_t deviceAddress,
                                   Deadline deadline) {
    if (status_ == FAULTED) {
        return false;
    }
    auto frame = messageBuilder_.BuildGetStatusMessage(deviceAddress);
    if (!frame) {
        return false;
    }
    LOG_INFO << "Enqueuing GET_STATUS message.";
    LOG_DEBUG << "Message bytes for check: " << frame->ToHexString();
    return EnqueueMessage(std::move(requestId), std::move(frame), deadline);
}

bool VirtualGateway::OpenLock(std::string requestId, uint32_t deviceAddress, uint8_t time,
                              bool eventResponse, Deadline deadline) {
    if (RefusedWhenFaultedOrAbsent(status_)) {
        return false;
    }
    auto frame = messageBuilder_.BuildOpenLockMessage(deviceAddress, 0, time, eventResponse);
    if (!frame) {
        return false;
    }
    LOG_INFO << "Enqueuing OPEN_LOCK message.";
    LOG_DEBUG << "OPEN_LOCK Message bytes for check: " << frame->ToHexString();
    return EnqueueMessage(std::move(requestId), std::move(frame), deadline);
}

bool VirtualGateway::CloseLock(std::string requestId, uint32_t deviceAddress, uint8_t delay,
                               bool eventResponse, Deadline deadline) {
    LOG_DEBUG << "VGS - CloseLock entered requestID : " << requestId << " lockid :" << deviceAddress
              << " delay: " << static_cast<int>(delay);
    if (RefusedWhenFaultedOrAbsent(status_)) {
        LOG_DEBUG << "vgs not present : " << requestId;
        return false;
    }
    auto frame = messageBuilder_.BuildCloseLockMessage(deviceAddress, delay, eventResponse);
    if (!frame) {
        return false;
    }
    LOG_INFO << " Enqueuing CLOSE_LOCK message.";
    LOG_DEBUG << "CLOSE_LOCK Message bytes for check: " << frame->ToHexString();
    return EnqueueMessage(std::move(requestId), std::move(frame), deadline);
}

bool VirtualGateway::OpenCloseLock(std::string requestId, uint32_t deviceAddress, uint8_t duration,
                                   bool eventResponse, Deadline deadline) {
    if (RefusedWhenFaultedOrAbsent(status_)) {
        return false;
    }
    auto frame = messageBuilder_.BuildOpenCloseLockMessage(deviceAddress, duration, eventResponse);
    if (!frame) {
        return false;
    }
    LOG_INFO << "Enqueuing OPEN_LOCK message.";
    LOG_DEBUG << "OPEN_LOCK Message bytes for check: " << frame->ToHexString();
    return EnqueueMessage(std::move(requestId), std::move(frame), deadline);
}

bool VirtualGateway::AccessDenied(std::string requestId, uint32_t deviceAddress, bool eventResponse,
                                  Deadline deadline) {
    VirtualGatewayStatuses status = status_;
    if (status == FAULTED) {
        LOG_ERROR << "Virtual gateway status is FAULTED. Cannot enqueue ACCESS DENIED message";
        return false;
    }
    if (status == NOT_PRESENT) {
        return false;
    }
    auto frame = messageBuilder_.BuildAccessDeniedMessage(deviceAddress, eventResponse);
    if (!frame) {
        LOG_ERROR << "ACCESS_DENIED is nullptr.";
        return false;
    }
    LOG_INFO << "Enqueuing ACCESS_DENIED message.";
    LOG_DEBUG << "Message bytes for check: " << frame->ToHexString();
    return EnqueueMessage(std::move(requestId), std::move(frame), deadline);
}

bool VirtualGateway::AddWhitelistEntry(std::string requestId, uint32_t deviceAddress, bool uidMode,
                                       uint8_t setupNo, bool flag,
                                       std::vector<unsigned char> cardData, Deadline deadline) {
    if (RefusedWhenFaultedOrAbsent(status_)) {
        LOG_WARNING << "Virtual gateway is in Faulted or NotPresent state. Cannot add whitelist "
                       "entry";
        return false;
    }
    if (uidMode && setupNo != 0) {
        LOG_WARNING << "Specified UID mode card data, but SetupNo is not zero. Change to zero.";
        setupNo = 0;
    }
    auto frame = messageBuilder_.BuildAddToWhitelistMessage(deviceAddress, uidMode, setupNo,
                                                            flag ? 1 : 0, cardData);
    if (!frame) {
        return false;
    }
    LOG_INFO << "Enqueuing ADD_TO_WHITELIST message.";
    LOG_DEBUG << "ADD_TO_WHITELIST message bytes for check: " << frame->ToHexString();
    return EnqueueMessage(std::move(requestId), std::move(frame), deadline);
}

bool VirtualGateway::RemoveWhitelistEntry(std::string requestId, uint32_t deviceAddress,
                                          bool uidMode, uint8_t setupNo,
                                          std::vector<unsigned char> cardData, Deadline deadline) {
    if (RefusedWhenFaultedOrAbsent(status_)) {
        return false;
    }
    if (uidMode && setupNo != 0) {
        LOG_WARNING << "Specified UID mode card data, but SetupNo is not zero. Change to zero.";
        setupNo = 0;
    }
    auto frame = messageBuilder_.BuildRemoveFromWhitelistMessage(deviceAddress, uidMode, setupNo, 0,
                                                                 cardData);
    if (!frame) {
        return false;
    }
    LOG_INFO << "Enqueuing REMOVE_FROM_WHITELIST message.";
    LOG_DEBUG << "REMOVE_FROM_WHITELIST message bytes for check: " << frame->ToHexString();
    return EnqueueMessage(std::move(requestId), std::move(frame), deadline);
}

bool VirtualGateway::ClearWhiteList(std::string requestId, uint32_t deviceAddress,
                                    Deadline deadline) {
    if (RefusedWhenFaultedOrAbsent(status_)) {
        return false;
    }
    auto frame = messageBuilder_.BuildDeleteWholeWhitelistMessage(deviceAddress);
    if (!frame) {
        LOG_ERROR << "DELETE_WHOLE_WHITELIST built in a nullptr message!";
        return false;
    }
    LOG_INFO << "Enqueuing DELETE_WHOLE_WHITELIST message.";
    LOG_DEBUG << "[VirtualGateway::ClearWhiteList] Message bytes for check: "
              << frame->ToHexString();
    return EnqueueMessage(std::move(requestId), std::move(frame), deadline);
}

bool VirtualGateway::EnableWhitelist(std::string requestId, uint32_t deviceAddress,
                                     Deadline deadline) {
    if (status_ == FAULTED) {
        return false;
    }
    auto frame = messageBuilder_.BuildEnableWhitelistMessage(deviceAddress);
    if (!frame) {
        return false;
    }
    LOG_INFO << "Enqueuing ENABLE_WHITELIST message.";
    LOG_DEBUG << "Message bytes for check: " << frame->ToHexString();
    return EnqueueMessage(std::move(requestId), std::move(frame), deadline);
}

bool VirtualGateway::DisableWhitelist(std::string requestId, uint32_t deviceAddress,
                                      Deadline deadline) {
    if (status_ == FAULTED) {
        return false;
    }
    auto frame = messageBuilder_.BuildDisableWhitelistMessage(deviceAddress);
    if (!frame) {
        return false;
    }
    LOG_INFO << "Enqueuing DISABLE_WHITELIST message.";
    LOG_DEBUG << "Message bytes for check: " << frame->ToHexString();
    return EnqueueMessage(std::move(requestId), std::move(frame), deadline);
}

bool VirtualGateway::EnqueueMessage(std::string requestId,
                                    std::unique_ptr<Messages::QuarnMessage> message,
                                    Deadline deadline, bool refresh) {
    if (!message) {
        LOG_ERROR << "Message is nullptr";
        throw ArgumentNullException();
    }
    auto request =
        std::make_unique<MessageRequestInfo>(std::move(requestId), std::move(message), refresh);
    LOG_VERBOSE << "RequestInfo built.";
    const std::chrono::milliseconds timeout{requestTimeoutMs_.load()};
    request->deadline = deadline;
    if (!deadline && timeout.count() > 0) {
        request->deadline = request->enqueueTime + timeout;
    }
    Threading::MutexGuard guard(queueMutex_, false);
    if (!guard.Lock(kQueueLockSeconds)) {
        LOG_ERROR << "Cannot enqueue message with ID " << request->requestId << "and reference ID "
                  << request->message->GetReferenceByte();
        return false;
    }
    std::deque<Request>& queue = QueueFor(*request);
    // Frames that would leave before this one, one send spacing each: when they cannot
    // all go before its deadline, the request is refused now rather than sent late.
    size_t ahead = messagesQueue_.size();
    if (&queue == &routineQueue_) {
        ahead += routineQueue_.size();
    }
    const bool busy =
        messagesQueue_.size() + routineQueue_.size() >= kMaxQueuedFrames ||
        (deadline && IsConnected() &&
         timings_.sendSpacing * static_cast<int64_t>(ahead) >= *deadline - request->enqueueTime);
    if (busy && !refresh) {
        guard.Unlock();
        LOG_WARNING << "Gateway with ID " << id_.load() << " has " << ahead
                    << " frames queued ahead of request " << request->requestId << ".";
        ReportFailed(std::move(request), Failure::Busy, "was refused: the gateway is busy");
        return true;
    }
    queue.push_back(std::move(request));
    LOG_VERBOSE << "RequestInfo pushed to messagesQueue.";
    guard.Unlock();
    if (refresh) {
        WakeSendThread();
    } else {
        SendNowOrWake();
    }
    return true;
}

void VirtualGateway::SendNowOrWake() {
    Clock::time_point nextWake = Clock::time_point::max();
    bool queueEmpty = false;
    {
        SendTurn turn(sendMutex_, false);
        if (!turn.Taken()) {
            WakeSendThread();  // the send thread is at work and takes it next
            return;
        }
        SendNextRequest(Clock::now(), nextWake, Sender::Requester);
        Threading::MutexGuard guard(queueMutex_, true, kQueueLockSeconds);
        queueEmpty = guard.IsLocked() && messagesQueue_.empty() && routineQueue_.empty();
        if (queueEmpty && nextWake >= plannedWake_) {
            return;
        }
    }
    WakeSendThread();
}

std::deque<VirtualGateway::Request>& VirtualGateway::QueueFor(const MessageRequestInfo& request) {
    if (request.refresh) {
        return messagesQueue_;
    }
    switch (request.message->GetMessageType() & ~Messages::QUARN_MESSAGE_EVENT_RESPONSE_FLAG) {
        case Messages::QUARN_MESSAGE_OPEN_LOCK:
        case Messages::QUARN_MESSAGE_CLOSE_LOCK:
        case Messages::QUARN_MESSAGE_OPEN_CLOSE_LOCK:
        case Messages::QUARN_MESSAGE_ACCESS_DENIED:
            return messagesQueue_;
        default:
            return routineQueue_;
    }
}

bool VirtualGateway::EnqueueRefreshSequenceCounter() {
    LOG_VERBOSE << "Refreshing sequence couter.";
    auto frame = messageBuilder_.BuildGetStatusMessage(kRefreshDeviceAddress);
    if (!frame) {
        LOG_ERROR << "Cannot allocate refresh counter message.";
        return false;
    }
    std::string requestId = kRefreshRequestPrefix + std::to_string(std::time(nullptr));
    if (!EnqueueMessage(std::move(requestId), std::move(frame), std::nullopt, true)) {
        return false;
    }
    LOG_VERBOSE << "Sequence Counter refresh enqueued.";
    return true;
}

void VirtualGateway::WakeSendThread() {
    {
        std::lock_guard<std::mutex> lock(wakeMutex_);
        sendWorkPending_ = true;
    }
    sendWake_.notify_one();
}

void VirtualGateway::sendThreadProc() {
    LOG_VERBOSE << "Send thread spawned.";
    while (sendRunning_) {
        Clock::time_point now = Clock::now();
        Clock::time_point nextWake = now + kLongestSendWait;
        try {
            SendTurn turn(sendMutex_, true);
            SendGetStatusKeepAlive(now, nextWake);
            ExpireRequests(now, nextWake);
            SendNextRequest(now, nextWake, Sender::SendThread);
            plannedWake_ = nextWake;
        } catch (const std::exception&) {
            LOG_ERROR << "Exception in send thread proc. Explicity releasing mutexes guards.";
        }
        std::unique_lock<std::mutex> lock(wakeMutex_);
        sendWake_.wait_until(lock, nextWake, [&] { return sendWorkPending_ || !sendRunning_; });
        sendWorkPending_ = false;
    }
    LOG_DEBUG << "Closing send thread.";
}

void VirtualGateway::SendGetStatusKeepAlive(Clock::time_point now, Clock::time_point& nextWake) {
    if (!keepAliveEnabled_) {
        return;
    }
    if (!lastKeepAliveTime_ || now - *lastKeepAliveTime_ >= timings_.keepAliveInterval) {
        lastKeepAliveTime_ = now;
        LOG_VERBOSE << "Enquequing keep alive Get status.";
        EnqueueRefreshSequenceCounter();
    }
    nextWake = std::min(nextWake, *lastKeepAliveTime_ + timings_.keepAliveInterval);
}

void VirtualGateway::ExpireRequests(Clock::time_point now, Clock::time_point& nextWake) {
    std::vector<Request> unsent;
    {
        Threading::MutexGuard guard(queueMutex_, true, kQueueLockSeconds);
        if (guard.IsLocked()) {
            for (std::deque<Request>* queue : {&messagesQueue_, &routineQueue_}) {
                for (auto it = queue->begin(); it != queue->end();) {
                    if (!(*it)->deadline) {
                        ++it;
                    } else if (*(*it)->deadline <= now) {
                        unsent.push_back(std::move(*it));
                        it = queue->erase(it);
                    } else {
                        nextWake = std::min(nextWake, *(*it)->deadline);
                        ++it;
                    }
                }
            }
        }
    }
    for (Request& request : unsent) {
        ReportFailed(std::move(request), Failure::NotSent, "was not sent before its deadline");
    }

    const std::chrono::milliseconds timeout{requestTimeoutMs_.load()};
    if (timeout.count() <= 0) {
        return;
    }
    std::vector<Request> unanswered;
    {
        Threading::MutexGuard guard(waitingMessagesMutex_, true, kWaitingLockSeconds);
        if (guard.IsLocked()) {
            for (auto it = waitingMessages_.begin(); it != waitingMessages_.end();) {
                Clock::time_point deadline = it->second->sendTime + timeout;
                if (deadline <= now) {
                    unanswered.push_back(std::move(it->second));
                    it = waitingMessages_.erase(it);
                } else {
                    nextWake = std::min(nextWake, deadline);
                    ++it;
                }
            }
        }
    }
    for (Request& request : unanswered) {
        ReportFailed(std::move(request), Failure::NoAnswer,
                     "timed out without an answer from the gateway");
    }
}

VirtualGateway::Request VirtualGateway::TakeNextRequest(VirtualGatewayStatuses status) {
    Request request;
    // Until the gateway reported its counter, only refreshes go out.
    if (status == CONNECTED && !sentBefore_) {
        auto refresh = std::find_if(messagesQueue_.begin(), messagesQueue_.end(),
                                    [](const Request& queued) { return queued->refresh; });
        if (refresh != messagesQueue_.end()) {
            request = std::move(*refresh);
            messagesQueue_.erase(refresh);
        }
        return request;
    }
    for (std::deque<Request>* queue : {&messagesQueue_, &routineQueue_}) {
        if (!queue->empty()) {
            request = std::move(queue->front());
            queue->pop_front();
            return request;
        }
    }
    return request;
}

void VirtualGateway::SendNextRequest(Clock::time_point now, Clock::time_point& nextWake,
                                     Sender sender) {
    std::shared_ptr<Net::ClientSocket> socket = CurrentSocket();
    VirtualGatewayStatuses status = status_;
    if (!socket || (status != READY && status != CONNECTED)) {
        return;  // a status change wakes the send thread
    }
    if (sender == Sender::Requester && (status != READY || !socket->NothingInFlight())) {
        return;
    }
    {
        Threading::MutexGuard guard(waitingMessagesMutex_, true, kWaitingLockSeconds);
        if (!guard.IsLocked() || waitingMessages_.size() >= Messages::QUARN_REFERENCE_ID_MAX) {
            return;  // every reference id is taken; an answer or time-out frees one
        }
    }

    Request request;
    bool moreQueued = false;
    {
        Threading::MutexGuard guard(queueMutex_, false);
        if (!guard.Lock(kQueueLockSeconds)) {
            LOG_WARNING << "Cannot acquire lock for messages for send thread loop of virtual "
                           "gateway with ID "
                        << id_.load();
            return;
        }
        if (messagesQueue_.empty() && routineQueue_.empty()) {
            return;
        }
        if (lastSendTime_ && now - *lastSendTime_ < timings_.sendSpacing) {
            nextWake = std::min(nextWake, *lastSendTime_ + timings_.sendSpacing);
            return;
        }
        request = TakeNextRequest(status);
        if (!request) {
            return;
        }
        moreQueued = !messagesQueue_.empty() || !routineQueue_.empty();
    }
    if (request->deadline && *request->deadline <= now) {
        // Never sent late: the door must not move after the client was told it would not.
        ReportFailed(std::move(request), Failure::NotSent, "was not sent before its deadline");
        nextWake = now;
        return;
    }

    lastSendTime_ = now;
    const std::chrono::milliseconds timeout{requestTimeoutMs_.load()};
    if (timeout.count() > 0) {
        nextWake = std::min(nextWake, now + timeout);  // when its answer is overdue
    }
    if (moreQueued) {
        // Else the next request wakes this thread, and waits here for the spacing then.
        nextWake = std::min(nextWake, now + timings_.sendSpacing);
    }
    request->sendTime = now;
    const std::string requestId = request->requestId;
    const bool refresh = request->refresh;
    const uint8_t messageType = request->message->GetMessageType();
    const uint32_t deviceAddress = request->message->GetDeviceAddress();
    const MessageRequestInfo* const sent = request.get();
    uint8_t referenceId = 0;
    std::vector<unsigned char> bytes;
    {
        Threading::MutexGuard guard(waitingMessagesMutex_, true, kWaitingLockSeconds);
        if (!guard.IsLocked() || !TakeFreeReferenceId(referenceId)) {
            guard.Unlock();
            ReportFailed(std::move(request), Failure::NotSent,
                         "could not be entered in the waiting table");
            return;
        }
        // Stamped now, not when built: every frame carries the counter that follows the
        // previous frame's, and an identifier no waiting request holds. The counters move
        // on before the frame leaves, so that a counter the gateway reports in its answer
        // is never advanced past afterwards.
        request->referenceId = referenceId;
        {
            std::lock_guard<std::mutex> sequence(sequenceMutex_);
            request->sequenceEpoch = sequenceEpoch_;
            messageBuilder_.Stamp(*request->message);
            messageBuilder_.IncrementSequenceCounter();
        }
        messageBuilder_.NextReferenceId();
        bytes = request->message->Serialize();
        if (!refresh) {
            // The type as a number: as a raw character, 0x0A would break the log line.
            LOG_INFO << "Sending binary serialized message with ID " << requestId << ", code "
                     << static_cast<unsigned>(messageType) << " to address " << deviceAddress;
        }
        LOG_VERBOSE << "Message binary data: " << request->message->ToHexString();
        LOG_VERBOSE << "Sending binary serialized message with ID " << requestId
                    << " to gateway socket send.";
        // From here on the read thread may take the request: it is not touched again.
        waitingMessages_[referenceId] = std::move(request);
    }

    // A requester's failed send is left to the send thread, which tries again and deals
    // with the broken connection; the requester's own callbacks may hold locks of its own.
    if (socket->Send(bytes, sender == Sender::SendThread
                                ? Net::ClientSocket::OnFailure::Report
                                : Net::ClientSocket::OnFailure::KeepQuiet)) {
        LOG_VERBOSE << "Binary serialized message with ID " << requestId << " and ReferenceID "
                    << referenceId << " sent using gateway socket send.";
        sentBefore_ = true;
        return;
    }
    LOG_ERROR << "Error sending enqueued message " << requestId
              << " to current Virtual Gateway. It waits for the next connection.";
    Request unsent;
    {
        Threading::MutexGuard guard(waitingMessagesMutex_, true, kWaitingLockSeconds);
        auto found = waitingMessages_.find(referenceId);
        if (guard.IsLocked() && found != waitingMessages_.end() && found->second.get() == sent) {
            unsent = std::move(found->second);
            waitingMessages_.erase(found);
        }
    }
    if (unsent) {
        // Back to the head of its queue: it goes out on the next connection, or is
        // reported as not sent when its deadline passes first.
        Threading::MutexGuard guard(queueMutex_, true, kQueueLockSeconds);
        if (guard.IsLocked()) {
            QueueFor(*unsent).push_front(std::move(unsent));
        } else {
            guard.Unlock();
            ReportFailed(std::move(unsent), Failure::NotSent, "could not be sent");
        }
    }
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

void VirtualGateway::ReportFailed(Request request, Failure failure, const char* reason) {
    if (request->refresh) {
        LOG_DEBUG << "Sequence refresh " << request->requestId << " " << reason << ". Dropped.";
        return;
    }
    LOG_WARNING << "Request with ID " << request->requestId << " " << reason
                << ". Reported as failed.";
    DeliverResponse(Response::Failed(request->requestId, failure));
}

}  // namespace Quarn
