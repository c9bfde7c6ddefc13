#pragma once
// One lock gateway's protocol state, with no thread or socket of its own: it takes the
// bytes the gateway sent, gives the frames that may leave, is told the time and what
// happened to its connection, and takes submitted commands. GatewayLoop owns the socket
// and drives it; tests drive it directly with a clock of their own.
//
// What it keeps: the status machine and the connection schedule (connect at once, then
// reconnect after a lost connection at least the first backoff pause apart, and after
// failed attempts with doubling backoff; NOT_PRESENT after kMaxConnectFailures failures in
// a row, still retried); the queue (door commands and sequence refreshes before the other
// requests, each class taking turns by client); the send spacing; the keep-alive sequence
// refresh (while CONNECTED only refreshes leave, one at a time, until one is answered or
// times out: then READY, so that no command goes out on a counter not yet in step); the request deadlines and answer time-outs; the sequence counter and the
// reference identifiers, both assigned in TakeFrame and only there, so that frames carry
// strictly increasing counters in the order they leave; and the matching of answers to
// waiting requests.
//
// What it reports goes into its notices (TakeNotices), in the order it happened: status
// changes, answers and failures of requests, and events. The driver hands them on once it
// no longer holds the gateway, so that a receiver may submit again.
//
// Threads: none of its own, and not thread-safe: one driver serialises every call.
// Ownership: it owns its queue, its waiting table and its notices until they are taken.

#include <chrono>
#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "gateway/FairQueue.h"
#include "gateway/GatewayCommand.h"
#include "gateway/MessageRequestInfo.h"
#include "gateway/VirtualGatewayEventMessage.h"
#include "gateway/VirtualGatewayResponseMessage.h"
#include "messages/QuarnFrameCutter.h"
#include "messages/QuarnMessage.h"
#include "messages/QuarnMessageBuilder.h"

namespace Quarn {

// Log lines print these as words, except INITIALIZED and NOT_PRESENT (their numbers).
enum VirtualGatewayStatuses : uint32_t {
    UNKNOWN = 0,       // not usable; no connection is attempted
    INITIALIZED = 1,   // constructed, never connected
    CONNECTED = 2,     // connected; sequence counter not yet synchronised
    READY = 3,         // connected and usable
    DISCONNECTED = 4,  // connection closed
    FAULTED = 5,       // the connection reported a send or receive error
    NOT_PRESENT = 6,   // kMaxConnectFailures attempts failed in a row ("NotPresent")
};

// The status as operators read it: "UNKNOWN", "INITIALIZED", "CONNECTED", "READY",
// "DISCONNECTED", "FAULTED", "NOT_PRESENT"; "?" for a value outside the enumeration.
const char* StatusName(VirtualGatewayStatuses status);

// What a gateway tells of its state.
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
    // submitted without one of its own, counted from its submission. 0: without limit.
    std::chrono::milliseconds requestTimeout{20000};
    // Reconnect backoff: the pause after the first failed attempt, doubling after each
    // further failure up to the longest. Attempts after a lost connection are at least the
    // first pause apart, so a gateway that drops every connection at once is not hammered.
    std::chrono::milliseconds reconnectFirstDelay{1000};
    std::chrono::milliseconds reconnectMaxDelay{60000};
    // How long one connection attempt may take to be accepted.
    std::chrono::milliseconds connectTimeout{15000};
};

class VirtualGateway {
public:
    using Response = Messages::VG::VirtualGatewayResponseMessage;
    using Event = Messages::VG::VirtualGatewayEventMessage;
    using Clock = std::chrono::steady_clock;
    using Failure = Response::Failure;

    static constexpr int kDefaultPort = 2101;
    // Consecutive failed connection attempts after which the gateway is NOT_PRESENT.
    static constexpr int kMaxConnectFailures = 20;
    // Frames a gateway queues at most; a request beyond them is refused as busy.
    static constexpr size_t kMaxQueuedFrames = 4096;
    // Sequence refreshes are status requests to this address, and their request
    // identifiers start with kRefreshRequestPrefix.
    static constexpr uint32_t kRefreshDeviceAddress = 256;
    static constexpr const char* kRefreshRequestPrefix = "requestNewSEQID-";

