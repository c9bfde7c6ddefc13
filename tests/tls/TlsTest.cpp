// Real handshakes over real sockets on 127.0.0.1: the server side is the TlsConnection
// under test, the client side plain OpenSSL, both non-blocking and driven by one poll loop,
// with the certificates of scripts/make-test-certs.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"
#include "tls/TlsConnection.h"
#include "tls/TlsServerContext.h"

namespace {

using namespace std::chrono_literals;
using Quarn::Tls::TlsConnection;
using Quarn::Tls::TlsFiles;
using Quarn::Tls::TlsServerContext;
using Handshake = TlsConnection::HandshakeStatus;
using Io = TlsConnection::IoStatus;
using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

std::string Cert(const std::string& name) {
    return std::string(TEST_CERTS_DIR) + "/" + name;
}

TlsFiles ServerFiles(bool withCrl) {
    return {Cert("server.pem"), Cert("server.key"), Cert("ca.pem"), withCrl ? Cert("crl.pem") : ""};
}

// A client: its own OpenSSL context and a socket to the listener whose reads never wait
// long, so that one loop can drive both sides.
class Client {
public:
    // certificate: a base name from the test folder, or empty for none.
    Client(int port, const std::string& certificate, int maxVersion = TLS1_3_VERSION) {
        context_ = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_security_level(context_, 0);  // lets a TLS 1.1 client say hello at all
        SSL_CTX_set_cipher_list(context_, "DEFAULT:@SECLEVEL=0");
        SSL_CTX_set_min_proto_version(context_, TLS1_VERSION);
        SSL_CTX_set_max_proto_version(context_, maxVersion);
        SSL_CTX_load_verify_locations(context_, Cert("ca.pem").c_str(), nullptr);
        SSL_CTX_set_verify(context_, SSL_VERIFY_PEER, nullptr);
        if (!certificate.empty()) {
            SSL_CTX_use_certificate_file(context_, Cert(certificate + ".pem").c_str(),
                                         SSL_FILETYPE_PEM);
            SSL_CTX_use_PrivateKey_file(context_, Cert(certificate + ".key").c_str(),
                                        SSL_FILETYPE_PEM);
        }
        fd_ = TestSupport::ConnectTo(port);
        ssl_ = SSL_new(context_);
        SSL_set_fd(ssl_, fd_);
        SSL_set1_host(ssl_, "localhost");
        SSL_set_connect_state(ssl_);
        timeval none{0, 1000};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
    }
    ~Client() {
        SSL_free(ssl_);
        SSL_CTX_free(context_);
        ::close(fd_);
    }
    int Fd() const { return fd_; }
    SSL* Ssl() { return ssl_; }
    // Handshake steps; true once the client is no longer waiting (done or failed).
    bool Step() {
        int result = SSL_do_handshake(ssl_);
        int error = SSL_get_error(ssl_, result);
        ERR_clear_error();
        return result == 1 || (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE);
    }
    void Send(const std::string& text) {
        ASSERT_EQ(SSL_write(ssl_, text.data(), text.size()), static_cast<int>(text.size()));
    }
    // Whatever can be read now.
    std::string Receive() {
        std::string text;
        char chunk[16384];
        int count;
        while ((count = SSL_read(ssl_, chunk, sizeof chunk)) > 0) {
            text.append(chunk, static_cast<size_t>(count));
        }
        ERR_clear_error();
        return text;
    }

private:
    SSL_CTX* context_;
    SSL* ssl_;
    int fd_;
};

bool WaitReady(int fd, short events, std::chrono::milliseconds timeout = 5000ms) {
    pollfd waiting{fd, events, 0};
    return ::poll(&waiting, 1, static_cast<int>(timeout.count())) == 1;
}

// A listener on a port the system picks; hands out TlsConnections for what it accepts.
class TlsTest : public ::testing::Test {
protected:
    void SetUp() override {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ASSERT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), length), 0);
        ASSERT_EQ(::listen(listener_, 8), 0);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    void TearDown() override {
        for (int fd : accepted_) {
            ::close(fd);
        }
        ::close(listener_);
    }
    std::unique_ptr<TlsConnection> Accept(const TlsServerContext& context) {
        EXPECT_TRUE(WaitReady(listener_, POLLIN));
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        int fd = ::accept(listener_, reinterpret_cast<sockaddr*>(&peer), &length);
        accepted_.push_back(fd);
        return std::make_unique<TlsConnection>(
            context, fd, "127.0.0.1:" + std::to_string(ntohs(peer.sin_port)));
    }
    // Both sides' handshakes, polled, until the server's is over (and the client's, when
    // the server's is Done) or 10 s passed.
    static Handshake Run(TlsConnection& server, Client& client) {
        bool clientWaits = true;
        for (auto deadline = Clock::now() + 10s; Clock::now() < deadline;) {
            clientWaits = clientWaits && !client.Step();
            Handshake status = server.Handshake();
            if (status == Handshake::Failed || (status == Handshake::Done && !clientWaits)) {
                return status;
            }
            pollfd waiting[] = {{server.Descriptor(), server.PollEvents(), 0},
                                {client.Fd(), POLLIN, 0}};
            ::poll(waiting, clientWaits ? 2 : 1, 100);
        }
        return Handshake::WantsRead;
    }
    // Reads on the server as poll says, until `size` bytes arrived or 10 s passed.
    static Io ReadUntil(TlsConnection& server, Bytes& buffer, size_t size) {
        Io status = Io::WouldBlock;
        for (auto deadline = Clock::now() + 10s; buffer.size() < size && Clock::now() < deadline;) {
            if (!WaitReady(server.Descriptor(), server.PollEvents(), 2000ms)) {
                return Io::WouldBlock;  // bytes stuck where poll cannot see them
            }
            status = server.Read(buffer);
            if (status == Io::Closed || status == Io::Failed) {
                return status;
            }
        }
        return status;
    }

    int listener_ = -1;
    int port_ = 0;
    std::vector<int> accepted_;
};

