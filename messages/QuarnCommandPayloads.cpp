#include "messages/QuarnCommandPayloads.h"

namespace Quarn::Messages {

namespace {

unsigned char HighByte(uint16_t value) {
    return static_cast<unsigned char>(value >> 8);
}

unsigned char LowByte(uint16_t value) {
    return static_cast<unsigned char>(value & 0xFF);
}

}  // namespace

std::vector<unsigned char> QuarnShortTermActivationPayload::ToByteArray() const {
    return {duration_};
}

std::vector<unsigned char> QuarnLongTermActivationPayload::ToByteArray() const {
    return {HighByte(parameter_), LowByte(parameter_), HighByte(time_), LowByte(time_)};
}

std::vector<unsigned char> QuarnLongTermReleasePayload::ToByteArray() const {
    return {HighByte(delay_), LowByte(delay_)};
}

}  // namespace Quarn::Messages
