#pragma once
// For tests and fuzzing only: drives the read side of a gateway that never connects, from
// the caller's thread and without a socket. A gateway that is not connected leaves its read
// side alone, so the caller's thread stands in for the read thread; and with no answer
// time-out (VirtualGatewayTimings::requestTimeout 0) its send thread leaves the waiting
// table alone too. Never call these on a gateway that connects.

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "gateway/MessageRequestInfo.h"
#include "gateway/VirtualGateway.h"
#include "threading/MutexGuard.h"

namespace Quarn {

struct VirtualGatewayReadSideAccess {
    // Enters a request as the send thread enters one it sent: under its reference id,
    // replacing (and freeing) one waiting under the same id.
    static void Wait(VirtualGateway& gateway, std::unique_ptr<MessageRequestInfo> request) {
        {
            std::lock_guard<std::mutex> sequence(gateway.sequenceMutex_);
            request->sequenceEpoch = gateway.sequenceEpoch_;
        }
        Threading::MutexGuard guard(gateway.waitingMessagesMutex_, true);
        const uint8_t referenceId = request->referenceId;
        gateway.waitingMessages_[referenceId] = std::move(request);
    }

    // The bytes of one read, handled as the read thread handles them; the callbacks run on
    // the calling thread before this returns.
    static void Receive(VirtualGateway& gateway, const std::vector<unsigned char>& bytes) {
        gateway.ReceiveBytes(bytes);
    }

    // Forgets the bytes still waiting for the rest of a frame and every waiting request
    // (without callbacks), as if the gateway were new.
    static void Reset(VirtualGateway& gateway) {
        gateway.frameCutter_.Clear();
        Threading::MutexGuard guard(gateway.waitingMessagesMutex_, true);
        gateway.waitingMessages_.clear();
    }
};

}  // namespace Quarn
