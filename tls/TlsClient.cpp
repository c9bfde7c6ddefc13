#include "tls/TlsClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace Quarn::Tls {
namespace {

// "" when the file can be opened for reading, else why not.
std::string Unreadable(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1) {
        return std::strerror(errno);
    }
    ::close(fd);
    return "";
}

bool IsIpAddress(const std::string& name) {
    unsigned char address[sizeof(in6_addr)];
    return ::inet_pton(AF_INET, name.c_str(), address) == 1 ||
           ::inet_pton(AF_INET6, name.c_str(), address) == 1;
}

// What lockhub's alert says about this client's certificate; empty for other reasons.
std::string RefusalText(int reason) {
    switch (reason) {
        case SSL_R_TLSV1_ALERT_UNKNOWN_CA:
            return "certificate from an unknown CA";
        case SSL_R_SSLV3_ALERT_CERTIFICATE_EXPIRED:
            return "certificate expired";
        case SSL_R_SSLV3_ALERT_CERTIFICATE_REVOKED:
            return "certificate revoked";
        case SSL_R_TLSV13_ALERT_CERTIFICATE_REQUIRED:
            return "no client certificate";
        case SSL_R_SSLV3_ALERT_BAD_CERTIFICATE:
        case SSL_R_SSLV3_ALERT_UNSUPPORTED_CERTIFICATE:
        case SSL_R_SSLV3_ALERT_CERTIFICATE_UNKNOWN:
            return "certificate not accepted";
        case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
            return "protocol version not allowed";
        default:
            return "";
    }
}

int MillisecondsLeft(std::optional<TlsClient::Clock::time_point> deadline) {
    if (!deadline) {
        return -1;
    }
    auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - TlsClient::Clock::now());
    return static_cast<int>(std::clamp<int64_t>(left.count(), 0, 1 << 30));
}

}  // namespace

std::shared_ptr<const TlsClientContext> TlsClientContext::Create(const TlsClientFiles& files,
                                                                 std::string& error) {
    struct Named {
        const char* what;
        const std::string& path;
    };
    for (const Named& file : {Named{"client certificate", files.certificate},
                              Named{"private key", files.privateKey}, Named{"CA file", files.ca}}) {
        std::string why = file.path.empty() ? "no file given" : Unreadable(file.path);
        if (!why.empty()) {
            error = std::string(file.what) + " " + file.path + ": " + why;
            return nullptr;
        }
    }
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (context == nullptr) {
        error = "cannot set up TLS";
        return nullptr;
    }
    std::shared_ptr<const TlsClientContext> made(new TlsClientContext(context));
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    // An encrypted key must fail, not prompt on the terminal.
    SSL_CTX_set_default_passwd_cb(context, [](char*, int, int, void*) { return -1; });
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    if (SSL_CTX_use_certificate_chain_file(context, files.certificate.c_str()) != 1) {
        error = "client certificate " + files.certificate + ": not a PEM certificate file";
    } else if (SSL_CTX_use_PrivateKey_file(context, files.privateKey.c_str(), SSL_FILETYPE_PEM) !=
                   1 ||
               SSL_CTX_check_private_key(context) != 1) {
        unsigned long last = ERR_peek_last_error();
        error =
            "private key " + files.privateKey +
            (ERR_GET_LIB(last) == ERR_LIB_X509 && ERR_GET_REASON(last) == X509_R_KEY_VALUES_MISMATCH
                 ? " does not match client certificate " + files.certificate
                 : ": not a PEM private key file (or an encrypted one)");
    } else if (SSL_CTX_load_verify_locations(context, files.ca.c_str(), nullptr) != 1) {
        error = "CA file " + files.ca + ": not a PEM certificate file";
    } else {
        return made;
    }
    ERR_clear_error();
    return nullptr;
}

TlsClientContext::~TlsClientContext() {
    SSL_CTX_free(context_);
}

TlsClient::TlsClient(std::shared_ptr<const TlsClientContext> context, ssl_st* ssl, int fd)
    : context_(std::move(context)), ssl_(ssl), fd_(fd) {}

TlsClient::~TlsClient() {
    SSL_free(ssl_);
}

