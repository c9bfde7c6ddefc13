#pragma once
// The listening TCP endpoint for client applications: a plain listener and, when enabled,
// a TLS listener, sharing one client list, one receive thread and one Send. Owns the
// listening sockets, the connected client sockets and two threads: the accept thread
// accepts on both listeners and adds plain connections to the client list; the receive
// thread waits on all client sockets, drains the readable ones, cuts what arrived into
// packets by their length prefix and hands each packet to the owner.
//
// A TLS connection's handshake runs step by step in the receive thread's wait, so it never
// holds up another client. The connection joins the client list (and ClientAcceptedCallback
// is called) only once its handshake is done and its certificate verified; a handshake that
// fails, or is not done within the handshake time-out, is logged with the peer's address
// and the reason, and closed. Inside TLS the packets are the same as on the plain listener.
//
// The TLS files may change while the listener runs (ReplaceTlsContext): handshakes that
// start later use the new context; connections already in the list stay, except those whose
// certificate the new context's revocation list revokes, which the receive thread closes.
//
// Every connection in the list gets a process-unique connection id. A descriptor number is
// reused by the system once its connection is closed, so whoever keeps a client for later
// (to send it an answer) keeps the pair (descriptor, id): Send with an id reaches that
// connection only, never a newer one that got the same descriptor.
//
// Calling order for the owner: construct, assign the callbacks, set the listeners up
// (EnableTls, DisablePlainListener, SetBindAddress, SetHandshakeTimeout), InitSocket, and
// only if it succeeded StartAcceptLoop then StartReceiveDataLoop. Construction, the set-up,
// InitSocket, the Start operations, Stop and destruction belong to the owner's thread; Send,
// GetClientConnections and ReplaceTlsContext may be called from any thread.

#include <poll.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "net/ClientPeer.h"
#include "threading/Mutex.h"
#include "threading/Thread.h"

struct sockaddr_in;

namespace Quarn::Tls {
class TlsConnection;
class TlsServerContext;
}  // namespace Quarn::Tls

namespace Quarn::Net {

// One connected client as the owner sees it.
struct ClientConnection {
    int clientFd;
    uint64_t connectionId;
    std::shared_ptr<const ClientPeer> peer = nullptr;
};

class ServerSocket {
public:
    using ClientCallback = std::function<void(int clientFd, uint64_t connectionId)>;
    using DataCallback =
        std::function<void(int clientFd, uint64_t connectionId, const ClientPeer& peer,
                           std::unique_ptr<std::vector<unsigned char>> packet)>;

    // Bytes given to Send that a TLS client has not taken yet may grow to this much; the
    // client is closed when a Send would pass it.
    static constexpr size_t kMaxPendingTlsOutput = 1024 * 1024;

    // The plain listener's port; 0 lets the system pick a free port; GetPort tells it after
    // InitSocket.
    explicit ServerSocket(int port);
    // Stops and joins both threads and closes every descriptor. Callbacks may run until the
    // threads are joined, none after: an owner whose callbacks must not outlive it calls
    // Stop first.
    ~ServerSocket();
    ServerSocket(const ServerSocket&) = delete;
    ServerSocket& operator=(const ServerSocket&) = delete;

    // The callbacks: assigned by the owner before InitSocket and left alone while the
    // threads run; an empty one is not called. None may throw.
    // After the client joined the list, clientsListMutex not held: on the accept thread for
    // a plain client (the receive thread may report its data, or its hang-up, before this
    // call is made), on the receive thread for a TLS client (before any of its data).
    ClientCallback ClientAcceptedCallback;
    // The thread that closes the client (receive thread, a Send caller, Stop), with
    // clientsListMutex held: it must not call this server socket, nor wait for a lock that
    // a Send caller may hold.
    ClientCallback ClientDeletedCallback;
    // Receive thread, clientsListMutex not held; the callee owns the packet (one whole
    // packet, length prefix included); peer stays valid during the call. It may call Send
    // and GetClientConnections.
    DataCallback DataReceivedCallback;

