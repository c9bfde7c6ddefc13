#include "diagnostics/HexBytes.h"

namespace Diagnostics {

std::string HexBytes(std::span<const unsigned char> bytes, HexStyle style) {
    static constexpr char kLower[] = "0123456789abcdef";
    static constexpr char kUpper[] = "0123456789ABCDEF";
    const bool spaced = style == HexStyle::LowerSpaced;
    const char* digits = spaced ? kLower : kUpper;
    std::string text;
    text.reserve(bytes.size() * 3);
    for (unsigned char byte : bytes) {
        if (spaced && !text.empty()) {
            text.push_back(' ');
        }
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 0x0F]);
    }
    return text;
}

}  // namespace Diagnostics