std::unique_ptr<TlsClient> TlsClient::Connect(std::shared_ptr<const TlsClientContext> context,
                                              int fd, const std::string& serverName,
                                              Clock::time_point deadline, std::string& error) {
    int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    SSL* ssl = SSL_new(context->context_);
    if (ssl == nullptr) {
        error = "cannot set up TLS";
        return nullptr;
    }
    std::unique_ptr<TlsClient> client(new TlsClient(std::move(context), ssl, fd));
    bool named = IsIpAddress(serverName)
                     ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), serverName.c_str()) == 1
                     : SSL_set1_host(ssl, serverName.c_str()) == 1 &&
                           SSL_set_tlsext_host_name(ssl, serverName.c_str()) == 1;
    if (!named || SSL_set_fd(ssl, fd) != 1) {
        error = "cannot set up TLS for " + serverName;
        ERR_clear_error();
        return nullptr;
    }
    for (;;) {
        ERR_clear_error();
        errno = 0;
        int result = SSL_connect(ssl);
        if (result == 1) {
            return client;
        }
        int sslError = SSL_get_error(ssl, result);
        if (sslError != SSL_ERROR_WANT_READ && sslError != SSL_ERROR_WANT_WRITE) {
            error = client->Failure(sslError, "during the TLS handshake");
            return nullptr;
        }
        if (!client->Wait(sslError, deadline)) {
            error = "no TLS handshake in time (is that lockhub's TLS listener?)";
            return nullptr;
        }
    }
}

bool TlsClient::Wait(int sslError, std::optional<Clock::time_point> deadline) {
    pollfd waiting{fd_, static_cast<short>(sslError == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0};
    for (;;) {
        int ready = ::poll(&waiting, 1, MillisecondsLeft(deadline));
        if (ready != -1 || errno != EINTR) {
            return ready > 0;
        }
    }
}

bool TlsClient::Write(std::string_view bytes, Clock::time_point deadline, std::string& error) {
    while (!bytes.empty()) {
        ERR_clear_error();
        errno = 0;
        size_t written = 0;
        if (SSL_write_ex(ssl_, bytes.data(), bytes.size(), &written) == 1) {
            bytes.remove_prefix(written);
            continue;
        }
        int sslError = SSL_get_error(ssl_, 0);
        if (sslError != SSL_ERROR_WANT_READ && sslError != SSL_ERROR_WANT_WRITE) {
            error = Failure(sslError, "while sending");
            // With TLS 1.3 lockhub may have refused this client's certificate after the
            // handshake and closed: its alert, if it came, tells why better than the reset.
            std::string received;
            std::string refusal;
            if (error.find("refused") == std::string::npos &&
                Read(received, Clock::now(), refusal) == Status::Closed &&
                refusal.find("refused") != std::string::npos) {
                error = refusal;
            }
            return false;
        }
        if (!Wait(sslError, deadline)) {
            error = "lockhub took no data in time";
            return false;
        }
    }
    return true;
}

TlsClient::Status TlsClient::Read(std::string& received, std::optional<Clock::time_point> deadline,
                                  std::string& error) {
    char buffer[16 * 1024];
    size_t before = received.size();
    for (;;) {
        ERR_clear_error();
        errno = 0;
        size_t count = 0;
        if (SSL_read_ex(ssl_, buffer, sizeof buffer, &count) == 1) {
            received.append(buffer, count);
            continue;  // take all that TLS holds decrypted already
        }
        int sslError = SSL_get_error(ssl_, 0);
        if (sslError != SSL_ERROR_WANT_READ && sslError != SSL_ERROR_WANT_WRITE) {
            if (received.size() > before) {
                return Status::Ok;  // the failure shows at the next call
            }
            error = Failure(sslError, "while receiving");
            return Status::Closed;
        }
        if (received.size() > before) {
            return Status::Ok;
        }
        if (!Wait(sslError, deadline)) {
            return Status::Timeout;
        }
    }
}

std::string TlsClient::Failure(int sslError, const char* during) const {
    unsigned long last = ERR_peek_last_error();
    int reason = ERR_GET_LIB(last) == ERR_LIB_SSL ? ERR_GET_REASON(last) : 0;
    std::string text;
    if (reason == SSL_R_CERTIFICATE_VERIFY_FAILED) {
        text = std::string("lockhub's certificate is not trusted: ") +
               X509_verify_cert_error_string(SSL_get_verify_result(ssl_));
    } else if (std::string refusal = RefusalText(reason); !refusal.empty()) {
        text = "lockhub refused this client: " + refusal;
    } else if (sslError == SSL_ERROR_ZERO_RETURN || reason == SSL_R_UNEXPECTED_EOF_WHILE_READING ||
               (sslError == SSL_ERROR_SYSCALL && errno == 0)) {
        text = std::string("lockhub closed the connection ") + during;
    } else if (sslError == SSL_ERROR_SYSCALL) {
        text = std::strerror(errno);
    } else {
        const char* openSsl = ERR_reason_error_string(last);
        text = std::string("TLS failed ") + during + ": " +
               (openSsl != nullptr ? openSsl : "error " + std::to_string(sslError));
    }
    ERR_clear_error();
    return text;
}

}  // namespace Quarn::Tls