    // What the driver is told to hand on, in order.
    struct StatusChange {
        VirtualGatewayStatuses from;
        VirtualGatewayStatuses to;
    };
    struct Notices {
        // Each notice is one of the three; they keep the order in which they happened.
        struct Notice {
            std::optional<StatusChange> status;
            std::unique_ptr<Response> response;
            std::unique_ptr<Event> event;
        };
        std::vector<Notice> items;
        bool Empty() const { return items.empty(); }
    };

    // How a connection ended, as the driver saw it.
    enum class Loss {
        PeerClosed,    // the gateway closed it: reconnect without a sequence refresh
        ReceiveError,  // reading failed: FAULTED, then reconnect with a refresh
        SendError,     // writing failed: FAULTED, then reconnect with a refresh
        Closed,        // the owner closed it (Disconnect)
    };

    // An empty address throws NullObjectException; a port outside 1..65535 throws
    // InvalidArgumentException. INITIALIZED; nothing is attempted before StartConnecting.
    VirtualGateway(std::string ipAddress, int port = kDefaultPort,
                   VirtualGatewayTimings timings = {});
    VirtualGateway(const VirtualGateway&) = delete;
    VirtualGateway& operator=(const VirtualGateway&) = delete;

    // Owner data.
    void SetId(int id) { id_ = id; }
    int GetId() const { return id_; }
    void SetDescription(std::string description) { description_ = std::move(description); }
    const std::string& GetDescription() const { return description_; }
    const std::string& GetIpAddress() const { return ipAddress_; }
    int GetPort() const { return port_; }
    const VirtualGatewayTimings& GetTimings() const { return timings_; }
    void SetRequestTimeout(std::chrono::milliseconds timeout) { timings_.requestTimeout = timeout; }
    // Whether received frames with a wrong CRC are dropped (the default) or believed, for
    // gateways that do not fill the CRC in.
    void SetCheckFrameCrc(bool check) { checkFrameCrc_ = check; }
    VirtualGatewayStatuses GetStatus() const { return status_; }
    VirtualGatewayHealth GetHealth() const;

    // The connection. The gateway keeps itself connected from StartConnecting on: an
    // attempt is due at once. StopConnecting (Disconnect) ends that; the driver closes the
    // connection and reports ConnectionLost(Closed).
    void StartConnecting(Clock::time_point now);
    void StopConnecting();
    // True when the driver should start an attempt now (none is under way, none is open).
    bool ConnectDue(Clock::time_point now) const;
    // The driver started an attempt; it reports Connected or ConnectFailed.
    void ConnectStarted(Clock::time_point now);
    bool ConnectUnderWay() const { return connecting_; }
    // The attempt succeeded: CONNECTED with a sequence refresh queued (a first connection,
    // one after NOT_PRESENT or after an error), else READY.
    void Connected(Clock::time_point now);
    // The attempt failed: "Cannot connect to gateway ..." and the next attempt after the
    // backoff; the kMaxConnectFailures-th failure in a row makes it NOT_PRESENT.
    void ConnectFailed(Clock::time_point now);
    void ConnectionLost(Clock::time_point now, Loss loss);

    // Takes a command. Its outcome is a notice, once, under its request id: the gateway's
    // answer or a failure: NotConnected at once when the gateway is not connected and no
    // attempt is due before the command's deadline (an attempt under way counts as due
    // now), or it is NOT_PRESENT, or does not keep connected; Busy at once when, behind the
    // frames queued ahead of it, it cannot leave before its deadline; NotSent when its deadline passes before it left; Refused when
    // its frame cannot be built; NoAnswer when no usable answer came within the request
    // time-out of sending. A frame never leaves after its deadline.
    void Submit(GatewayCommand command, Clock::time_point now);