TEST_F(TlsTest, TrustedClientIsNamedAndBytesFlowInOrderBothWays) {
    std::string reason;
    auto context = TlsServerContext::Create(ServerFiles(true), reason);
    ASSERT_TRUE(context) << reason;
    Client client(port_, "front-desk");
    auto server = Accept(*context);
    ASSERT_EQ(Run(*server, client), Handshake::Done) << server->FailureReason();
    EXPECT_EQ(server->PeerIdentity(), "front-desk");
    EXPECT_EQ(server->Protocol(), "TLSv1.3");
    EXPECT_EQ(server->PeerAddress().rfind("127.0.0.1:", 0), 0u);

    // Records of up to 16 KiB sent at once (few enough for the socket buffers): every byte
    // must surface while poll still has reason to wake, none stay decrypted inside.
    std::string sent;
    for (size_t i = 0; i < 8; ++i) {
        std::string record = "record " + std::to_string(i) + std::string(i * 2300, 'x');
        client.Send(record);
        sent += record;
    }
    Bytes received;
    EXPECT_EQ(ReadUntil(*server, received, sent.size()), Io::Ok);
    EXPECT_EQ(received.size(), sent.size());
    EXPECT_TRUE(std::string(received.begin(), received.end()) == sent);

    // A client that does not read: the server's Write keeps what the socket refuses and
    // asks for POLLOUT; once the client reads, everything arrives whole and in order.
    Bytes answer(4 * 1024 * 1024);
    for (size_t i = 0; i < answer.size(); ++i) {
        answer[i] = static_cast<unsigned char>(i * 7 + i / 251);
    }
    EXPECT_EQ(server->Write(answer), Io::WouldBlock);
    EXPECT_GT(server->PendingOutput(), 0u);
    EXPECT_TRUE(server->PollEvents() & POLLOUT);
    std::string arrived;
    for (auto deadline = Clock::now() + 10s;
         arrived.size() < answer.size() && Clock::now() < deadline;) {
        pollfd waiting[] = {{server->Descriptor(), server->PollEvents(), 0},
                            {client.Fd(), POLLIN, 0}};
        ::poll(waiting, 2, 100);
        Bytes none;
        ASSERT_NE(server->Read(none), Io::Failed) << server->FailureReason();
        arrived += client.Receive();
    }
    EXPECT_EQ(server->PendingOutput(), 0u);
    EXPECT_FALSE(server->PollEvents() & POLLOUT);
    EXPECT_EQ(arrived.size(), answer.size());
    EXPECT_TRUE(arrived == std::string(answer.begin(), answer.end()));

    server->Close();
    EXPECT_EQ(server->Write(answer), Io::Closed);
    EXPECT_TRUE(WaitReady(client.Fd(), POLLIN));
    client.Receive();
    EXPECT_EQ(SSL_get_shutdown(client.Ssl()) & SSL_RECEIVED_SHUTDOWN, SSL_RECEIVED_SHUTDOWN);
}

