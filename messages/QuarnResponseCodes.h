#pragma once
// Response codes a gateway answers a request with (payload byte of a response frame).
// Code 1 and codes above 12 have no name and are handled alike.

#include <cstdint>

namespace Quarn::Messages {

constexpr uint8_t QUARN_RESPONSE_OK = 0;
constexpr uint8_t QUARN_RESPONSE_ALREADY_IN_WHITELIST = 2;
constexpr uint8_t QUARN_RESPONSE_WHITELIST_FULL = 3;
constexpr uint8_t QUARN_RESPONSE_NOT_IN_WHITELIST = 4;
constexpr uint8_t QUARN_RESPONSE_UNKNOWN_HEADER_VERSION = 5;
constexpr uint8_t QUARN_RESPONSE_REQUEST_NOT_SUPPORTED = 6;
// The payload then also carries the gateway's current sequence counter.
constexpr uint8_t QUARN_RESPONSE_SEQUENCE_COUNTER_ERROR = 7;
constexpr uint8_t QUARN_RESPONSE_NO_ROUTE_FOR_DEVADDR = 8;
constexpr uint8_t QUARN_RESPONSE_DATALENGTH_MISMATCH = 9;
constexpr uint8_t QUARN_RESPONSE_MESSAGE_UNEXPECTED = 10;
constexpr uint8_t QUARN_RESPONSE_SETUP_NUMBER_MISMATCH = 11;
constexpr uint8_t QUARN_RESPONSE_SYSTEM_INCONSISTENCY = 12;

}  // namespace Quarn::Messages
