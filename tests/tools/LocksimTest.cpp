// locksim as a process, driven with frames built by the gateway protocol code.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "messages/QuarnGetStatusPayload.h"
#include "messages/QuarnMessageBuilder.h"
#include "messages/QuarnMessageTypes.h"
#include "messages/QuarnResponseCodes.h"
#include "messages/QuarnResponsePayload.h"
#include "tests/support/Processes.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<unsigned char>;
using TestSupport::Locksim;
namespace Q = Quarn::Messages;

// One connection to locksim, numbering its frames with rising counters.
class Client {
public:
    explicit Client(int port) : fd_(TestSupport::ConnectTo(port)) {}
    ~Client() {
        if (fd_ != -1) {
            ::close(fd_);
        }
    }
    bool Connected() const { return fd_ != -1; }

    // Sends the frame stamped with the next counter (or the given one) and reference id.
    void Send(std::unique_ptr<Q::QuarnMessage> frame, std::optional<uint32_t> counter = {}) {
        frame->SetSequenceCounter(counter ? *counter : ++counter_);
        frame->SetReferenceId(reference_ = static_cast<uint8_t>(reference_ % 63 + 1));
        Bytes bytes = frame->Serialize();
        ASSERT_TRUE(TestSupport::SendAll(fd_, std::string(bytes.begin(), bytes.end())));
    }

    // The next frame locksim sends, parsed; null when none came in time.
    std::unique_ptr<Q::QuarnMessage> Next(std::chrono::milliseconds deadline = 5s) {
        while (buffer_.empty() || buffer_.size() < buffer_.front()) {
            std::string more = TestSupport::ReceiveFor(fd_, 1, deadline);
            if (more.empty()) {
                return nullptr;
            }
            buffer_.insert(buffer_.end(), more.begin(), more.end());
        }
        Bytes frame(buffer_.begin(), buffer_.begin() + buffer_.front());
        buffer_.erase(buffer_.begin(), buffer_.begin() + buffer_.front());
        return Q::QuarnMessageBuilder::Parse(frame);
    }

    // The response code of the next answer, which must answer the last frame sent.
    int Code() {
        auto answer = Next();
        if (!answer || !answer->IsReply() || answer->GetReferenceId() != reference_) {
            return -1;
        }
        auto payload = dynamic_cast<const Q::QuarnResponsePayload*>(answer->GetPayload());
        return payload ? payload->GetResponseCode() : -1;
    }

    bool Closed() { return TestSupport::ReceiveFor(fd_, 1, 5s).empty(); }

    Q::QuarnMessageBuilder builder{0, 1};

private:
    int fd_;
    uint32_t counter_ = 1000;
    uint8_t reference_ = 0;
    Bytes buffer_;
};

TEST(LocksimTest, HelpAndBadOptions) {
    TestSupport::TempDir folder;
    TestSupport::ChildProcess help(TestSupport::ProjectProgram({LOCKSIM_BINARY, "--help"}),
                                   {{}, {}, folder.Path()});
    EXPECT_EQ(help.ExitStatus(5s), 0);
    EXPECT_NE(help.Output().find("Usage: locksim [options]"), std::string::npos);
    EXPECT_NE(help.Output().find("card LOCK HEX"), std::string::npos);
    TestSupport::ChildProcess bad(
        TestSupport::ProjectProgram({LOCKSIM_BINARY, "--status", "0F"}), {{}, {}, folder.Path()});
    EXPECT_EQ(bad.ExitStatus(5s), 2);
}

