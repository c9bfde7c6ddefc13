#pragma once
// A TLS client for tests, on plain OpenSSL so that it can also misbehave: no certificate,
// an old protocol version, a renegotiation. Uses the certificates of
// scripts/make-test-certs. Every wait has a deadline.

#include <chrono>
#include <string>

#include <openssl/ssl.h>

namespace TestSupport {

class TlsTestClient {
public:
    // Connects to 127.0.0.1:port and runs the handshake. certificate: a base name in
    // certsDir ("front-desk" for front-desk.pem and .key), or empty for none.
    TlsTestClient(int port, const std::string& certsDir, const std::string& certificate,
                  int maxVersion = TLS1_3_VERSION);
    ~TlsTestClient();
    TlsTestClient(const TlsTestClient&) = delete;
    TlsTestClient& operator=(const TlsTestClient&) = delete;

    // The client's side of the handshake is done. With TLS 1.3 the server may still refuse
    // the certificate afterwards.
    bool HandshakeDone() const { return done_; }
    int Fd() const { return fd_; }
    // The local port, which the server logs as part of the peer's address.
    int LocalPort() const;
    SSL* Ssl() { return ssl_; }

    bool Send(const std::string& bytes);
    // The next whole JSON object, or "" when none came within the deadline.
    std::string Receive(std::chrono::milliseconds deadline = std::chrono::milliseconds(10000));
    // At least `size` bytes (fewer when the deadline passed or the connection ended).
    std::string ReceiveBytes(size_t size,
                             std::chrono::milliseconds deadline = std::chrono::milliseconds(10000));
    // True when the server ended the connection within the deadline (any data before the
    // end is dropped).
    bool WaitForClose(std::chrono::milliseconds deadline = std::chrono::milliseconds(10000));

private:
    // Reads what can be had within the deadline into pending_; false once the connection
    // ended.
    bool ReadSome(std::chrono::steady_clock::time_point deadline);

    SSL_CTX* context_ = nullptr;
    SSL* ssl_ = nullptr;
    int fd_ = -1;
    bool done_ = false;
    bool ended_ = false;
    std::string pending_;
};

}  // namespace TestSupport
