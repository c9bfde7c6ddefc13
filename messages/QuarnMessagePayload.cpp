#include "messages/QuarnMessagePayload.h"

namespace Quarn::Messages {

std::vector<unsigned char> QuarnMessagePayload::ToByteArray() const {
    return {};
}

}  // namespace Quarn::Messages
