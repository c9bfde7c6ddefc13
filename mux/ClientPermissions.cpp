#include "mux/ClientPermissions.h"

#include <algorithm>

#include "mux/protocol/MuxRequestTypes.h"

namespace Mux {

bool ClientPermissions::IsRequestKind(const std::string& word) {
    const auto types = RequestTypes();
    return std::any_of(types.begin(), types.end(), [&](const MuxRequestType& type) {
        return type.kind != nullptr && word == type.kind;
    });
}

ClientPermissions::ClientPermissions(const std::vector<ClientEntry>& entries) : restricted_(true) {
    for (const ClientEntry& entry : entries) {
        Grant grant;
        grant.allGateways = entry.AllGateways;
        grant.gateways.insert(entry.Gateways.begin(), entry.Gateways.end());
        grant.kinds.insert(entry.Requests.begin(), entry.Requests.end());
        grant.events = entry.Events;
        grants_.emplace(entry.Identity, std::move(grant));
    }
}

const ClientPermissions::Grant* ClientPermissions::Find(const std::string& identity) const {
    auto found = grants_.find(identity);
    return found == grants_.end() ? nullptr : &found->second;
}

bool ClientPermissions::MayRequest(const std::string& identity, int gatewayId,
                                   const char* kind) const {
    if (!restricted_) {
        return true;
    }
    const Grant* grant = Find(identity);
    if (grant == nullptr) {
        return false;
    }
    return kind == nullptr || (grant->kinds.count(kind) != 0 && grant->Covers(gatewayId));
}

bool ClientPermissions::MayReceiveEvents(const std::string& identity, int gatewayId) const {
    if (!restricted_) {
        return true;
    }
    const Grant* grant = Find(identity);
    return grant != nullptr && grant->events && grant->Covers(gatewayId);
}

}  // namespace Mux
