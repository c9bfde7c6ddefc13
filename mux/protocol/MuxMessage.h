#pragma once
// One message of the client protocol: the envelope with its payload. Written to clients as
// compact JSON, members always in the order "Timestamp", "MessageID", "MessageCode",
// "Data". Owns its payload. Not changed by two threads at once; writing it (ToJSON,
// ToBytes) does not change it, so threads may write a shared message at the same time.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "mux/protocol/MuxMessagePayloads.h"

namespace Mux {

class MuxMessage {
public:
    MuxMessage(int32_t timestamp, std::string messageId, int messageCode,
               std::unique_ptr<MuxMessagePayloadBase> payload)
        : timestamp_(timestamp),
          messageId_(std::move(messageId)),
          payload_(std::move(payload)),
          messageCode_(messageCode) {}

    int32_t GetTimestamp() const { return timestamp_; }
    const std::string& GetMessageId() const { return messageId_; }
    int GetMessageCode() const { return messageCode_; }
    // Borrowed for the message's lifetime; null when the message has none.
    MuxMessagePayloadBase* GetPayload() const { return payload_.get(); }
    // The payload when it is of class Payload, else null.
    template <class Payload>
    Payload* GetPayloadAs() const {
        return dynamic_cast<Payload*>(payload_.get());
    }

    // The envelope as compact JSON text; "Data" is null when there is no payload object.
    std::string ToJSON() const;
    // Exactly the bytes of ToJSON(), without length, magic or terminator.
    std::vector<unsigned char> ToBytes() const;

private:
    int32_t timestamp_;
    std::string messageId_;
    std::unique_ptr<MuxMessagePayloadBase> payload_;
    int messageCode_;
};

}  // namespace Mux
