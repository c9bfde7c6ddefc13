#pragma once
// The one thread that drives every gateway: an epoll loop over the gateways' sockets
// (non-blocking connects under their time-out, reads and writes) and one timer structure
// for everything a gateway waits for (send spacing, keep-alive, answer time-outs, request
// deadlines, connection backoff). Host names that are not numeric addresses are resolved
// on one resolver thread, so a slow name server holds up no connection. The loop runs two
// threads, whatever the number of gateways.
//
// A GatewayLink is one gateway as the loop drives it: its protocol state (VirtualGateway)
// and its socket under one mutex of its own. No gateway's work waits on a lock another
// gateway's connect, read or write holds: the loop takes one link's mutex at a time, and
// I/O on a socket never blocks.
//
// Threads and callbacks: Submit and the getters may be called from any thread. A command
// submitted to an idle READY gateway is written at once by the thread that submits it,
// which spares waking the loop; everything else is the loop thread's. The callbacks run on
// the loop thread, and (for an outcome known at once: busy, not connected, refused) on the
// thread that submitted; never under a link's mutex, so they may submit again. They must
// not block for long and must never remove a link. Status changes are reported on the loop
// thread, one at a time, in the order they happened.
//
// Ownership: the loop owns its threads, epoll and wake descriptors; each link owns its
// gateway and socket and is shared by its owner and the loop. Add registers a link and
// starts connecting it; Remove closes it and returns once the loop no longer touches it:
// after that no callback of it runs on the loop thread, and a command submitted to it is
// answered NotConnected on the submitting thread. Destroying the loop removes every link
// still added.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "gateway/GatewayCommand.h"
#include "gateway/VirtualGateway.h"
#include "net/ClientSocket.h"
#include "threading/Thread.h"

namespace Quarn {

class GatewayLoop;

// What a link is made from.
struct GatewaySettings {
    int id = 0;
    std::string description;
    std::string ipAddress;
    int port = VirtualGateway::kDefaultPort;
    VirtualGatewayTimings timings;
    bool checkFrameCrc = true;
};

class GatewayLink : public std::enable_shared_from_this<GatewayLink> {
public:
    using Clock = VirtualGateway::Clock;
    using Response = VirtualGateway::Response;
    using Event = VirtualGateway::Event;
    struct Callbacks {
        std::function<void(GatewayLink& link, VirtualGatewayStatuses oldStatus,
                           VirtualGatewayStatuses newStatus)>
            stateChanged;
        std::function<void(GatewayLink& link, std::unique_ptr<Response> response)>
            responseReceived;
        std::function<void(GatewayLink& link, std::unique_ptr<Event> event)> eventReceived;
    };

    // Throws as VirtualGateway's constructor does for a bad address or port.
    GatewayLink(GatewaySettings settings, Callbacks callbacks);
    GatewayLink(const GatewayLink&) = delete;
    GatewayLink& operator=(const GatewayLink&) = delete;

    // The command's outcome reaches the response callback once (see VirtualGateway::Submit),
    // unless the link is removed first; a link not added (or removed) answers NotConnected.
    // Any thread.
    void Submit(GatewayCommand command);

    // Any thread.
    int GetId() const { return id_; }
    const std::string& GetDescription() const { return description_; }
    const std::string& GetIpAddress() const { return ipAddress_; }
    int GetPort() const { return port_; }
    VirtualGatewayStatuses GetStatus() const { return status_; }
    VirtualGatewayHealth GetHealth();
    void SetRequestTimeout(std::chrono::milliseconds timeout);

private:
    friend class GatewayLoop;

    // Loop thread: the work due now, or what the socket reported; then the notices are
    // handed on and the next wake scheduled.
    void Serve(Clock::time_point now);
    void HandleEvents(uint32_t events, Clock::time_point now);
    // The resolver thread: the addresses of a host name, or none.
    void Resolved(std::optional<Net::ClientSocket::Addresses> addresses);

