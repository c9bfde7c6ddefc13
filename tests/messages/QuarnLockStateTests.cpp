#include <gtest/gtest.h>

#include <string>
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

TEST(QuarnLockStateTest, AllBitsSet) {
    const QuarnGetStatusPayload payload = StatusAnswer({0x0F, 0x00, 0x5C, 0, 0, 0, 0});
    const QuarnLockState state = QuarnLockState::ParseFromBuffer(&payload);
    EXPECT_EQ(state.GetBatteryStatus(), 3u);
    EXPECT_EQ(state.GetQoS(), 3u);
    EXPECT_TRUE(state.IsMechanicalActive());
    EXPECT_TRUE(state.IsBatteryWarning());
    EXPECT_TRUE(state.IsBatteryAlarm());
    EXPECT_TRUE(state.IsReaderConnected());
}

TEST(QuarnLockStateTest, AllZeroLogsEveryValue) {
    const QuarnGetStatusPayload payload = StatusAnswer({0, 0, 0, 0, 0, 0, 0});
    MessagesTest::NewLogText();
    const QuarnLockState state = QuarnLockState::ParseFromBuffer(&payload);
    EXPECT_EQ(state.GetBatteryStatus(), 0u);
    EXPECT_EQ(state.GetQoS(), 0u);
    EXPECT_FALSE(state.IsMechanicalActive());
    EXPECT_FALSE(state.IsBatteryWarning());
    EXPECT_FALSE(state.IsBatteryAlarm());
    EXPECT_FALSE(state.IsReaderConnected());
    const std::string log = MessagesTest::NewLogText();
    for (const char* line :
         {"Quarn Lock State payload is valid.\n", "No battery status available.\n", "< 80%\n",
          "Lock mechanical non active.\n", "Current lock is not in battery warning.\n",
          "Current lock is not in battery alarm.\n"}) {
        EXPECT_EQ(TestSupport::CountOf(log, line), 1u) << line;
    }
}

TEST(QuarnLockStateTest, UnusedBitsAreIgnored) {
    const QuarnGetStatusPayload payload = StatusAnswer({0x06, 0xFF, 0xA3, 0xFF, 0xFF, 0xFF, 0xFF});
    const QuarnLockState state = QuarnLockState::ParseFromBuffer(&payload);
    EXPECT_EQ(state.GetBatteryStatus(), 2u);
    EXPECT_EQ(state.GetQoS(), 1u);
    EXPECT_FALSE(state.IsMechanicalActive());
    EXPECT_FALSE(state.IsBatteryWarning());
    EXPECT_FALSE(state.IsBatteryAlarm());
    EXPECT_FALSE(state.IsReaderConnected());
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
