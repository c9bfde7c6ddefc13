#include "gateway/GatewayCommand.h"

#include "diagnostics/Log.h"

namespace Quarn {

bool IsDoorCommand(CommandKind kind) {
    switch (kind) {
        case CommandKind::OpenLock:
        case CommandKind::CloseLock:
        case CommandKind::OpenCloseLock:
        case CommandKind::AccessDenied:
            return true;
        default:
            return false;
    }
}

namespace {

struct FrameLines {
    const char* enqueuing;
    const char* bytes;
};

FrameLines LinesOf(CommandKind kind) {
    switch (kind) {
        case CommandKind::GetStatus:
            return {"Enqueuing GET_STATUS message.", "Message bytes for check: "};
        case CommandKind::OpenLock:
        case CommandKind::OpenCloseLock:
            return {"Enqueuing OPEN_LOCK message.", "OPEN_LOCK Message bytes for check: "};
        case CommandKind::CloseLock:
            return {" Enqueuing CLOSE_LOCK message.", "CLOSE_LOCK Message bytes for check: "};
        case CommandKind::AccessDenied:
            return {"Enqueuing ACCESS_DENIED message.", "Message bytes for check: "};
        case CommandKind::AddWhitelistEntry:
            return {"Enqueuing ADD_TO_WHITELIST message.",
                    "ADD_TO_WHITELIST message bytes for check: "};
        case CommandKind::RemoveWhitelistEntry:
            return {"Enqueuing REMOVE_FROM_WHITELIST message.",
                    "REMOVE_FROM_WHITELIST message bytes for check: "};
        case CommandKind::ClearWhitelist:
            return {"Enqueuing DELETE_WHOLE_WHITELIST message.",
                    "[VirtualGateway::ClearWhiteList] Message bytes for check: "};
        case CommandKind::EnableWhitelist:
            return {"Enqueuing ENABLE_WHITELIST message.", "Message bytes for check: "};
        case CommandKind::DisableWhitelist:
            return {"Enqueuing DISABLE_WHITELIST message.", "Message bytes for check: "};
    }
    return {"", ""};
}

// A UID card has no setup number.
uint8_t SetupNumber(const GatewayCommand& command) {
    if (command.uidMode && command.setupNo != 0) {
        LOG_WARNING << "Specified UID mode card data, but SetupNo is not zero. Change to zero.";
        return 0;
    }
    return command.setupNo;
}

std::unique_ptr<Messages::QuarnMessage> Build(const Messages::QuarnMessageBuilder& builder,
                                              const GatewayCommand& command) {
    const uint32_t address = command.deviceAddress;
    switch (command.kind) {
        case CommandKind::GetStatus:
            return builder.BuildGetStatusMessage(address);
        case CommandKind::OpenLock:
            return builder.BuildOpenLockMessage(address, 0, command.seconds, command.answersEvent);
        case CommandKind::CloseLock:
            return builder.BuildCloseLockMessage(address, command.seconds, command.answersEvent);
        case CommandKind::OpenCloseLock:
            return builder.BuildOpenCloseLockMessage(address, command.seconds,
                                                     command.answersEvent);
        case CommandKind::AccessDenied:
            return builder.BuildAccessDeniedMessage(address, command.answersEvent);
        case CommandKind::AddWhitelistEntry:
            return builder.BuildAddToWhitelistMessage(address, command.uidMode,
                                                      SetupNumber(command), command.flag ? 1 : 0,
                                                      command.cardData);
        case CommandKind::RemoveWhitelistEntry:
            return builder.BuildRemoveFromWhitelistMessage(address, command.uidMode,
                                                           SetupNumber(command), 0,
                                                           command.cardData);
        case CommandKind::ClearWhitelist:
            return builder.BuildDeleteWholeWhitelistMessage(address);
        case CommandKind::EnableWhitelist:
            return builder.BuildEnableWhitelistMessage(address);
        case CommandKind::DisableWhitelist:
            return builder.BuildDisableWhitelistMessage(address);
    }
    return nullptr;
}

}  // namespace

std::unique_ptr<Messages::QuarnMessage> BuildCommandFrame(
    const Messages::QuarnMessageBuilder& builder, const GatewayCommand& command) {
    auto frame = Build(builder, command);
    if (!frame) {
        LOG_ERROR << "The frame of request " << command.requestId << " cannot be built.";
        return nullptr;
    }
    const FrameLines lines = LinesOf(command.kind);
    LOG_INFO << lines.enqueuing;
    if (Diagnostics::IsLogged(Diagnostics::debug)) {
        LOG_DEBUG << lines.bytes << frame->ToHexString();
    }
    return frame;
}

}  // namespace Quarn
