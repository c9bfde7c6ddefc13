#include "tls/TlsConnection.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace Quarn::Tls {

// What the socket BIO knows: the borrowed descriptor, and what the last failed system
// call said, for FailureReason.
struct TlsSocket {
    int fd;
    int lastErrno = 0;
    bool atEnd = false;  // the peer closed its side
};

namespace {

// Plain text taken per SSL_read and sent per SSL_write; one TLS record's worth.
constexpr size_t kChunkBytes = 16 * 1024;
// A Read stops after this much (at a record boundary, so that nothing stays buffered
// inside TLS), letting the loop serve the other connections too; the rest is still in the
// socket, where poll sees it.
constexpr size_t kMaxReadPerCall = 256 * 1024;

TlsSocket* SocketOf(BIO* bio) {
    return static_cast<TlsSocket*>(BIO_get_data(bio));
}

// A socket BIO of our own: the stock one writes with write(2), which raises SIGPIPE on a
// closed peer, and it tells nothing about why a call failed.
int SocketWrite(BIO* bio, const char* data, size_t size, size_t* written) {
    BIO_clear_retry_flags(bio);
    TlsSocket* socket = SocketOf(bio);
    for (;;) {
        ssize_t count = ::send(socket->fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (count >= 0) {
            *written = static_cast<size_t>(count);
            return 1;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            BIO_set_retry_write(bio);
        } else {
            socket->lastErrno = errno;
        }
        return 0;
    }
}

int SocketRead(BIO* bio, char* data, size_t size, size_t* read) {
    BIO_clear_retry_flags(bio);
    TlsSocket* socket = SocketOf(bio);
    for (;;) {
        ssize_t count = ::recv(socket->fd, data, size, MSG_DONTWAIT);
        if (count > 0) {
            *read = static_cast<size_t>(count);
            return 1;
        }
        if (count == 0) {
            socket->atEnd = true;
        } else if (errno == EINTR) {
            continue;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            BIO_set_retry_read(bio);
        } else {
            socket->lastErrno = errno;
        }
        return 0;
    }
}

long SocketControl(BIO* bio, int command, long, void*) {
    switch (command) {
        case BIO_CTRL_FLUSH:
            return 1;
        case BIO_CTRL_EOF:
            return SocketOf(bio)->atEnd ? 1 : 0;
        default:
            return 0;
    }
}

// Made once, lives as long as the process.
BIO_METHOD* SocketMethod() {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* made =
            BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "lockhub socket");
        if (made != nullptr) {
            BIO_meth_set_write_ex(made, SocketWrite);
            BIO_meth_set_read_ex(made, SocketRead);
            BIO_meth_set_ctrl(made, SocketControl);
        }
        return made;
    }();
    return method;
}

// The certificate's one subject common name; empty when it has none, several, or one
// that could not safely name a client in a log line or an audit record.
std::string UsableCommonName(X509* certificate) {
    X509_NAME* subject = certificate != nullptr ? X509_get_subject_name(certificate) : nullptr;
    if (subject == nullptr) {
        return "";
    }
    int index = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    if (index < 0 || X509_NAME_get_index_by_NID(subject, NID_commonName, index) >= 0) {
        return "";
    }
    unsigned char* utf8 = nullptr;
    int length =
        ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index)));
    if (length <= 0) {
        return "";
    }
    std::string name(reinterpret_cast<char*>(utf8), static_cast<size_t>(length));
    OPENSSL_free(utf8);
    bool printable = std::none_of(name.begin(), name.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
    });
    return printable ? name : "";
}

std::string VerifyFailureText(long result) {
    switch (result) {
        case X509_V_ERR_CERT_HAS_EXPIRED:
            return "certificate expired";
        case X509_V_ERR_CERT_NOT_YET_VALID:
            return "certificate not yet valid";
        case X509_V_ERR_CERT_REVOKED:
            return "certificate revoked";
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_CERT_UNTRUSTED:
            return "unknown CA";
        default:
            return std::string("certificate refused: ") + X509_verify_cert_error_string(result);
    }
}

}  // namespace

void TlsConnection::SslFree::operator()(ssl_st* ssl) const {
    SSL_free(ssl);
}

