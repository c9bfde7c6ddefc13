#include "mux/ClientPermissions.h"

#include <algorithm>
#include <iterator>

#include "mux/protocol/MuxRequestTypes.h"

namespace Mux {
namespace {

using rapidjson::Value;

std::string Where(rapidjson::SizeType index, const char* key = nullptr) {
    std::string where = "Clients[" + std::to_string(index) + "]";
    return key == nullptr ? where : where + " \"" + key + "\"";
}

// The kind words that the request types use: the only ones "Requests" may name.
bool IsKnownKind(const std::string& word) {
    const auto types = RequestTypes();
    return std::any_of(types.begin(), types.end(), [&](const MuxRequestType& type) {
        return type.kind != nullptr && word == type.kind;
    });
}

}  // namespace

std::optional<ClientPermissions> ClientPermissions::Read(const Value& clients,
                                                         std::string& reason) {
    if (!clients.IsArray()) {
        reason = "\"Clients\" is not an array";
        return std::nullopt;
    }
    ClientPermissions permissions;
    permissions.restricted_ = true;
    for (rapidjson::SizeType i = 0; i < clients.Size(); ++i) {
        const Value& entry = clients[i];
        if (!entry.IsObject()) {
            reason = Where(i) + " is not an object";
            return std::nullopt;
        }
        Value::ConstMemberIterator identity = entry.FindMember("Identity");
        if (identity == entry.MemberEnd() || !identity->value.IsString() ||
            identity->value.GetStringLength() == 0) {
            reason = Where(i, "Identity") + " is missing or not a non-empty string";
            return std::nullopt;
        }
        Grant grant;
        Value::ConstMemberIterator gateways = entry.FindMember("Gateways");
        if (gateways != entry.MemberEnd()) {
            const Value& value = gateways->value;
            if (value.IsString() && std::string(value.GetString()) == "*") {
                grant.allGateways = true;
            } else if (value.IsArray()) {
                for (const Value& id : value.GetArray()) {
                    if (!id.IsInt()) {
                        reason = Where(i, "Gateways") + " holds a value that is not a gateway ID";
                        return std::nullopt;
                    }
                    grant.gateways.insert(id.GetInt());
                }
            } else {
                reason = Where(i, "Gateways") + " is neither an array of IDs nor \"*\"";
                return std::nullopt;
            }
        }
        Value::ConstMemberIterator requests = entry.FindMember("Requests");
        if (requests != entry.MemberEnd()) {
            if (!requests->value.IsArray()) {
                reason = Where(i, "Requests") + " is not an array";
                return std::nullopt;
            }
            for (const Value& kind : requests->value.GetArray()) {
                std::string word = kind.IsString() ? kind.GetString() : "";
                if (!IsKnownKind(word)) {
                    reason = Where(i, "Requests") +
                             " holds an unknown request kind: use open, close, status, denied "
                             "or whitelist";
                    return std::nullopt;
                }
                grant.kinds.insert(std::move(word));
            }
        }
        Value::ConstMemberIterator events = entry.FindMember("Events");
        if (events != entry.MemberEnd()) {
            if (!events->value.IsBool()) {
                reason = Where(i, "Events") + " is not true or false";
                return std::nullopt;
            }
            grant.events = events->value.GetBool();
        }
        std::string name(identity->value.GetString(), identity->value.GetStringLength());
        if (!permissions.grants_.emplace(name, std::move(grant)).second) {
            reason = Where(i, "Identity") + " \"" + name + "\" has an entry already";
            return std::nullopt;
        }
    }
    return permissions;
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