    // Under mutex_, on the loop thread unless said otherwise.
    void Service(Clock::time_point now);
    void StartAttempt(Clock::time_point now);
    void BeginConnect(Clock::time_point now, Net::ClientSocket::Addresses addresses);
    void AttemptFinished(Clock::time_point now);
    // Tells the gateway where an attempt stands (still under way: nothing), then watches
    // the socket the attempt left.
    void Attempted(Clock::time_point now, Net::ClientSocket::Attempt attempt);
    void ReadAvailable(Clock::time_point now);
    void WritePending();
    // Writes the frames that may leave now (any thread); false when the socket failed.
    bool SendFrames(Clock::time_point now);
    void Lose(Clock::time_point now, VirtualGateway::Loss loss);
    // Keeps the loop's epoll registration in step with the socket: Unwatch before the
    // descriptor changes or closes, Watch after.
    void Watch();
    void Unwatch();
    // Schedules the next wake and takes the notices (any thread).
    VirtualGateway::Notices Conclude(Clock::time_point now);
    // Hands the notices on, without mutex_.
    void Deliver(VirtualGateway::Notices notices);

    const int id_;
    const std::string description_;
    const std::string ipAddress_;
    const int port_;
    const Callbacks callbacks_;
    std::atomic<VirtualGatewayStatuses> status_{INITIALIZED};

    std::mutex mutex_;
    // Everything below is guarded by mutex_.
    GatewayLoop* loop_ = nullptr;  // set by Add, cleared by Remove
    VirtualGateway gateway_;
    Net::ClientSocket socket_;
    int watchedDescriptor_ = -1;
    uint32_t watchedEvents_ = 0;
    // Bytes of a frame not yet written: the socket's buffer was full.
    std::vector<unsigned char> unwritten_;
    // A write on a submitting thread failed; the loop deals with the connection.
    bool sendFailed_ = false;
    // How the socket's error callbacks saw the connection end.
    VirtualGateway::Loss loss_ = VirtualGateway::Loss::ReceiveError;
    // A host name is being resolved; then its outcome, for the loop to connect with.
    bool resolving_ = false;
    std::optional<std::optional<Net::ClientSocket::Addresses>> resolved_;

    // The link's entry in the loop's timers; guarded by the loop's timersMutex_.
    Clock::time_point scheduled_ = Clock::time_point::max();
};

class GatewayLoop {
public:
    using Clock = GatewayLink::Clock;

    // Starts both threads.
    GatewayLoop();
    // Removes every link, then stops and joins both threads.
    ~GatewayLoop();
    GatewayLoop(const GatewayLoop&) = delete;
    GatewayLoop& operator=(const GatewayLoop&) = delete;

    // Registers the link and starts connecting it. Any thread but the loop's.
    void Add(const std::shared_ptr<GatewayLink>& link);
    // Closes the link's connection (reported as DISCONNECTED) and unregisters it. Its
    // queued and waiting requests are dropped without callbacks. Any thread but the loop's.
    void Remove(const std::shared_ptr<GatewayLink>& link);

private:
    friend class GatewayLink;

    void loopThreadProc();
    void resolverThreadProc();
    // Loop thread: serves every link whose wake is due, then drops the links asked for.
    void ServeDueLinks(Clock::time_point now);
    void DropRemovedLinks();
    // Any thread, under the link's mutex: when the link wants to be served next.
    void Schedule(GatewayLink& link, Clock::time_point when);
    void Wake();
    // Resolves the link's host name on the resolver thread. Under the link's mutex.
    void Resolve(const std::shared_ptr<GatewayLink>& link);

    const int epoll_;
    const int wake_;  // an eventfd

    std::mutex timersMutex_;
    std::set<std::pair<Clock::time_point, GatewayLink*>> timers_;
    // When the loop thread wakes next unless woken; guarded by timersMutex_.
    Clock::time_point plannedWake_ = Clock::time_point::max();

    std::mutex linksMutex_;
    std::vector<std::shared_ptr<GatewayLink>> links_;
    // Links to drop, handed to the loop thread, which signals removed_ once it did.
    std::vector<GatewayLink*> removals_;
    std::condition_variable removed_;

    std::mutex resolverMutex_;
    std::condition_variable resolverWake_;
    std::deque<std::weak_ptr<GatewayLink>> toResolve_;

    std::atomic<bool> running_{true};
    std::unique_ptr<Threading::Thread> loopThread_;
    std::unique_ptr<Threading::Thread> resolverThread_;
};

}  // namespace Quarn