    // Adds a TLS listener on port (0: the system picks one) whose clients must pass the
    // context's checks; before InitSocket.
    void EnableTls(int port, std::shared_ptr<const Tls::TlsServerContext> context);
    // From any thread (a callback too), once TLS is enabled; context not null. Returns at
    // once: connections accepted from now on handshake with the new context (its server
    // certificate, client CAs and revocation list). The receive thread then closes every
    // client in the list whose certificate the new revocation list revokes, with a log line
    // and ClientDeletedCallback as for any closed client. A handshake in progress finishes
    // with the context it started with; once done, its certificate is checked against the
    // revocation list of the context current then, and a revoked one never joins the list.
    void ReplaceTlsContext(std::shared_ptr<const Tls::TlsServerContext> context);
    // No plain listener ("PlainListener": false); before InitSocket.
    void DisablePlainListener() { plainEnabled_ = false; }
    // How long a TLS client may take for its handshake (tests shorten it); before
    // StartReceiveDataLoop.
    void SetHandshakeTimeout(std::chrono::milliseconds timeout) { handshakeTimeout_ = timeout; }

    // Creates, binds (any local address) and listens, for each listener enabled. True on
    // success; on failure (of either listener, or with none enabled) the reason is logged
    // and no socket stays open.
    bool InitSocket();
    // Both listeners listen on this local IPv4 address only instead of every address;
    // before InitSocket.
    void SetBindAddress(std::string address) { bindAddress_ = std::move(address); }
    // The listening ports: the bound one once InitSocket succeeded, else the one given.
    int GetPort() const { return plain_.port; }
    int GetTlsPort() const { return tls_.port; }

    // Each starts its thread once; a second call does nothing.
    void StartAcceptLoop();
    void StartReceiveDataLoop();

    // Ends and joins both threads, closes the listening sockets, every client (each
    // reported through ClientDeletedCallback) and every TLS handshake in progress (never
    // reported: it never joined). Not to be called from a callback.
    void Stop();

    // Sends the bytes whole, without blocking, to the connection clientFd belongs to,
    // while it still belongs to connectionId. False, with nothing sent or closed, for -1,
    // for empty data (no system call) and for a descriptor that no longer belongs to that
    // connection. A plain client: false for a send that fails, would block or is short: that
    // client is then closed, since its stream can no longer be trusted. A TLS client: what
    // the socket does not take waits in the connection and the receive thread sends it on;
    // false, and the client closed, when the connection failed or what waits would pass
    // kMaxPendingTlsOutput.
    // hexText, when not empty, is data as the send's log line shows it: a sender of the same
    // bytes to many clients formats it once.
    bool Send(int clientFd, uint64_t connectionId, const std::vector<unsigned char>& data,
              std::string_view hexText = {});

    // A copy of the client list, in order of acceptance.
    std::vector<ClientConnection> GetClientConnections();

private:
    struct Client;
    struct Packet;
    struct Handshake;
    // One listening socket and its port.
    struct Listener {
        const char* name;  // in log lines: "server socket", "TLS server socket"
        int fd = -1;
        int port = 0;
    };

