#pragma once
// Bytes written as hexadecimal text, for log lines and for card identifiers and PINs.
// Pure; safe on any thread.

#include <span>
#include <string>

namespace Diagnostics {

enum class HexStyle {
    LowerSpaced,  // two lower-case digits a byte, separated by blanks: "13 fe fd" (byte dumps)
    UpperPacked,  // two upper-case digits a byte, nothing between: "04A10B" (card data)
};

// Empty bytes give an empty text.
std::string HexBytes(std::span<const unsigned char> bytes, HexStyle style);

}  // namespace Diagnostics
