// The server socket's TLS listener beside its plain one: real handshakes on 127.0.0.1 with
// the certificates of scripts/make-test-certs.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "diagnostics/Logger.h"
#include "net/ServerSocket.h"
#include "tests/support/TestLog.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TlsTestClient.h"
#include "tls/TlsServerContext.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Quarn::Net::ClientConnection;
using Quarn::Net::ClientPeer;
using Quarn::Net::ServerSocket;
using TestSupport::TlsTestClient;
using namespace std::chrono_literals;

std::string Cert(const std::string& name) {
    return std::string(TEST_CERTS_DIR) + "/" + name;
}

// server: the base name of the server's certificate and key; crl empty: none.
std::shared_ptr<const Quarn::Tls::TlsServerContext> Context(const std::string& server = "server",
                                                            const std::string& crl = "crl.pem") {
    std::string reason;
    auto context =
        Quarn::Tls::TlsServerContext::Create({Cert(server + ".pem"), Cert(server + ".key"),
                                              Cert("ca.pem"), crl.empty() ? "" : Cert(crl)},
                                             reason);
    EXPECT_TRUE(context) << reason;
    return context;
}

// The subject of the certificate the server presented: "/CN=localhost".
std::string ServerSubject(SSL* ssl) {
    X509* certificate = SSL_get0_peer_certificate(ssl);
    char text[256] = "";
    if (certificate != nullptr) {
        X509_NAME_oneline(X509_get_subject_name(certificate), text, sizeof text);
    }
    return text;
}

// The process's descriptors once the log's writers have written what is queued: the log
// file is opened at its first write, which must not count as a leak.
size_t OpenDescriptors() {
    Diagnostics::FlushLog(std::chrono::seconds(5));
    return TestSupport::OpenDescriptors(::getpid());
}

std::string Packet(const std::string& text) {
    size_t length = text.size() + 6;
    return std::string{static_cast<char>(length & 0xFF), static_cast<char>(length >> 8)} + "MUXM" +
           text;
}

class ServerSocketTlsTest : public ::testing::Test {
protected:
    struct Received {
        ClientConnection from;
        ClientPeer peer;
        std::string packet;
    };

    void SetUp() override {
        TestSupport::CaptureLog();
        server_.ClientAcceptedCallback = [this](int fd, uint64_t id) {
            std::lock_guard<std::mutex> lock(mutex_);
            accepted_.push_back({fd, id});
        };
        server_.ClientDeletedCallback = [this](int fd, uint64_t id) {
            std::lock_guard<std::mutex> lock(mutex_);
            deleted_.push_back({fd, id});
        };
        server_.DataReceivedCallback = [this](int fd, uint64_t id, const ClientPeer& peer,
                                              std::unique_ptr<Bytes> packet) {
            std::lock_guard<std::mutex> lock(mutex_);
            received_.push_back({{fd, id}, peer, std::string(packet->begin(), packet->end())});
        };
    }
    void TearDown() override { server_.Stop(); }

    void Start() {
        server_.EnableTls(0, Context());
        ASSERT_TRUE(server_.InitSocket());
        ASSERT_GT(server_.GetTlsPort(), 0);
        server_.StartAcceptLoop();
        server_.StartReceiveDataLoop();
    }
    size_t AcceptedCount() {
        std::lock_guard<std::mutex> lock(mutex_);
        return accepted_.size();
    }
    ClientConnection LastAccepted() {
        std::lock_guard<std::mutex> lock(mutex_);
        return accepted_.back();
    }
    size_t DeletedCount() {
        std::lock_guard<std::mutex> lock(mutex_);
        return deleted_.size();
    }
    std::vector<uint64_t> DeletedIds() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<uint64_t> ids;
        for (const ClientConnection& deleted : deleted_) {
            ids.push_back(deleted.connectionId);
        }
        return ids;
    }
    // Waits for the next packet after the first `seen` ones.
    Received WaitForPacket(size_t seen) {
        EXPECT_TRUE(TestSupport::WaitFor([&] {
            std::lock_guard<std::mutex> lock(mutex_);
            return received_.size() > seen;
        }));
        std::lock_guard<std::mutex> lock(mutex_);
        return received_.size() > seen ? received_[seen] : Received{};
    }
    size_t ReceivedCount() {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_.size();
    }
    std::unique_ptr<TlsTestClient> ConnectTls(const std::string& certificate,
                                              int maxVersion = TLS1_3_VERSION) {
        size_t before = AcceptedCount();
        auto client = std::make_unique<TlsTestClient>(server_.GetTlsPort(), TEST_CERTS_DIR,
                                                      certificate, maxVersion);
        EXPECT_TRUE(client->HandshakeDone());
        EXPECT_TRUE(TestSupport::WaitFor([&] { return AcceptedCount() > before; }));
        return client;
    }

    ServerSocket server_{0};

