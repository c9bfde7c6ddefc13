#include "messages/CRC16.h"

#include <array>

#include "diagnostics/Log.h"

namespace Quarn::CRC {

namespace {

constexpr uint16_t POLYNOMIAL = 0x1021;

// The register after shifting each possible high byte through it, so that a byte costs
// one lookup instead of eight shifts.
constexpr std::array<uint16_t, 256> MakeTable() {
    std::array<uint16_t, 256> table{};
    for (unsigned value = 0; value < table.size(); ++value) {
        uint16_t crc = static_cast<uint16_t>(value << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ POLYNOMIAL : crc << 1);
        }
        table[value] = crc;
    }
    return table;
}

constexpr std::array<uint16_t, 256> TABLE = MakeTable();

}  // namespace

uint16_t CRC16::XModem(const std::vector<unsigned char>& data) {
    LOG_DEBUG << "CRC Vector size: " << data.size();
    uint16_t crc = 0;
    for (unsigned char byte : data) {
        crc = static_cast<uint16_t>((crc << 8) ^ TABLE[((crc >> 8) ^ byte) & 0xFF]);
    }
    LOG_DEBUG << "CRC Value: " << crc;
    return crc;
}

}  // namespace Quarn::CRC
