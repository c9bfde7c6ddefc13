#include "net/ClientSocket.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "diagnostics/ErrorGuard.h"
#include "tests/net/ScriptedListener.h"
#include "tests/support/TestLog.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using Quarn::Net::ClientSocket;
using TestSupport::ScriptedListener;

// Bytes that start like a gateway frame: the length, the magic, then fill.
std::string Frame(unsigned char length, unsigned char fill) {
    std::string frame(length, static_cast<char>(fill));
    frame[0] = static_cast<char>(length);
    frame[1] = '\xFE';
    frame[2] = '\xFD';
    return frame;
}

std::string Text(const std::vector<unsigned char>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

class ClientSocketTest : public ::testing::Test {
protected:
    void SetUp() override { TestSupport::CaptureLog(); }

    // A socket connected to the listener, with error callbacks that record their codes.
    std::unique_ptr<ClientSocket> Connected() {
        auto socket = std::make_unique<ClientSocket>("127.0.0.1", listener.Port(), 2000);
        socket->ReceiveErrorCallback = [this](int code) { receiveErrors.push_back(code); };
        socket->SendErrorCallback = [this](int code) { sendErrors.push_back(code); };
        EXPECT_TRUE(socket->Connect());
        peer = listener.Accept();
        EXPECT_NE(peer, -1);
        return socket;
    }

    ScriptedListener listener;
    int peer = -1;
    std::vector<int> receiveErrors;
    std::vector<int> sendErrors;
};

TEST_F(ClientSocketTest, ConnectToClosedPortFailsAndCanBeRetried) {
    int port = TestSupport::FreePort();
    ClientSocket socket("127.0.0.1", port, 2000);
    uint32_t criticalBefore = Diagnostics::ErrorGuard::GetInstance().GetCriticalErrorCount();

    EXPECT_FALSE(socket.Connect());
    // The far side's trouble, not lockhub's: not counted toward the error thresholds.
    EXPECT_EQ(Diagnostics::ErrorGuard::GetInstance().GetCriticalErrorCount(), criticalBefore);
    EXPECT_NE(TestSupport::CapturedLog().find("Cannot connect to socket: Connection refused"),
              std::string::npos);
    // Nothing is open, so sending does nothing and succeeds.
    EXPECT_TRUE(socket.Send({1, 2, 3}));
    EXPECT_FALSE(socket.HasPendingError());
    EXPECT_FALSE(socket.Connect());
}

TEST_F(ClientSocketTest, ConnectsByHostNameAndSendsWholeData) {
    ClientSocket socket("localhost", listener.Port(), 2000);
    ASSERT_TRUE(socket.Connect());
    int fd = listener.Accept();
    ASSERT_NE(fd, -1);
    EXPECT_FALSE(socket.Connect());  // connected once already

    std::vector<unsigned char> data(600);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<unsigned char>(i);
    }
    EXPECT_TRUE(socket.Send(data));
    EXPECT_EQ(TestSupport::ReceiveFor(fd, data.size(), 5s), Text(data));
    EXPECT_FALSE(socket.HasPendingError());
}

TEST_F(ClientSocketTest, ReceiveReturnsOneWholeFrame) {
    auto socket = Connected();
    std::string frame = Frame(20, 0xAB);
    ASSERT_TRUE(TestSupport::SendAll(peer, frame));

    std::vector<unsigned char> data;
    EXPECT_TRUE(socket->Receive(data));
    EXPECT_EQ(Text(data), frame);
}

TEST_F(ClientSocketTest, ReceiveHandsBackWhatArrivedWithoutWaitingForWholeFrames) {
    auto socket = Connected();
    // Part of a frame whose rest never comes: handed back at once, not after the wait.
    std::string frame = Frame(20, 0x11);
    ASSERT_TRUE(TestSupport::SendAll(peer, frame.substr(0, 7)));
    std::vector<unsigned char> data;
    auto receiving = std::async(std::launch::async, [&] { return socket->Receive(data); });
    ASSERT_EQ(receiving.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(receiving.get());
    EXPECT_EQ(Text(data), frame.substr(0, 7));

    // Stray bytes announcing 200, two frames and a zero length byte: every byte, in order.
    std::string mixed =
        "\xC8\x01" + Frame(20, 0x22) + Frame(19, 0x33) + std::string("\0\xFE\xFD", 3);
    ASSERT_TRUE(TestSupport::SendAll(peer, mixed));
    data.clear();
    ASSERT_TRUE(TestSupport::WaitFor([&] {
        EXPECT_TRUE(socket->Receive(data));
        return data.size() >= mixed.size();
    }));
    EXPECT_EQ(Text(data), mixed);
}

TEST_F(ClientSocketTest, PeerCloseCallsTheReceiveErrorCallbackWithZero) {
    auto socket = Connected();
    ASSERT_TRUE(TestSupport::SendAll(peer, "\x14\xFE"));  // a frame cut short
    listener.CloseConnection(peer);

    // The bytes that arrived before the close come first.
    std::vector<unsigned char> data;
    ASSERT_TRUE(TestSupport::WaitFor([&] { return !socket->Receive(data); }));
    EXPECT_EQ(receiveErrors, std::vector<int>{0});
    EXPECT_EQ(Text(data), "\x14\xFE");
}

TEST_F(ClientSocketTest, SilenceEndsReceiveWithoutCallback) {
    auto socket = Connected();
    socket->SetReceiveWait(100ms);
    std::vector<unsigned char> data;
    EXPECT_FALSE(socket->Receive(data));
    EXPECT_TRUE(data.empty());
    EXPECT_TRUE(receiveErrors.empty());
}

TEST_F(ClientSocketTest, CloseFromAnotherThreadWakesAWaitingReceive) {
    auto socket = Connected();
    std::atomic<bool> entered{false};
    auto receiving = std::async(std::launch::async, [&] {
        std::vector<unsigned char> data;
        entered = true;
        return socket->Receive(data);
    });
    ASSERT_TRUE(TestSupport::WaitFor([&] { return entered.load(); }));
    socket->Close();

    ASSERT_EQ(receiving.wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(receiving.get());
    EXPECT_TRUE(receiveErrors.empty());
    EXPECT_TRUE(socket->Send({1}));  // closed: nothing is sent
    EXPECT_TRUE(sendErrors.empty());
    EXPECT_EQ(TestSupport::ReceiveFor(peer, 1, 2s), "");  // the peer sees the close
}

TEST_F(ClientSocketTest, SendToAClosedPeerFailsWithoutSigpipe) {
    auto socket = Connected();
    listener.CloseConnection(peer);
    uint32_t criticalBefore = Diagnostics::ErrorGuard::GetInstance().GetCriticalErrorCount();

    // The first sends may still be accepted by the local stack; the peer's reset makes a
    // later one fail.
    std::vector<unsigned char> frame(20, 0x44);
    ASSERT_TRUE(TestSupport::WaitFor([&] { return !socket->Send(frame); }));
    ASSERT_EQ(sendErrors.size(), 1u);
    EXPECT_TRUE(sendErrors[0] == EPIPE || sendErrors[0] == ECONNRESET) << sendErrors[0];
    EXPECT_EQ(Diagnostics::ErrorGuard::GetInstance().GetCriticalErrorCount(), criticalBefore);
}

}  // namespace