TlsConnection::TlsConnection(const TlsServerContext& context, int fd, std::string peerAddress)
    : fd_(fd),
      socket_(std::make_unique<TlsSocket>(TlsSocket{fd})),
      peerAddress_(std::move(peerAddress)) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK) == 0) {
        ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    }
    ERR_clear_error();
    ssl_.reset(SSL_new(context.context_.get()));
    BIO_METHOD* method = SocketMethod();
    BIO* bio = ssl_ && method != nullptr ? BIO_new(method) : nullptr;
    if (bio == nullptr) {
        const char* reason = ERR_reason_error_string(ERR_peek_last_error());
        Fail(std::string("cannot set up TLS: ") + (reason != nullptr ? reason : "out of memory"));
        ERR_clear_error();
        return;
    }
    BIO_set_data(bio, socket_.get());
    BIO_set_init(bio, 1);
    SSL_set_bio(ssl_.get(), bio, bio);
    SSL_set_app_data(ssl_.get(), this);
    SSL_set_verify(ssl_.get(), SSL_get_verify_mode(ssl_.get()), VerifyCallback);
    SSL_set_accept_state(ssl_.get());
}

TlsConnection::~TlsConnection() = default;

int TlsConnection::VerifyCallback(int preverified, x509_store_ctx_st* store) {
    if (preverified == 0) {
        auto* ssl = static_cast<SSL*>(
            X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
        auto* self = ssl != nullptr ? static_cast<TlsConnection*>(SSL_get_app_data(ssl)) : nullptr;
        if (self != nullptr && self->refusedName_.empty()) {
            self->refusedName_ = UsableCommonName(X509_STORE_CTX_get0_cert(store));
        }
    }
    return preverified;
}

TlsConnection::HandshakeStatus TlsConnection::Handshake() {
    switch (state_) {
        case State::Handshaking:
            break;
        case State::Established:
            return HandshakeStatus::Done;
        default:
            return HandshakeStatus::Failed;
    }
    ERR_clear_error();
    socket_->lastErrno = 0;
    int result = SSL_do_handshake(ssl_.get());
    if (result == 1) {
        if (!TakeIdentity()) {
            return HandshakeStatus::Failed;
        }
        state_ = State::Established;
        return HandshakeStatus::Done;
    }
    int error = SSL_get_error(ssl_.get(), result);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        handshakeWantsWrite_ = error == SSL_ERROR_WANT_WRITE;
        return handshakeWantsWrite_ ? HandshakeStatus::WantsWrite : HandshakeStatus::WantsRead;
    }
    FailFromSsl(error, "during the handshake");
    return HandshakeStatus::Failed;
}

bool TlsConnection::TakeIdentity() {
    identity_ = UsableCommonName(SSL_get0_peer_certificate(ssl_.get()));
    if (identity_.empty()) {
        Fail("client certificate has no usable common name");
        return false;
    }
    return true;
}

TlsConnection::IoStatus TlsConnection::Read(std::vector<unsigned char>& buffer) {
    if (state_ != State::Established) {
        return state_ == State::Closed ? IoStatus::Closed : IoStatus::Failed;
    }
    if (Flush() == IoStatus::Failed) {
        return IoStatus::Failed;
    }
    readWantsWrite_ = false;
    size_t taken = 0;
    for (;;) {
        if (taken >= kMaxReadPerCall && SSL_has_pending(ssl_.get()) == 0) {
            return IoStatus::Ok;
        }
        size_t start = buffer.size();
        size_t got = 0;
        buffer.resize(start + kChunkBytes);
        ERR_clear_error();
        socket_->lastErrno = 0;
        int result = SSL_read_ex(ssl_.get(), buffer.data() + start, kChunkBytes, &got);
        buffer.resize(start + got);
        if (result == 1) {
            taken += got;
            continue;
        }
        int error = SSL_get_error(ssl_.get(), result);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            readWantsWrite_ = error == SSL_ERROR_WANT_WRITE;
            return taken > 0 ? IoStatus::Ok : IoStatus::WouldBlock;
        }
        if (error == SSL_ERROR_ZERO_RETURN) {
            state_ = State::Closed;  // a TLS close: Close answers it
            return IoStatus::Closed;
        }
        // An end of stream without a TLS close is how many clients leave; the client
        // protocol's own framing shows whether a message was cut short.
        unsigned long last = ERR_peek_last_error();
        if (socket_->atEnd && socket_->lastErrno == 0 &&
            (error == SSL_ERROR_SYSCALL ||
             (ERR_GET_LIB(last) == ERR_LIB_SSL &&
              ERR_GET_REASON(last) == SSL_R_UNEXPECTED_EOF_WHILE_READING))) {
            ERR_clear_error();
            state_ = State::Closed;
            broken_ = true;
            return IoStatus::Closed;
        }
        FailFromSsl(error, "while reading");
        return IoStatus::Failed;
    }
}

