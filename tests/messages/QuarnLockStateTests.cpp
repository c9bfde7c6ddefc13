#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "MessagesLog.h"
#include "messages/QuarnLockState.h"
#include "messages/QuarnMessageTypes.h"
#include "tests/support/TestSupport.h"

using namespace Quarn::Messages;
using Bytes = std::vector<unsigned char>;

namespace {

QuarnGetStatusPayload StatusAnswer(const Bytes& status) {
    Bytes frame{
        0x1A, 0xFE, 0xFD, 0x15, 1, 0, 0, 0x81, 0, 0, 0, 1, 0, 0, 0, 7, QUARN_MESSAGE_GET_STATUS};
    frame.reserve(frame.size() + status.size() + 2);
    frame.insert(frame.end(), status.begin(), status.end());
    frame.push_back(0xCC);
    frame.push_back(0xCC);
    return QuarnGetStatusPayload(frame);
}

struct Decoded {
    uint32_t batteryStatus;
    uint32_t qos;
    bool mechanicalActive, batteryWarning, batteryAlarm, readerConnected;
};

TEST(QuarnLockStateTest, StatusBytesDecode) {
    const std::vector<std::pair<Bytes, Decoded>> cases{
        {{0x0F, 0x00, 0x5C, 0, 0, 0, 0}, {3, 3, true, true, true, true}},
        {{0, 0, 0, 0, 0, 0, 0}, {0, 0, false, false, false, false}},
        // Bits 0, 1, 5 and 7 of byte 2 and every other byte are not used.
        {{0x06, 0xFF, 0xA3, 0xFF, 0xFF, 0xFF, 0xFF}, {2, 1, false, false, false, false}},
    };
    for (const auto& [status, expected] : cases) {
        const QuarnGetStatusPayload payload = StatusAnswer(status);
        const QuarnLockState state = QuarnLockState::ParseFromBuffer(&payload);
        SCOPED_TRACE(int{status[0]});
        EXPECT_EQ(state.GetBatteryStatus(), expected.batteryStatus);
        EXPECT_EQ(state.GetQoS(), expected.qos);
        EXPECT_EQ(state.IsMechanicalActive(), expected.mechanicalActive);
        EXPECT_EQ(state.IsBatteryWarning(), expected.batteryWarning);
        EXPECT_EQ(state.IsBatteryAlarm(), expected.batteryAlarm);
        EXPECT_EQ(state.IsReaderConnected(), expected.readerConnected);
    }
}

TEST(QuarnLockStateTest, DecodedValuesAreLoggedAtDebug) {
    const QuarnGetStatusPayload payload = StatusAnswer({0, 0, 0, 0, 0, 0, 0});
    MessagesTest::NewLogText();
    const QuarnLockState state = QuarnLockState::ParseFromBuffer(&payload);
    EXPECT_EQ(state.GetBatteryStatus(), 0u);
    const std::string log = MessagesTest::NewLogText();
    for (const char* line :
         {"Quarn Lock State payload is valid.\n", "No battery status available.\n", "< 80%\n",
          "Lock mechanical non active.\n", "Current lock is not in battery warning.\n",
          "Current lock is not in battery alarm.\n"}) {
        EXPECT_EQ(TestSupport::CountOf(log, line), 1u) << line;
    }
}

TEST(QuarnLockStateTest, NullPayloadGivesTheZeroStateAndOneWarning) {
    MessagesTest::NewLogText();
    const QuarnLockState state = QuarnLockState::ParseFromBuffer(nullptr);
    EXPECT_EQ(state.GetBatteryStatus(), 0u);
    EXPECT_EQ(state.GetQoS(), 0u);
    EXPECT_FALSE(state.IsMechanicalActive() || state.IsBatteryWarning() || state.IsBatteryAlarm() ||
                 state.IsReaderConnected());
    const std::string log = MessagesTest::NewLogText();
    EXPECT_EQ(TestSupport::CountOf(
                  log, "Quarn Lock State payload is nullptr. Cannot parse lock status data."),
              1u);
    EXPECT_EQ(TestSupport::CountOf(log, "\n"), 1u);
}

TEST(QuarnLockStateTest, StatusAnswerMustHoldSevenBytes) {
    Bytes frame{
        0x18, 0xFE, 0xFD, 0x13, 1, 0, 0, 0x81, 0, 0, 0, 1, 0, 0, 0, 7, QUARN_MESSAGE_GET_STATUS,
        1,    2,    3,    4,    5, 6};
    EXPECT_THROW(QuarnGetStatusPayload{frame}, std::out_of_range);
    frame.push_back(7);
    EXPECT_EQ(QuarnGetStatusPayload(frame).GetStatusData(),
              (QuarnGetStatusPayload::StatusData{1, 2, 3, 4, 5, 6, 7}));
}

}  // namespace
