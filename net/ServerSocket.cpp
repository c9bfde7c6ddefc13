#include "net/ServerSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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
#include "tls/TlsConnection.h"

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

// "ip:port" of an accepted IPv4 peer.
std::string AddressText(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

// "10 s", or "250 ms" for a time-out that is not whole seconds.
std::string DurationText(std::chrono::milliseconds duration) {
    return duration.count() % 1000 == 0 ? std::to_string(duration.count() / 1000) + " s"
                                        : std::to_string(duration.count()) + " ms";
}

}  // namespace

struct ServerSocket::Client {
    int fd;
    uint64_t connectionId;
    // Bytes of a packet not yet complete; they go with the connection.
    PacketCutter cutter;
    std::shared_ptr<const ClientPeer> peer;
    // A TLS client's connection; null for a plain client. Used under clientsListMutex_
    // only, so that Send and the receive thread take turns.
    std::unique_ptr<Tls::TlsConnection> tls;
};

struct ServerSocket::Packet {
    int clientFd;
    uint64_t connectionId;
    std::shared_ptr<const ClientPeer> peer;
    std::unique_ptr<std::vector<unsigned char>> bytes;
};

struct ServerSocket::Handshake {
    int fd;
    std::unique_ptr<Tls::TlsConnection> tls;
    std::chrono::steady_clock::time_point deadline;
};

