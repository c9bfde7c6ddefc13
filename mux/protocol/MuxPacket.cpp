#include "mux/protocol/MuxPacket.h"

#include <algorithm>
#include <cstring>

#include "diagnostics/Tracer.h"

namespace Mux {

namespace {
constexpr char kMagic[] = "MUXM";
constexpr size_t kMagicSize = sizeof kMagic - 1;
constexpr size_t kMagicOffset = 2;
constexpr unsigned int kTraceVerbose = 8;
constexpr unsigned int kTraceWarning = 2;
}  // namespace

bool MuxPacket::IsMuxPacket(const std::vector<unsigned char>& data) {
    uint16_t length = data.size() < 2 ? 0 : static_cast<uint16_t>(data[0] | (data[1] << 8));
    bool isMuxPacket = length != 0 && data.size() >= kHeaderSize &&
                       std::memcmp(data.data() + kMagicOffset, kMagic, kMagicSize) == 0;
    if (isMuxPacket) {
        Diagnostics::Tracer::GetInstance().WriteLine(
            "[MuxPacket::IsMuxPacket] Data is a MUX packet.", kTraceVerbose);
    } else {
        Diagnostics::Tracer::GetInstance().WriteLine(
            "[MuxPacket::IsMuxPacket] Data is NOT a MUX packet.", kTraceWarning);
    }
    return isMuxPacket;
}

MuxPacket::MuxPacket(const std::vector<unsigned char>& data) {
    if (!IsMuxPacket(data)) {
        return;
    }
    length_ = static_cast<uint16_t>(data[0] | (data[1] << 8));
    payload_.reserve(data.size() - kHeaderSize + 1);
    payload_.assign(data.begin() + kHeaderSize, data.end());
    payload_.push_back(0);
    auto end = std::find(payload_.begin(), payload_.end(), 0);
    text_.assign(payload_.begin(), end);
}

}  // namespace Mux
