#pragma once
// Byte dumps for log lines (internal to the messages library).

#include <string>
#include <vector>

namespace Quarn::Messages {

// Two-digit lower-case hexadecimal numbers separated by blanks: "13 fe fd".
std::string HexBytes(const std::vector<unsigned char>& bytes);

}  // namespace Quarn::Messages
