#pragma once
// The server side of one TLS connection on one accepted, non-blocking TCP socket, made to
// be driven by a poll loop that serves many connections on one thread. No operation ever
// waits: each does what the socket allows now and tells what it waits for.
//
// The loop, per connection:
//   1. accept, construct with the descriptor, note the time;
//   2. handshake: poll for PollEvents(), call Handshake() when the descriptor is ready;
//      Done: the peer is verified, PeerIdentity() names it. Failed, or not Done within
//      kHandshakeTimeout (the caller's clock): log PeerAddress() and FailureReason(), then
//      destroy the connection and close the descriptor;
//   3. established: call Read() once at once (the client's first bytes may have come with
//      the end of its handshake), then poll for PollEvents(); whenever poll reports
//      anything for the descriptor (readable, writable, hang-up, error) call Read(). Read
//      sends what Write left waiting, then appends every byte that can be had without
//      waiting, so nothing already received is ever left inside the connection where poll
//      cannot see it;
//   4. Write() at any time after Done; what the socket does not take at once waits inside
//      the connection (PendingOutput()) and PollEvents() asks for POLLOUT until it is out.
//      A caller that must bound memory closes a client whose PendingOutput() grows too big;
//   5. Close(), destroy, close the descriptor.
//
// Threads: one thread at a time per connection, for every operation including
// construction and destruction; different connections may be used on different threads.
// A caller that writes from another thread than the one that reads serialises the calls.
//
// Ownership: the descriptor stays the caller's. The connection only reads and writes it
// (never with SIGPIPE) and never closes it; it must stay open until the connection is
// destroyed. The constructor makes it non-blocking.

#include <poll.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "tls/TlsServerContext.h"

struct ssl_st;
struct x509_store_ctx_st;

namespace Quarn::Tls {

struct TlsSocket;  // the descriptor as OpenSSL's I/O sees it

class TlsConnection {
public:
    // How long a client may take for its handshake; the caller keeps the time.
    static constexpr std::chrono::seconds kHandshakeTimeout{10};

    enum class HandshakeStatus {
        Done,        // established; PeerIdentity() is set
        WantsRead,   // call again when the descriptor is readable
        WantsWrite,  // call again when the descriptor is writable
        Failed,      // FailureReason() tells why; the connection is finished
    };

    enum class IoStatus {
        Ok,          // bytes moved (Read: at least one appended; Write: all handed on)
        WouldBlock,  // Read: nothing to read now; Write: some bytes wait in the connection
        Closed,      // the peer closed the connection (Read may still have appended bytes)
        Failed,      // FailureReason() tells why; the connection is finished
    };

    // Borrows fd (see Ownership). The context may go before the connection does.
    // peerAddress: "address:port" of the peer as accepted, for log lines.
    TlsConnection(const TlsServerContext& context, int fd, std::string peerAddress);
    ~TlsConnection();
    TlsConnection(const TlsConnection&) = delete;
    TlsConnection& operator=(const TlsConnection&) = delete;

    // One handshake step. The peer must present a certificate that verifies and that
    // names it by exactly one subject common name. Once Done or Failed, it returns that
    // again.
    HandshakeStatus Handshake();

    // After Done: appends to buffer all the peer's bytes that can be had without waiting.
    // Ok, WouldBlock (nothing came), Closed (the peer ended the connection, with or without
    // a TLS close) or Failed. Also sends the bytes that Write left waiting.
    IoStatus Read(std::vector<unsigned char>& buffer);

    // After Done: takes all the bytes, sends what the socket accepts now and keeps the
    // rest, in order, for later Read and Write calls. Ok: all sent. WouldBlock: some wait.
    // Closed after Close or the peer's close; Failed: broken, or not established.
    IoStatus Write(std::span<const unsigned char> bytes);

    // Bytes given to Write that have not reached the socket yet.
    size_t PendingOutput() const { return output_.size() - outputStart_; }

    // What to poll the descriptor for now: POLLIN and/or POLLOUT, 0 once finished.
    short PollEvents() const;

    // Sends a TLS close if the connection is established and healthy, without waiting for
    // anything. Afterwards Read and Write report Closed. The descriptor stays open.
    void Close();

    // The peer's subject common name once the handshake is Done; empty before.
    const std::string& PeerIdentity() const { return identity_; }
    // "address:port" of the peer, for log lines, as given.
    const std::string& PeerAddress() const { return peerAddress_; }
    // The negotiated protocol ("TLSv1.3") once Done.
    std::string Protocol() const;
    // Why the handshake or the connection failed, one line: "no client certificate",
    // "certificate expired", "unknown CA", "certificate revoked", "protocol version not
    // allowed", or OpenSSL's or the system's own text. A certificate that was refused adds
    // its common name: "certificate expired: CN=old-badge".
    const std::string& FailureReason() const { return failure_; }
    int Descriptor() const { return fd_; }

private:
    friend class TlsServerContext;  // Revokes reads the peer's certificate
    struct SslFree {
        void operator()(ssl_st* ssl) const;
    };
    enum class State { Handshaking, Established, Closed, Failed };

    static int VerifyCallback(int preverified, x509_store_ctx_st* store);
    void Fail(std::string reason);
    void FailFromSsl(int error, const char* during);
    bool TakeIdentity();
    // Sends what Write left waiting, as far as the socket takes it.
    IoStatus Flush();

    int fd_;
    std::unique_ptr<TlsSocket> socket_;
    std::unique_ptr<ssl_st, SslFree> ssl_;
    State state_ = State::Handshaking;
    bool handshakeWantsWrite_ = false;
    // A read step could not send what TLS needed to send along: poll for POLLOUT too.
    bool readWantsWrite_ = false;
    // After a failure or an end of stream no TLS close may be sent.
    bool broken_ = false;
    // Bytes from Write not yet sent start at outputStart_.
    std::vector<unsigned char> output_;
    size_t outputStart_ = 0;
    std::string identity_;
    std::string peerAddress_;
    std::string failure_;
    // The refused certificate's common name, noted by VerifyCallback.
    std::string refusedName_;
};

}  // namespace Quarn::Tls
