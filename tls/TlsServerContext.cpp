#include "tls/TlsServerContext.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include "tls/TlsConnection.h"

namespace Quarn::Tls {

namespace {

// No PEM file of a TLS listener is anywhere near this; a bigger one is not what was meant.
constexpr off_t kMaxPemFileBytes = 1024 * 1024;
// Client certificate, intermediate CAs, root.
constexpr int kMaxChainDepth = 4;
constexpr const char* kTls12Ciphers = "ECDHE+AESGCM:ECDHE+CHACHA20";
constexpr unsigned char kSessionContext[] = "lockhub";

struct X509Free {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CrlFree {
    void operator()(X509_CRL* crl) const { X509_CRL_free(crl); }
};
struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using Certificate = std::unique_ptr<X509, X509Free>;
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Crl = std::unique_ptr<X509_CRL, CrlFree>;
using Bio = std::unique_ptr<BIO, BioFree>;

// The files' contents, parsed.
struct Loaded {
    std::vector<Certificate> chain;  // the server's certificate first
    Key key;
    std::vector<Certificate> clientCas;
    Crl crl;
};

std::string Named(const char* name, const std::string& path) {
    return std::string(name) + " " + path;
}

// The whole file, or false and why not.
bool ReadPemFile(const char* name, const std::string& path, std::string& text,
                 std::string& reason) {
    if (path.empty()) {
        reason = std::string(name) + ": no file given";
        return false;
    }
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        reason = Named(name, path) +
                 (errno == ENOENT ? ": no such file"
                                  : ": cannot be read: " + std::string(std::strerror(errno)));
        return false;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        reason = Named(name, path) + ": not a file";
        return false;
    }
    if (status.st_size > kMaxPemFileBytes) {
        ::close(fd);
        reason = Named(name, path) + ": too large for a PEM file";
        return false;
    }
    text.clear();
    char chunk[4096];
    for (;;) {
        ssize_t count = ::read(fd, chunk, sizeof chunk);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            reason = Named(name, path) + ": cannot be read: " + std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (count == 0 || text.size() + static_cast<size_t>(count) > kMaxPemFileBytes) {
            break;
        }
        text.append(chunk, static_cast<size_t>(count));
    }
    ::close(fd);
    return true;
}

Bio MemoryBio(const std::string& text) {
    return Bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

// The text of OpenSSL's latest error, without its code and library.
std::string OpenSslReason() {
    const char* text = ERR_reason_error_string(ERR_peek_last_error());
    return text != nullptr ? text : "unknown error";
}

// Every certificate in the file; false when there is none or one is broken.
bool ReadCertificates(const char* name, const std::string& path,
                      std::vector<Certificate>& certificates, std::string& reason) {
    std::string text;
    if (!ReadPemFile(name, path, text, reason)) {
        return false;
    }
    Bio bio = MemoryBio(text);
    ERR_clear_error();
    while (X509* certificate = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
        certificates.emplace_back(certificate);
    }
    unsigned long error = ERR_peek_last_error();
    bool atEnd = ERR_GET_LIB(error) == ERR_LIB_PEM && ERR_GET_REASON(error) == PEM_R_NO_START_LINE;
    if (certificates.empty() || !atEnd) {
        reason = Named(name, path) + ": not a PEM certificate file" +
                 (certificates.empty() || atEnd ? "" : " (" + OpenSslReason() + ")");
        return false;
    }
    ERR_clear_error();
    return true;
}

bool ReadKey(const std::string& path, Key& key, std::string& reason) {
    std::string text;
    if (!ReadPemFile("PrivateKey", path, text, reason)) {
        return false;
    }
    if (text.find("ENCRYPTED") != std::string::npos) {
        reason = Named("PrivateKey", path) +
                 ": encrypted; lockhub needs the key without a "
                 "passphrase (keep the file 0600 instead)";
        return false;
    }
    Bio bio = MemoryBio(text);
    // No passphrase callback: OpenSSL must never prompt on the terminal.
    pem_password_cb* noPassphrase = [](char*, int, int, void*) { return -1; };
    key.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, noPassphrase, nullptr));
    ERR_clear_error();
    if (!key) {
        reason = Named("PrivateKey", path) + ": not a PEM private key file";
        return false;
    }
    return true;
}

bool ReadCrl(const std::string& path, Crl& crl, std::string& reason) {
    std::string text;
    if (!ReadPemFile("ClientCRL", path, text, reason)) {
        return false;
    }
    Bio bio = MemoryBio(text);
    crl.reset(PEM_read_bio_X509_CRL(bio.get(), nullptr, nullptr, nullptr));
    ERR_clear_error();
    if (!crl) {
        reason = Named("ClientCRL", path) + ": not a PEM revocation list file";
        return false;
    }
    return true;
}

// "2026-12-08 13:25:01 UTC"
std::string TimeText(const ASN1_TIME* time) {
    struct tm parts {};
    char text[32] = "an unreadable date";
    if (ASN1_TIME_to_tm(time, &parts) == 1) {
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
    }
    return text;
}

bool IsPast(const ASN1_TIME* time) {
    return time != nullptr && X509_cmp_current_time(time) < 0;
}

bool Load(const TlsFiles& files, Loaded& loaded, std::string& reason) {
    if (!ReadCertificates("Certificate", files.certificate, loaded.chain, reason) ||
        !ReadKey(files.privateKey, loaded.key, reason) ||
        !ReadCertificates("ClientCA", files.clientCa, loaded.clientCas, reason) ||
        (!files.clientCrl.empty() && !ReadCrl(files.clientCrl, loaded.crl, reason))) {
        return false;
    }
    X509* server = loaded.chain.front().get();
    if (X509_check_private_key(server, loaded.key.get()) != 1) {
        ERR_clear_error();
        reason = Named("PrivateKey", files.privateKey) + " does not match " +
                 Named("Certificate", files.certificate);
        return false;
    }
    if (IsPast(X509_get0_notAfter(server))) {
        reason = Named("Certificate", files.certificate) + ": expired on " +
                 TimeText(X509_get0_notAfter(server));
        return false;
    }
    if (loaded.crl) {
        bool issuedByClientCa = false;
        for (const Certificate& ca : loaded.clientCas) {
            if (X509_NAME_cmp(X509_get_subject_name(ca.get()),
                              X509_CRL_get_issuer(loaded.crl.get())) == 0 &&
                X509_CRL_verify(loaded.crl.get(), X509_get0_pubkey(ca.get())) == 1) {
                issuedByClientCa = true;
            }
        }
        ERR_clear_error();
        if (!issuedByClientCa) {
            reason = Named("ClientCRL", files.clientCrl) + ": not issued by a CA in " +
                     Named("ClientCA", files.clientCa);
            return false;
        }
        const ASN1_TIME* nextUpdate = X509_CRL_get0_nextUpdate(loaded.crl.get());
        if (IsPast(nextUpdate)) {
            reason = Named("ClientCRL", files.clientCrl) + ": out of date since " +
                     TimeText(nextUpdate) + "; every client would be refused";
            return false;
        }
    }
    return true;
}

// Applies the policy and the loaded files; null if OpenSSL refuses any of it.
SSL_CTX* Build(Loaded& loaded) {
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (context == nullptr) {
        return nullptr;
    }
    bool ok =
        SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) == 1 &&
        SSL_CTX_set_max_proto_version(context, TLS1_3_VERSION) == 1 &&
        SSL_CTX_set_cipher_list(context, kTls12Ciphers) == 1 &&
        SSL_CTX_set_num_tickets(context, 0) == 1 &&
        SSL_CTX_set_session_id_context(context, kSessionContext, sizeof kSessionContext - 1) == 1 &&
        SSL_CTX_use_certificate(context, loaded.chain.front().get()) == 1 &&
        SSL_CTX_use_PrivateKey(context, loaded.key.get()) == 1;
    for (size_t i = 1; ok && i < loaded.chain.size(); ++i) {
        ok = SSL_CTX_add1_chain_cert(context, loaded.chain[i].get()) == 1;
    }
    SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_TICKET |
                                     SSL_OP_NO_COMPRESSION | SSL_OP_CIPHER_SERVER_PREFERENCE);
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
    // Write takes any amount and keeps what the socket refuses in a buffer that may move;
    // idle connections give their record buffers back.
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                                  SSL_MODE_RELEASE_BUFFERS);

    X509_STORE* store = SSL_CTX_get_cert_store(context);
    STACK_OF(X509_NAME)* acceptedIssuers = sk_X509_NAME_new_null();
    for (const Certificate& ca : loaded.clientCas) {
        ok = ok && X509_STORE_add_cert(store, ca.get()) == 1 &&
             sk_X509_NAME_push(acceptedIssuers, X509_NAME_dup(X509_get_subject_name(ca.get()))) > 0;
    }
    // Tells clients which CAs count, so that one with several certificates picks right.
    SSL_CTX_set_client_CA_list(context, acceptedIssuers);
    if (loaded.crl) {
        ok = ok && X509_STORE_add_crl(store, loaded.crl.get()) == 1 &&
             X509_STORE_set_flags(store, X509_V_FLAG_CRL_CHECK) == 1;
    }
    SSL_CTX_set_verify(context,
                       SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT | SSL_VERIFY_CLIENT_ONCE,
                       nullptr);
    SSL_CTX_set_verify_depth(context, kMaxChainDepth);
    if (!ok) {
        SSL_CTX_free(context);
        return nullptr;
    }
    return context;
}

}  // namespace

