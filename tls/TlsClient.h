#pragma once
// The client side of a connection to lockhub's TLS listener, for lockctl and the
// benchmarks: presents a client certificate and verifies lockhub's certificate against a
// CA and against the name lockhub was reached by. Every operation waits at most until the
// deadline it is given.
//
// Threads: a TlsClientContext does not change once created and may be shared by any number
// of connections on any threads; one TlsClient is used by one thread at a time.
//
// Ownership: a TlsClient borrows its descriptor (connected; made non-blocking here) and
// never closes it; the descriptor must outlive it. The process ignores SIGPIPE: a write to
// a connection lockhub closed must fail, not end the process.

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct ssl_ctx_st;
struct ssl_st;

namespace Quarn::Tls {

// The files of a client, each PEM.
struct TlsClientFiles {
    std::string certificate;  // the client's certificate, then its chain
    std::string privateKey;   // its key, not encrypted
    std::string ca;           // the CAs that lockhub's certificate must chain to
};

class TlsClientContext {
public:
    // Reads the files. Null, with one line in error naming the file and what is wrong with
    // it, when one cannot be used.
    static std::shared_ptr<const TlsClientContext> Create(const TlsClientFiles& files,
                                                          std::string& error);
    ~TlsClientContext();
    TlsClientContext(const TlsClientContext&) = delete;
    TlsClientContext& operator=(const TlsClientContext&) = delete;

private:
    friend class TlsClient;
    explicit TlsClientContext(ssl_ctx_st* context) : context_(context) {}
    ssl_ctx_st* context_;
};

class TlsClient {
public:
    using Clock = std::chrono::steady_clock;
    enum class Status {
        Ok,       // Read: at least one byte appended
        Timeout,  // nothing came before the deadline
        Closed,   // the connection ended or failed; error tells why
    };

    // Runs the handshake over fd before the deadline; lockhub's certificate must name
    // serverName (a host name or an IP address). Null, with the reason in error: lockhub's
    // certificate not trusted, lockhub refusing this client, the connection closed, or no
    // handshake in time. With TLS 1.3 lockhub checks the client's certificate after the
    // client's side is done: a refusal then shows on the first Read.
    static std::unique_ptr<TlsClient> Connect(std::shared_ptr<const TlsClientContext> context,
                                              int fd, const std::string& serverName,
                                              Clock::time_point deadline, std::string& error);
    ~TlsClient();
    TlsClient(const TlsClient&) = delete;
    TlsClient& operator=(const TlsClient&) = delete;

    // Sends all the bytes before the deadline. False, with the reason in error, otherwise.
    bool Write(std::string_view bytes, Clock::time_point deadline, std::string& error);

    // Appends what lockhub sent, waiting until at least one byte came or the deadline
    // (none: for ever).
    Status Read(std::string& received, std::optional<Clock::time_point> deadline,
                std::string& error);

private:
    TlsClient(std::shared_ptr<const TlsClientContext> context, ssl_st* ssl, int fd);
    // Waits as the last call asked (SSL_ERROR_WANT_READ or _WRITE); false at the deadline.
    bool Wait(int sslError, std::optional<Clock::time_point> deadline);
    // Why the connection failed, as one line.
    std::string Failure(int sslError, const char* during) const;

    std::shared_ptr<const TlsClientContext> context_;
    ssl_st* ssl_;
    int fd_;
};

}  // namespace Quarn::Tls
