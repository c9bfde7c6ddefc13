#include "mux/protocol/MuxPacket.h"

#include <algorithm>
#include <cstring>

namespace Mux {

namespace {
constexpr char kMagic[] = "MUXM";
constexpr size_t kMagicSize = sizeof kMagic - 1;
constexpr size_t kMagicOffset = 2;
}  // namespace

bool MuxPacket::IsMuxPacket(const std::vector<unsigned char>& data) {
    uint16_t length = data.size() < 2 ? 0 : static_cast<uint16_t>(data[0] | (data[1] << 8));
    return length != 0 && data.size() >= kHeaderSize &&
           std::memcmp(data.data() + kMagicOffset, kMagic, kMagicSize) == 0;
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
