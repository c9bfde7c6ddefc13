#include "gateway/VirtualGatewayResponseMessage.h"

namespace Quarn::Messages::VG {

VirtualGatewayResponseMessage::VirtualGatewayResponseMessage() : requestId_("empty") {}

VirtualGatewayResponseMessage::VirtualGatewayResponseMessage(
    std::string requestId, uint32_t requestType, uint32_t responseCode,
    std::unique_ptr<QuarnGetStatusPayload> statusPayload)
    : requestId_(std::move(requestId)),
      requestType_(requestType),
      responseCode_(responseCode),
      statusPayload_(std::move(statusPayload)) {}

VirtualGatewayResponseMessage VirtualGatewayResponseMessage::Failed(std::string requestId,
                                                                    uint32_t requestType,
                                                                    Failure reason) {
    VirtualGatewayResponseMessage response(std::move(requestId), requestType, kFailedResponseCode);
    response.failure_ = reason;
    return response;
}

}  // namespace Quarn::Messages::VG
