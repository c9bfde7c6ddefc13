// Client input as it arrives from the network: a connection's byte stream cut into packets
// and every packet's text parsed and written back, plus the raw bytes parsed as one text.
// The first byte picks the size of the reads the stream is delivered in.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "mux/protocol/MuxMessageBuilder.h"
#include "mux/protocol/MuxPacket.h"
#include "net/PacketCutter.h"

namespace {

constexpr size_t kLargestPacket = 65535;

void ParseAndWrite(const std::string& text) {
    if (auto message = Mux::MuxMessageBuilder::Build(text)) {
        message->ToJSON();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ParseAndWrite(std::string(reinterpret_cast<const char*>(data), size));
    if (size == 0) {
        return 0;
    }
    const size_t readSize = data[0] * 4u + 1;
    Quarn::Net::PacketCutter cutter;
    for (size_t offset = 1; offset < size; offset += readSize) {
        cutter.Append(data + offset, std::min(readSize, size - offset));
        while (auto packet = cutter.Next()) {
            if (packet->size() < Quarn::Net::PacketCutter::kMinimumPacketLength ||
                packet->size() !=
                    Quarn::Net::PacketCutter::GetExpectedSize(packet->data(), packet->size())) {
                std::abort();
            }
            Mux::MuxPacket muxPacket(*packet);
            if (Mux::MuxPacket::IsMuxPacket(*packet)) {
                ParseAndWrite(muxPacket.GetPayloadString());
            }
        }
        // What waits is never more than one packet and one read.
        if (cutter.PendingSize() > kLargestPacket + readSize) {
            std::abort();
        }
    }
    return 0;
}