private:
    std::mutex mutex_;
    std::vector<ClientConnection> accepted_;
    std::vector<ClientConnection> deleted_;
    std::vector<Received> received_;
};

TEST_F(ServerSocketTlsTest, TlsAndPlainClientsShareTheListWithTheirIdentities) {
    Start();
    int plain = TestSupport::ConnectTo(server_.GetPort());
    ASSERT_TRUE(TestSupport::WaitFor([&] { return AcceptedCount() == 1; }));
    ClientConnection plainClient = LastAccepted();
    ASSERT_TRUE(TestSupport::SendAll(plain, Packet("{\"from\":\"plain\"}")));
    Received fromPlain = WaitForPacket(0);
    EXPECT_EQ(fromPlain.packet, Packet("{\"from\":\"plain\"}"));
    EXPECT_EQ(fromPlain.peer.identity, "plain");
    EXPECT_FALSE(fromPlain.peer.tls);
    EXPECT_EQ(fromPlain.peer.address.rfind("127.0.0.1:", 0), 0u);

    // The first packet goes out right behind the client's end of the handshake.
    TlsTestClient tls(server_.GetTlsPort(), TEST_CERTS_DIR, "front-desk");
    ASSERT_TRUE(tls.HandshakeDone());
    ASSERT_TRUE(tls.Send(Packet("{\"from\":\"tls\"}") + Packet("{\"n\":2}")));
    Received fromTls = WaitForPacket(1);
    ASSERT_EQ(AcceptedCount(), 2u);
    ClientConnection tlsClient = LastAccepted();
    EXPECT_EQ(fromTls.from.connectionId, tlsClient.connectionId);
    EXPECT_EQ(fromTls.packet, Packet("{\"from\":\"tls\"}"));
    EXPECT_EQ(WaitForPacket(2).packet, Packet("{\"n\":2}"));
    EXPECT_EQ(fromTls.peer.identity, "front-desk");
    EXPECT_TRUE(fromTls.peer.tls);
    EXPECT_EQ(fromTls.peer.address, "127.0.0.1:" + std::to_string(tls.LocalPort()));

    // TLS 1.2 too; the list names every client; Send reaches each the same way.
    auto older = std::make_unique<TlsTestClient>(server_.GetTlsPort(), TEST_CERTS_DIR,
                                                 "night-guard", TLS1_2_VERSION);
    ASSERT_TRUE(TestSupport::WaitFor([&] { return AcceptedCount() == 3; }));
    std::vector<std::string> identities;
    for (const ClientConnection& client : server_.GetClientConnections()) {
        identities.push_back(client.peer->identity);
    }
    EXPECT_EQ(identities, (std::vector<std::string>{"plain", "front-desk", "night-guard"}));
    Bytes answer{'{', '}'};
    ASSERT_TRUE(server_.Send(plainClient.clientFd, plainClient.connectionId, answer));
    ASSERT_TRUE(server_.Send(tlsClient.clientFd, tlsClient.connectionId, answer));
    ASSERT_TRUE(server_.Send(LastAccepted().clientFd, LastAccepted().connectionId, answer));
    EXPECT_EQ(TestSupport::ReceiveFor(plain, 2, 5s), "{}");
    EXPECT_EQ(tls.Receive(), "{}");
    EXPECT_EQ(older->Receive(), "{}");

    // A TLS client that leaves is reported like a plain one.
    older.reset();
    EXPECT_TRUE(TestSupport::WaitFor([&] { return DeletedCount() == 1; }));
    ::close(plain);
}

TEST_F(ServerSocketTlsTest, WhatASlowTlsClientCannotTakeWaitsUpToTheBound) {
    Start();
    auto client = ConnectTls("front-desk");
    ClientConnection connection = LastAccepted();
    // A small send buffer, so that less fits on the way and the rest must wait.
    int small = 16 * 1024;
    ::setsockopt(connection.clientFd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);

    // Far more than the buffers hold, less than the bound: every Send is taken, and the
    // receive thread sends the rest on as the client reads, whole and in order.
    std::string expected;
    for (int i = 0; i < 32; ++i) {
        Bytes chunk(16 * 1024, static_cast<unsigned char>('a' + i % 26));
        ASSERT_TRUE(server_.Send(connection.clientFd, connection.connectionId, chunk)) << i;
        expected.append(chunk.begin(), chunk.end());
    }
    std::string arrived = client->ReceiveBytes(expected.size());
    EXPECT_EQ(arrived.size(), expected.size());
    EXPECT_TRUE(arrived == expected);

    // A client that takes nothing more is closed once what waits would pass the bound.
    TestSupport::LogTail log;
    Bytes chunk(64 * 1024, 'z');
    bool refused = false;
    for (size_t sent = 0; !refused && sent < 4 * ServerSocket::kMaxPendingTlsOutput;
         sent += chunk.size()) {
        refused = !server_.Send(connection.clientFd, connection.connectionId, chunk);
    }
    EXPECT_TRUE(refused);
    EXPECT_EQ(DeletedCount(), 1u);
    EXPECT_NE(log.Text().find("bytes wait for the TLS client front-desk, more than 1048576"),
              std::string::npos);
    EXPECT_TRUE(server_.GetClientConnections().empty());
}

