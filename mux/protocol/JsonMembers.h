#pragma once
// Reading the members of a JSON object a client sent: the one rule for every integer a
// client sends, shared by the envelope and the request payloads. Functions without state.

#include <rapidjson/document.h>

#include <concepts>
#include <limits>
#include <utility>

namespace Mux::Json {

// The member's value, or null when absent (or when object is not an object at all).
inline const rapidjson::Value* Member(const rapidjson::Value& object, const char* name) {
    if (!object.IsObject()) {
        return nullptr;
    }
    auto member = object.FindMember(name);
    return member == object.MemberEnd() ? nullptr : &member->value;
}

// What reading an integer member found.
enum class IntegerMember { absent, unusable, read };

// Reads the member name into field when it is a JSON integer from lowest to highest; leaves
// field as it was when the member is absent or unusable. A number with a fraction or an
// exponent (1.0, 4.2e9), a value out of range, or any other kind of value is never rounded,
// cut or wrapped into one the field can hold.
template <std::integral Field>
IntegerMember ReadInteger(const rapidjson::Value& object, const char* name, Field& field,
                          Field lowest = std::numeric_limits<Field>::min(),
                          Field highest = std::numeric_limits<Field>::max()) {
    const rapidjson::Value* value = Member(object, name);
    if (value == nullptr) {
        return IntegerMember::absent;
    }
    auto fits = [lowest, highest](auto number) {
        return std::cmp_less_equal(lowest, number) && std::cmp_less_equal(number, highest);
    };
    if (value->IsInt64() && fits(value->GetInt64())) {
        field = static_cast<Field>(value->GetInt64());
        return IntegerMember::read;
    }
    if (value->IsUint64() && fits(value->GetUint64())) {
        field = static_cast<Field>(value->GetUint64());
        return IntegerMember::read;
    }
    return IntegerMember::unusable;
}

}  // namespace Mux::Json