    // The bytes of one read: each whole frame among them (with those kept from earlier
    // reads) is an event or the answer to a waiting request.
    void Receive(std::span<const unsigned char> bytes, Clock::time_point now);
    // The next frame that may leave now, stamped with the next sequence counter and a free
    // reference identifier and entered in the waiting table; empty when none may.
    std::vector<unsigned char> TakeFrame(Clock::time_point now);
    // The last frame taken could not be written: it goes back to the head of its queue.
    void FrameNotSent();
    // Reports requests past their deadline or answer time-out, and queues the keep-alive
    // refresh when it is due.
    void Tick(Clock::time_point now);
    // When Tick, TakeFrame or ConnectDue have work next; Clock::time_point::max() for
    // never. Includes the time-out of an attempt under way. writable false: the driver
    // cannot write now (it waits for the socket), so frames that may leave do not count;
    // mayConnect false: the driver cannot start an attempt yet (it still resolves the
    // host), so a due attempt does not count.
    Clock::time_point NextWake(Clock::time_point now, bool writable = true,
                               bool mayConnect = true) const;
    // Whether the attempt under way has taken longer than the connect time-out.
    bool ConnectTimedOut(Clock::time_point now) const;

    Notices TakeNotices();

    // Drops every queued and waiting request and the bytes of a partial frame, without a
    // notice for any of them: the gateway is being removed.
    void Discard();

private:
    using Request = std::unique_ptr<MessageRequestInfo>;

    bool IsConnected() const { return status_ == CONNECTED || status_ == READY; }
    void ChangeStatus(VirtualGatewayStatuses newStatus);
    void Report(std::unique_ptr<Response> response);
    void ReportFailed(Request request, Failure failure, const char* reason);
    void EnqueueRefresh(Clock::time_point now);
    // When the next attempt is due while not connected; max() for never.
    Clock::time_point NextAttempt() const;
    Request TakeNextRequest();
    // A sequence refresh is in the waiting table.
    bool RefreshAwaited() const;
    // A CONNECTED gateway's refresh was answered (or will never be): READY.
    void RefreshSettled();
    bool TakeFreeReferenceId(uint8_t& referenceId);
    void ExpireRequests(Clock::time_point now);

    // Read side (VirtualGatewayResponses.cpp).
    std::unique_ptr<Messages::QuarnMessage> FetchAndTranslateMessage();
    void LogDiscarded(size_t count);
    void ManageQuarnGatewayResponse(std::unique_ptr<Messages::QuarnMessage> frame,
                                    Clock::time_point receivedAt);
    static bool IsEventMessage(const Messages::QuarnMessage& frame);
    void ManageEvent(const Messages::QuarnMessage& frame);
    void ManageReply(const Messages::QuarnMessage& frame, Clock::time_point receivedAt);
    std::unique_ptr<Response> TranslateReply(const Messages::QuarnMessage& frame,
                                             const MessageRequestInfo& request);
    void ResynchroniseSequenceCounter(uint32_t reportedCounter, const MessageRequestInfo& request);

    const std::string ipAddress_;
    const int port_;
    VirtualGatewayTimings timings_;
    int id_ = 0;
    std::string description_;
    bool checkFrameCrc_ = true;

    VirtualGatewayStatuses status_ = INITIALIZED;
    std::time_t statusSince_ = std::time(nullptr);
    std::time_t lastFrameAt_ = 0;
    uint64_t connections_ = 0;
    uint64_t crcErrors_ = 0;
    int connectFailures_ = 0;

    // The connection schedule.
    bool keepConnected_ = false;
    bool connecting_ = false;
    Clock::time_point connectStartedAt_{};
    Clock::time_point nextConnectAttempt_{};
    bool refreshOnReconnect_ = false;

    // Door commands and sequence refreshes (the gateway's own, client 0), then the rest.
    FairQueue doorQueue_;
    FairQueue routineQueue_;
    std::map<uint8_t, Request> waitingMessages_;  // by reference id
    // The frame TakeFrame gave last, until the next TakeFrame: FrameNotSent puts it back.
    uint8_t lastTakenReferenceId_ = 0;

    Messages::QuarnMessageBuilder messageBuilder_{0, 1};
    // Counts the counters adopted from the gateway. A counter reported for a frame
    // stamped in an earlier epoch is outdated: adopting it would move the counter back
    // behind frames the gateway has accepted since.
    uint64_t sequenceEpoch_ = 0;
    std::optional<Clock::time_point> lastSendTime_;
    std::optional<Clock::time_point> lastKeepAliveTime_;
    Messages::QuarnFrameCutter frameCutter_;

    Notices notices_;
};

}  // namespace Quarn
