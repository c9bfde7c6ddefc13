#include "messages/QuarnReaderEventPayloads.h"

#include <utility>

#include "diagnostics/Log.h"
#include "messages/QuarnMessageTypes.h"

namespace Quarn::Messages {

QuarnReaderEvent QuarnReaderEvent::Read(const std::vector<unsigned char>& frame) {
    QuarnReaderEvent event;
    if (frame.empty()) {
        return event;
    }
    size_t offset = QUARN_FRAME_HEADER_SIZE;
    for (unsigned char& byte : event.eventHeader) {
        byte = frame.at(offset++);
    }
    event.eventByte1 = frame.at(offset++);
    event.eventByte2 = frame.at(offset++);
    event.eventByte3 = frame.at(offset++);
    const size_t dataLength = frame.at(offset++);
    if (dataLength > 0) {
        // Bounds test of the last data byte before copying the run.
        frame.at(offset + dataLength - 1);
        event.data.assign(frame.begin() + static_cast<std::ptrdiff_t>(offset),
                          frame.begin() + static_cast<std::ptrdiff_t>(offset + dataLength));
    }
    return event;
}

std::vector<unsigned char> QuarnReaderEvent::ToByteArray() const {
    std::vector<unsigned char> bytes(eventHeader.begin(), eventHeader.end());
    bytes.reserve(bytes.size() + 4 + data.size());
    bytes.push_back(eventByte1);
    bytes.push_back(eventByte2);
    bytes.push_back(eventByte3);
    bytes.push_back(static_cast<unsigned char>(data.size()));
    bytes.insert(bytes.end(), data.begin(), data.end());
    return bytes;
}

QuarnCardReaderMessagePayload::QuarnCardReaderMessagePayload(
    const std::vector<unsigned char>& frame)
    : QuarnMessagePayload(PAYLOAD_TYPE), event_(QuarnReaderEvent::Read(frame)) {}

QuarnCardReaderMessagePayload::QuarnCardReaderMessagePayload(QuarnReaderEvent event)
    : QuarnMessagePayload(PAYLOAD_TYPE), event_(std::move(event)) {}

QuarnPincodeMessagePayload::QuarnPincodeMessagePayload(const std::vector<unsigned char>& frame)
    : QuarnMessagePayload(PAYLOAD_TYPE), event_(QuarnReaderEvent::Read(frame)) {
    LOG_VERBOSE << "[QuarnPincodeMessagePayload] Payload Type: " << GetPayloadType();
}

QuarnPincodeMessagePayload::QuarnPincodeMessagePayload(QuarnReaderEvent event)
    : QuarnMessagePayload(PAYLOAD_TYPE), event_(std::move(event)) {
    LOG_VERBOSE << "[QuarnPincodeMessagePayload] Payload Type: " << GetPayloadType();
}

}  // namespace Quarn::Messages
