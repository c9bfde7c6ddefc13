#pragma once
// One lock gateway reached over one TCP connection.
//
// The gateway runs two threads of its own from construction to destruction. The send
// thread queues a sequence refresh every keep-alive interval, sends queued request frames
// (at most one per send spacing, at once when the last send is that long ago; door
// commands before the other requests), stamping each with the next sequence counter and a
// free reference identifier, and reports requests whose deadline passed. A request that
// may go at once into an idle connection (READY, nothing queued ahead, the spacing passed,
// everything sent before acknowledged) is sent by the thread that asked for it, which
// saves waking the send thread; the send cannot wait there, since the socket's buffer is
// empty, and a failure there is left to the send thread. The read thread keeps the
// connection: once asked to (StartConnecting, or a successful Connect) it connects, and
// reconnects whenever the connection is lost, with backoff after failures;
// while connected it waits on the socket, cuts the byte stream into frames, drops frames
// with a wrong CRC, matches answers to waiting requests and reports answers and events.
// A connect that hangs holds up only this gateway's read thread.
//
// Threads and callbacks: the request operations, Connect, Disconnect and the getters may
// be called from any thread. The callbacks run on the gateway's threads (and, for status
// changes, on whichever thread called Connect or Disconnect; for a request refused as busy
// or found past its deadline when sent at once, on the thread that asked); they may call
// the request operations, Connect and Disconnect, but must not block for long and must
// never destroy the gateway. Status changes are reported one at a time, in the order they
// happened. Set the callbacks before the first Connect.
//
// Ownership: the gateway owns its socket, threads, queue and waiting table. Response and
// event messages handed to the callbacks belong to the callee.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "gateway/MessageRequestInfo.h"
#include "gateway/VirtualGatewayEventMessage.h"
#include "gateway/VirtualGatewayResponseMessage.h"
#include "messages/QuarnFrameCutter.h"
#include "messages/QuarnMessage.h"
#include "messages/QuarnMessageBuilder.h"
#include "net/ClientSocket.h"
#include "threading/Mutex.h"
#include "threading/Thread.h"

namespace Quarn {

// Log lines print these as words, except INITIALIZED and NOT_PRESENT (their numbers).
enum VirtualGatewayStatuses : uint32_t {
    UNKNOWN = 0,       // not usable; no connection is attempted
    INITIALIZED = 1,   // constructed, threads running, never connected
    CONNECTED = 2,     // connected; sequence counter not yet synchronised
    READY = 3,         // connected and usable
    DISCONNECTED = 4,  // socket closed and freed
    FAULTED = 5,       // the socket reported a send or receive error
    NOT_PRESENT = 6,   // connection given up for good ("NotPresent")
};

// The status as operators read it: "UNKNOWN", "INITIALIZED", "CONNECTED", "READY",
// "DISCONNECTED", "FAULTED", "NOT_PRESENT"; "?" for a value outside the enumeration.
const char* StatusName(VirtualGatewayStatuses status);

// What a gateway tells of its state (GetHealth). Each value is read on its own, so a
// snapshot taken while the gateway works may mix moments a few microseconds apart.
struct VirtualGatewayHealth {
    VirtualGatewayStatuses status;
    std::time_t statusSince;               // when the gateway took this status
    std::optional<std::time_t> lastFrame;  // when its last whole frame arrived; none yet
    size_t queued;                         // frames waiting to be sent (refreshes included)
    size_t waiting;                        // frames sent and waiting for their answer
    int connectFailures;                   // failed connection attempts since the last success
    uint64_t reconnects;                   // connections made after the first
    uint64_t crcErrors;                    // frames dropped for a wrong CRC
};

// The gateway's timing. Tests shorten them; the defaults are the production values.
struct VirtualGatewayTimings {
    // Minimum time between two frames sent to the gateway.
    std::chrono::milliseconds sendSpacing{300};
    // Period of the sequence refresh that doubles as keep-alive; 0: no periodic refresh.
    std::chrono::milliseconds keepAliveInterval{27000};
    // How long a sent request may wait for its answer; also the deadline of a request
    // queued without one of its own, counted from when it was queued. 0: without limit.
    std::chrono::milliseconds requestTimeout{20000};
    // Reconnect backoff: the pause after the first failed attempt, doubling after each
    // further failure up to the longest. Attempts after a lost connection are at least the
    // first pause apart, so a gateway that drops every connection at once is not hammered.
    std::chrono::milliseconds reconnectFirstDelay{1000};
    std::chrono::milliseconds reconnectMaxDelay{60000};
};

// Tests and fuzzing drive the read side of a gateway that never connects through this
// (VirtualGatewayReadSideAccess.h); production code does not use it.
struct VirtualGatewayReadSideAccess;

class VirtualGateway {
public:
    using Response = Messages::VG::VirtualGatewayResponseMessage;
    using Clock = std::chrono::steady_clock;
    // The time by which a request's frame must have left; none: the request time-out
    // counted from when it is queued.
    using Deadline = std::optional<Clock::time_point>;
    using Event = Messages::VG::VirtualGatewayEventMessage;
    using StateChangedCallback =
        std::function<void(VirtualGateway& gateway, VirtualGatewayStatuses oldStatus,
                           VirtualGatewayStatuses newStatus)>;
    using ResponseReceivedCallback =
        std::function<void(VirtualGateway& gateway, std::unique_ptr<Response> response)>;
    using EventReceivedCallback =
        std::function<void(VirtualGateway& gateway, std::unique_ptr<Event> event)>;

