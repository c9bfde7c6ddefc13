#pragma once
// Message types (frame byte 16) and the fixed parts of a gateway frame.

#include <cstddef>
#include <cstdint>

namespace Quarn::Messages {

constexpr uint8_t QUARN_MESSAGE_RESPONSE = 0x00;
constexpr uint8_t QUARN_MESSAGE_GET_STATUS = 0x01;
constexpr uint8_t QUARN_MESSAGE_ADD_TO_WHITELIST = 0x03;
constexpr uint8_t QUARN_MESSAGE_REMOVE_FROM_WHITELIST = 0x04;
constexpr uint8_t QUARN_MESSAGE_DELETE_WHOLE_WHITELIST = 0x05;
constexpr uint8_t QUARN_MESSAGE_DISABLE_WHITELIST = 0x06;
constexpr uint8_t QUARN_MESSAGE_ENABLE_WHITELIST = 0x07;
constexpr uint8_t QUARN_MESSAGE_ACCESS_DENIED = 0x08;
constexpr uint8_t QUARN_MESSAGE_OPEN_CLOSE_LOCK = 0x09;
constexpr uint8_t QUARN_MESSAGE_OPEN_LOCK = 0x0A;
constexpr uint8_t QUARN_MESSAGE_CLOSE_LOCK = 0x0B;
constexpr uint8_t QUARN_MESSAGE_CARD_READER_EVENT = 0x0E;
constexpr uint8_t QUARN_MESSAGE_CARD_READER_EVENT_2 = 0x0F;
// Reader events that carry no payload this system decodes.
constexpr uint8_t QUARN_MESSAGE_CARD_READER_EVENT_3 = 0x11;
constexpr uint8_t QUARN_MESSAGE_CARD_READER_EVENT_4 = 0x12;
constexpr uint8_t QUARN_MESSAGE_PINCODE_EVENT = 0x16;

// Set on a lock command (access denied, open-close, open, close) that answers a card-reader
// event; the same command without it is a plain request.
constexpr uint8_t QUARN_MESSAGE_EVENT_RESPONSE_FLAG = 0x80;

// Frame layout: length, magic (2), inner length, header version, reserved (2), reference
// byte, sequence counter (4), device address (4), message type, payload, CRC (2).
constexpr uint8_t QUARN_FRAME_MAGIC_1 = 0xFE;
constexpr uint8_t QUARN_FRAME_MAGIC_2 = 0xFD;
constexpr uint8_t QUARN_FRAME_HEADER_VERSION = 1;
constexpr size_t QUARN_FRAME_HEADER_SIZE = 17;  // bytes ahead of the payload
constexpr size_t QUARN_FRAME_CRC_SIZE = 2;
// The inner length counts from byte 5 on.
constexpr size_t QUARN_FRAME_INNER_LENGTH_START = 5;
constexpr size_t QUARN_FRAME_MAX_SIZE = 255;  // the frame length is one byte
constexpr size_t QUARN_MAX_PAYLOAD_SIZE =
    QUARN_FRAME_MAX_SIZE - QUARN_FRAME_HEADER_SIZE - QUARN_FRAME_CRC_SIZE;

// Reference byte: bits 0-5 the reference identifier, bit 7 set on the gateway's replies.
constexpr uint8_t QUARN_REFERENCE_ID_MASK = 0x3F;
constexpr uint8_t QUARN_REFERENCE_ID_MAX = 63;
constexpr uint8_t QUARN_REPLY_FLAG = 0x80;

}  // namespace Quarn::Messages
