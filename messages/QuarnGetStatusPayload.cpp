#include "messages/QuarnGetStatusPayload.h"

#include "messages/QuarnMessageTypes.h"

namespace Quarn::Messages {

QuarnGetStatusPayload::QuarnGetStatusPayload(const std::vector<unsigned char>& frame)
    : QuarnMessagePayload(PAYLOAD_TYPE) {
    StatusData status{};
    for (size_t i = 0; i < status.size(); ++i) {
        status[i] = frame.at(QUARN_FRAME_HEADER_SIZE + i);
    }
    statusData_ = status;
}

QuarnGetStatusPayload::StatusData QuarnGetStatusPayload::GetStatusData() const {
    return statusData_.value_or(StatusData{});
}

}  // namespace Quarn::Messages
