#pragma once
// Who is at the other end of one client connection, as far as the listener knows it: the
// name permissions and the audit trail go by, and its address for log lines. Set when the
// connection is accepted (for TLS: once its handshake is done) and never changed, so it is
// shared read-only between threads.

#include <string>

namespace Quarn::Net {

struct ClientPeer {
    // The client certificate's subject common name; "plain" for the plain listener.
    std::string identity;
    // "address:port"; "unknown" if the system would not tell.
    std::string address;
    bool tls = false;
};

// The identity of every client of the plain listener.
inline constexpr const char* kPlainIdentity = "plain";

// "address:port" of a socket's peer, for a plain listener's client.
std::string PeerAddressOf(int fd);

}  // namespace Quarn::Net
