#pragma once
// The message codes of the client protocol: the "MessageCode" member of every message.
// A client may send any other integer; such a message is parsed without a payload.

#include <algorithm>
#include <cstddef>
#include <iterator>

namespace Mux {

enum MuxMessageCodes : int {
    MUX_MESSAGE_ACK = 0,
    MUX_MESSAGE_NACK = 1,
    MUX_MESSAGE_CONFIGURE = 2,
    MUX_MESSAGE_LOCK_OPEN = 10,
    MUX_MESSAGE_LOCK_CLOSE = 11,
    MUX_MESSAGE_LOCK_GET_STATUS = 12,
    MUX_MESSAGE_LOCK_OPEN_CLOSE = 13,
    MUX_MESSAGE_ACCESS_DENIED = 14,
    MUX_MESSAGE_GET_WHITELIST = 20,
    MUX_MESSAGE_LOCK_WHITELIST_SET = 21,
    MUX_MESSAGE_CLEAR_WHITELIST = 22,
    MUX_MESSAGE_ENABLE_WHITELIST = 23,
    MUX_MESSAGE_DISABLE_WHITELIST = 24,
    MUX_MESSAGE_LOCK_WHITELIST_REMOVE = 25,
    MUX_MESSAGE_ACCESS_ALLOWED = 50,
    MUX_MESSAGE_EVENT_CARD_READER = 51,
    MUX_MESSAGE_EVENT_INFO = 60,
    // lockhub's own codes for operators: the configured gateways and their health, a
    // client's subscription to gateway status events, and such an event.
    MUX_MESSAGE_GATEWAYS = 100,
    MUX_MESSAGE_SUBSCRIBE_GATEWAY_STATUS = 101,
    MUX_MESSAGE_EVENT_GATEWAY_STATUS = 102,
    // The answers to a card-reader event: as their plain twins 10, 11, 13 and 14.
    MUX_MESSAGE_EVENT_LOCK_OPEN = 110,
    MUX_MESSAGE_EVENT_LOCK_CLOSE = 111,
    MUX_MESSAGE_EVENT_LOCK_OPEN_CLOSE = 113,
    MUX_MESSAGE_EVENT_ACCESS_DENIED = 114,
};

// The entry for code in a table of entries, one per code (each with a member code), or
// null when it has none.
template <class Entry, size_t N>
const Entry* FindByCode(const Entry (&table)[N], int code) {
    const Entry* found = std::find_if(std::begin(table), std::end(table),
                                      [code](const Entry& entry) { return entry.code == code; });
    return found == std::end(table) ? nullptr : found;
}

}  // namespace Mux
