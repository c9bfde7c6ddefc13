// The gateway's lifecycle: construction, status machine, connecting and reconnecting with
// backoff, the read thread and the cutting of frames out of the byte stream.

#include "gateway/VirtualGateway.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "diagnostics/Log.h"
#include "gateway/Exceptions.h"
#include "net/ClientSocket.h"
#include "threading/Backoff.h"
#include "threading/MutexGuard.h"

namespace Quarn {

namespace {

constexpr int kMaxPort = 65535;
// A safety net for the read thread's wait for a connection, should a status change be
// missed; status changes wake it at once.
constexpr std::chrono::milliseconds kReadIdleWait{1000};
// GetHealth waits at most this long for each lock.
constexpr int kHealthLockSeconds = 1;

const std::string& NonEmpty(const std::string& address) {
    if (address.empty()) {
        throw NullObjectException();
    }
    return address;
}

}  // namespace

VirtualGateway::VirtualGateway(std::string ipAddress)
    : VirtualGateway(std::move(ipAddress), kDefaultPort) {}

VirtualGateway::VirtualGateway(std::string ipAddress, int port)
    : VirtualGateway(std::move(ipAddress), port, kDefaultConnectTimeout) {}

VirtualGateway::VirtualGateway(std::string ipAddress, int port, int connectTimeout,
                               VirtualGatewayTimings timings)
    : ipAddress_(NonEmpty(ipAddress)),
      port_(port),
      connectTimeout_(connectTimeout),
      timings_(timings),
      keepAliveEnabled_(timings.keepAliveInterval.count() > 0),
      requestTimeoutMs_(timings.requestTimeout.count()) {
    if (port <= 0 || port > kMaxPort) {
        throw InvalidArgumentException();
    }
    status_ = INITIALIZED;
    Initialize();
}

VirtualGateway::~VirtualGateway() {
    LOG_VERBOSE << "Virtual gateway destructor called.";
    {
        std::lock_guard<std::mutex> lock(ownerMutex_);
        stateChanged_ = nullptr;
        responseReceived_ = nullptr;
        eventReceived_ = nullptr;
    }
    StopThreads();
}

void VirtualGateway::Initialize() {
    readRunning_ = true;
    sendRunning_ = true;
    InitThreads();
}

bool VirtualGateway::InitThreads() {
    readThread_ = std::make_unique<Threading::Thread>("gw-read", [this] { readThreadProc(); });
    sendThread_ = std::make_unique<Threading::Thread>("gw-send", [this] { sendThreadProc(); });
    if (!sendThread_->Start()) {
        LOG_ERROR << "Cannot spawn Send theread.";
        readThread_.reset();
        sendThread_.reset();
        return false;
    }
    if (!readThread_->Start()) {
        LOG_ERROR << "Cannot spawn Read theread.";
        sendRunning_ = false;
        WakeSendThread();
        readThread_.reset();
        sendThread_.reset();  // joins the send thread
        return false;
    }
    return true;
}

void VirtualGateway::StopThreads() {
    {
        std::lock_guard<std::mutex> lock(socketMutex_);
        stopping_ = true;
        // Closing wakes the read thread from its wait on the socket or its connect.
        if (socket_) {
            socket_->Close();
        }
        if (connecting_) {
            connecting_->Close();
        }
    }
    {
        std::lock_guard<std::mutex> lock(wakeMutex_);
        readRunning_ = false;
        sendRunning_ = false;
    }
    sendWake_.notify_all();
    readWake_.notify_all();
    if (sendThread_) {
        sendThread_->Join();
    }
    if (readThread_) {
        readThread_->Join();
    }
}

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

VirtualGatewayHealth VirtualGateway::GetHealth() {
    VirtualGatewayHealth health{};
    health.status = status_;
    health.statusSince = statusSince_;
    if (std::time_t lastFrame = lastFrameAt_; lastFrame != 0) {
        health.lastFrame = lastFrame;
    }
    {
        Threading::MutexGuard guard(queueMutex_, true, kHealthLockSeconds);
        if (guard.IsLocked()) {
            health.queued = messagesQueue_.size() + routineQueue_.size();
        }
    }
    {
        Threading::MutexGuard guard(waitingMessagesMutex_, true, kHealthLockSeconds);
        if (guard.IsLocked()) {
            health.waiting = waitingMessages_.size();
        }
    }
    health.connectFailures = connectFailures_;
    const uint64_t connections = connections_;
    health.reconnects = connections > 0 ? connections - 1 : 0;
    health.crcErrors = crcErrors_;
    return health;
}

void VirtualGateway::SetDescription(std::string description) {
    std::lock_guard<std::mutex> lock(ownerMutex_);
    description_ = std::move(description);
}

std::string VirtualGateway::GetDescription() const {
    std::lock_guard<std::mutex> lock(ownerMutex_);
    return description_;
}

void VirtualGateway::SetStateChangedCallback(StateChangedCallback callback) {
    std::lock_guard<std::mutex> lock(ownerMutex_);
    stateChanged_ = std::move(callback);
}

void VirtualGateway::SetResponseReceivedCallback(ResponseReceivedCallback callback) {
    std::lock_guard<std::mutex> lock(ownerMutex_);
    responseReceived_ = std::move(callback);
}

void VirtualGateway::SetEventReceivedCallback(EventReceivedCallback callback) {
    std::lock_guard<std::mutex> lock(ownerMutex_);
    eventReceived_ = std::move(callback);
}

void VirtualGateway::SetRequestTimeout(std::chrono::milliseconds timeout) {
    requestTimeoutMs_ = timeout.count();
    WakeSendThread();
}

bool VirtualGateway::IsConnected() const {
    VirtualGatewayStatuses status = status_;
    return status == CONNECTED || status == READY;
}

void VirtualGateway::ChangeStatus(VirtualGatewayStatuses newStatus) {
    std::lock_guard<std::recursive_mutex> connection(connectionMutex_);
    AnnounceStatus(status_.exchange(newStatus), newStatus);
}

void VirtualGateway::ChangeStatusFrom(VirtualGatewayStatuses expected,
                                      VirtualGatewayStatuses newStatus) {
    std::lock_guard<std::recursive_mutex> connection(connectionMutex_);
    if (status_.compare_exchange_strong(expected, newStatus)) {
        AnnounceStatus(expected, newStatus);
    }
}

void VirtualGateway::AnnounceStatus(VirtualGatewayStatuses oldStatus,
                                    VirtualGatewayStatuses newStatus) {
    statusSince_ = std::time(nullptr);
    {
        std::lock_guard<std::mutex> lock(wakeMutex_);
        ++statusVersion_;
        sendWorkPending_ = true;
    }
    sendWake_.notify_one();
    readWake_.notify_one();
    StateChangedCallback callback;
    {
        std::lock_guard<std::mutex> lock(ownerMutex_);
        callback = stateChanged_;
    }
    if (callback) {
        callback(*this, oldStatus, newStatus);
    }
}

std::shared_ptr<Net::ClientSocket> VirtualGateway::CurrentSocket() {
    std::lock_guard<std::mutex> lock(socketMutex_);
    return socket_;
}

void VirtualGateway::StartConnecting() {
    {
        std::lock_guard<std::recursive_mutex> connection(connectionMutex_);
        keepConnected_ = true;
    }
    std::lock_guard<std::mutex> lock(wakeMutex_);
    ++statusVersion_;
    readWake_.notify_one();
}

bool VirtualGateway::Connect(bool refreshSequenceCounter) {
    std::lock_guard<std::recursive_mutex> connection(connectionMutex_);
    VirtualGatewayStatuses status = status_;
    if (status == CONNECTED || status == READY) {
        return false;
    }
    auto socket = std::make_shared<Net::ClientSocket>(ipAddress_, port_, connectTimeout_);
    socket->ReceiveErrorCallback = [this](int errorCode) { SocketRecvError(errorCode); };
    socket->SendErrorCallback = [this](int errorCode) { SocketSendError(errorCode); };
    std::shared_ptr<Net::ClientSocket> previous;
    {
        // A FAULTED gateway still holds its broken socket: it is replaced.
        std::lock_guard<std::mutex> lock(socketMutex_);
        if (stopping_) {
            return false;
        }
        previous = std::move(socket_);
        connecting_ = socket;
    }
    if (previous) {
        previous->Close();
    }

    const bool connected = socket->Connect();
    {
        std::lock_guard<std::mutex> lock(socketMutex_);
        connecting_.reset();
        if (connected && stopping_) {
            socket->Close();
            return false;
        }
        if (connected) {
            socket_ = socket;
            ++socketGeneration_;
        }
    }
    if (!connected) {
        LOG_ERROR << "Cannot connect to gateway with ID " << id_.load() << " over IP " << ipAddress_
                  << ".";
        if (++connectFailures_ == kMaxConnectFailures) {
            ChangeStatus(NOT_PRESENT);
        }
        return false;
    }
    LOG_VERBOSE << "Connected to gateway with ID " << id_.load() << " over IP " << ipAddress_
                << ".";
    connectFailures_ = 0;
    ++connections_;
    keepConnected_ = true;
    if (refreshSequenceCounter) {
        ChangeStatus(CONNECTED);
        EnqueueRefreshSequenceCounter();
    } else {
        ChangeStatus(READY);
    }
    return true;
}

bool VirtualGateway::Disconnect() {
    {
        // An attempt under way on the read thread is aborted rather than waited for.
        std::lock_guard<std::mutex> lock(socketMutex_);
        if (connecting_) {
            connecting_->Close();
        }
    }
    std::lock_guard<std::recursive_mutex> connection(connectionMutex_);
    keepConnected_ = false;
    VirtualGatewayStatuses status = status_;
    if (status != CONNECTED && status != READY && status != FAULTED) {
        return false;
    }
    DropConnection();
    return true;
}

void VirtualGateway::DropConnection() {
    std::lock_guard<std::recursive_mutex> connection(connectionMutex_);
    std::shared_ptr<Net::ClientSocket> socket;
    {
        std::lock_guard<std::mutex> lock(socketMutex_);
        socket = std::move(socket_);
    }
    if (socket) {
        socket->Close();
    }
    ChangeStatus(DISCONNECTED);
}

void VirtualGateway::SocketSendError(int errorCode) {
    LOG_ERROR << "Socket faulted. Send error. Error description: " << std::strerror(errorCode);
    ChangeStatus(FAULTED);
    // Wakes the read thread from its wait on the broken socket, so that it reconnects.
    if (std::shared_ptr<Net::ClientSocket> socket = CurrentSocket()) {
        socket->Close();
    }
}

void VirtualGateway::SocketRecvError(int errorCode) {
    if (errorCode == 0) {
        LOG_WARNING << "Connection gracefully closed. The VGs will reconnect. Error description: "
                    << std::strerror(0);
        DropConnection();
        return;
    }
    LOG_ERROR << "Socket faulted. Receive error. Error description: " << std::strerror(errorCode);
    ChangeStatus(FAULTED);
}

std::chrono::milliseconds VirtualGateway::BackoffDelay(int failures) {
    return Threading::BackoffDelay(failures, timings_.reconnectFirstDelay,
                                   timings_.reconnectMaxDelay);
}

void VirtualGateway::ConnectWhenDue(uint64_t seenVersion) {
    Clock::time_point due;
    bool refresh = false;
    {
        std::lock_guard<std::recursive_mutex> connection(connectionMutex_);
        due = nextConnectAttempt_;
        refresh = refreshOnReconnect_;
        if (!keepConnected_) {
            due = Clock::time_point::max();
        }
    }
    Clock::time_point now = Clock::now();
    if (now < due) {
        std::unique_lock<std::mutex> lock(wakeMutex_);
        auto wake = [&] { return statusVersion_ != seenVersion || !readRunning_; };
        if (due == Clock::time_point::max()) {
            readWake_.wait_for(lock, kReadIdleWait, wake);
        } else {
            readWake_.wait_until(lock, due, wake);
        }
        return;
    }
    std::lock_guard<std::recursive_mutex> connection(connectionMutex_);
    if (!keepConnected_ || IsConnected()) {
        return;
    }
    // A first connection, and one after the gateway was given up, refresh the counter.
    const VirtualGatewayStatuses status = status_;
    refresh = refresh || status == INITIALIZED || status == NOT_PRESENT;
    if (status == INITIALIZED || status == NOT_PRESENT) {
        LOG_VERBOSE << "Try to connect to gateway with ID " << id_.load() << " over IP "
                    << ipAddress_ << ", and also send a request for a SEQUENCE REFRESH.";
    }
    if (Connect(refresh)) {
        refreshOnReconnect_ = false;
        // Reconnecting after a lost connection waits at least the first pause from here.
        nextConnectAttempt_ = now + timings_.reconnectFirstDelay;
    } else {
        nextConnectAttempt_ = Clock::now() + BackoffDelay(connectFailures_);
    }
}

void VirtualGateway::readThreadProc() {
    LOG_DEBUG << "Read thread spawned.";
    uint64_t bufferGeneration = 0;
    while (readRunning_) {
        uint64_t seenVersion;
        {
            std::lock_guard<std::mutex> lock(wakeMutex_);
            seenVersion = statusVersion_;
        }
        std::shared_ptr<Net::ClientSocket> socket;
        uint64_t generation = 0;
        if (IsConnected()) {
            std::lock_guard<std::mutex> lock(socketMutex_);
            socket = socket_;
            generation = socketGeneration_;
        }
        if (!socket) {
            ConnectWhenDue(seenVersion);
            continue;
        }
        if (generation != bufferGeneration) {
            // A frame cut short by the old connection must not swallow the new one's bytes.
            frameCutter_.Clear();
            bufferGeneration = generation;
        }

        std::vector<unsigned char> data;
        bool received = socket->Receive(data);
        ReceiveBytes(data);

        if (!received && readRunning_) {
            std::shared_ptr<Net::ClientSocket> current = CurrentSocket();
            if (current && current->HasPendingError()) {
                LOG_DEBUG << "[VirtualGateway::readThreadProc] Socket in error. Try a reconnect.";
                std::lock_guard<std::recursive_mutex> connection(connectionMutex_);
                refreshOnReconnect_ = true;
                DropConnection();
            }
        }
    }
    LOG_DEBUG << "Closing read thread.";
}

void VirtualGateway::ReceiveBytes(const std::vector<unsigned char>& bytes) {
    frameCutter_.Append(bytes);
    while (auto frame = FetchAndTranslateMessage()) {
        lastFrameAt_ = std::time(nullptr);
        LOG_DEBUG << "Managing new message";
        ManageQuarnGatewayResponse(std::move(frame), Clock::now());
    }
}

std::unique_ptr<Messages::QuarnMessage> VirtualGateway::FetchAndTranslateMessage() {
    for (;;) {
        Messages::QuarnFrameCutter::Cut cut = frameCutter_.Next(checkFrameCrc_);
        if (cut.misplacedMagic) {
            LOG_WARNING << "Found a new QUARN packet magic number, but seems that's at an index "
                           "position that isn't allowed.";
        }
        LogDiscarded(cut.discardedBytes);
        crcErrors_ += cut.badCrcFrames.size();
        for (size_t length : cut.badCrcFrames) {
            // A corrupted card number is a wrong credential: never believe such a frame.
            LOG_WARNING << "Dropped a frame of " << length << " bytes from gateway with ID "
                        << id_.load() << ": its CRC is wrong.";
        }
        if (cut.frame.empty()) {
            return nullptr;
        }
        if (auto message = Messages::QuarnMessageBuilder::Parse(cut.frame)) {
            LOG_DEBUG << "Message fetched and translated. Erasing the array from the buffer.";
            return message;
        }
        LogDiscarded(cut.frame.size());
    }
}

void VirtualGateway::LogDiscarded(size_t count) {
    if (count > 0) {
        LOG_WARNING << "Discarding " << count
                    << " received bytes that do not form a gateway frame.";
    }
}

}  // namespace Quarn
