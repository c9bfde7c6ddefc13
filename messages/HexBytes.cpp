#include "messages/HexBytes.h"

namespace Quarn::Messages {

std::string HexBytes(const std::vector<unsigned char>& bytes) {
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 3);
    for (unsigned char byte : bytes) {
        if (!text.empty()) {
            text.push_back(' ');
        }
        text.push_back(DIGITS[byte >> 4]);
        text.push_back(DIGITS[byte & 0x0F]);
    }
    return text;
}

}  // namespace Quarn::Messages
