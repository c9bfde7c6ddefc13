// The gateway's lifecycle: construction, status machine, connecting and reconnecting,
// the read thread and the cutting of frames out of the byte stream.

#include "gateway/VirtualGateway.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "diagnostics/Log.h"
#include "gateway/Exceptions.h"
#include "messages/QuarnMessageTypes.h"
#include "net/ClientSocket.h"

namespace Quarn {

namespace {

constexpr int kMaxPort = 65535;
// The shortest frame: the header and the CRC, no payload.
constexpr size_t kMinFrameSize = Messages::QUARN_FRAME_HEADER_SIZE + Messages::QUARN_FRAME_CRC_SIZE;
// A safety net for the read thread's wait for a connection, should a status change be
// missed; status changes wake it at once.
constexpr std::chrono::milliseconds kReadIdleWait{1000};

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
    sequenceSynchronised_ = false;
}

void VirtualGateway::Initialize() {
    readRunning_ = true;
    sendRunning_ = true;
    InitThreads();
}

bool VirtualGateway::InitThreads() {
    readThread_ = std::make_unique<Threading::Thread>([this] { readThreadProc(); });
    sendThread_ = std::make_unique<Threading::Thread>([this] { sendThreadProc(); });
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
        // Closing wakes the read thread from its wait on the socket.
        if (socket_) {
            socket_->Close();
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

void VirtualGateway::SetKeepAliveEnabled(bool enabled) {
    keepAliveEnabled_ = enabled && timings_.keepAliveInterval.count() > 0;
    WakeSendThread();
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
    AnnounceStatus(status_.exchange(newStatus), newStatus);
}

void VirtualGateway::ChangeStatusFrom(VirtualGatewayStatuses expected,
                                      VirtualGatewayStatuses newStatus) {
    if (status_.compare_exchange_strong(expected, newStatus)) {
        AnnounceStatus(expected, newStatus);
    }
}

void VirtualGateway::AnnounceStatus(VirtualGatewayStatuses oldStatus,
                                    VirtualGatewayStatuses newStatus) {
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

bool VirtualGateway::Connect(bool refreshSequenceCounter) {
    std::lock_guard<std::recursive_mutex> connection(connectionMutex_);
    VirtualGatewayStatuses status = status_;
    if (status == CONNECTED || status == READY || status == NOT_PRESENT) {
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
    }
    if (previous) {
        previous->Close();
    }

    if (!socket->Connect()) {
        if (++connectFailures_ >= kMaxConnectFailures) {
            ChangeStatus(NOT_PRESENT);
        }
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(socketMutex_);
        if (stopping_) {
            socket->Close();
            return false;
        }
        socket_ = socket;
        ++socketGeneration_;
    }
    if (refreshSequenceCounter) {
        ChangeStatus(CONNECTED);
        EnqueueRefreshSequenceCounter();
    } else {
        ChangeStatus(READY);
    }
    return true;
}

bool VirtualGateway::Disconnect() {
    std::lock_guard<std::recursive_mutex> connection(connectionMutex_);
    VirtualGatewayStatuses status = status_;
    if (status != CONNECTED && status != READY && status != FAULTED) {
        return false;
    }
    std::shared_ptr<Net::ClientSocket> socket;
    {
        std::lock_guard<std::mutex> lock(socketMutex_);
        socket = std::move(socket_);
    }
    if (socket) {
        socket->Close();
    }
    ChangeStatus(DISCONNECTED);
    return true;
}

void VirtualGateway::SocketSendError(int errorCode) {
    LOG_ERROR << "Socket faulted. Send error. Error description: " << std::strerror(errorCode);
    ChangeStatus(FAULTED);
}

void VirtualGateway::SocketRecvError(int errorCode) {
    if (errorCode == 0) {
        LOG_WARNING << "Connection gracefully closed. The VGs will reconnect. Error description: "
                    << std::strerror(0);
        Disconnect();
        Connect(false);
        return;
    }
    LOG_ERROR << "Socket faulted. Receive error. Error description: " << std::strerror(errorCode);
    ChangeStatus(FAULTED);
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
            std::unique_lock<std::mutex> lock(wakeMutex_);
            readWake_.wait_for(lock, kReadIdleWait,
                               [&] { return statusVersion_ != seenVersion || !readRunning_; });
            continue;
        }
        if (generation != bufferGeneration) {
            // A frame cut short by the old connection must not swallow the new one's bytes.
            receiveBuffer_.clear();
            bufferGeneration = generation;
        }

        std::vector<unsigned char> data;
        bool received = socket->Receive(data);
        receiveBuffer_.insert(receiveBuffer_.end(), data.begin(), data.end());
        while (auto frame = FetchAndTranslateMessage()) {
            LOG_DEBUG << "Managing new message";
            ManageQuarnGatewayResponse(std::move(frame), Clock::now());
        }

        if (!received && readRunning_) {
            std::shared_ptr<Net::ClientSocket> current = CurrentSocket();
            if (current && current->HasPendingError()) {
                LOG_DEBUG << "[VirtualGateway::readThreadProc] Socket in error. Try a reconnect.";
                Disconnect();
                Connect(true);
            }
        }
    }
    LOG_DEBUG << "Closing read thread.";
}

std::unique_ptr<Messages::QuarnMessage> VirtualGateway::FetchAndTranslateMessage() {
    static constexpr unsigned char kMagic[] = {Messages::QUARN_FRAME_MAGIC_1,
                                               Messages::QUARN_FRAME_MAGIC_2};
    for (;;) {
        auto magic = std::search(receiveBuffer_.begin(), receiveBuffer_.end(), std::begin(kMagic),
                                 std::end(kMagic));
        if (magic == receiveBuffer_.end()) {
            // A length byte and the first magic byte may be the start of a frame still
            // arriving; anything before them can never become one.
            if (receiveBuffer_.size() > 2) {
                DiscardReceived(receiveBuffer_.size() - 2);
            }
            return nullptr;
        }
        if (magic == receiveBuffer_.begin()) {
            LOG_WARNING << "Found a new QUARN packet magic number, but seems that's at an index "
                           "position that isn't allowed.";
            DiscardReceived(1);
            continue;
        }
        // The frame starts with its length byte, just ahead of the magic.
        DiscardReceived(static_cast<size_t>(magic - receiveBuffer_.begin()) - 1);
        size_t length = receiveBuffer_.front();
        if (length < kMinFrameSize) {
            DiscardReceived(1 + sizeof kMagic);
            continue;
        }
        if (receiveBuffer_.size() < length) {
            return nullptr;  // the rest of the frame is still arriving
        }
        std::vector<unsigned char> frame(receiveBuffer_.begin(), receiveBuffer_.begin() + length);
        auto message = Messages::QuarnMessageBuilder::Parse(frame);
        if (!message) {
            DiscardReceived(length);
            continue;
        }
        LOG_DEBUG << "Message fetched and translated. Erasing the array from the buffer.";
        receiveBuffer_.erase(receiveBuffer_.begin(), receiveBuffer_.begin() + length);
        return message;
    }
}

void VirtualGateway::DiscardReceived(size_t count) {
    if (count == 0) {
        return;
    }
    LOG_WARNING << "Discarding " << count << " received bytes that do not form a gateway frame.";
    receiveBuffer_.erase(receiveBuffer_.begin(), receiveBuffer_.begin() + count);
}

}  // namespace Quarn
