#include "tools/lockctl/RequestBuilder.h"

#include <unistd.h>

#include <chrono>
#include <memory>

#include "mux/protocol/MuxMessageBuilder.h"
#include "mux/protocol/MuxMessageCodes.h"

namespace Lockctl {
namespace {

using namespace Mux;

// A whitelist entry request as a client sends it. lockhub's own whitelist payload writes
// only the lock's address; a request also carries the card and its settings.
class WhitelistRequestPayload : public MuxWhitelistSetPayload {
public:
    using MuxWhitelistSetPayload::MuxWhitelistSetPayload;

    rapidjson::Value ToJSONObject(rapidjson::Document& document) const override {
        rapidjson::Value object = MuxWhitelistSetPayload::ToJSONObject(document);
        auto& allocator = document.GetAllocator();
        object.AddMember("setupNumber", static_cast<int>(setupNumber), allocator);
        object.AddMember("options", static_cast<int>(options), allocator);
        std::string hex = HexText();
        object.AddMember("cardData", rapidjson::Value(hex.c_str(), allocator), allocator);
        object.AddMember("isUIDCard", isUIDCard, allocator);
        return object;
    }

private:
    std::string HexText() const {
        static constexpr char kDigits[] = "0123456789ABCDEF";
        std::string text;
        for (unsigned char byte : cardData) {
            text += kDigits[byte >> 4];
            text += kDigits[byte & 0x0F];
        }
        return text;
    }
};

std::unique_ptr<MuxMessagePayloadBase> BuildPayload(int code, const Options& options) {
    const int32_t gateway = options.gateway;
    const int32_t lock = options.lock;
    switch (code) {
        case MUX_MESSAGE_LOCK_OPEN:
        case MUX_MESSAGE_EVENT_LOCK_OPEN:
            return std::make_unique<MuxLockOpenMessagePayload>(gateway, lock);
        case MUX_MESSAGE_LOCK_CLOSE:
        case MUX_MESSAGE_EVENT_LOCK_CLOSE:
            return std::make_unique<MuxLockCloseMessagePayload>(gateway, lock);
        case MUX_MESSAGE_LOCK_OPEN_CLOSE:
        case MUX_MESSAGE_EVENT_LOCK_OPEN_CLOSE:
            return std::make_unique<MuxLockOpenCloseMessagePayload>(
                gateway, lock, static_cast<uint8_t>(options.duration));
        case MUX_MESSAGE_LOCK_GET_STATUS:
            return std::make_unique<MuxGetLockStatusMessagePayload>(gateway,
                                                                    static_cast<uint16_t>(lock));
        case MUX_MESSAGE_ACCESS_DENIED:
        case MUX_MESSAGE_EVENT_ACCESS_DENIED:
            return std::make_unique<MuxAccessDeniedMessagePayload>(gateway,
                                                                   static_cast<uint16_t>(lock));
        case MUX_MESSAGE_LOCK_WHITELIST_SET:
        case MUX_MESSAGE_LOCK_WHITELIST_REMOVE:
            return std::make_unique<WhitelistRequestPayload>(
                MuxMessageBuilder::DecodeCardData(options.card), gateway, lock,
                static_cast<uint8_t>(options.setup), static_cast<uint8_t>(options.cardOptions),
                options.uid);
        case MUX_MESSAGE_CLEAR_WHITELIST:
            return std::make_unique<MuxWhitelistClearPayload>(gateway, lock);
        case MUX_MESSAGE_ENABLE_WHITELIST:
            return std::make_unique<MuxWhitelistEnablePayload>(gateway, lock);
        case MUX_MESSAGE_DISABLE_WHITELIST:
            return std::make_unique<MuxWhitelistDisablePayload>(gateway, lock);
        default:
            return nullptr;
    }
}

}  // namespace

std::string MakeMessageId() {
    auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    return "lockctl-" + std::to_string(::getpid()) + "-" + std::to_string(milliseconds.count());
}

std::string BuildRequestText(const Options& options, const std::string& messageId) {
    const Command& command = *options.command;
    int code = options.eventAnswer ? command.eventAnswerCode : command.code;
    return MuxMessageBuilder::BuildMessage(code, messageId, BuildPayload(code, options))->ToJSON();
}

}  // namespace Lockctl
