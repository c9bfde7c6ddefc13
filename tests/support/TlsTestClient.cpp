#include "tests/support/TlsTestClient.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "mux/protocol/MuxAnswerStream.h"
#include "tests/support/TestSupport.h"

namespace TestSupport {
namespace {

using Clock = std::chrono::steady_clock;

// Waits as OpenSSL asked; false at the deadline.
bool WaitFor(int fd, int sslError, Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
        return false;
    }
    pollfd waiting{fd, static_cast<short>(sslError == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0};
    return ::poll(&waiting, 1, static_cast<int>(left.count())) > 0;
}

}  // namespace

TlsTestClient::TlsTestClient(int port, const std::string& certsDir, const std::string& certificate,
                             int maxVersion) {
    context_ = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_security_level(context_, 0);  // lets a TLS 1.1 client say hello at all
    SSL_CTX_set_cipher_list(context_, "DEFAULT:@SECLEVEL=0");
    SSL_CTX_set_min_proto_version(context_, TLS1_VERSION);
    SSL_CTX_set_max_proto_version(context_, maxVersion);
    SSL_CTX_load_verify_locations(context_, (certsDir + "/ca.pem").c_str(), nullptr);
    SSL_CTX_set_verify(context_, SSL_VERIFY_PEER, nullptr);
    if (!certificate.empty()) {
        SSL_CTX_use_certificate_file(context_, (certsDir + "/" + certificate + ".pem").c_str(),
                                     SSL_FILETYPE_PEM);
        SSL_CTX_use_PrivateKey_file(context_, (certsDir + "/" + certificate + ".key").c_str(),
                                    SSL_FILETYPE_PEM);
    }
    fd_ = ConnectTo(port);
    if (fd_ == -1) {
        return;
    }
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
    ssl_ = SSL_new(context_);
    SSL_set_fd(ssl_, fd_);
    SSL_set1_host(ssl_, "localhost");
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    for (;;) {
        int result = SSL_connect(ssl_);
        int error = SSL_get_error(ssl_, result);
        ERR_clear_error();
        if (result == 1) {
            done_ = true;
            return;
        }
        if ((error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) ||
            !WaitFor(fd_, error, deadline)) {
            return;
        }
    }
}

TlsTestClient::~TlsTestClient() {
    SSL_free(ssl_);
    SSL_CTX_free(context_);
    if (fd_ != -1) {
        ::close(fd_);
    }
}

int TlsTestClient::LocalPort() const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

bool TlsTestClient::Send(const std::string& bytes) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    for (size_t sent = 0; sent < bytes.size();) {
        size_t written = 0;
        if (SSL_write_ex(ssl_, bytes.data() + sent, bytes.size() - sent, &written) == 1) {
            sent += written;
            continue;
        }
        int error = SSL_get_error(ssl_, 0);
        ERR_clear_error();
        if ((error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) ||
            !WaitFor(fd_, error, deadline)) {
            return false;
        }
    }
    return true;
}

bool TlsTestClient::ReadSome(Clock::time_point deadline) {
    char buffer[16 * 1024];
    for (bool got = false;;) {
        size_t count = 0;
        if (SSL_read_ex(ssl_, buffer, sizeof buffer, &count) == 1) {
            pending_.append(buffer, count);
            got = true;
            continue;
        }
        int error = SSL_get_error(ssl_, 0);
        ERR_clear_error();
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
            ended_ = true;
            return false;
        }
        if (got || !WaitFor(fd_, error, deadline)) {
            return true;
        }
    }
}

std::string TlsTestClient::Receive(std::chrono::milliseconds deadline) {
    const auto end = Clock::now() + deadline;
    for (;;) {
        if (size_t length = Mux::CompleteObjectLength(pending_)) {
            std::string object = pending_.substr(0, length);
            pending_.erase(0, length);
            return object;
        }
        if (ssl_ == nullptr || ended_ || Clock::now() >= end || !ReadSome(end)) {
            return "";
        }
    }
}

std::string TlsTestClient::ReceiveBytes(size_t size, std::chrono::milliseconds deadline) {
    const auto end = Clock::now() + deadline;
    while (ssl_ != nullptr && pending_.size() < size && !ended_ && Clock::now() < end &&
           ReadSome(end)) {
    }
    std::string bytes = pending_.substr(0, std::min(size, pending_.size()));
    pending_.erase(0, bytes.size());
    return bytes;
}

bool TlsTestClient::WaitForClose(std::chrono::milliseconds deadline) {
    const auto end = Clock::now() + deadline;
    while (ssl_ != nullptr && !ended_ && Clock::now() < end) {
        ReadSome(end);
        pending_.clear();
    }
    return ended_ || ssl_ == nullptr;
}

}  // namespace TestSupport
