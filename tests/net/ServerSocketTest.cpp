#include "net/ServerSocket.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "diagnostics/Log.h"
#include "diagnostics/Logger.h"
#include "tests/support/TestLog.h"
#include "tests/support/TestSupport.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Quarn::Net::ClientConnection;
using Quarn::Net::ServerSocket;
using namespace std::chrono_literals;

std::string MakePacket(size_t length, char fill) {
    std::string packet{static_cast<char>(length & 0xFF), static_cast<char>(length >> 8)};
    packet += "MUXM";
    packet.resize(length, fill);
    return packet;
}

// True when the peer has closed the connection (read end of stream) within 5 seconds.
bool PeerClosed(int fd) {
    pollfd waiting{fd, POLLIN, 0};
    char byte;
    return ::poll(&waiting, 1, 5000) == 1 && ::recv(fd, &byte, 1, MSG_DONTWAIT) == 0;
}

bool operator==(const ClientConnection& a, const ClientConnection& b) {
    return a.clientFd == b.clientFd && a.connectionId == b.connectionId;
}

// A server socket on a port the system picks, whose callbacks record what they see.
class ServerSocketTest : public ::testing::Test {
protected:
    struct Received {
        ClientConnection from;
        std::string packet;
    };

    void SetUp() override {
        TestSupport::CaptureLog();
        server_.ClientAcceptedCallback = [this](int fd, uint64_t id) {
            std::lock_guard<std::mutex> lock(mutex_);
            accepted_.push_back({fd, id});
            events_.push_back("accepted");
        };
        server_.ClientDeletedCallback = [this](int fd, uint64_t id) {
            std::lock_guard<std::mutex> lock(mutex_);
            deleted_.push_back({fd, id});
            events_.push_back("deleted");
        };
        server_.DataReceivedCallback = [this](int fd, uint64_t id, const Quarn::Net::ClientPeer&,
                                              std::unique_ptr<Bytes> packet) {
            std::lock_guard<std::mutex> lock(mutex_);
            received_.push_back({{fd, id}, std::string(packet->begin(), packet->end())});
            events_.push_back("data");
        };
    }

    void TearDown() override {
        // The callbacks use this fixture: no thread may call them once it goes.
        server_.Stop();
        for (int fd : peers_) {
            ::close(fd);
        }
    }

    void Start(bool receive = true) {
        ASSERT_TRUE(server_.InitSocket());
        ASSERT_GT(server_.GetPort(), 0);
        server_.StartAcceptLoop();
        if (receive) {
            server_.StartReceiveDataLoop();
        }
    }

    // Connects a client and waits until the server has accepted it.
    int Connect(ClientConnection& accepted) {
        size_t before = Accepted().size();
        int fd = TestSupport::ConnectTo(server_.GetPort());
        peers_.push_back(fd);
        EXPECT_NE(fd, -1);
        EXPECT_TRUE(TestSupport::WaitFor([&] { return Accepted().size() > before; }));
        accepted = Accepted().back();
        return fd;
    }