TEST_F(ServerSocketTlsTest, BadClientsAreRefusedWithALogLineAndOthersGoOn) {
    // Bound for the stalled client, yet time enough for the good ones' handshakes.
    const auto handshakeTimeout = TestSupport::Scaled(300ms);
    server_.SetHandshakeTimeout(handshakeTimeout);
    Start();
    int plain = TestSupport::ConnectTo(server_.GetPort());
    ASSERT_TRUE(TestSupport::WaitFor([&] { return AcceptedCount() == 1; }));
    auto good = ConnectTls("front-desk");
    const size_t baseline = OpenDescriptors();
    TestSupport::LogTail log;
    auto refusedWith = [&](int localPort, const std::string& reason) {
        return log.WaitFor("TLS handshake with 127.0.0.1:" + std::to_string(localPort) +
                           " failed: " + reason);
    };

    {
        int garbage = TestSupport::ConnectTo(server_.GetTlsPort());
        sockaddr_in local{};
        socklen_t length = sizeof local;
        ::getsockname(garbage, reinterpret_cast<sockaddr*>(&local), &length);
        ASSERT_TRUE(TestSupport::SendAll(garbage, "GET / HTTP/1.1\r\nHost: lockhub\r\n\r\n"));
        EXPECT_TRUE(refusedWith(ntohs(local.sin_port), ""));
        int stalled = TestSupport::ConnectTo(server_.GetTlsPort());
        ::getsockname(stalled, reinterpret_cast<sockaddr*>(&local), &length);
        ASSERT_TRUE(TestSupport::SendAll(stalled, std::string("\x16\x03\x01", 3)));
        EXPECT_TRUE(refusedWith(ntohs(local.sin_port), "not done within " +
                                std::to_string(handshakeTimeout.count()) + " ms."));
        EXPECT_EQ(TestSupport::ReceiveFor(stalled, 1, 5s), "");  // closed
        ::close(garbage);
        ::close(stalled);
    }
    struct Case {
        std::string certificate;
        int maxVersion;
        std::string reason;
    } cases[] = {
        {"other-client", TLS1_3_VERSION, "unknown CA: CN=front-desk."},
        {"expired", TLS1_3_VERSION, "certificate expired: CN=expired."},
        {"revoked", TLS1_3_VERSION, "certificate revoked: CN=revoked."},
        {"", TLS1_3_VERSION, "no client certificate."},
        {"", TLS1_2_VERSION, "no client certificate."},
        {"front-desk", TLS1_1_VERSION, "protocol version not allowed."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.certificate + " " + c.reason);
        TlsTestClient bad(server_.GetTlsPort(), TEST_CERTS_DIR, c.certificate, c.maxVersion);
        EXPECT_TRUE(refusedWith(bad.LocalPort(), c.reason));
        EXPECT_TRUE(bad.WaitForClose());
    }
    {
        // Renegotiation: refused once the connection is up, and the client is closed.
        auto renegotiating = ConnectTls("night-guard", TLS1_2_VERSION);
        ASSERT_EQ(SSL_version(renegotiating->Ssl()), TLS1_2_VERSION);
        SSL_renegotiate(renegotiating->Ssl());
        SSL_do_handshake(renegotiating->Ssl());
        ERR_clear_error();
        EXPECT_TRUE(renegotiating->WaitForClose());
        EXPECT_TRUE(log.WaitFor(
            "TLS connection with 127.0.0.1:" + std::to_string(renegotiating->LocalPort()) +
            " (night-guard) failed: "));
        EXPECT_TRUE(TestSupport::WaitFor([&] { return DeletedCount() == 1; }));
    }
    // Only the two good clients and the renegotiating one ever joined the list.
    EXPECT_EQ(AcceptedCount(), 3u);

    // The plain and the TLS client were never held up and still work.
    size_t seen = ReceivedCount();
    ASSERT_TRUE(TestSupport::SendAll(plain, Packet("{}")));
    ASSERT_TRUE(good->Send(Packet("{}")));
    WaitForPacket(seen + 1);
    EXPECT_EQ(ReceivedCount(), seen + 2);
    EXPECT_TRUE(TestSupport::WaitFor([&] { return OpenDescriptors() == baseline; }))
        << OpenDescriptors() << " descriptors, " << baseline << " before";
    ::close(plain);
}

