#include "net/ServerSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <limits>
#include <string>

#include "diagnostics/HexBytes.h"
#include "diagnostics/Log.h"
#include "net/PacketCutter.h"
#include "threading/MutexGuard.h"

namespace Quarn::Net {

namespace {

constexpr int kListenBacklog = 128;
constexpr int kListLockTimeoutSeconds = 5;
constexpr int kWaitTimeoutMilliseconds = 1000;
constexpr size_t kReadAreaSize = 1024;
// Bounds what one wake-up reads from one client, so a client that sends without pause
// neither holds the other clients up nor piles up bytes here.
constexpr int kMaxReadsPerWakeUp = 64;
// After a shortage of descriptors or memory the pending connection stays queued; retrying
// at once would only spin.
constexpr std::chrono::seconds kAcceptPauseAfterShortage{1};
constexpr size_t kNotFound = std::numeric_limits<size_t>::max();

// Process-wide, so ids stay unique across server socket instances.
std::atomic<uint64_t> nextConnectionId{1};

// Errors of one pending connection (or of a call interrupted by a signal): the listening
// socket is fine and accept is simply tried again.
bool IsConnectionError(int error) {
    switch (error) {
        case EINTR:
        case ECONNABORTED:
        case EPROTO:
        case ENETDOWN:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case ENONET:
        case EHOSTUNREACH:
        case EOPNOTSUPP:
        case ENETUNREACH:
        case EPERM:
            return true;
        default:
            return false;
    }
}

bool IsShortageError(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

}  // namespace

struct ServerSocket::Client {
    int fd;
    uint64_t connectionId;
    std::shared_ptr<const ClientPeer> peer;
    // Bytes of a packet not yet complete; they go with the connection.
    PacketCutter cutter;
};

struct ServerSocket::Packet {
    int clientFd;
    uint64_t connectionId;
    std::shared_ptr<const ClientPeer> peer;
    std::unique_ptr<std::vector<unsigned char>> bytes;
};

ServerSocket::ServerSocket(int port)
    : port_(port), clientsListMutex_("clientsListMutex", true, true) {
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

ServerSocket::~ServerSocket() {
    StopThreads();
    // The owner may be going too: closing the clients now reports nothing.
    ClientAcceptedCallback = nullptr;
    ClientDeletedCallback = nullptr;
    DataReceivedCallback = nullptr;
    CloseAllClients();
    if (wakeFd_ != -1) {
        ::close(wakeFd_);
    }
}

bool ServerSocket::InitSocket() {
    std::lock_guard<std::mutex> listenLock(listenMutex_);
    serverSocket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (serverSocket_ == -1) {
        LOG_ERROR << "Error init server socket. " << std::strerror(errno);
        return false;
    }
    int on = 1;
    ::setsockopt(serverSocket_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port_));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    bool ready = false;
    if (!bindAddress_.empty() &&
        ::inet_pton(AF_INET, bindAddress_.c_str(), &address.sin_addr) != 1) {
        LOG_ERROR << "Error on bind server socket. Not an IPv4 address: " << bindAddress_;
    } else if (::bind(serverSocket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == -1) {
        LOG_ERROR << "Error on bind server socket. " << std::strerror(errno);
    } else if (::listen(serverSocket_, kListenBacklog) == -1) {
        LOG_ERROR << "Error on listen server socket. " << std::strerror(errno);
    } else {
        ready = true;
    }
    if (!ready) {
        ::close(serverSocket_);
        serverSocket_ = -1;
        return false;
    }
    socklen_t length = sizeof address;
    if (::getsockname(serverSocket_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port_ = ntohs(address.sin_port);
    }
    return true;
}

void ServerSocket::StartAcceptLoop() {
    if (acceptLoopRunning_) {
        return;
    }
    acceptLoopRunning_ = true;
    acceptThread_ =
        std::make_unique<Threading::Thread>("accept", [this] { AcceptLoopThreadProc(); });
    acceptThread_->Start();
}

void ServerSocket::StartReceiveDataLoop() {
    if (receiveLoopRunning_) {
        return;
    }
    receiveLoopRunning_ = true;
    receiveThread_ =
        std::make_unique<Threading::Thread>("receive", [this] { ReceiveDataLoopThreadProc(); });
    receiveThread_->Start();
}

void ServerSocket::Stop() {
    StopThreads();
    CloseAllClients();
}

void ServerSocket::StopThreads() {
    {
        std::lock_guard<std::mutex> pauseLock(pauseMutex_);
        acceptLoopRunning_ = false;
        receiveLoopRunning_ = false;
    }
    pauseEnded_.notify_all();
    {
        // A blocked accept returns once its socket is shut down; a close alone would not
        // wake it.
        std::lock_guard<std::mutex> listenLock(listenMutex_);
        if (serverSocket_ != -1) {
            ::shutdown(serverSocket_, SHUT_RDWR);
        }
    }
    Wake();
    acceptThread_.reset();
    receiveThread_.reset();
    CloseServerSocket();
}

void ServerSocket::CloseAllClients() {
    Threading::MutexGuard guard(clientsListMutex_, false);
    if (!guard.Lock(kListLockTimeoutSeconds)) {
        return;
    }
    // From the last: no other client moves in the list.
    while (!clients_.empty()) {
        CloseClientLocked(clients_.size() - 1);
    }
}

void ServerSocket::CloseServerSocket() {
    std::lock_guard<std::mutex> listenLock(listenMutex_);
    if (serverSocket_ != -1) {
        ::shutdown(serverSocket_, SHUT_RDWR);
        ::close(serverSocket_);
        serverSocket_ = -1;
    }
}

void ServerSocket::AcceptLoopThreadProc() {
    if (ListeningSocket() == -1) {
        return;
    }
    LOG_VERBOSE << "Accept loop thread spawned.";
    while (acceptLoopRunning_) {
        // Read anew each turn: once closed, the number may belong to another socket.
        int listening = ListeningSocket();
        if (listening == -1) {
            break;
        }
        int clientFd = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
        if (clientFd == -1) {
            int error = errno;
            if (!acceptLoopRunning_) {
                break;
            }
            LOG_ERROR << "Accept loop received a broken socket on Accept() request. "
                      << "\n"
                      << "Error: " << std::strerror(error);
            if (IsConnectionError(error) || (IsShortageError(error) && PauseAccepting())) {
                continue;
            }
            CloseServerSocket();
            break;
        }
        LOG_VERBOSE << "Accepted connection with FD " << clientFd;
        // Answers are small and must not wait to be merged with later ones.
        int on = 1;
        ::setsockopt(clientFd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        uint64_t connectionId = nextConnectionId.fetch_add(1);
        auto peer = std::make_shared<const ClientPeer>(
            ClientPeer{kPlainIdentity, PeerAddressOf(clientFd), false});
        if (!AddClient(clientFd, connectionId, std::move(peer))) {
            // Nobody would ever read or close a descriptor that is not in the list.
            ::close(clientFd);
            continue;
        }
        Wake();
        if (ClientAcceptedCallback) {
            ClientAcceptedCallback(clientFd, connectionId);
        }
    }
    LOG_VERBOSE << "Accept loop thread closing.";
}

int ServerSocket::ListeningSocket() {
    std::lock_guard<std::mutex> listenLock(listenMutex_);
    return serverSocket_;
}

bool ServerSocket::AddClient(int clientFd, uint64_t connectionId,
                             std::shared_ptr<const ClientPeer> peer) {
    try {
        Threading::MutexGuard guard(clientsListMutex_, false);
        if (guard.Lock(kListLockTimeoutSeconds)) {
            clients_.push_back(Client{clientFd, connectionId, std::move(peer), PacketCutter()});
            clientIndex_[connectionId] = clients_.size() - 1;
            return true;
        }
    } catch (const std::exception&) {
        LOG_ERROR << "Error in lock of che clients list mutex.";
    }
    return false;
}

bool ServerSocket::PauseAccepting() {
    std::unique_lock<std::mutex> pauseLock(pauseMutex_);
    pauseEnded_.wait_for(pauseLock, kAcceptPauseAfterShortage,
                         [this] { return !acceptLoopRunning_; });
    return acceptLoopRunning_;
}

void ServerSocket::ReceiveDataLoopThreadProc() {
    LOG_VERBOSE << "Receive data loop thread spawned. ";
    std::vector<pollfd> waitSet;
    std::vector<uint64_t> connectionIds;
    std::vector<Packet> packets;
    std::vector<ClientConnection> resetList;
    while (receiveLoopRunning_) {
        if (!BuildWaitSet(waitSet, connectionIds)) {
            continue;
        }
        if (connectionIds.empty()) {
            WaitForClients(waitSet);
            continue;
        }
        int ready = ::poll(waitSet.data(), waitSet.size(), kWaitTimeoutMilliseconds);
        if (ready == 0) {
            continue;
        }
        if (ready == -1) {
            LOG_ERROR << "Error on select. Error: " << std::strerror(errno);
            LOG_ERROR << "Read select exits for timeout.";
            continue;
        }
        if (wakeFd_ != -1 && waitSet.back().revents != 0) {
            ClearWake();
        }
        DrainReadable(waitSet, connectionIds, packets, resetList);
        for (Packet& packet : packets) {
            LOG_VERBOSE << "Invoking DataReceivedCallback if not null.";
            if (DataReceivedCallback) {
                DataReceivedCallback(packet.clientFd, packet.connectionId, *packet.peer,
                                     std::move(packet.bytes));
            }
        }
        packets.clear();
        CloseResetClients(resetList);
    }
}

bool ServerSocket::BuildWaitSet(std::vector<pollfd>& waitSet,
                                std::vector<uint64_t>& connectionIds) {
    waitSet.clear();
    connectionIds.clear();
    {
        Threading::MutexGuard guard(clientsListMutex_, false);
        if (!guard.Lock(kListLockTimeoutSeconds)) {
            return false;
        }
        for (const Client& client : clients_) {
            waitSet.push_back(pollfd{client.fd, POLLIN, 0});
            connectionIds.push_back(client.connectionId);
        }
    }
    if (wakeFd_ != -1) {
        waitSet.push_back(pollfd{wakeFd_, POLLIN, 0});
    }
    return true;
}

void ServerSocket::WaitForClients(std::vector<pollfd>& waitSet) {
    if (waitSet.empty()) {
        ::poll(nullptr, 0, kWaitTimeoutMilliseconds);
        return;
    }
    if (::poll(waitSet.data(), waitSet.size(), kWaitTimeoutMilliseconds) > 0) {
        ClearWake();
    }
}

void ServerSocket::DrainReadable(const std::vector<pollfd>& waitSet,
                                 const std::vector<uint64_t>& connectionIds,
                                 std::vector<Packet>& packets,
                                 std::vector<ClientConnection>& resetList) {
    Threading::MutexGuard guard(clientsListMutex_, false);
    if (!guard.Lock(kListLockTimeoutSeconds)) {
        return;
    }
    for (size_t i = 0; i < connectionIds.size(); ++i) {
        if (waitSet[i].revents == 0) {
            continue;
        }
        // A client closed since the wait is skipped; a newer one on the same descriptor
        // is seen by the next wait.
        size_t index = FindClient(waitSet[i].fd, connectionIds[i]);
        if (index != kNotFound) {
            DrainClient(clients_[index], packets, resetList);
        }
    }
}

void ServerSocket::DrainClient(Client& client, std::vector<Packet>& packets,
                               std::vector<ClientConnection>& resetList) {
    LOG_VERBOSE << "Activity detected for socket " << client.fd;
    unsigned char area[kReadAreaSize];
    long total = 0;
    for (int reads = 0; reads < kMaxReadsPerWakeUp; ++reads) {
        // Never waits: a short receive time-out is rounded up to whole clock ticks (4 ms and
        // more) and made every request wait for it. What arrives later wakes the next poll.
        ssize_t received = ::recv(client.fd, area, sizeof area, MSG_DONTWAIT);
        if (received > 0) {
            total += received;
            client.cutter.Append(area, static_cast<size_t>(received));
            if (Diagnostics::IsLogged(Diagnostics::warning)) {
                LOG_WARNING << "Received on socket " << client.fd << "bytes: " << total
                            << " but expected size was: " << client.cutter.ExpectedSize();
            }
            while (auto packet = client.cutter.Next()) {
                packets.push_back(
                    Packet{client.fd, client.connectionId, client.peer, std::move(packet)});
            }
            continue;
        }
        int error = errno;
        if (total == 0) {
            // Readable but nothing there after all: not a hang-up.
            if (received == -1 && (error == EAGAIN || error == EWOULDBLOCK || error == EINTR)) {
                return;
            }
            LOG_WARNING << "Recv returned 0 for socket " << client.fd
                        << " with a receivedData buffer empty. It will be market for close.";
            resetList.push_back(ClientConnection{client.fd, client.connectionId, client.peer});
            return;
        }
        if (received == -1 && error != EAGAIN) {
            LOG_ERROR << "Error on select for socket " << client.fd << ". Error code: " << error
                      << ", Error: " << std::strerror(error);
        }
        if (Diagnostics::IsLogged(Diagnostics::warning)) {
            LOG_WARNING << "Received on socket " << client.fd << "bytes: " << total + received
                        << " but expected size was: " << client.cutter.ExpectedSize();
        }
        return;
    }
}

void ServerSocket::CloseResetClients(std::vector<ClientConnection>& resetList) {
    if (resetList.empty()) {
        return;
    }
    LOG_VERBOSE << "Clearing reset sockets list. Current socket to close: " << resetList.size();
    Threading::MutexGuard guard(clientsListMutex_, false);
    if (guard.Lock()) {
        for (const ClientConnection& reset : resetList) {
            size_t index = FindClient(reset.clientFd, reset.connectionId);
            if (index != kNotFound) {
                CloseClientLocked(index);
            }
        }
    }
    resetList.clear();
}

bool ServerSocket::Send(int clientFd, uint64_t connectionId,
                        const std::vector<unsigned char>& data) {
    if (clientFd == -1 || data.empty()) {
        return false;
    }
    Threading::MutexGuard guard(clientsListMutex_, false);
    if (!guard.Lock(kListLockTimeoutSeconds)) {
        return false;
    }
    size_t index = FindClient(clientFd, connectionId);
    return index != kNotFound && SendToClient(index, data);
}

bool ServerSocket::SendToClient(size_t index, const std::vector<unsigned char>& data) {
    const int clientFd = clients_[index].fd;
    if (Diagnostics::IsLogged(Diagnostics::info)) {
        LOG_INFO << "Sending data to server client. Message data: "
                 << Diagnostics::HexBytes(data, Diagnostics::HexStyle::LowerSpaced);
    }
    ssize_t sent = ::send(clientFd, data.data(), data.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent != static_cast<ssize_t>(data.size())) {
        LOG_ERROR << "Cannot send data to server socket " << clientFd;
        LOG_ERROR << "Socket " << clientFd << " will be closed.";
        CloseClientLocked(index);
        return false;
    }
    return true;
}

void ServerSocket::CloseClientLocked(size_t index) {
    ClientConnection closed{clients_[index].fd, clients_[index].connectionId, clients_[index].peer};
    clients_.erase(clients_.begin() + static_cast<std::ptrdiff_t>(index));
    clientIndex_.erase(closed.connectionId);
    for (size_t later = index; later < clients_.size(); ++later) {
        clientIndex_[clients_[later].connectionId] = later;
    }
    ::close(closed.clientFd);
    if (ClientDeletedCallback) {
        ClientDeletedCallback(closed.clientFd, closed.connectionId);
    }
}

std::vector<ClientConnection> ServerSocket::GetClientConnections() {
    std::vector<ClientConnection> copy;
    Threading::MutexGuard guard(clientsListMutex_, false);
    if (guard.Lock()) {
        copy.reserve(clients_.size());
        for (const Client& client : clients_) {
            copy.push_back(ClientConnection{client.fd, client.connectionId, client.peer});
        }
    }
    return copy;
}

size_t ServerSocket::FindClient(int clientFd, uint64_t connectionId) const {
    auto found = clientIndex_.find(connectionId);
    if (found == clientIndex_.end() || clients_[found->second].fd != clientFd) {
        return kNotFound;
    }
    return found->second;
}

void ServerSocket::Wake() {
    if (wakeFd_ != -1) {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t written = ::write(wakeFd_, &one, sizeof one);
    }
}

void ServerSocket::ClearWake() {
    uint64_t count;
    [[maybe_unused]] ssize_t read = ::read(wakeFd_, &count, sizeof count);
}

}  // namespace Quarn::Net