    std::vector<ClientConnection> Accepted() {
        std::lock_guard<std::mutex> lock(mutex_);
        return accepted_;
    }
    std::vector<ClientConnection> Deleted() {
        std::lock_guard<std::mutex> lock(mutex_);
        return deleted_;
    }
    std::vector<Received> ReceivedPackets() {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }
    std::vector<std::string> Events() {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    // The descriptors of the listed clients, in the server's order.
    std::vector<int> ListedFds() {
        std::vector<int> fds;
        for (const ClientConnection& client : server_.GetClientConnections()) {
            fds.push_back(client.clientFd);
        }
        return fds;
    }

    ServerSocket server_{0};
    std::vector<int> peers_;

private:
    std::mutex mutex_;
    std::vector<ClientConnection> accepted_;
    std::vector<ClientConnection> deleted_;
    std::vector<Received> received_;
    std::vector<std::string> events_;
};

TEST_F(ServerSocketTest, ClientIsListedFromAcceptUntilItHangsUp) {
    Start();
    ClientConnection first{};
    ClientConnection second{};
    int firstPeer = Connect(first);
    Connect(second);
    EXPECT_NE(first.connectionId, second.connectionId);
    // Answers are small: they must not wait for more to send.
    int noDelay = 0;
    socklen_t size = sizeof noDelay;
    ASSERT_EQ(::getsockopt(first.clientFd, IPPROTO_TCP, TCP_NODELAY, &noDelay, &size), 0);
    EXPECT_NE(noDelay, 0);
    auto listed = server_.GetClientConnections();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_TRUE(listed[0] == first && listed[1] == second);

    // A packet sent just before the hang-up is still delivered, then the client goes.
    std::string packet = MakePacket(30, 'p');
    ASSERT_TRUE(TestSupport::SendAll(firstPeer, packet));
    ::close(firstPeer);
    peers_.erase(peers_.begin());
    ASSERT_TRUE(TestSupport::WaitFor([&] { return Deleted().size() == 1; }));
    EXPECT_TRUE(Deleted()[0] == first);
    ASSERT_EQ(ReceivedPackets().size(), 1u);
    EXPECT_EQ(ReceivedPackets()[0].packet, packet);
    EXPECT_EQ(Events(), (std::vector<std::string>{"accepted", "accepted", "data", "deleted"}));
    EXPECT_EQ(ListedFds(), std::vector<int>{second.clientFd});
}

TEST_F(ServerSocketTest, PacketsAreCutOutOfTheStreamWhole) {
    Start();
    ClientConnection client{};
    int peer = Connect(client);
    TestSupport::LogTail log;

    // Two packets in one write; then one packet in two bursts, the second sent only after
    // the server has read the first; then one of 1500 bytes.
    std::string first = MakePacket(12, 'a');
    std::string second = MakePacket(7, 'b');
    std::string split = MakePacket(300, 'c');
    std::string big = MakePacket(1500, 'd');
    ASSERT_TRUE(TestSupport::SendAll(peer, first + second + split.substr(0, 100)));
    // The drain's last line names the packet left waiting.
    ASSERT_TRUE(log.WaitFor(" but expected size was: 300"));
    ASSERT_TRUE(TestSupport::SendAll(peer, split.substr(100) + big));

    ASSERT_TRUE(TestSupport::WaitFor([&] { return ReceivedPackets().size() == 4; }));
    auto received = ReceivedPackets();
    EXPECT_EQ(received[0].packet, first);
    EXPECT_EQ(received[1].packet, second);
    EXPECT_EQ(received[2].packet, split);
    EXPECT_EQ(received[3].packet, big);
    for (const Received& packet : received) {
        EXPECT_TRUE(packet.from == client);
    }
}

TEST_F(ServerSocketTest, SendReachesOnlyTheConnectionItWasMeantFor) {
    Start();
    ClientConnection old{};
    int oldPeer = Connect(old);
    Bytes answer{'{', '}'};
    ASSERT_TRUE(server_.Send(old.clientFd, old.connectionId, answer));
    EXPECT_EQ(TestSupport::ReceiveFor(oldPeer, 2, 5s), "{}");

    ::close(oldPeer);
    peers_.clear();
    ASSERT_TRUE(TestSupport::WaitFor([&] { return Deleted().size() == 1; }));
    ClientConnection newer{};
    int newPeer = Connect(newer);
    EXPECT_NE(newer.connectionId, old.connectionId);

    // An answer for the old connection must not reach the new one, whatever descriptor it
    // got, nor close it.
    Bytes stale{'o', 'l', 'd'};
    EXPECT_FALSE(server_.Send(old.clientFd, old.connectionId, stale));
    EXPECT_FALSE(server_.Send(newer.clientFd, old.connectionId, stale));
    Bytes fresh{'n', 'e', 'w'};
    ASSERT_TRUE(server_.Send(newer.clientFd, newer.connectionId, fresh));
    EXPECT_EQ(TestSupport::ReceiveFor(newPeer, 3, 5s), "new");
    EXPECT_EQ(Deleted().size(), 1u);
    EXPECT_EQ(ListedFds(), std::vector<int>{newer.clientFd});
}

TEST_F(ServerSocketTest, ClientsAfterAClosedOneStayReachable) {
    Start();
    std::vector<ClientConnection> clients(3);
    std::vector<int> peers;
    for (ClientConnection& client : clients) {
        peers.push_back(Connect(client));
    }
    ::close(peers[0]);
    peers_.erase(peers_.begin());
    ASSERT_TRUE(TestSupport::WaitFor([&] { return Deleted().size() == 1; }));

    // The clients behind the closed one moved up in the list: each is still found.
    Bytes data{'o', 'k'};
    EXPECT_FALSE(server_.Send(clients[0].clientFd, clients[0].connectionId, data));
    for (size_t i = 1; i < clients.size(); ++i) {
        ASSERT_TRUE(server_.Send(clients[i].clientFd, clients[i].connectionId, data));
        EXPECT_EQ(TestSupport::ReceiveFor(peers[i], 2, 5s), "ok");
    }
    EXPECT_EQ(ListedFds(), (std::vector<int>{clients[1].clientFd, clients[2].clientFd}));
}

TEST_F(ServerSocketTest, SendRefusesWhatItCannotDeliver) {
    Start();
    Bytes data{'x'};
    Bytes empty;
    EXPECT_FALSE(server_.Send(-1, 1, data));
    // A descriptor that is not one of the clients is never written to.
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    EXPECT_FALSE(server_.Send(pipeFds[1], 1, data));
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);