TEST_F(ServerSocketTlsTest, ListenersFailTogetherAndLeaveNothingOpen) {
    int holder = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(holder, 1), 0);
    ::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);
    TestSupport::LogTail log;
    ServerSocket taken(0);
    taken.EnableTls(ntohs(address.sin_port), Context());
    const size_t baseline = OpenDescriptors();
    EXPECT_FALSE(taken.InitSocket());
    EXPECT_TRUE(log.WaitFor("Error on bind TLS server socket. Address already in use"));
    EXPECT_EQ(OpenDescriptors(), baseline);

    ServerSocket none(0);
    none.DisablePlainListener();
    EXPECT_FALSE(none.InitSocket());
    EXPECT_TRUE(log.WaitFor("No listener: the plain listener is off and TLS is not enabled."));
    ::close(holder);

    // TLS only: nothing listens on the plain port.
    server_.DisablePlainListener();
    Start();
    EXPECT_EQ(server_.GetPort(), 0);
    ConnectTls("front-desk");
}

TEST_F(ServerSocketTlsTest, ANewRevocationListDisconnectsTheClientsItRevokesOnly) {
    Start();
    auto revoked = ConnectTls("front-desk");
    const ClientConnection revokedClient = LastAccepted();
    auto kept = ConnectTls("night-guard");
    const ClientConnection keptClient = LastAccepted();
    TestSupport::LogTail log;

    server_.ReplaceTlsContext(Context("server", "crl-front-desk.pem"));
    EXPECT_TRUE(revoked->WaitForClose());
    EXPECT_TRUE(
        log.WaitFor("TLS client front-desk at 127.0.0.1:" + std::to_string(revoked->LocalPort()) +
                    " disconnected on socket " + std::to_string(revokedClient.clientFd) +
                    ": its certificate is revoked by the new revocation list."));
    EXPECT_TRUE(TestSupport::WaitFor([&] { return DeletedCount() == 1; }));
    EXPECT_EQ(DeletedIds(), std::vector<uint64_t>{revokedClient.connectionId});

    // The other client goes on both ways.
    const size_t seen = ReceivedCount();
    ASSERT_TRUE(kept->Send(Packet("{}")));
    EXPECT_EQ(WaitForPacket(seen).from.connectionId, keptClient.connectionId);
    ASSERT_TRUE(server_.Send(keptClient.clientFd, keptClient.connectionId, Bytes{'{', '}'}));
    EXPECT_EQ(kept->Receive(), "{}");

    // New handshakes go by the new list.
    TlsTestClient again(server_.GetTlsPort(), TEST_CERTS_DIR, "front-desk");
    EXPECT_TRUE(log.WaitFor("TLS handshake with 127.0.0.1:" + std::to_string(again.LocalPort()) +
                            " failed: certificate revoked: CN=front-desk."));
    EXPECT_TRUE(again.WaitForClose());
    auto another = ConnectTls("night-guard");
    EXPECT_EQ(server_.GetClientConnections().size(), 2u);
    EXPECT_EQ(DeletedCount(), 1u);
}

TEST_F(ServerSocketTlsTest, ANewServerCertificateServesNewHandshakesAndOldConnectionsStay) {
    Start();
    auto old = ConnectTls("front-desk");
    const ClientConnection oldClient = LastAccepted();
    ASSERT_EQ(ServerSubject(old->Ssl()), "/CN=localhost");

    // Without a revocation list even the certificate crl.pem revoked is let in.
    server_.ReplaceTlsContext(Context("server-renewed", ""));
    auto renewed = ConnectTls("revoked");
    EXPECT_EQ(ServerSubject(renewed->Ssl()), "/CN=lockhub renewed server");

    const size_t seen = ReceivedCount();
    ASSERT_TRUE(old->Send(Packet("{}")));
    EXPECT_EQ(WaitForPacket(seen).from.connectionId, oldClient.connectionId);
    ASSERT_TRUE(server_.Send(oldClient.clientFd, oldClient.connectionId, Bytes{'{', '}'}));
    EXPECT_EQ(old->Receive(), "{}");
    EXPECT_EQ(DeletedCount(), 0u);
}

}  // namespace
