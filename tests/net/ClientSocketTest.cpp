#include "net/ClientSocket.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

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
using Attempt = ClientSocket::Attempt;
using TestSupport::ScriptedListener;

std::string Text(const std::vector<unsigned char>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

ClientSocket::Addresses Resolved(const std::string& host, int port) {
    std::optional<ClientSocket::Addresses> addresses = ClientSocket::Resolve(host, port, false);
    EXPECT_TRUE(addresses && !addresses->empty()) << host;
    return addresses.value_or(ClientSocket::Addresses{});
}

// The attempt driven as the loop drives it: Continue each time the descriptor is writable.
Attempt Finish(ClientSocket& socket, Attempt attempt) {
    const auto end = std::chrono::steady_clock::now() + TestSupport::Scaled(5s);
    while (attempt == Attempt::InProgress && std::chrono::steady_clock::now() < end) {
        pollfd writable{socket.Descriptor(), POLLOUT, 0};
        if (::poll(&writable, 1, 100) == 1) {
            attempt = socket.Continue();
        }
    }
    return attempt;
}

class ClientSocketTest : public ::testing::Test {
protected:
    void SetUp() override { TestSupport::CaptureLog(); }

    // A socket connected to the listener, with error callbacks that record their codes.
    std::unique_ptr<ClientSocket> Connected() {
        auto socket = std::make_unique<ClientSocket>();
        socket->ReceiveErrorCallback = [this](int code) { receiveErrors.push_back(code); };
        socket->SendErrorCallback = [this](int code) { sendErrors.push_back(code); };
        EXPECT_EQ(Finish(*socket, socket->Connect(Resolved("127.0.0.1", listener.Port()))),
                  Attempt::Connected);
        EXPECT_TRUE(socket->IsConnected());
        peer = listener.Accept();
        EXPECT_NE(peer, -1);
        return socket;
    }

    ScriptedListener listener;
    int peer = -1;
    std::vector<int> receiveErrors;
    std::vector<int> sendErrors;
};

TEST_F(ClientSocketTest, ResolvesNumericAddressesAtOnceAndNamesOnlyWhenAsked) {
    std::optional<ClientSocket::Addresses> numeric = ClientSocket::Resolve("127.0.0.1", 2101, true);
    ASSERT_TRUE(numeric);
    ASSERT_EQ(numeric->size(), 1u);
    EXPECT_EQ(numeric->front().family, AF_INET);
    EXPECT_EQ(ntohs(reinterpret_cast<const sockaddr_in&>(numeric->front().address).sin_port), 2101);

    TestSupport::LogTail log;
    EXPECT_FALSE(ClientSocket::Resolve("localhost", 2101, true));
    EXPECT_EQ(log.Text(), "");

    // A name, resolved when allowed, connects like an address.
    ClientSocket socket;
    EXPECT_EQ(Finish(socket, socket.Connect(Resolved("localhost", listener.Port()))),
              Attempt::Connected);
    EXPECT_NE(listener.Accept(), -1);
}

TEST_F(ClientSocketTest, AConnectRefusedFailsOrGoesOnToTheNextAddress) {
    const int closed = TestSupport::FreePort();
    const uint32_t criticalBefore = Diagnostics::ErrorGuard::GetInstance().GetCriticalErrorCount();
    ClientSocket socket;
    EXPECT_EQ(Finish(socket, socket.Connect(Resolved("127.0.0.1", closed))), Attempt::Failed);
    EXPECT_FALSE(socket.IsConnected());
    // The far side's trouble, not lockhub's: not counted toward the error thresholds.
    EXPECT_EQ(Diagnostics::ErrorGuard::GetInstance().GetCriticalErrorCount(), criticalBefore);
    EXPECT_NE(TestSupport::CapturedLog().find("Cannot connect to socket: Connection refused"),
              std::string::npos);

    ClientSocket::Addresses both = Resolved("127.0.0.1", closed);
    ClientSocket::Addresses open = Resolved("127.0.0.1", listener.Port());
    both.insert(both.end(), open.begin(), open.end());
    EXPECT_EQ(Finish(socket, socket.Connect(both)), Attempt::Connected);
    EXPECT_NE(listener.Accept(), -1);
}

TEST_F(ClientSocketTest, SendAndReceiveNeverWait) {
    auto socket = Connected();
    std::vector<unsigned char> data;
    auto idle = std::async(std::launch::async, [&] { return socket->Receive(data); });
    ASSERT_EQ(idle.wait_for(TestSupport::Scaled(2s)), std::future_status::ready);
    EXPECT_TRUE(idle.get());
    EXPECT_TRUE(data.empty());

    std::vector<unsigned char> frame(600);
    for (size_t i = 0; i < frame.size(); ++i) {
        frame[i] = static_cast<unsigned char>(i);
    }
    EXPECT_EQ(socket->Send(frame), 600);
    EXPECT_EQ(TestSupport::ReceiveFor(peer, frame.size(), 5s), Text(frame));

    // Every byte that arrives, in order, whole frames or not.
    const std::string mixed = "\xC8\x01" + std::string(20, '\x22') + std::string("\0\xFE\xFD", 3);
    ASSERT_TRUE(TestSupport::SendAll(peer, mixed));
    ASSERT_TRUE(TestSupport::WaitFor([&] {
        EXPECT_TRUE(socket->Receive(data));
        return data.size() >= mixed.size();
    }));
    EXPECT_EQ(Text(data), mixed);

    // A peer that reads nothing: the socket takes what fits, then nothing, at once.
    auto filling = std::async(std::launch::async, [&] {
        const std::vector<unsigned char> chunk(65536, 0x55);
        for (int i = 0; i < 10000; ++i) {
            const ptrdiff_t written = socket->Send(chunk);
            if (written < static_cast<ptrdiff_t>(chunk.size())) {
                return written;
            }
        }
        return ptrdiff_t{-2};
    });
    // A socket that waited would never be done; filling it (its sends logged in full) may
    // take seconds under a sanitizer on a busy machine.
    ASSERT_EQ(filling.wait_for(TestSupport::Scaled(30s)), std::future_status::ready);
    EXPECT_GE(filling.get(), 0);
    EXPECT_TRUE(sendErrors.empty());
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

TEST_F(ClientSocketTest, SendToAClosedPeerFailsWithoutSigpipe) {
    auto socket = Connected();
    listener.CloseConnection(peer);
    const uint32_t criticalBefore = Diagnostics::ErrorGuard::GetInstance().GetCriticalErrorCount();

    // The first sends may still be taken by the local stack; the peer's reset makes a
    // later one fail.
    std::vector<unsigned char> frame(20, 0x44);
    ASSERT_TRUE(TestSupport::WaitFor([&] { return socket->Send(frame) == -1; }));
    ASSERT_EQ(sendErrors.size(), 1u);
    EXPECT_TRUE(sendErrors[0] == EPIPE || sendErrors[0] == ECONNRESET) << sendErrors[0];
    EXPECT_EQ(Diagnostics::ErrorGuard::GetInstance().GetCriticalErrorCount(), criticalBefore);
}

TEST_F(ClientSocketTest, CloseEndsTheConnectionAndTheSocketMayConnectAgain) {
    auto socket = Connected();
    socket->Close();
    EXPECT_EQ(socket->Descriptor(), -1);
    EXPECT_FALSE(socket->IsConnected());
    EXPECT_TRUE(TestSupport::WaitForClose(peer, 5s));

    EXPECT_EQ(Finish(*socket, socket->Connect(Resolved("127.0.0.1", listener.Port()))),
              Attempt::Connected);
    const int again = listener.Accept();
    ASSERT_NE(again, -1);
    EXPECT_EQ(socket->Send(std::vector<unsigned char>{1, 2, 3}), 3);
    EXPECT_EQ(TestSupport::ReceiveFor(again, 3, 5s), "\x01\x02\x03");
}

}  // namespace
