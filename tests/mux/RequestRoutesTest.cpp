// How the core answers a gateway's refusal, request code by request code.

#include "mux/RequestRoutes.h"

#include <gtest/gtest.h>

#include <string>

#include "gateway/VirtualGatewayResponseMessage.h"
#include "mux/protocol/MuxMessage.h"
#include "mux/protocol/MuxMessageBuilder.h"

namespace {

using Mux::FindRequestRoute;
using Response = Quarn::Messages::VG::VirtualGatewayResponseMessage;

// The "Data" of the answer to a request of code for lock 7 on gateway 3, refused by the
// gateway with responseCode.
std::string RefusalData(int code, int responseCode) {
    auto request = Mux::MuxMessageBuilder::Build(
        "{\"MessageID\":\"r\",\"MessageCode\":" + std::to_string(code) +
        ",\"Data\":{\"gatewayID\":3,\"lockID\":7,\"cardData\":\"01\"}}");
    EXPECT_NE(request->GetPayload(), nullptr) << code;
    const Mux::RequestRoute* route = FindRequestRoute(code);
    EXPECT_NE(route, nullptr) << code;
    Response response("r", static_cast<uint32_t>(responseCode));
    auto answer = route->answer(*request, responseCode, response);
    EXPECT_EQ(answer->GetMessageCode(), 1) << code;
    EXPECT_EQ(answer->GetMessageId(), "r");
    std::string text = answer->ToJSON();
    return text.substr(text.find("\"Data\":") + 7);
}

TEST(RequestRoutes, OpeningAndClosingNameTheLockOthersGiveTheShortText) {
    for (int code : {10, 110, 11, 111}) {
        EXPECT_EQ(RefusalData(code, 4),
                  "{\"ErrorCode\":0,\"Message\":\"Not in whitelist for device address 7 on "
                  "gateway 3\",\"Data\":{\"Success\":false,\"ErrorCode\":4}}}")
            << code;
    }
    EXPECT_EQ(RefusalData(12, 8), "{\"ErrorCode\":8,\"Message\":\"\",\"Data\":null}}");
    for (int code : {13, 113, 14, 114, 21, 25, 22, 23, 24}) {
        EXPECT_EQ(RefusalData(code, 2),
                  "{\"ErrorCode\":2,\"Message\":\"Already in whitelist.\",\"Data\":null}}")
            << code;
    }
}

TEST(RequestRoutes, CodesThatNoGatewayServesHaveNoOperation) {
    ASSERT_NE(FindRequestRoute(50), nullptr);
    EXPECT_FALSE(FindRequestRoute(50)->command);
    for (int code : {0, 1, 2, 20, 51, 60, 99}) {
        EXPECT_EQ(FindRequestRoute(code), nullptr) << code;
    }
}

TEST(RequestRoutes, EventTwinsSendTheirPlainCommandWithWhatThePayloadAdds) {
    for (auto [plain, twin] : {std::pair{10, 110}, {11, 111}, {13, 113}, {14, 114}}) {
        EXPECT_EQ(FindRequestRoute(plain)->command, FindRequestRoute(twin)->command) << twin;
    }
    auto openClose = Mux::MuxMessageBuilder::Build(
        "{\"MessageID\":\"d\",\"MessageCode\":113,\"Data\":{\"gatewayID\":3,\"lockID\":7,"
        "\"duration\":9}}");
    Quarn::GatewayCommand command = Mux::CommandFor(*FindRequestRoute(113), *openClose, true);
    EXPECT_EQ(command.kind, Quarn::CommandKind::OpenCloseLock);
    EXPECT_EQ(command.requestId, "d");
    EXPECT_EQ(command.deviceAddress, 7u);
    EXPECT_EQ(command.seconds, 9);
    EXPECT_TRUE(command.answersEvent);
    auto card = Mux::MuxMessageBuilder::Build(
        "{\"MessageID\":\"c\",\"MessageCode\":21,\"Data\":{\"gatewayID\":3,\"lockID\":7,"
        "\"cardData\":\"0A0B\",\"isUIDCard\":true,\"options\":1}}");
    command = Mux::CommandFor(*FindRequestRoute(21), *card, false);
    EXPECT_EQ(command.kind, Quarn::CommandKind::AddWhitelistEntry);
    EXPECT_EQ(command.cardData, (std::vector<unsigned char>{0x0A, 0x0B}));
    EXPECT_TRUE(command.uidMode);
    EXPECT_TRUE(command.flag);
}

}  // namespace