    static constexpr int kDefaultPort = 2101;
    // Milliseconds the connection may take to be accepted.
    static constexpr int kDefaultConnectTimeout = 15000;
    // Consecutive failed connection attempts after which the gateway is NOT_PRESENT.
    static constexpr int kMaxConnectFailures = 20;
    // Frames a gateway queues at most; a request beyond them is refused as busy.
    static constexpr size_t kMaxQueuedFrames = 4096;
    // Sequence refreshes are status requests to this address, and their request
    // identifiers start with kRefreshRequestPrefix.
    static constexpr uint32_t kRefreshDeviceAddress = 256;
    static constexpr const char* kRefreshRequestPrefix = "requestNewSEQID-";

    // Each constructor starts both threads. An empty address throws NullObjectException;
    // a port outside 1..65535 throws InvalidArgumentException.
    explicit VirtualGateway(std::string ipAddress);
    VirtualGateway(std::string ipAddress, int port);
    VirtualGateway(std::string ipAddress, int port, int connectTimeout,
                   VirtualGatewayTimings timings = {});
    // Stops and joins both threads, then frees the socket and every request still queued
    // or waiting (without callbacks). Never call it from a callback of this gateway.
    ~VirtualGateway();
    VirtualGateway(const VirtualGateway&) = delete;
    VirtualGateway& operator=(const VirtualGateway&) = delete;

    // Owner data.
    void SetId(int id) { id_ = id; }
    int GetId() const { return id_; }
    void SetDescription(std::string description);
    std::string GetDescription() const;
    void SetStateChangedCallback(StateChangedCallback callback);
    void SetResponseReceivedCallback(ResponseReceivedCallback callback);
    void SetEventReceivedCallback(EventReceivedCallback callback);
    void SetRequestTimeout(std::chrono::milliseconds timeout);
    VirtualGatewayStatuses GetStatus() const { return status_; }
    const std::string& GetIpAddress() const { return ipAddress_; }
    int GetPort() const { return port_; }
    // Any thread; takes the queue's and the waiting table's locks for a moment each.
    VirtualGatewayHealth GetHealth();

    // From now on the gateway keeps itself connected on its read thread: it connects at
    // once (with a sequence refresh) and reconnects whenever the connection is lost. Any
    // thread; returns at once.
    void StartConnecting();
    // One connection attempt on the calling thread, for a gateway that is not connected
    // (refused in CONNECTED and READY). With refreshSequenceCounter the gateway becomes
    // CONNECTED and queues a sequence refresh (READY once the gateway reported its
    // counter), else READY; after success it keeps itself connected as after
    // StartConnecting. Each failure logs "Cannot connect to gateway ..."; the
    // kMaxConnectFailures-th consecutive one makes the gateway NOT_PRESENT.
    bool Connect(bool refreshSequenceCounter);
    // Closes and frees the socket of a CONNECTED, READY or FAULTED gateway: DISCONNECTED.
    // The gateway stops reconnecting until Connect or StartConnecting is called again.
    bool Disconnect();
    // Whether received frames with a wrong CRC are dropped (the default) or believed, for
    // gateways that do not fill the CRC in. Any thread.
    void SetCheckFrameCrc(bool check) { checkFrameCrc_ = check; }