ServerSocket::ServerSocket(int port)
    : handshakeTimeout_(Tls::TlsConnection::kHandshakeTimeout),
      clientsListMutex_("clientsListMutex", true, true) {
    plain_.port = port;
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

ServerSocket::~ServerSocket() {
    StopThreads();
    // The owner may be going too: closing the clients now reports nothing.
    ClientAcceptedCallback = nullptr;
    ClientDeletedCallback = nullptr;
    DataReceivedCallback = nullptr;
    CloseAllClients();
    CloseHandshakes();
    if (wakeFd_ != -1) {
        ::close(wakeFd_);
    }
}

void ServerSocket::EnableTls(int port, std::shared_ptr<const Tls::TlsServerContext> context) {
    tls_.port = port;
    std::lock_guard<std::mutex> tlsLock(tlsContextMutex_);
    tlsContext_ = std::move(context);
}

void ServerSocket::ReplaceTlsContext(std::shared_ptr<const Tls::TlsServerContext> context) {
    {
        std::lock_guard<std::mutex> tlsLock(tlsContextMutex_);
        tlsContext_ = context;
        revocationCheck_ = std::move(context);
    }
    Wake();
}

std::shared_ptr<const Tls::TlsServerContext> ServerSocket::CurrentTlsContext() {
    std::lock_guard<std::mutex> tlsLock(tlsContextMutex_);
    return tlsContext_;
}

bool ServerSocket::InitSocket() {
    const bool tls = CurrentTlsContext() != nullptr;
    std::lock_guard<std::mutex> listenLock(listenMutex_);
    if (!plainEnabled_ && !tls) {
        LOG_ERROR << "Error init server socket. No listener: the plain listener is off and TLS "
                     "is not enabled.";
        return false;
    }
    if ((plainEnabled_ && !OpenListener(plain_)) || (tls && !OpenListener(tls_))) {
        for (Listener* listener : {&plain_, &tls_}) {
            if (listener->fd != -1) {
                ::close(listener->fd);
                listener->fd = -1;
            }
        }
        return false;
    }
    return true;
}

bool ServerSocket::OpenListener(Listener& listener) {
    // Non-blocking: the accept thread waits on both listeners and accepts what is ready.
    listener.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listener.fd == -1) {
        LOG_ERROR << "Error init " << listener.name << ". " << std::strerror(errno);
        return false;
    }
    int on = 1;
    ::setsockopt(listener.fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(listener.port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    bool ready = false;
    if (!bindAddress_.empty() &&
        ::inet_pton(AF_INET, bindAddress_.c_str(), &address.sin_addr) != 1) {
        LOG_ERROR << "Error on bind " << listener.name << ". Not an IPv4 address: " << bindAddress_;
    } else if (::bind(listener.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == -1) {
        LOG_ERROR << "Error on bind " << listener.name << ". " << std::strerror(errno);
    } else if (::listen(listener.fd, kListenBacklog) == -1) {
        LOG_ERROR << "Error on listen " << listener.name << ". " << std::strerror(errno);
    } else {
        ready = true;
    }
    if (!ready) {
        ::close(listener.fd);
        listener.fd = -1;
        return false;
    }
    socklen_t length = sizeof address;
    if (::getsockname(listener.fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        listener.port = ntohs(address.sin_port);
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
    CloseHandshakes();
}

void ServerSocket::StopThreads() {
    {
        std::lock_guard<std::mutex> pauseLock(pauseMutex_);
        acceptLoopRunning_ = false;
        receiveLoopRunning_ = false;
    }
    pauseEnded_.notify_all();
    {
        // A waiting accept thread returns once its sockets are shut down; a close alone
        // would not wake it.
        std::lock_guard<std::mutex> listenLock(listenMutex_);
        for (Listener* listener : {&plain_, &tls_}) {
            if (listener->fd != -1) {
                ::shutdown(listener->fd, SHUT_RDWR);
            }
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

void ServerSocket::CloseHandshakes() {
    TakeNewHandshakes();
    for (Handshake& handshake : handshakes_) {
        handshake.tls.reset();
        ::close(handshake.fd);
    }
    handshakes_.clear();
}

void ServerSocket::CloseServerSocket() {
    std::lock_guard<std::mutex> listenLock(listenMutex_);
    for (Listener* listener : {&plain_, &tls_}) {
        if (listener->fd != -1) {
            ::shutdown(listener->fd, SHUT_RDWR);
            ::close(listener->fd);
            listener->fd = -1;
        }
    }
}

void ServerSocket::AcceptLoopThreadProc() {
    if (!HasListener()) {
        return;
    }
    LOG_VERBOSE << "Accept loop thread spawned.";
    while (acceptLoopRunning_) {
        // Read anew each turn: once closed, a number may belong to another socket.
        pollfd listening[2];
        bool isTls[2];
        nfds_t count = 0;
        {
            std::lock_guard<std::mutex> listenLock(listenMutex_);
            for (const Listener* listener : {&plain_, &tls_}) {
                if (listener->fd != -1) {
                    listening[count] = pollfd{listener->fd, POLLIN, 0};
                    isTls[count++] = listener == &tls_;
                }
            }
        }
        if (count == 0) {
            break;
        }
        if (::poll(listening, count, -1) == -1 && errno != EINTR) {
            LOG_ERROR << "Accept loop cannot wait for connections. Error: " << std::strerror(errno);
            break;
        }
        for (nfds_t i = 0; i < count && acceptLoopRunning_; ++i) {
            if (listening[i].revents != 0) {
                AcceptPending(isTls[i]);
            }
        }
    }
    LOG_VERBOSE << "Accept loop thread closing.";
}

bool ServerSocket::HasListener() {
    std::lock_guard<std::mutex> listenLock(listenMutex_);
    return plain_.fd != -1 || tls_.fd != -1;
}

void ServerSocket::AcceptPending(bool tls) {
    Listener& listener = tls ? tls_ : plain_;
    for (;;) {
        int listening = -1;
        {
            std::lock_guard<std::mutex> listenLock(listenMutex_);
            listening = listener.fd;
        }
        if (listening == -1) {
            return;
        }
        sockaddr_in address{};
        socklen_t length = sizeof address;
        int clientFd =
            ::accept4(listening, reinterpret_cast<sockaddr*>(&address), &length, SOCK_CLOEXEC);
        if (clientFd == -1) {
            int error = errno;
            if (error == EAGAIN || error == EWOULDBLOCK || !acceptLoopRunning_) {
                return;
            }
            LOG_ERROR << "Accept loop received a broken socket on Accept() request. "
                      << "\n"
                      << "Error: " << std::strerror(error);
            if (IsConnectionError(error)) {
                continue;
            }
            if (IsShortageError(error)) {
                // The connection stays queued; the next wait finds it again.
                PauseAccepting();
                return;
            }
            std::lock_guard<std::mutex> listenLock(listenMutex_);
            ::close(listener.fd);
            listener.fd = -1;
            return;
        }
        // Answers are small and must not wait to be merged with later ones.
        int on = 1;
        ::setsockopt(clientFd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        if (tls) {
            StartHandshake(clientFd, address);
        } else {
            AddPlainClient(clientFd, address);
        }
    }
}

void ServerSocket::StartHandshake(int clientFd, const sockaddr_in& address) {
    LOG_VERBOSE << "Accepted TLS connection with FD " << clientFd;
    auto connection =
        std::make_unique<Tls::TlsConnection>(*CurrentTlsContext(), clientFd, AddressText(address));
    {
        std::lock_guard<std::mutex> handshakesLock(newHandshakesMutex_);
        newHandshakes_.push_back(Handshake{clientFd, std::move(connection),
                                           std::chrono::steady_clock::now() + handshakeTimeout_});
    }
    Wake();
}

void ServerSocket::AddPlainClient(int clientFd, const sockaddr_in& address) {
    LOG_VERBOSE << "Accepted connection with FD " << clientFd;
    uint64_t connectionId = nextConnectionId.fetch_add(1);
    auto peer =
        std::make_shared<const ClientPeer>(ClientPeer{kPlainIdentity, AddressText(address), false});
    if (!AddClient(clientFd, connectionId, std::move(peer), nullptr)) {
        // Nobody would ever read or close a descriptor that is not in the list.
        ::close(clientFd);
        return;
    }
    Wake();
    if (ClientAcceptedCallback) {
        ClientAcceptedCallback(clientFd, connectionId);
    }
}

bool ServerSocket::AddClient(int clientFd, uint64_t connectionId,
                             std::shared_ptr<const ClientPeer> peer,
                             std::unique_ptr<Tls::TlsConnection> tls) {
    try {
        Threading::MutexGuard guard(clientsListMutex_, false);
        if (guard.Lock(kListLockTimeoutSeconds)) {
            clients_.push_back(
                Client{clientFd, connectionId, PacketCutter(), std::move(peer), std::move(tls)});
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
        TakeNewHandshakes();
        CloseRevokedClients(resetList);
        if (!BuildWaitSet(waitSet, connectionIds)) {
            continue;
        }
        if (connectionIds.empty() && handshakes_.empty()) {
            WaitForClients(waitSet);
            continue;
        }
        int ready = ::poll(waitSet.data(), waitSet.size(), WaitTimeout());
        if (ready == -1) {
            LOG_ERROR << "Error on select. Error: " << std::strerror(errno);
            LOG_ERROR << "Read select exits for timeout.";
            continue;
        }
        if (ready > 0) {
            if (wakeFd_ != -1 && waitSet.back().revents != 0) {
                ClearWake();
            }
            DrainReadable(waitSet, connectionIds, packets, resetList);
        }
        // Also when nothing was ready: a handshake may have run out of time.
        StepHandshakes(waitSet, connectionIds.size(), packets, resetList);
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
            const short events = client.tls ? client.tls->PollEvents() : short{POLLIN};
            waitSet.push_back(pollfd{client.fd, events, 0});
            connectionIds.push_back(client.connectionId);
        }
    }
    for (const Handshake& handshake : handshakes_) {
        waitSet.push_back(pollfd{handshake.fd, handshake.tls->PollEvents(), 0});
    }
    if (wakeFd_ != -1) {
        waitSet.push_back(pollfd{wakeFd_, POLLIN, 0});
    }
    return true;
}

int ServerSocket::WaitTimeout() const {
    // Waking for nothing costs a pass over every client: with none of them due, the wait
    // ends only when a client is ready or the wake descriptor is written (a new client, a
    // Send that left bytes waiting, Stop).
    if (handshakes_.empty()) {
        return wakeFd_ != -1 ? -1 : kWaitTimeoutMilliseconds;
    }
    auto first = std::min_element(
        handshakes_.begin(), handshakes_.end(),
        [](const Handshake& a, const Handshake& b) { return a.deadline < b.deadline; });
    auto left = std::chrono::ceil<std::chrono::milliseconds>(first->deadline -
                                                             std::chrono::steady_clock::now());
    return static_cast<int>(std::clamp<int64_t>(left.count(), 0, std::numeric_limits<int>::max()));
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
    if (client.tls) {
        DrainTlsClient(client, packets, resetList);
        return;
    }
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
            resetList.push_back(ClientConnection{client.fd, client.connectionId});
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

void ServerSocket::DrainTlsClient(Client& client, std::vector<Packet>& packets,
                                  std::vector<ClientConnection>& resetList) {
    // Read also sends on what Send left waiting in the connection.
    tlsInput_.clear();
    const Tls::TlsConnection::IoStatus status = client.tls->Read(tlsInput_);
    if (!tlsInput_.empty()) {
        client.cutter.Append(tlsInput_.data(), tlsInput_.size());
        while (auto packet = client.cutter.Next()) {
            packets.push_back(
                Packet{client.fd, client.connectionId, client.peer, std::move(packet)});
        }
    }
    if (status == Tls::TlsConnection::IoStatus::Closed) {
        LOG_INFO << "TLS client " << client.peer->identity << " at " << client.peer->address
                 << " closed the connection on socket " << client.fd << ".";
        resetList.push_back(ClientConnection{client.fd, client.connectionId});
    } else if (status == Tls::TlsConnection::IoStatus::Failed) {
        LOG_WARNING << "TLS connection with " << client.peer->address << " ("
                    << client.peer->identity << ") failed: " << client.tls->FailureReason() << ".";
        resetList.push_back(ClientConnection{client.fd, client.connectionId});
    }
}

void ServerSocket::TakeNewHandshakes() {
    std::lock_guard<std::mutex> handshakesLock(newHandshakesMutex_);
    std::move(newHandshakes_.begin(), newHandshakes_.end(), std::back_inserter(handshakes_));
    newHandshakes_.clear();
}

void ServerSocket::StepHandshakes(const std::vector<pollfd>& waitSet, size_t first,
                                  std::vector<Packet>& packets,
                                  std::vector<ClientConnection>& resetList) {
    using Status = Tls::TlsConnection::HandshakeStatus;
    const auto now = std::chrono::steady_clock::now();
    // Only those in this wait set: the wait may have missed what was handed over since.
    const size_t waited = std::min(handshakes_.size(), waitSet.size() - first);
    std::vector<Handshake> stillRunning;
    for (size_t i = 0; i < handshakes_.size(); ++i) {
        Handshake& handshake = handshakes_[i];
        Status status = Status::WantsRead;
        if (i < waited && waitSet[first + i].revents != 0) {
            status = handshake.tls->Handshake();
        }
        if (status == Status::Done) {
            JoinClientList(handshake, packets, resetList);
            continue;
        }
        if (status == Status::Failed || now >= handshake.deadline) {
            LOG_WARNING << "TLS handshake with " << handshake.tls->PeerAddress() << " failed: "
                        << (status == Status::Failed
                                ? handshake.tls->FailureReason()
                                : "not done within " + DurationText(handshakeTimeout_))
                        << ".";
            handshake.tls.reset();
            ::close(handshake.fd);
            continue;
        }
        stillRunning.push_back(std::move(handshake));
    }
    handshakes_.swap(stillRunning);
}

void ServerSocket::JoinClientList(Handshake& handshake, std::vector<Packet>& packets,
                                  std::vector<ClientConnection>& resetList) {
    const int fd = handshake.fd;
    // It may have begun with a context replaced since: the current revocation list decides.
    if (CurrentTlsContext()->Revokes(*handshake.tls)) {
        LOG_WARNING << "TLS handshake with " << handshake.tls->PeerAddress()
                    << " failed: certificate revoked: CN=" << handshake.tls->PeerIdentity() << ".";
        handshake.tls.reset();
        ::close(fd);
        return;
    }
    const uint64_t connectionId = nextConnectionId.fetch_add(1);
    auto peer = std::make_shared<const ClientPeer>(
        ClientPeer{handshake.tls->PeerIdentity(), handshake.tls->PeerAddress(), true});
    LOG_INFO << "TLS client " << peer->identity << " at " << peer->address << " connected ("
             << handshake.tls->Protocol() << ") on socket " << fd << ".";
    if (!AddClient(fd, connectionId, std::move(peer), std::move(handshake.tls))) {
        ::close(fd);
        return;
    }
    if (ClientAcceptedCallback) {
        ClientAcceptedCallback(fd, connectionId);
    }
    // The client's first bytes may have come with the end of its handshake: poll would
    // not report them again.
    Threading::MutexGuard guard(clientsListMutex_, false);
    if (guard.Lock(kListLockTimeoutSeconds)) {
        size_t index = FindClient(fd, connectionId);
        if (index != kNotFound) {
            DrainClient(clients_[index], packets, resetList);
        }
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

void ServerSocket::CloseRevokedClients(std::vector<ClientConnection>& resetList) {
    std::shared_ptr<const Tls::TlsServerContext> context;
    {
        std::lock_guard<std::mutex> tlsLock(tlsContextMutex_);
        context = std::move(revocationCheck_);
    }
    if (!context) {
        return;
    }
    {
        Threading::MutexGuard guard(clientsListMutex_, false);
        if (!guard.Lock()) {
            return;
        }
        for (const Client& client : clients_) {
            if (client.tls && context->Revokes(*client.tls)) {
                LOG_WARNING << "TLS client " << client.peer->identity << " at "
                            << client.peer->address << " disconnected on socket " << client.fd
                            << ": its certificate is revoked by the new revocation list.";
                resetList.push_back(ClientConnection{client.fd, client.connectionId});
            }
        }
    }
    CloseResetClients(resetList);
}

bool ServerSocket::Send(int clientFd, uint64_t connectionId, const std::vector<unsigned char>& data,
                        std::string_view hexText) {
    if (clientFd == -1 || data.empty()) {
        return false;
    }
    Threading::MutexGuard guard(clientsListMutex_, false);
    if (!guard.Lock(kListLockTimeoutSeconds)) {
        return false;
    }
    size_t index = FindClient(clientFd, connectionId);
    return index != kNotFound && SendToClient(index, data, hexText);
}

bool ServerSocket::SendToClient(size_t index, const std::vector<unsigned char>& data,
                                std::string_view hexText) {
    const int clientFd = clients_[index].fd;
    if (Diagnostics::IsLogged(Diagnostics::info)) {
        if (hexText.empty()) {
            LOG_INFO << "Sending data to server client. Message data: "
                     << Diagnostics::HexBytes(data, Diagnostics::HexStyle::LowerSpaced);
        } else {
            LOG_INFO << "Sending data to server client. Message data: " << hexText;
        }
    }
    if (clients_[index].tls) {
        return SendToTlsClient(index, data);
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

bool ServerSocket::SendToTlsClient(size_t index, const std::vector<unsigned char>& data) {
    Tls::TlsConnection& connection = *clients_[index].tls;
    const size_t waitingBefore = connection.PendingOutput();
    const Tls::TlsConnection::IoStatus status = connection.Write(data);
    const size_t waiting = connection.PendingOutput();
    if (status == Tls::TlsConnection::IoStatus::Ok ||
        (status == Tls::TlsConnection::IoStatus::WouldBlock && waiting <= kMaxPendingTlsOutput)) {
        if (waiting > 0 && waitingBefore == 0) {
            Wake();  // the receive thread's wait must now ask for POLLOUT too
        }
        return true;
    }
    const int clientFd = clients_[index].fd;
    if (status == Tls::TlsConnection::IoStatus::WouldBlock) {
        LOG_ERROR << "Cannot send data to server socket " << clientFd << ": " << waiting
                  << " bytes wait for the TLS client " << clients_[index].peer->identity
                  << ", more than " << kMaxPendingTlsOutput;
    } else {
        LOG_ERROR << "Cannot send data to server socket " << clientFd << ": "
                  << (status == Tls::TlsConnection::IoStatus::Closed
                          ? std::string("the TLS connection is closed")
                          : connection.FailureReason());
    }
    LOG_ERROR << "Socket " << clientFd << " will be closed.";
    CloseClientLocked(index);
    return false;
}

void ServerSocket::CloseClientLocked(size_t index) {
    ClientConnection closed{clients_[index].fd, clients_[index].connectionId};
    if (clients_[index].tls) {
        clients_[index].tls->Close();
        clients_[index].tls.reset();
    }
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
