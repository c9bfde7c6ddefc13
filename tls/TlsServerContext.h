#pragma once
// The TLS settings every client connection of the TLS listener shares: the server
// certificate and key, the CAs a client certificate must chain to, and optionally the CAs'
// revocation list.
//
// Policy, fixed here: TLS 1.2 and 1.3 only; every client must present a certificate that
// verifies against the client CAs (chain and validity dates, and the revocation list when
// one is given); renegotiation is refused; no session resumption, so every connection
// verifies its certificate afresh. TLS 1.2 offers only ECDHE key exchange with AEAD
// ciphers.
//
// Threads: Check and Create from any thread. A context does not change once created; any
// number of connections on any threads may use it at the same time. Revokes from any
// thread that may use the connection it is asked about (see TlsConnection's threads).
//
// Ownership: the context owns its OpenSSL context and its revocation list. Each
// TlsConnection made from it holds a reference of its own, so the context may be destroyed
// while its connections live on.

#include <memory>
#include <string>

struct ssl_ctx_st;
struct X509_crl_st;

namespace Quarn::Tls {

class TlsConnection;

// The files of a TLS listener, as the configuration names them. Each is PEM.
struct TlsFiles {
    std::string certificate;  // "Certificate": the server's certificate, then its chain
    std::string privateKey;   // "PrivateKey": the server's key, not encrypted
    std::string clientCa;     // "ClientCA": the CAs that client certificates must chain to
    std::string clientCrl;    // "ClientCRL": revoked client certificates; empty: none
};

class TlsServerContext {
public:
    // Reads the files and builds the context. Null on failure, with reason set to the line
    // Check would give.
    static std::unique_ptr<TlsServerContext> Create(const TlsFiles& files, std::string& reason);

    // For --check-config and start-up: empty when Create would succeed with the files as
    // they are now, else one line naming the file and what is wrong with it (missing,
    // unreadable, not PEM, an encrypted key, the key does not match the certificate, the
    // server certificate or the revocation list out of date, a revocation list not issued
    // by a client CA). Writes nothing, logs nothing.
    static std::string Check(const TlsFiles& files);

    ~TlsServerContext();
    TlsServerContext(const TlsServerContext&) = delete;
    TlsServerContext& operator=(const TlsServerContext&) = delete;

    // True when this context's revocation list revokes the certificate the connection's
    // peer presented, whichever context the connection was made from: for a connection
    // that outlived a change of the files. False without a revocation list, and for a
    // connection whose handshake is not Done.
    bool Revokes(const TlsConnection& connection) const;

private:
    friend class TlsConnection;
    struct ContextFree {
        void operator()(ssl_ctx_st* context) const;
    };
    struct CrlFree {
        void operator()(X509_crl_st* crl) const;
    };

    TlsServerContext(ssl_ctx_st* context, X509_crl_st* crl) : context_(context), crl_(crl) {}

    std::unique_ptr<ssl_ctx_st, ContextFree> context_;
    // The same list the context's certificate store checks handshakes against; null: none.
    // Kept here since reading the store's objects races the handshakes' use of the store.
    std::unique_ptr<X509_crl_st, CrlFree> crl_;
};

}  // namespace Quarn::Tls