    void StopThreads();
    bool OpenListener(Listener& listener);
    // Closes the listening sockets if open (a waiting accept thread returns).
    void CloseServerSocket();
    void CloseAllClients();
    void CloseHandshakes();
    void AcceptLoopThreadProc();
    // Accepts every pending connection of one listener.
    void AcceptPending(bool tls);
    // Accept thread: hands a TLS connection to the receive thread for its handshake; adds
    // a plain one to the client list.
    void StartHandshake(int clientFd, const sockaddr_in& address);
    void AddPlainClient(int clientFd, const sockaddr_in& address);
    bool HasListener();
    std::shared_ptr<const Tls::TlsServerContext> CurrentTlsContext();
    void ReceiveDataLoopThreadProc();
    bool AddClient(int clientFd, uint64_t connectionId, std::shared_ptr<const ClientPeer> peer,
                   std::unique_ptr<Tls::TlsConnection> tls);
    bool PauseAccepting();
    bool BuildWaitSet(std::vector<pollfd>& waitSet, std::vector<uint64_t>& connectionIds);
    void WaitForClients(std::vector<pollfd>& waitSet);
    // Milliseconds the receive thread may wait: at most until the next handshake deadline.
    int WaitTimeout() const;
    void DrainReadable(const std::vector<pollfd>& waitSet,
                       const std::vector<uint64_t>& connectionIds, std::vector<Packet>& packets,
                       std::vector<ClientConnection>& resetList);
    void DrainClient(Client& client, std::vector<Packet>& packets,
                     std::vector<ClientConnection>& resetList);
    void DrainTlsClient(Client& client, std::vector<Packet>& packets,
                        std::vector<ClientConnection>& resetList);
    void CloseResetClients(std::vector<ClientConnection>& resetList);
    // Receive thread: after ReplaceTlsContext, closes the clients the new revocation list
    // revokes.
    void CloseRevokedClients(std::vector<ClientConnection>& resetList);
    // Receive thread: takes the connections the accept thread handed over, steps the
    // handshakes the wait found ready (from waitSet[first] on), ends those that failed or
    // ran out of time, and lets those that are done join the client list.
    void TakeNewHandshakes();
    void StepHandshakes(const std::vector<pollfd>& waitSet, size_t first,
                        std::vector<Packet>& packets, std::vector<ClientConnection>& resetList);
    void JoinClientList(Handshake& handshake, std::vector<Packet>& packets,
                        std::vector<ClientConnection>& resetList);
    // Under clientsListMutex_.
    bool SendToClient(size_t index, const std::vector<unsigned char>& data,
                      std::string_view hexText);
    bool SendToTlsClient(size_t index, const std::vector<unsigned char>& data);
    void CloseClientLocked(size_t index);
    size_t FindClient(int clientFd, uint64_t connectionId) const;
    void Wake();
    void ClearWake();

    // Guards the listeners' descriptors against a close racing a shutdown or an accept.
    std::mutex listenMutex_;
    Listener plain_{"server socket"};
    Listener tls_{"TLS server socket"};
    bool plainEnabled_ = true;
    // Guards the TLS context, which EnableTls sets and ReplaceTlsContext replaces.
    std::mutex tlsContextMutex_;
    // Each new TLS connection is made from the one current when it is accepted.
    std::shared_ptr<const Tls::TlsServerContext> tlsContext_;  // tlsContextMutex_
    // Set by ReplaceTlsContext, taken by the receive thread: the context whose revocation
    // list the clients in the list are still to be checked against.
    std::shared_ptr<const Tls::TlsServerContext> revocationCheck_;  // tlsContextMutex_
    std::chrono::milliseconds handshakeTimeout_;
    std::string bindAddress_;  // empty: every local address
    std::atomic<bool> acceptLoopRunning_{false};
    std::atomic<bool> receiveLoopRunning_{false};
    // Lets Stop cut short the accept thread's pause after a resource shortage.
    std::mutex pauseMutex_;
    std::condition_variable pauseEnded_;
    // Written to wake the receive thread's wait: a new client, a Send that left bytes
    // waiting, a replaced TLS context, or Stop.
    int wakeFd_ = -1;

    Threading::Mutex clientsListMutex_;
    // Guarded by clientsListMutex_; in order of acceptance.
    std::vector<Client> clients_;
    // Guarded by clientsListMutex_: where each connection id stands in clients_, so that a
    // send to one of many thousand clients does not search the list.
    std::unordered_map<uint64_t, size_t> clientIndex_;

    // TLS connections accepted and not yet taken by the receive thread.
    std::mutex newHandshakesMutex_;
    std::vector<Handshake> newHandshakes_;  // newHandshakesMutex_
    // Handshakes in progress: the receive thread's own (the owner's once it was joined).
    std::vector<Handshake> handshakes_;
    // The receive thread's buffer for what a TLS client sent.
    std::vector<unsigned char> tlsInput_;

    // Owned and touched by the owner's thread only.
    std::unique_ptr<Threading::Thread> acceptThread_;
    std::unique_ptr<Threading::Thread> receiveThread_;
};

}  // namespace Quarn::Net
