#pragma once
// The listening TCP endpoint for client applications. Owns the listening socket, the
// connected client sockets and two threads: the accept thread adds new connections to the
// client list; the receive thread waits on all client sockets, drains the readable ones,
// cuts what arrived into packets by their length prefix and hands each packet to the owner.
//
// Every accepted connection gets a process-unique connection id. A descriptor number is
// reused by the system once its connection is closed, so whoever keeps a client for later
// (to send it an answer) keeps the pair (descriptor, id): Send with an id reaches that
// connection only, never a newer one that got the same descriptor.
//
// Calling order for the owner: construct, assign the callbacks, InitSocket, and only if it
// succeeded StartAcceptLoop then StartReceiveDataLoop. Construction, InitSocket, the Start
// operations, Stop and destruction belong to the owner's thread; Send and
// GetClientConnections may be called from any thread.

#include <poll.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "net/ClientPeer.h"
#include "threading/Mutex.h"
#include "threading/Thread.h"

namespace Quarn::Net {

// One connected client as the owner sees it.
struct ClientConnection {
    int clientFd;
    uint64_t connectionId;
    std::shared_ptr<const ClientPeer> peer;
};

class ServerSocket {
public:
    using ClientCallback = std::function<void(int clientFd, uint64_t connectionId)>;
    using DataCallback =
        std::function<void(int clientFd, uint64_t connectionId, const ClientPeer& peer,
                           std::unique_ptr<std::vector<unsigned char>> packet)>;

    // Port 0 lets the system pick a free port; GetPort tells it after InitSocket.
    explicit ServerSocket(int port);
    // Stops and joins both threads and closes every descriptor. Callbacks may run until the
    // threads are joined, none after: an owner whose callbacks must not outlive it calls
    // Stop first.
    ~ServerSocket();
    ServerSocket(const ServerSocket&) = delete;
    ServerSocket& operator=(const ServerSocket&) = delete;

    // The callbacks: assigned by the owner before InitSocket and left alone while the
    // threads run; an empty one is not called. None may throw.
    // Accept thread, clientsListMutex not held, after the client joined the list: the
    // receive thread may report its data, or its hang-up, before this call is made.
    ClientCallback ClientAcceptedCallback;
    // The thread that closes the client (receive thread, a Send caller, Stop), with
    // clientsListMutex held: it must not call this server socket, nor wait for a lock that
    // a Send caller may hold.
    ClientCallback ClientDeletedCallback;
    // Receive thread, clientsListMutex not held; the callee owns the packet (one whole
    // packet, length prefix included). It may call Send and GetClientConnections.
    DataCallback DataReceivedCallback;

    // Creates, binds (any local address) and listens. True on success; on failure the
    // reason is logged and no socket stays open.
    bool InitSocket();
    // Listen on this local IPv4 address only instead of every address; before InitSocket.
    void SetBindAddress(std::string address) { bindAddress_ = std::move(address); }
    // The listening port: the bound one once InitSocket succeeded, else the one given.
    int GetPort() const { return port_; }

    // Each starts its thread once; a second call does nothing.
    void StartAcceptLoop();
    void StartReceiveDataLoop();

    // Ends and joins both threads, closes the listening socket and every client (each
    // reported through ClientDeletedCallback). Not to be called from a callback.
    void Stop();

    // Sends the bytes whole, without blocking, to the connection clientFd belongs to,
    // while it still belongs to connectionId. False, with nothing sent or closed, for -1,
    // for empty data (no system call) and for a descriptor that no longer belongs to that
    // connection; false for a send that fails, would block or is short: that client is
    // then closed, since its stream can no longer be trusted.
    bool Send(int clientFd, uint64_t connectionId, const std::vector<unsigned char>& data);

    // A copy of the client list, in order of acceptance.
    std::vector<ClientConnection> GetClientConnections();

private:
    struct Client;
    struct Packet;

    void StopThreads();
    // Closes the listening socket if open (a blocked accept returns).
    void CloseServerSocket();
    void CloseAllClients();
    void AcceptLoopThreadProc();
    int ListeningSocket();
    void ReceiveDataLoopThreadProc();
    bool AddClient(int clientFd, uint64_t connectionId, std::shared_ptr<const ClientPeer> peer);
    bool PauseAccepting();
    bool BuildWaitSet(std::vector<pollfd>& waitSet, std::vector<uint64_t>& connectionIds);
    void WaitForClients(std::vector<pollfd>& waitSet);
    void DrainReadable(const std::vector<pollfd>& waitSet,
                       const std::vector<uint64_t>& connectionIds, std::vector<Packet>& packets,
                       std::vector<ClientConnection>& resetList);
    void DrainClient(Client& client, std::vector<Packet>& packets,
                     std::vector<ClientConnection>& resetList);
    void CloseResetClients(std::vector<ClientConnection>& resetList);
    // Under clientsListMutex_.
    bool SendToClient(size_t index, const std::vector<unsigned char>& data);
    void CloseClientLocked(size_t index);
    size_t FindClient(int clientFd, uint64_t connectionId) const;
    void Wake();
    void ClearWake();

    // Guards serverSocket_ against a close racing a shutdown or an accept on it.
    std::mutex listenMutex_;
    int serverSocket_ = -1;
    int port_;
    std::string bindAddress_;  // empty: every local address
    std::atomic<bool> acceptLoopRunning_{false};
    std::atomic<bool> receiveLoopRunning_{false};
    // Lets Stop cut short the accept thread's pause after a resource shortage.
    std::mutex pauseMutex_;
    std::condition_variable pauseEnded_;
    // Written to wake the receive thread's wait: a new client, or Stop.
    int wakeFd_ = -1;

    Threading::Mutex clientsListMutex_;
    // Guarded by clientsListMutex_; in order of acceptance.
    std::vector<Client> clients_;
    // Guarded by clientsListMutex_: where each connection id stands in clients_, so that a
    // send to one of many thousand clients does not search the list.
    std::unordered_map<uint64_t, size_t> clientIndex_;

    // Owned and touched by the owner's thread only.
    std::unique_ptr<Threading::Thread> acceptThread_;
    std::unique_ptr<Threading::Thread> receiveThread_;
};

}  // namespace Quarn::Net
