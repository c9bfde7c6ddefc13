#include "net/PacketCutter.h"

namespace Quarn::Net {

uint16_t PacketCutter::GetExpectedSize(const unsigned char* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    return static_cast<uint16_t>(data[0] | (data[1] << 8));
}

void PacketCutter::Append(const unsigned char* data, size_t size) {
    if (start_ > 0) {
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
    pending_.insert(pending_.end(), data, data + size);
}

uint16_t PacketCutter::ExpectedSize() const {
    return GetExpectedSize(pending_.data() + start_, PendingSize());
}

std::unique_ptr<std::vector<unsigned char>> PacketCutter::Next() {
    if (PendingSize() < 2) {
        return nullptr;
    }
    uint16_t length = ExpectedSize();
    if (length < kMinimumPacketLength) {
        pending_.clear();
        start_ = 0;
        return nullptr;
    }
    if (length > PendingSize()) {
        return nullptr;
    }
    auto first = pending_.begin() + static_cast<std::ptrdiff_t>(start_);
    auto packet = std::make_unique<std::vector<unsigned char>>(first, first + length);
    start_ += length;
    if (start_ == pending_.size()) {
        pending_.clear();
        start_ = 0;
    }
    return packet;
}

}  // namespace Quarn::Net
