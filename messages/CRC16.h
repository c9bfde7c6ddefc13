#pragma once
// The checksum that closes every gateway frame.

#include <cstdint>
#include <vector>

namespace Quarn::CRC {

class CRC16 {
public:
    // CRC-16/XMODEM: polynomial 0x1021, initial value 0, most significant bit first, no
    // reflection, no final XOR. An empty vector yields 0; "123456789" yields 0x31C3.
    // Pure; safe on any thread.
    static uint16_t XModem(const std::vector<unsigned char>& data);
};

}  // namespace Quarn::CRC
