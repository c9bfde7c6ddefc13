#include "gateway/VirtualGatewayResponseMessage.h"

namespace Quarn::Messages::VG {

VirtualGatewayResponseMessage::VirtualGatewayResponseMessage(
    std::string requestId, uint32_t responseCode,
    std::unique_ptr<QuarnGetStatusPayload> statusPayload)
    : requestId_(std::move(requestId)),
      responseCode_(responseCode),
      statusPayload_(std::move(statusPayload)) {}

std::unique_ptr<VirtualGatewayResponseMessage> VirtualGatewayResponseMessage::Failed(
    std::string requestId, Failure reason) {
    auto response =
        std::make_unique<VirtualGatewayResponseMessage>(std::move(requestId), kFailedResponseCode);
    response->failure_ = reason;
    return response;
}

}  // namespace Quarn::Messages::VG