    // Request operations. Each builds one frame and queues it; true means taken, and the
    // outcome reaches the response callback later, once, with requestId, unless the
    // gateway is destroyed first: the gateway's answer, or a failure (Response::Failure):
    // not sent by the deadline; busy, when the frames queued ahead of it cannot all be
    // sent before its deadline (reported at once, on the calling thread); no usable
    // answer within the request time-out of sending. A frame never leaves after its
    // deadline; one that could not be sent waits for the next connection. Door commands
    // (OpenLock, CloseLock, OpenCloseLock, AccessDenied) go before the others. False:
    // refused in the gateway's status (FAULTED for all; NOT_PRESENT for all but
    // GetNodeStatus, EnableWhitelist and DisableWhitelist), or nothing could be queued.
    bool GetNodeStatus(std::string requestId, uint32_t deviceAddress, Deadline deadline = {});
    bool OpenLock(std::string requestId, uint32_t deviceAddress, uint8_t time, bool eventResponse,
                  Deadline deadline = {});
    bool CloseLock(std::string requestId, uint32_t deviceAddress, uint8_t delay, bool eventResponse,
                   Deadline deadline = {});
    bool OpenCloseLock(std::string requestId, uint32_t deviceAddress, uint8_t duration,
                       bool eventResponse, Deadline deadline = {});
    bool AccessDenied(std::string requestId, uint32_t deviceAddress, bool eventResponse,
                      Deadline deadline = {});
    bool AddWhitelistEntry(std::string requestId, uint32_t deviceAddress, bool uidMode,
                           uint8_t setupNo, bool flag, std::vector<unsigned char> cardData,
                           Deadline deadline = {});
    bool RemoveWhitelistEntry(std::string requestId, uint32_t deviceAddress, bool uidMode,
                              uint8_t setupNo, std::vector<unsigned char> cardData,
                              Deadline deadline = {});
    bool ClearWhiteList(std::string requestId, uint32_t deviceAddress, Deadline deadline = {});
    bool EnableWhitelist(std::string requestId, uint32_t deviceAddress, Deadline deadline = {});
    bool DisableWhitelist(std::string requestId, uint32_t deviceAddress, Deadline deadline = {});

private:
    friend struct VirtualGatewayReadSideAccess;
    using Request = std::unique_ptr<MessageRequestInfo>;
    using Failure = Response::Failure;

    void Initialize();
    bool InitThreads();
    void StopThreads();
    // CONNECTED or READY.
    bool IsConnected() const;
    void ChangeStatus(VirtualGatewayStatuses newStatus);
    // Changes the status only while it is still expected.
    void ChangeStatusFrom(VirtualGatewayStatuses expected, VirtualGatewayStatuses newStatus);
    void AnnounceStatus(VirtualGatewayStatuses oldStatus, VirtualGatewayStatuses newStatus);
    std::shared_ptr<Net::ClientSocket> CurrentSocket();
    void WakeSendThread();

    // Closes the socket after the connection was lost: DISCONNECTED, and the read thread
    // reconnects.
    void DropConnection();
    // Socket error callbacks, on the thread that called Send or Receive.
    void SocketSendError(int errorCode);
    void SocketRecvError(int errorCode);

    // Connection keeping (read thread).
    void ConnectWhenDue(uint64_t seenVersion);
    std::chrono::milliseconds BackoffDelay(int failures);

    // Send side (send thread unless said otherwise).
    bool EnqueueMessage(std::string requestId, std::unique_ptr<Messages::QuarnMessage> message,
                        Deadline deadline, bool refresh = false);  // any thread
    bool EnqueueRefreshSequenceCounter();                          // any thread
    // The queue a frame waits in: door commands and refreshes first, then the others.
    std::deque<Request>& QueueFor(const MessageRequestInfo& request);
    void SendGetStatusKeepAlive(Clock::time_point now, Clock::time_point& nextWake);
    void ExpireRequests(Clock::time_point now, Clock::time_point& nextWake);
    // Takes the next frame that may go now, or null. Under queueMutex_.
    Request TakeNextRequest(VirtualGatewayStatuses status);
    // Who sends: the send thread, or the thread that queued a request, which sends only
    // into an idle connection and leaves any trouble to the send thread.
    enum class Sender { SendThread, Requester };
    void SendNextRequest(Clock::time_point now, Clock::time_point& nextWake, Sender sender);
    // The requester's turn after queueing: sends at once when it may, and wakes the send
    // thread when that still has work sooner than it planned to wake.
    void SendNowOrWake();
    bool TakeFreeReferenceId(uint8_t& referenceId);
    void ReportFailed(Request request, Failure failure, const char* reason);  // any thread
    void sendThreadProc();

    // Read side (read thread).
    void readThreadProc();
    // Everything done with the bytes of one read: they join those still waiting, and each
    // whole frame among them is reported, as an event or as the answer to a waiting
    // request.
    void ReceiveBytes(const std::vector<unsigned char>& bytes);
    std::unique_ptr<Messages::QuarnMessage> FetchAndTranslateMessage();
    void LogDiscarded(size_t count);
    void ManageQuarnGatewayResponse(std::unique_ptr<Messages::QuarnMessage> frame,
                                    Clock::time_point receivedAt);
    // True for the card-reader (0x0E, 0x0F, 0x11, 0x12) and PIN (0x16) event types.
    static bool IsEventMessage(const Messages::QuarnMessage& frame);
    void ManageEvent(const Messages::QuarnMessage& frame);
    void ManageReply(const Messages::QuarnMessage& frame, Clock::time_point receivedAt);
    std::unique_ptr<Response> TranslateReply(const Messages::QuarnMessage& frame,
                                             const MessageRequestInfo& request);
    void ResynchroniseSequenceCounter(uint32_t reportedCounter, const MessageRequestInfo& request);
    void DeliverResponse(std::unique_ptr<Response> response);

