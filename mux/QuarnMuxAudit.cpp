// The audit trail: what the core records of door commands, whitelist changes, refused
// requests and card or PIN events.

#include "audit/AuditEntry.h"
#include "audit/AuditTrail.h"
#include "mux/MuxRequestRecord.h"
#include "mux/QuarnMux.h"
#include "mux/protocol/MuxMessage.h"
#include "mux/protocol/MuxMessageCodes.h"
#include "mux/protocol/MuxMessagePayloads.h"
#include "mux/protocol/MuxRequestTypes.h"
#include "net/ClientPeer.h"

namespace Mux {
namespace {

// What the trail calls an event: a card number or PIN never goes into it.
const char* EventKind(int eventCode) {
    return eventCode == MUX_MESSAGE_EVENT_INFO ? "PIN EVENT" : "CARD EVENT";
}

}  // namespace

void QuarnMux::AuditAnswer(const MuxRequestRecord& record, Audit::Outcome outcome) const {
    if (!audit_) {
        return;
    }
    const MuxMessage& request = *record.requestMessage;
    const MuxRequestType* type = FindRequestType(request.GetMessageCode());
    const bool changesLock = type != nullptr && type->changesLock;
    if (!changesLock && outcome != Audit::Outcome::NotPermitted) {
        return;
    }
    Audit::AuditEntry entry;
    if (record.client &&
        (record.client->tls || record.client->identity != Quarn::Net::kPlainIdentity)) {
        entry.SetCertificateClient(record.client->identity);
    } else {
        entry.SetPlainClient(record.client ? record.client->address : "unknown");
    }
    entry.messageId = request.GetMessageId();
    if (const MuxMessagePayloadBase* payload = request.GetPayload()) {
        if (const MuxLockAddressPayload* address = payload->GetLockAddress()) {
            entry.gatewayId = address->gatewayID;
            entry.lockId = address->lockID;
        }
    }
    if (type != nullptr && type->name != nullptr) {
        entry.request = std::string(type->name);
    } else {
        entry.request = std::to_string(request.GetMessageCode());
    }
    entry.outcome = outcome;
    const MuxMessage* answer = record.answerMessage.get();
    if (answer != nullptr && answer->GetMessageCode() == MUX_MESSAGE_NACK) {
        if (const auto* nack = answer->GetPayloadAs<MuxNackMessagePayload>()) {
            entry.errorCode = nack->errorCode;
            entry.message = nack->message;
        }
    }
    audit_->Record(entry);
}

void QuarnMux::AuditEvent(int gatewayId, int lockId, int eventCode) const {
    if (!audit_) {
        return;
    }
    Audit::AuditEntry entry;
    entry.gatewayId = gatewayId;
    entry.lockId = lockId;
    entry.request = std::string(EventKind(eventCode));
    audit_->Record(entry);
}

void QuarnMux::CloseAuditTrail() {
    if (audit_) {
        audit_->Close();
    }
}

}  // namespace Mux
