#pragma once
// The outcome of one request sent to a gateway, as the gateway hands it to its response
// callback: the gateway's answer, or the news that none will come (the request timed
// out, could not be sent, or the answer could not be decoded).

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

    // requestId "empty", type and code 0.
    VirtualGatewayResponseMessage();
    // An answer. statusPayload: the decoded status of a get-status answer, else null.
    VirtualGatewayResponseMessage(std::string requestId, uint32_t requestType,
                                  uint32_t responseCode,
                                  std::unique_ptr<QuarnGetStatusPayload> statusPayload = nullptr);
    // No answer will come for this request.
    static VirtualGatewayResponseMessage Failed(std::string requestId, uint32_t requestType);

    std::string GetRequestId() const { return requestId_; }
    // The message type of the request frame, event-response bit included.
    uint32_t GetRequestType() const { return requestType_; }
    // The gateway's response code (QUARN_RESPONSE_*); 0 for a status answer.
    uint32_t GetResponseCode() const { return responseCode_; }
    // The lock status of a get-status answer, owned by this message; else null.
    const QuarnGetStatusPayload* GetStatusPayload() const { return statusPayload_.get(); }
    // True when the gateway gave no usable answer: the caller must treat the request as
    // failed (a NACK for a client).
    bool IsFailed() const { return failed_; }

private:
    std::string requestId_;
    uint32_t requestType_ = 0;
    uint32_t responseCode_ = 0;
    std::unique_ptr<QuarnGetStatusPayload> statusPayload_;
    bool failed_ = false;
};

}  // namespace Quarn::Messages::VG