TlsConnection::IoStatus TlsConnection::Write(std::span<const unsigned char> bytes) {
    if (state_ != State::Established) {
        return state_ == State::Closed ? IoStatus::Closed : IoStatus::Failed;
    }
    output_.insert(output_.end(), bytes.begin(), bytes.end());
    return Flush();
}

TlsConnection::IoStatus TlsConnection::Flush() {
    while (outputStart_ < output_.size()) {
        size_t written = 0;
        ERR_clear_error();
        socket_->lastErrno = 0;
        // After a refused write TLS wants the same bytes again: they stay at the front.
        int result = SSL_write_ex(ssl_.get(), output_.data() + outputStart_,
                                  std::min(output_.size() - outputStart_, kChunkBytes), &written);
        if (result == 1) {
            outputStart_ += written;
            continue;
        }
        int error = SSL_get_error(ssl_.get(), result);
        if (error == SSL_ERROR_WANT_WRITE || error == SSL_ERROR_WANT_READ) {
            if (outputStart_ >= kChunkBytes) {
                output_.erase(output_.begin(), output_.begin() + outputStart_);
                outputStart_ = 0;
            }
            return IoStatus::WouldBlock;
        }
        FailFromSsl(error, "while writing");
        return IoStatus::Failed;
    }
    output_.clear();
    outputStart_ = 0;
    return IoStatus::Ok;
}

short TlsConnection::PollEvents() const {
    switch (state_) {
        case State::Handshaking:
            return handshakeWantsWrite_ ? POLLOUT : POLLIN;
        case State::Established:
            return static_cast<short>(POLLIN |
                                      (PendingOutput() > 0 || readWantsWrite_ ? POLLOUT : 0));
        default:
            return 0;
    }
}

void TlsConnection::Close() {
    if ((state_ == State::Established || state_ == State::Closed) && !broken_) {
        ERR_clear_error();
        SSL_shutdown(ssl_.get());
        ERR_clear_error();
    }
    if (state_ != State::Failed) {
        state_ = State::Closed;
    }
    broken_ = true;
}

std::string TlsConnection::Protocol() const {
    return state_ == State::Established ? SSL_get_version(ssl_.get()) : "";
}

void TlsConnection::Fail(std::string reason) {
    state_ = State::Failed;
    broken_ = true;
    failure_ = std::move(reason);
}

void TlsConnection::FailFromSsl(int error, const char* during) {
    unsigned long last = ERR_peek_last_error();
    int reason = ERR_GET_LIB(last) == ERR_LIB_SSL ? ERR_GET_REASON(last) : 0;
    std::string text;
    if (reason == SSL_R_CERTIFICATE_VERIFY_FAILED) {
        text = VerifyFailureText(SSL_get_verify_result(ssl_.get()));
        if (!refusedName_.empty()) {
            text += ": CN=" + refusedName_;
        }
    } else if (reason == SSL_R_PEER_DID_NOT_RETURN_A_CERTIFICATE) {
        text = "no client certificate";
    } else if (reason == SSL_R_UNSUPPORTED_PROTOCOL || reason == SSL_R_VERSION_TOO_LOW) {
        text = "protocol version not allowed";
    } else if (reason == SSL_R_UNEXPECTED_EOF_WHILE_READING ||
               (error == SSL_ERROR_SYSCALL && socket_->lastErrno == 0)) {
        text = std::string("connection closed by the peer ") + during;
    } else if (error == SSL_ERROR_SYSCALL) {
        text = std::strerror(socket_->lastErrno);
    } else if (error == SSL_ERROR_ZERO_RETURN) {
        text = std::string("TLS closed by the peer ") + during;
    } else {
        const char* openSsl = ERR_reason_error_string(last);
        text = openSsl != nullptr ? openSsl : "TLS error " + std::to_string(error);
    }
    ERR_clear_error();
    Fail(std::move(text));
}

}  // namespace Quarn::Tls
