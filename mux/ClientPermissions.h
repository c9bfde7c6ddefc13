#pragma once
// Who may do what: the configuration's "Clients" section. Each entry names a client
// identity (a certificate's common name, "plain" for every client of the plain listener,
// "mqtt" for the commands of the MQTT bridge), the gateways it may address ("*" for all), the
// request kinds it may send
// ("open", "close", "status", "denied", "whitelist") and whether it receives events of
// those gateways.
//
// Without a "Clients" section everything is allowed to everyone. With one, an identity
// without an entry may do nothing. Requests that ask nothing of a lock are allowed to
// every identity with an entry.
//
// Read once, then constant: any thread may ask.

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace Mux {

// The identity of the commands that arrive through the MQTT bridge.
inline constexpr const char* kMqttIdentity = "mqtt";

// One entry of "Clients", as the configuration holds it.
struct ClientEntry {
    std::string Identity;
    bool AllGateways = false;  // "Gateways": "*"
    std::vector<int> Gateways;
    std::vector<std::string> Requests;
    bool Events = false;
    bool operator==(const ClientEntry&) const = default;
};

class ClientPermissions {
public:
    // Everything allowed: the configuration has no "Clients" section.
    ClientPermissions() = default;
    // What the entries allow, and nothing to an identity without one. Of two entries with
    // the same identity the first counts (the configuration refuses a second one).
    explicit ClientPermissions(const std::vector<ClientEntry>& entries);

    // Whether "Requests" may name the word: one of the request kinds.
    static bool IsRequestKind(const std::string& word);

    // kind: the request's kind word, or null for a request that asks nothing of a lock.
    bool MayRequest(const std::string& identity, int gatewayId, const char* kind) const;
    bool MayReceiveEvents(const std::string& identity, int gatewayId) const;

    // False when there is no "Clients" section.
    bool IsRestricted() const { return restricted_; }
    size_t EntryCount() const { return grants_.size(); }

private:
    struct Grant {
        bool allGateways = false;
        std::set<int> gateways;
        std::set<std::string> kinds;
        bool events = false;

        bool Covers(int gatewayId) const { return allGateways || gateways.count(gatewayId) != 0; }
    };
    // The identity's entry; null when it has none (then it may do nothing).
    const Grant* Find(const std::string& identity) const;

    bool restricted_ = false;
    std::map<std::string, Grant, std::less<>> grants_;
};

}  // namespace Mux
