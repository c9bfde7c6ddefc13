#pragma once
// The get-status payload: empty in a request; in the gateway's answer it holds the lock's
// 7 status bytes (frame offsets 17-23), decoded by QuarnLockState.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "messages/QuarnMessagePayload.h"

namespace Quarn::Messages {

class QuarnGetStatusPayload : public QuarnMessagePayload {
public:
    static constexpr uint8_t PAYLOAD_TYPE = 2;
    static constexpr size_t STATUS_DATA_SIZE = 7;
    using StatusData = std::array<unsigned char, STATUS_DATA_SIZE>;

    // A request: no status record.
    QuarnGetStatusPayload() : QuarnMessagePayload(PAYLOAD_TYPE) {}
    // An answer: copies the status record. Throws std::out_of_range for a frame shorter
    // than 24 bytes.
    explicit QuarnGetStatusPayload(const std::vector<unsigned char>& frame);

    // ToByteArray (inherited) writes nothing, request or answer: status records are only
    // ever received.

    bool HasStatusData() const { return statusData_.has_value(); }
    // A copy of the status record; all zero when there is none.
    StatusData GetStatusData() const;

private:
    std::optional<StatusData> statusData_;
};

}  // namespace Quarn::Messages
