#include "gateway/MessageRequestInfo.h"

#include "diagnostics/Log.h"

namespace Quarn {

MessageRequestInfo::MessageRequestInfo(std::string requestId,
                                       std::unique_ptr<Messages::QuarnMessage> message,
                                       bool refresh, Clock::time_point enqueueTime)
    : enqueueTime(enqueueTime),
      requestId(std::move(requestId)),
      message(std::move(message)),
      refresh(refresh) {}

MessageRequestInfo::~MessageRequestInfo() {
    if (message) {
        LOG_VERBOSE << "Internal request message set. Deallocate message memory.";
    }
}

}  // namespace Quarn