    const std::string ipAddress_;
    const int port_;
    const int connectTimeout_;
    const VirtualGatewayTimings timings_;

    std::atomic<VirtualGatewayStatuses> status_{UNKNOWN};
    std::atomic<uint32_t> sequenceCounter_{0};
    std::atomic<int> id_{0};
    const bool keepAliveEnabled_;
    std::atomic<int64_t> requestTimeoutMs_;
    std::atomic<bool> readRunning_{false};
    std::atomic<bool> sendRunning_{false};
    std::atomic<bool> checkFrameCrc_{true};
    // What GetHealth reports besides the status and the queues: when the status changed
    // and when the last frame arrived (0: none yet), successful connections, frames
    // dropped for their CRC, failed connection attempts since the last success.
    std::atomic<std::time_t> statusSince_{std::time(nullptr)};
    std::atomic<std::time_t> lastFrameAt_{0};
    std::atomic<uint64_t> connections_{0};
    std::atomic<uint64_t> crcErrors_{0};
    std::atomic<int> connectFailures_{0};

    // Serialises Connect, Disconnect and each status change with its callback, so that
    // the owner learns of the changes in the order they happened. Recursive: a status
    // callback may disconnect and reconnect.
    std::recursive_mutex connectionMutex_;
    // Guarded by connectionMutex_: whether the read thread keeps the gateway connected,
    // when it may try next, and whether that try refreshes the sequence counter.
    bool keepConnected_ = false;
    Clock::time_point nextConnectAttempt_{};
    bool refreshOnReconnect_ = false;

    // Guards socket_, socketGeneration_ and stopping_. The threads take a reference to
    // the socket for each use, so a socket replaced meanwhile lives until they are done.
    std::mutex socketMutex_;
    std::shared_ptr<Net::ClientSocket> socket_;
    // A socket still connecting, so that stopping can abort the attempt.
    std::shared_ptr<Net::ClientSocket> connecting_;
    uint64_t socketGeneration_ = 0;
    bool stopping_ = false;

    // Guards the owner data that the threads read.
    mutable std::mutex ownerMutex_;
    std::string description_;
    StateChangedCallback stateChanged_;
    ResponseReceivedCallback responseReceived_;
    EventReceivedCallback eventReceived_;

    // Wakes the threads: the send thread for new work, the read thread for a new status.
    std::mutex wakeMutex_;
    std::condition_variable sendWake_;
    std::condition_variable readWake_;
    bool sendWorkPending_ = false;  // guarded by wakeMutex_
    uint64_t statusVersion_ = 0;    // guarded by wakeMutex_

    // Builds frames on the callers' threads; its counters move under sendMutex_ and take
    // the gateway's counter on the read thread.
    Messages::QuarnMessageBuilder messageBuilder_{0, 1};
    // Makes stamping a frame and advancing the counter one step, apart from adopting
    // the gateway's counter. Guards sequenceEpoch_.
    std::mutex sequenceMutex_;
    // Counts the counters adopted from the gateway. A counter reported for a frame
    // stamped in an earlier epoch is outdated: adopting it would move the counter back
    // behind frames the gateway has accepted since.
    uint64_t sequenceEpoch_ = 0;

    Threading::Mutex queueMutex_{"queueMutex"};
    // Guarded by queueMutex_, each in order of arrival: door commands and sequence
    // refreshes, then every other request.
    std::deque<Request> messagesQueue_;
    std::deque<Request> routineQueue_;
    Threading::Mutex waitingMessagesMutex_{"waitingMessagesMutex"};
    std::map<uint8_t, Request> waitingMessages_;  // by reference id; guarded by the above

    // Held by whoever sends: the send thread for each turn of its loop, a requester for
    // its send at once. Guards what follows.
    std::mutex sendMutex_;
    std::optional<Clock::time_point> lastSendTime_;
    std::optional<Clock::time_point> lastKeepAliveTime_;
    // Whether any frame went out; until then a CONNECTED gateway gets refreshes only.
    bool sentBefore_ = false;
    // When the send thread will wake next unless woken.
    Clock::time_point plannedWake_{};
    // Read thread only.
    Messages::QuarnFrameCutter frameCutter_;

    std::unique_ptr<Threading::Thread> sendThread_;
    std::unique_ptr<Threading::Thread> readThread_;
};

}  // namespace Quarn
