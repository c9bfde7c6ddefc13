#pragma once
// The outcome of one request sent to a gateway, as the gateway hands it to its response
// callback: the gateway's answer, or the news that none will come and why: the request
// was not sent by its deadline, the gateway was too busy or not connected to take it, its
// frame could not be built, or it was sent and no usable answer came in time.

#include <cstdint>
#include <memory>
#include <string>

#include "messages/QuarnGetStatusPayload.h"

namespace Quarn::Messages::VG {

class VirtualGatewayResponseMessage {
public:
    // The response code a failed outcome carries: the gateway's "not handled" code, so
    // that a reader that looks only at the code never takes it for success.
    static constexpr uint32_t kFailedResponseCode = 1;

    // Why no answer will come.
    enum class Failure {
        None,      // an answer
        NotSent,   // the frame never left: its deadline passed while it was queued
        Busy,      // refused on arrival: the queue ahead could not be sent before its deadline
        NoAnswer,  // sent, but no usable answer came within the request time-out
        NotConnected,  // refused on arrival: the gateway is not connected and will not be
                       // before the deadline
        Refused,       // refused on arrival: its frame cannot be built
    };

    // An answer. statusPayload: the decoded status of a get-status answer, else null.
    VirtualGatewayResponseMessage(std::string requestId, uint32_t responseCode,
                                  std::unique_ptr<QuarnGetStatusPayload> statusPayload = nullptr);
    // No answer will come for this request, for the given reason (not None).
    static std::unique_ptr<VirtualGatewayResponseMessage> Failed(std::string requestId,
                                                                 Failure reason);

    std::string GetRequestId() const { return requestId_; }
    // The gateway's response code (QUARN_RESPONSE_*); 0 for a status answer.
    uint32_t GetResponseCode() const { return responseCode_; }
    // The lock status of a get-status answer, owned by this message; else null.
    const QuarnGetStatusPayload* GetStatusPayload() const { return statusPayload_.get(); }
    // Anything but None: the gateway gave no usable answer, and the caller must treat the
    // request as failed (a NACK for a client).
    Failure GetFailure() const { return failure_; }

private:
    std::string requestId_;
    uint32_t responseCode_ = 0;
    std::unique_ptr<QuarnGetStatusPayload> statusPayload_;
    Failure failure_ = Failure::None;
};

}  // namespace Quarn::Messages::VG
