// The audit trail: what the core records of door commands, whitelist changes, refused
// requests and card or PIN events.

#include "audit/AuditEntry.h"
#include "audit/AuditTrail.h"
#include "diagnostics/Log.h"
#include "mux/AnswerTexts.h"
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

// The entry of a request with this outcome.
Audit::AuditEntry QuarnMux::EntryOf(const MuxRequestRecord& record, Audit::Outcome outcome) {
    const MuxMessage& request = *record.requestMessage;
    const MuxRequestType* type = FindRequestType(request.GetMessageCode());
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
    return entry;
}

void QuarnMux::AuditAnswer(const MuxRequestRecord& record, Audit::Outcome outcome) const {
    const std::shared_ptr<Audit::AuditTrail> trail = audit_.load();
    if (!trail) {
        return;
    }
    if (!IsRecorded(record) && outcome != Audit::Outcome::NotPermitted) {
        return;
    }
    trail->Record(EntryOf(record, outcome));
}

bool QuarnMux::IsRecorded(const MuxRequestRecord& record) {
    const MuxRequestType* type = FindRequestType(record.requestMessage->GetMessageCode());
    return type != nullptr && type->changesLock;
}

bool QuarnMux::RecordBeforeSending(Record& record) {
    const std::shared_ptr<Audit::AuditTrail> trail = audit_.load();
    if (!auditBeforeSend_.load() || !trail || !IsRecorded(*record)) {
        return false;
    }
    const Audit::AuditEntry entry = EntryOf(*record, Audit::Outcome::Sending);
    const std::optional<std::chrono::steady_clock::time_point> deadline = DeadlineOf(*record);
    const HeldCommands::Ticket ticket = heldCommands_.Hold(std::move(record), deadline);
    if (ticket.earliest) {
        gatewaysWork_.Notify();
    }
    trail->RecordThen(entry, [this, number = ticket.number](bool onDisk) {
        Record held = heldCommands_.Release(number);
        if (!held) {
            return;  // answered at its deadline already
        }
        if (onDisk) {
            HandOver(std::move(held));
        } else {
            LOG_WARNING << "Request " << held->requestMessage->GetMessageId()
                        << " refused: its audit line cannot be written.";
            EnqueueErrorAnswer(std::move(held), kAuditUnwritableText, Audit::Outcome::NotSent);
        }
    });
    return true;
}

void QuarnMux::ExpireHeldCommands() {
    for (Record& held : heldCommands_.Expire(std::chrono::steady_clock::now())) {
        LOG_WARNING << "Request " << held->requestMessage->GetMessageId()
                    << " not sent: its audit line did not reach the disk by its deadline.";
        EnqueueErrorAnswer(std::move(held), kAuditUnwritableText, Audit::Outcome::NotSent);
    }
}

bool QuarnMux::IsRecordable() const {
    const std::shared_ptr<Audit::AuditTrail> trail = audit_.load();
    return trail && trail->Writable();
}

void QuarnMux::AuditEvent(int gatewayId, int lockId, int eventCode) const {
    const std::shared_ptr<Audit::AuditTrail> trail = audit_.load();
    if (!trail) {
        return;
    }
    Audit::AuditEntry entry;
    entry.gatewayId = gatewayId;
    entry.lockId = lockId;
    entry.request = std::string(EventKind(eventCode));
    trail->Record(entry);
}

void QuarnMux::CloseAuditTrail() {
    if (const std::shared_ptr<Audit::AuditTrail> trail = audit_.load()) {
        trail->Close();
    }
}

}  // namespace Mux
