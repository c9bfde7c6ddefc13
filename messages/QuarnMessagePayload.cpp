#include "messages/QuarnMessagePayload.h"

namespace Quarn::Messages {

std::vector<unsigned char> QuarnMessagePayload::ToByteArray() const {
    return {};
}

uint8_t QuarnMessagePayload::GetDataLength() const {
    return static_cast<uint8_t>(ToByteArray().size());
}

}  // namespace Quarn::Messages