TEST(LocksimTest, AnswersLikeAGatewayWithLocksAndWhitelists) {
    TestSupport::TempDir folder;
    Locksim locksim(folder, {"--locks", "4711,0x20", "--sequence", "1000", "--whitelist-size", "1",
                             "--status", "0F005C00000000"});
    Client client(locksim.Port());
    ASSERT_TRUE(client.Connected());
    const Bytes cardA{0xAA};
    const Bytes cardB{0xBB};
    Q::QuarnMessageBuilder& b = client.builder;

    // A counter that is not above locksim's is refused with its counter.
    client.Send(b.BuildOpenLockMessage(4711, 0, 1, false), 1000);
    auto refused = client.Next();
    ASSERT_NE(refused, nullptr);
    auto payload = dynamic_cast<const Q::QuarnResponsePayload*>(refused->GetPayload());
    ASSERT_NE(payload, nullptr);
    EXPECT_EQ(payload->GetResponseCode(), Q::QUARN_RESPONSE_SEQUENCE_COUNTER_ERROR);
    EXPECT_EQ(payload->GetSequenceCounter(), 1000u);

    client.Send(b.BuildGetStatusMessage(256));
    EXPECT_EQ(client.Code(), Q::QUARN_RESPONSE_NO_ROUTE_FOR_DEVADDR);
    client.Send(b.BuildOpenLockMessage(4711, 0, 1, true));
    EXPECT_EQ(client.Code(), Q::QUARN_RESPONSE_OK);
    client.Send(b.BuildCloseLockMessage(0x20, 0, false));
    EXPECT_EQ(client.Code(), Q::QUARN_RESPONSE_OK);
    client.Send(b.BuildAccessDeniedMessage(99, false));
    EXPECT_EQ(client.Code(), Q::QUARN_RESPONSE_NO_ROUTE_FOR_DEVADDR);

    client.Send(b.BuildAddToWhitelistMessage(4711, false, 1, 0, cardA));
    EXPECT_EQ(client.Code(), Q::QUARN_RESPONSE_OK);
    client.Send(b.BuildAddToWhitelistMessage(4711, false, 1, 0, cardA));
    EXPECT_EQ(client.Code(), Q::QUARN_RESPONSE_ALREADY_IN_WHITELIST);
    client.Send(b.BuildAddToWhitelistMessage(4711, false, 1, 0, cardB));
    EXPECT_EQ(client.Code(), Q::QUARN_RESPONSE_WHITELIST_FULL);
    client.Send(b.BuildRemoveFromWhitelistMessage(4711, false, 1, 0, cardB));
    EXPECT_EQ(client.Code(), Q::QUARN_RESPONSE_NOT_IN_WHITELIST);
    client.Send(b.BuildAddToWhitelistMessage(4711, true, 0, 0, Bytes(11, 1)));  // invalid UID
    EXPECT_EQ(client.Code(), Q::QUARN_RESPONSE_DATALENGTH_MISMATCH);
    client.Send(b.BuildDeleteWholeWhitelistMessage(4711));
    EXPECT_EQ(client.Code(), Q::QUARN_RESPONSE_OK);
    client.Send(b.BuildRemoveFromWhitelistMessage(4711, false, 1, 0, cardA));
    EXPECT_EQ(client.Code(), Q::QUARN_RESPONSE_NOT_IN_WHITELIST);

    // Status bytes: configured, then changed by command.
    client.Send(b.BuildGetStatusMessage(4711));
    auto status = client.Next();
    ASSERT_NE(status, nullptr);
    auto statusPayload = dynamic_cast<const Q::QuarnGetStatusPayload*>(status->GetPayload());
    ASSERT_NE(statusPayload, nullptr);
    EXPECT_EQ(statusPayload->GetStatusData(),
              (Q::QuarnGetStatusPayload::StatusData{0x0F, 0, 0x5C, 0, 0, 0, 0}));
    locksim.Command("status 4711 01020304050607");
    ASSERT_TRUE(locksim.WaitForOutput("locksim status 4711 01020304050607"));
    client.Send(b.BuildGetStatusMessage(4711));
    status = client.Next();
    ASSERT_NE(status, nullptr);
    statusPayload = dynamic_cast<const Q::QuarnGetStatusPayload*>(status->GetPayload());
    ASSERT_NE(statusPayload, nullptr);
    EXPECT_EQ(statusPayload->GetStatusData()[6], 7);

    EXPECT_TRUE(
        locksim.WaitForOutput("locksim received seq=1000 ref=1 device=4711 type=0x0a OPEN_LOCK "
                              "payload=00000001 crc=ok"));
    EXPECT_TRUE(locksim.WaitForOutput("locksim answered ref=1 code=7 sequence=1000"));
    EXPECT_TRUE(locksim.WaitForOutput("type=0x8a OPEN_LOCK_EVENT payload=00000001 crc=ok"));
}

TEST(LocksimTest, SendsEventsAndRawBytesOnCommand) {
    TestSupport::TempDir folder;
    Locksim locksim(folder);
    Client client(locksim.Port());
    ASSERT_TRUE(locksim.WaitForOutput("locksim connected 127.0.0.1:"));
    locksim.Command("pin 4711 1234");
    auto pin = client.Next();
    ASSERT_NE(pin, nullptr);
    EXPECT_EQ(pin->GetMessageType(), Q::QUARN_MESSAGE_PINCODE_EVENT);
    EXPECT_EQ(pin->GetDeviceAddress(), 4711u);
    EXPECT_FALSE(pin->IsReply());
    locksim.Command("event 0x11 12");
    auto bare = client.Next();
    ASSERT_NE(bare, nullptr);
    EXPECT_EQ(bare->GetMessageType(), 0x11);
    EXPECT_EQ(bare->GetFrameLength(), 19);
    locksim.Command("raw 13 FE FD");
    EXPECT_TRUE(locksim.WaitForOutput("locksim sent raw 3 bytes"));
    locksim.Command("nonsense");
    EXPECT_TRUE(locksim.WaitForOutput("locksim error unknown command: nonsense"));
}

TEST(LocksimTest, DelaysSilencesAndClosesAsAsked) {
    TestSupport::TempDir folder;
    Locksim locksim(folder, {"--delay", "200", "--close-after", "2"});
    Client client(locksim.Port());
    Q::QuarnMessageBuilder& b = client.builder;
    auto sentAt = std::chrono::steady_clock::now();
    client.Send(b.BuildOpenLockMessage(4711, 0, 1, false));
    EXPECT_EQ(client.Code(), Q::QUARN_RESPONSE_OK);
    EXPECT_GE(std::chrono::steady_clock::now() - sentAt, 200ms);

    locksim.Command("answer off");
    ASSERT_TRUE(locksim.WaitForOutput("locksim answer off"));
    client.Send(b.BuildOpenLockMessage(4711, 0, 1, false));
    // The second frame is not answered, and the connection is closed after it.
    EXPECT_TRUE(client.Closed());
    EXPECT_TRUE(locksim.WaitForOutput("locksim disconnected"));
    EXPECT_EQ(TestSupport::CountOf(locksim.Output(), "locksim answered"), 1u);
}

}  // namespace