void TlsServerContext::ContextFree::operator()(ssl_ctx_st* context) const {
    SSL_CTX_free(context);
}

void TlsServerContext::CrlFree::operator()(X509_crl_st* crl) const {
    X509_CRL_free(crl);
}

TlsServerContext::~TlsServerContext() = default;

std::string TlsServerContext::Check(const TlsFiles& files) {
    Loaded loaded;
    std::string reason;
    Load(files, loaded, reason);
    ERR_clear_error();
    return reason;
}

std::unique_ptr<TlsServerContext> TlsServerContext::Create(const TlsFiles& files,
                                                           std::string& reason) {
    reason.clear();
    Loaded loaded;
    if (!Load(files, loaded, reason)) {
        ERR_clear_error();
        return nullptr;
    }
    SSL_CTX* context = Build(loaded);
    if (context == nullptr) {
        reason = "TLS set-up refused: " + OpenSslReason();
        ERR_clear_error();
        return nullptr;
    }
    return std::unique_ptr<TlsServerContext>(new TlsServerContext(context, loaded.crl.release()));
}

bool TlsServerContext::Revokes(const TlsConnection& connection) const {
    // The identity is set once the handshake is Done and the certificate verified.
    X509* certificate = connection.PeerIdentity().empty()
                            ? nullptr
                            : SSL_get0_peer_certificate(connection.ssl_.get());
    if (!crl_ || certificate == nullptr ||
        X509_NAME_cmp(X509_get_issuer_name(certificate), X509_CRL_get_issuer(crl_.get())) != 0) {
        return false;
    }
    X509_REVOKED* entry = nullptr;
    // 2: the entry only takes a held certificate off the list ("removeFromCRL").
    const bool revoked = X509_CRL_get0_by_cert(crl_.get(), &entry, certificate) == 1;
    ERR_clear_error();
    return revoked;
}

}  // namespace Quarn::Tls
