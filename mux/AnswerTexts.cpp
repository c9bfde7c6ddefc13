#include "mux/AnswerTexts.h"

#include "messages/QuarnResponseCodes.h"

namespace Mux {

using namespace Quarn::Messages;

std::string NotConnectedText(int gatewayId) {
    return "The request was not sent: gateway " + std::to_string(gatewayId) + " is not connected.";
}

std::string NotPermittedText(const std::string& identity) {
    return "Not permitted for client " + identity + ".";
}

std::string DetailedAnswerText(int responseCode, int lockId, int gatewayId) {
    const std::string where =
        "device address " + std::to_string(lockId) + " on gateway " + std::to_string(gatewayId);
    switch (responseCode) {
        case QUARN_RESPONSE_OK:
            return "";
        case QUARN_RESPONSE_ALREADY_IN_WHITELIST:
            return "Already in whitelist for " + where;
        case QUARN_RESPONSE_WHITELIST_FULL:
            return "Whitelist full for " + where;
        case QUARN_RESPONSE_NOT_IN_WHITELIST:
            return "Not in whitelist for " + where;
        case QUARN_RESPONSE_UNKNOWN_HEADER_VERSION:
            return "Unknown header version.";
        case QUARN_RESPONSE_REQUEST_NOT_SUPPORTED:
            return "Request not supported for " + where;
        case QUARN_RESPONSE_NO_ROUTE_FOR_DEVADDR:
            return "No route for " + where;
        case QUARN_RESPONSE_DATALENGTH_MISMATCH:
            return "Datalength mismatch the actual lock configuration.";
        case QUARN_RESPONSE_MESSAGE_UNEXPECTED:
            return "Request message unexpected for " + where;
        case QUARN_RESPONSE_SETUP_NUMBER_MISMATCH:
            return "Setup number mismatch";
        case QUARN_RESPONSE_SYSTEM_INCONSISTENCY:
            return "System inconsistancy for " + where +
                   ". Check for LN, PHI or other key indexes that doesn't match the current "
                   "configuration.";
        default:
            return "The gateway answered with an unhandled error code " +
                   std::to_string(responseCode) + " for the device with address " +
                   std::to_string(lockId) + " on gateway " + std::to_string(gatewayId);
    }
}

std::string ShortAnswerText(int responseCode) {
    switch (responseCode) {
        case QUARN_RESPONSE_OK:
            return "";
        case QUARN_RESPONSE_ALREADY_IN_WHITELIST:
            return "Already in whitelist.";
        case QUARN_RESPONSE_WHITELIST_FULL:
            return "Whitelist full.";
        case QUARN_RESPONSE_NOT_IN_WHITELIST:
            return "Not in whitelist.";
        case QUARN_RESPONSE_UNKNOWN_HEADER_VERSION:
            return "Unknown header version.";
        case QUARN_RESPONSE_REQUEST_NOT_SUPPORTED:
            return "Request not supported.";
        case QUARN_RESPONSE_NO_ROUTE_FOR_DEVADDR:
            return "No route for the requested device. ";
        case QUARN_RESPONSE_DATALENGTH_MISMATCH:
            return "Datalength mismatch for the request message.";
        case QUARN_RESPONSE_MESSAGE_UNEXPECTED:
            return "Request message unexpected.";
        case QUARN_RESPONSE_SETUP_NUMBER_MISMATCH:
            return "Setup number mismatch.";
        case QUARN_RESPONSE_SYSTEM_INCONSISTENCY:
            return "System inconsistancy for the request message.";
        default:
            return "Unhandled error code or unknown error.";
    }
}

}  // namespace Mux
