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
    EXPECT_EQ(FindRequestRoute(50)->call, nullptr);
    for (int code : {0, 1, 2, 20, 51, 60, 99}) {
        EXPECT_EQ(FindRequestRoute(code), nullptr) << code;
    }
}

}  // namespace