TEST_F(TlsTest, UntrustedClientsAreRefusedWithTheReason) {
    std::string reason;
    auto withCrl = TlsServerContext::Create(ServerFiles(true), reason);
    auto withoutCrl = TlsServerContext::Create(ServerFiles(false), reason);
    ASSERT_TRUE(withCrl && withoutCrl) << reason;
    struct Case {
        std::string certificate;
        int maxVersion;
        const TlsServerContext* context;
        std::string reason;  // empty: accepted
    } cases[] = {
        {"", TLS1_3_VERSION, withCrl.get(), "no client certificate"},
        {"", TLS1_2_VERSION, withCrl.get(), "no client certificate"},
        {"expired", TLS1_3_VERSION, withCrl.get(), "certificate expired: CN=expired"},
        {"other-client", TLS1_3_VERSION, withCrl.get(), "unknown CA: CN=front-desk"},
        {"revoked", TLS1_3_VERSION, withCrl.get(), "certificate revoked: CN=revoked"},
        {"revoked", TLS1_3_VERSION, withoutCrl.get(), ""},
        {"night-guard", TLS1_2_VERSION, withCrl.get(), ""},
        {"front-desk", TLS1_1_VERSION, withCrl.get(), "protocol version not allowed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.certificate + " up to version " + std::to_string(c.maxVersion));
        Client client(port_, c.certificate, c.maxVersion);
        auto server = Accept(*c.context);
        Handshake status = Run(*server, client);
        if (c.reason.empty()) {
            EXPECT_EQ(status, Handshake::Done) << server->FailureReason();
        } else {
            EXPECT_EQ(status, Handshake::Failed);
            EXPECT_EQ(server->FailureReason(), c.reason);
            EXPECT_EQ(server->PeerIdentity(), "");
            EXPECT_EQ(server->PollEvents(), 0);
        }
    }
}

TEST_F(TlsTest, GarbageFailsAndAStalledPeerBlocksNothing) {
    std::string reason;
    auto context = TlsServerContext::Create(ServerFiles(false), reason);
    ASSERT_TRUE(context) << reason;

    int garbage = TestSupport::ConnectTo(port_);
    auto server = Accept(*context);
    ASSERT_TRUE(TestSupport::SendAll(garbage, "GET / HTTP/1.1\r\nHost: lockhub\r\n\r\n"));
    ASSERT_TRUE(WaitReady(server->Descriptor(), POLLIN));
    EXPECT_EQ(server->Handshake(), Handshake::Failed);
    EXPECT_FALSE(server->FailureReason().empty());
    ::close(garbage);

    // Half a record header, then nothing: each step returns at once, asking to read.
    int stalled = TestSupport::ConnectTo(port_);
    server = Accept(*context);
    ASSERT_TRUE(TestSupport::SendAll(stalled, std::string("\x16\x03\x01", 3)));
    ASSERT_TRUE(WaitReady(server->Descriptor(), POLLIN));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(server->Handshake(), Handshake::WantsRead);
        EXPECT_EQ(server->PollEvents(), POLLIN);
    }
    ::close(stalled);
    ASSERT_TRUE(WaitReady(server->Descriptor(), POLLIN));
    EXPECT_EQ(server->Handshake(), Handshake::Failed);
    EXPECT_EQ(server->FailureReason(), "connection closed by the peer during the handshake");
}

