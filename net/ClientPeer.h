#pragma once
// Who is at the other end of one client connection, as far as the listener knows it: the
// name permissions and the audit trail go by, and its address for log lines. Fixed when
// the client joins the client list and shared read-only (never copied) by every packet and
// list copy that names the client.

#include <string>

namespace Quarn::Net {

// The identity of every client of the plain listener.
inline constexpr const char* kPlainIdentity = "plain";

struct ClientPeer {
    std::string identity;  // a TLS client's certificate subject common name; kPlainIdentity
    std::string address;   // "ip:port" of the peer
    bool tls = false;
};

}  // namespace Quarn::Net
