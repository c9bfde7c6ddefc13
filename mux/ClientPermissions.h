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

#include <rapidjson/document.h>

#include <map>
#include <optional>
#include <set>
#include <string>

namespace Mux {

// The identity of the commands that arrive through the MQTT bridge.
inline constexpr const char* kMqttIdentity = "mqtt";

class ClientPermissions {
public:
    // Everything allowed: the configuration has no "Clients" section.
    ClientPermissions() = default;

    // Reads the "Clients" array. Nullopt, with reason naming the entry and the key, when an
    // entry is not an object, lacks "Identity", repeats one, or has a key of the wrong kind
    // or an unknown request kind.
    static std::optional<ClientPermissions> Read(const rapidjson::Value& clients,
                                                 std::string& reason);

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