TEST_F(TlsTest, RenegotiationIsRefused) {
    std::string reason;
    auto context = TlsServerContext::Create(ServerFiles(false), reason);
    ASSERT_TRUE(context) << reason;
    Client client(port_, "front-desk", TLS1_2_VERSION);
    auto server = Accept(*context);
    ASSERT_EQ(Run(*server, client), Handshake::Done) << server->FailureReason();
    ASSERT_EQ(server->Protocol(), "TLSv1.2");

    ASSERT_EQ(SSL_renegotiate(client.Ssl()), 1);
    bool renegotiated = false;
    Io status = Io::Ok;
    Bytes buffer;
    for (auto deadline = Clock::now() + 10s;
         Clock::now() < deadline && status != Io::Failed && status != Io::Closed;) {
        renegotiated = SSL_do_handshake(client.Ssl()) == 1 || renegotiated;
        ERR_clear_error();
        pollfd waiting[] = {{server->Descriptor(), server->PollEvents(), 0},
                            {client.Fd(), POLLIN, 0}};
        ::poll(waiting, 2, 100);
        status = server->Read(buffer);
    }
    EXPECT_FALSE(renegotiated);
    EXPECT_TRUE(status == Io::Failed || status == Io::Closed) << static_cast<int>(status);
    EXPECT_TRUE(buffer.empty());
}

TEST(TlsServerContextTest, CheckNamesTheFileAndWhatIsWrong) {
    TestSupport::TempDir folder;
    TestSupport::WriteFile(folder.File("text.pem"), "not a certificate\n");
    auto with = [](auto change) {
        TlsFiles files = ServerFiles(true);
        change(files);
        return files;
    };
    struct Case {
        TlsFiles files;
        std::string reason;
    } cases[] = {
        {ServerFiles(true), ""},
        {with([](TlsFiles& f) { f.certificate = "/nonexistent/server.pem"; }),
         "Certificate /nonexistent/server.pem: no such file"},
        {with([&](TlsFiles& f) { f.privateKey = folder.Path(); }),
         "PrivateKey " + folder.Path() + ": not a file"},
        {with([&](TlsFiles& f) { f.clientCa = folder.File("text.pem"); }),
         "ClientCA " + folder.File("text.pem") + ": not a PEM certificate file"},
        {with([&](TlsFiles& f) { f.privateKey = Cert("ca.pem"); }),
         "PrivateKey " + Cert("ca.pem") + ": not a PEM private key file"},
        {with([](TlsFiles& f) { f.privateKey = Cert("front-desk.key"); }),
         "PrivateKey " + Cert("front-desk.key") + " does not match Certificate " +
             Cert("server.pem")},
        {with([](TlsFiles& f) {
             f.certificate = Cert("expired.pem");
             f.privateKey = Cert("expired.key");
         }),
         "Certificate " + Cert("expired.pem") + ": expired on 2020-01-31 00:00:00 UTC"},
        {with([](TlsFiles& f) { f.clientCa = Cert("other-ca.pem"); }),
         "ClientCRL " + Cert("crl.pem") + ": not issued by a CA in ClientCA " +
             Cert("other-ca.pem")},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TlsServerContext::Check(c.files), c.reason);
        std::string reason;
        EXPECT_EQ(TlsServerContext::Create(c.files, reason) != nullptr, c.reason.empty());
        EXPECT_EQ(reason, c.reason);
    }
}

}  // namespace