    ClientConnection client{};
    Connect(client);
    EXPECT_FALSE(server_.Send(client.clientFd, client.connectionId, empty));
    EXPECT_TRUE(server_.Send(client.clientFd, client.connectionId, data));
    EXPECT_TRUE(Deleted().empty());
}

TEST_F(ServerSocketTest, ClientThatStopsReadingIsClosedInsteadOfBlockingTheSender) {
    Start();
    ClientConnection client{};
    Connect(client);
    // Far more than the socket buffers hold: the send cannot complete at once.
    Bytes flood(32 * 1024 * 1024, 'f');
    TestSupport::LogTail log;
    EXPECT_FALSE(server_.Send(client.clientFd, client.connectionId, flood));
    ASSERT_EQ(Deleted().size(), 1u);
    EXPECT_TRUE(Deleted()[0] == client);
    EXPECT_TRUE(ListedFds().empty());
    EXPECT_EQ(TestSupport::CountOf(log.Text(), "Cannot send data to server socket " +
                                                   std::to_string(client.clientFd)),
              1u);
    EXPECT_EQ(TestSupport::CountOf(
                  log.Text(), "Socket " + std::to_string(client.clientFd) + " will be closed."),
              1u);
}

TEST_F(ServerSocketTest, SendToAResetPeerFailsWithoutSignal) {
    // Without the receive thread nobody notices the reset before the send does.
    Start(false);
    ClientConnection client{};
    int peer = Connect(client);
    linger abort{1, 0};
    ASSERT_EQ(::setsockopt(peer, SOL_SOCKET, SO_LINGER, &abort, sizeof abort), 0);
    ::close(peer);
    peers_.clear();

    // SIGPIPE would end this test program.
    Bytes data{'x'};
    EXPECT_TRUE(TestSupport::WaitFor(
        [&] { return !server_.Send(client.clientFd, client.connectionId, data); }));
    ASSERT_EQ(Deleted().size(), 1u);
    EXPECT_TRUE(Deleted()[0] == client);
}

TEST_F(ServerSocketTest, AcceptGoesOnAfterRunningOutOfDescriptors) {
    Start();
    // Open the log before the shortage, and keep a descriptor to read it through.
    LOG_WARNING << "Descriptor shortage ahead.";
    TestSupport::CapturedLog();  // the file exists once the line is written
    int log = ::open(TestSupport::TestLogFile().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_NE(log, -1);
    auto logged = [log](const std::string& text) {
        std::string content;
        char buffer[4096];
        ssize_t count;
        while ((count = ::pread(log, buffer, sizeof buffer, static_cast<off_t>(content.size()))) >
               0) {
            content.append(buffer, static_cast<size_t>(count));
        }
        return content.find(text) != std::string::npos;
    };

    // Room for exactly one more descriptor: the test's end of the connection.
    int lowestFree = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ::close(lowestFree);
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit scarce = saved;
    scarce.rlim_cur = static_cast<rlim_t>(lowestFree + 1);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &scarce), 0);
    int peer = TestSupport::ConnectTo(server_.GetPort());
    bool shortageSeen = TestSupport::WaitFor([&] {
        return logged(
            "Accept loop received a broken socket on Accept() request. \nError: Too "
            "many open files");
    });
    ::setrlimit(RLIMIT_NOFILE, &saved);
    ::close(log);
    ASSERT_NE(peer, -1);
    peers_.push_back(peer);
    EXPECT_TRUE(shortageSeen);

    // The pending connection is accepted once descriptors are there again.
    EXPECT_TRUE(TestSupport::WaitFor([&] { return Accepted().size() == 1; }));
    ClientConnection client{};
    Connect(client);
    EXPECT_EQ(ListedFds().size(), 2u);
}

TEST_F(ServerSocketTest, InitSocketFailsOnAPortInUse) {
    int holder = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(holder, 1), 0);
    ASSERT_EQ(::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length), 0);
    int port = ntohs(address.sin_port);

    TestSupport::LogTail log;
    ServerSocket second(port);
    EXPECT_FALSE(second.InitSocket());
    EXPECT_EQ(second.GetPort(), port);
    EXPECT_EQ(
        TestSupport::CountOf(log.Text(), "Error on bind server socket. Address already in use"),
        1u);
    ::close(holder);
}

TEST_F(ServerSocketTest, StopEndsTheThreadsAndClosesEveryClient) {
    Start();
    ClientConnection client{};
    int peer = Connect(client);
    int port = server_.GetPort();

    server_.Stop();
    EXPECT_TRUE(ListedFds().empty());
    ASSERT_EQ(Deleted().size(), 1u);
    EXPECT_TRUE(Deleted()[0] == client);
    // The client sees the close, and nobody listens on the port any more.
    EXPECT_TRUE(PeerClosed(peer));
    EXPECT_EQ(TestSupport::ConnectTo(port, 100ms), -1);
}

}  // namespace
