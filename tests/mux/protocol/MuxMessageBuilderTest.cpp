#include "mux/protocol/MuxMessageBuilder.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <string>
#include <typeindex>
#include <vector>

#include "mux/protocol/MuxMessageCodes.h"
#include "tests/mux/protocol/ProtocolLog.h"
#include "tests/support/TestLog.h"

namespace {

using namespace Mux;
using Bytes = std::vector<unsigned char>;

std::string Request(int code, const std::string& data) {
    return "{\"Timestamp\":1700000000,\"MessageID\":\"m-1\",\"MessageCode\":" +
           std::to_string(code) + ",\"Data\":" + data + "}";
}

template <class Payload>
Payload* PayloadOf(const std::unique_ptr<MuxMessage>& message) {
    EXPECT_NE(message, nullptr);
    return message == nullptr ? nullptr : message->GetPayloadAs<Payload>();
}

TEST(MuxMessageBuilder, ReadsTheEnvelopeInAnyMemberOrder) {
    auto message = MuxMessageBuilder::Build(
        "{\"Data\":{\"lockID\":7,\"gatewayID\":3},\"Extra\":[1,2],\"MessageCode\":10,"
        "\"MessageID\":\"req-42\",\"Timestamp\":1700000000}");
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(message->GetTimestamp(), 1700000000);
    EXPECT_EQ(message->GetMessageId(), "req-42");
    EXPECT_EQ(message->GetMessageCode(), MUX_MESSAGE_LOCK_OPEN);
    auto* payload = PayloadOf<MuxLockOpenMessagePayload>(message);
    ASSERT_NE(payload, nullptr);
    EXPECT_EQ(payload->gatewayID, 3);
    EXPECT_EQ(payload->lockID, 7);
}

TEST(MuxMessageBuilder, UnusableEnvelopeMembersCountAsAbsent) {
    auto empty = MuxMessageBuilder::Build("{}");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->GetTimestamp(), 0);
    EXPECT_EQ(empty->GetMessageId(), "");
    EXPECT_EQ(empty->GetMessageCode(), MUX_MESSAGE_ACK);
    EXPECT_EQ(empty->GetPayload(), nullptr);

    for (const char* text :
         {"{\"Timestamp\":1.5,\"MessageID\":5,\"MessageCode\":\"10\",\"Data\":[]}",
          "{\"Timestamp\":\"1\",\"MessageID\":null,\"MessageCode\":3000000000,\"Data\":\"x\"}",
          "{\"Timestamp\":1e30,\"MessageID\":{},\"MessageCode\":10.0,\"Data\":null}",
          "{\"Timestamp\":18446744073709551615,\"MessageCode\":-2147483649}"}) {
        auto message = MuxMessageBuilder::Build(text);
        ASSERT_NE(message, nullptr) << text;
        EXPECT_EQ(message->GetTimestamp(), 0) << text;
        EXPECT_EQ(message->GetMessageId(), "") << text;
        EXPECT_EQ(message->GetMessageCode(), 0) << text;
        EXPECT_EQ(message->GetPayload(), nullptr) << text;
    }
    EXPECT_EQ(MuxMessageBuilder::Build("{\"Timestamp\":-5}")->GetTimestamp(), -5);
    EXPECT_EQ(MuxMessageBuilder::Build("{\"MessageCode\":-7}")->GetMessageCode(), -7);
}

TEST(MuxMessageBuilder, RefusesWhatIsNotAJsonObjectSilently) {
    TestSupport::LogTail log;
    const std::string notObjects[] = {"",
                                      "{",
                                      "[1]",
                                      "3",
                                      "\"MUXM\"",
                                      "{} {}",
                                      "{'a':1}",
                                      "{\"Timestamp\":1e400}",
                                      std::string("\0{}", 3)};
    for (const std::string& text : notObjects) {
        EXPECT_EQ(MuxMessageBuilder::Build(text), nullptr) << text;
    }
    EXPECT_EQ(log.Text(), "");
}

TEST(MuxMessageBuilder, RefusesInvalidUtf8AndKeepsValidTextIntact) {
    const std::string invalid[] = {
        "\xff\xfe",
        "\xc0\xaf",          // overlong
        "\xed\xa0\x80",      // surrogate
        "\xf4\x90\x80\x80",  // above U+10FFFF
        "\xe2\x82",          // cut short
    };
    for (const std::string& bytes : invalid) {
        EXPECT_EQ(MuxMessageBuilder::Build("{\"MessageID\":\"" + bytes + "\"}"), nullptr);
    }
    // A text that ends inside a character: nothing past its end may be read.
    EXPECT_EQ(MuxMessageBuilder::Build("{\"MessageID\":\"abcdefghijklmnopq\xf1"), nullptr);
    EXPECT_EQ(MuxMessageBuilder::Build(
                  std::string("{\"MessageID\":\"abcdefghijklmnopq\xf1\0\x80\x80\"}", 37)),
              nullptr);

    auto message =
        MuxMessageBuilder::Build("{\"MessageID\":\"T\xc3\xbcr \xe2\x82\xac \xf0\x9f\x94\x91\"}");
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(message->GetMessageId(), "T\xc3\xbcr \xe2\x82\xac \xf0\x9f\x94\x91");
}

TEST(MuxMessageBuilder, TextEndsAtItsFirstZeroByte) {
    auto message = MuxMessageBuilder::Build(std::string("{\"MessageCode\":12}\0garbage", 26));
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(message->GetMessageCode(), 12);
}

TEST(MuxMessageBuilder, EachCodeGetsItsPayloadClass) {
    const std::string data =
        "{\"gatewayID\":1,\"lockID\":2,\"duration\":3,\"cardData\":\"AB\",\"isUIDCard\":true,"
        "\"setupNumber\":1,\"options\":0}";
    struct Case {
        int code;
        std::type_index payload;
    };
    const Case cases[] = {
        {MUX_MESSAGE_CONFIGURE, typeid(MuxConfigureMessagePayload)},
        {MUX_MESSAGE_LOCK_OPEN, typeid(MuxLockOpenMessagePayload)},
        {MUX_MESSAGE_EVENT_LOCK_OPEN, typeid(MuxLockOpenMessagePayload)},
        {MUX_MESSAGE_LOCK_CLOSE, typeid(MuxLockCloseMessagePayload)},
        {MUX_MESSAGE_EVENT_LOCK_CLOSE, typeid(MuxLockCloseMessagePayload)},
        {MUX_MESSAGE_LOCK_GET_STATUS, typeid(MuxGetLockStatusMessagePayload)},
        {MUX_MESSAGE_LOCK_OPEN_CLOSE, typeid(MuxLockOpenCloseMessagePayload)},
        {MUX_MESSAGE_EVENT_LOCK_OPEN_CLOSE, typeid(MuxLockOpenCloseMessagePayload)},
        {MUX_MESSAGE_ACCESS_DENIED, typeid(MuxAccessDeniedMessagePayload)},
        {MUX_MESSAGE_EVENT_ACCESS_DENIED, typeid(MuxAccessDeniedMessagePayload)},
        {MUX_MESSAGE_LOCK_WHITELIST_SET, typeid(MuxWhitelistSetPayload)},
        {MUX_MESSAGE_LOCK_WHITELIST_REMOVE, typeid(MuxWhitelistSetPayload)},
        {MUX_MESSAGE_CLEAR_WHITELIST, typeid(MuxWhitelistClearPayload)},
        {MUX_MESSAGE_ENABLE_WHITELIST, typeid(MuxWhitelistEnablePayload)},
        {MUX_MESSAGE_DISABLE_WHITELIST, typeid(MuxWhitelistDisablePayload)},
    };
    for (const Case& test : cases) {
        auto message = MuxMessageBuilder::Build(Request(test.code, data));
        ASSERT_NE(message, nullptr) << test.code;
        ASSERT_NE(message->GetPayload(), nullptr) << test.code;
        EXPECT_EQ(std::type_index(typeid(*message->GetPayload())), test.payload) << test.code;
    }
    for (int code :
         std::initializer_list<int>{MUX_MESSAGE_ACK, MUX_MESSAGE_NACK, MUX_MESSAGE_GET_WHITELIST,
                                    MUX_MESSAGE_ACCESS_ALLOWED, MUX_MESSAGE_EVENT_CARD_READER,
                                    MUX_MESSAGE_EVENT_INFO, 99, -1}) {
        auto message = MuxMessageBuilder::Build(Request(code, data));
        ASSERT_NE(message, nullptr) << code;
        EXPECT_EQ(message->GetMessageCode(), code);
        EXPECT_EQ(message->GetPayload(), nullptr) << code;
    }
}

TEST(MuxMessageBuilder, SimpleRequestsReadUnusableNumbersAsZeroWithoutALogLine) {
    TestSupport::LogTail log;
    auto status = MuxMessageBuilder::Build(Request(12, "{\"gatewayID\":5,\"lockID\":70000}"));
    EXPECT_EQ(PayloadOf<MuxGetLockStatusMessagePayload>(status)->lockID, 4464);
    EXPECT_EQ(PayloadOf<MuxGetLockStatusMessagePayload>(status)->gatewayID, 5);
    auto denied = MuxMessageBuilder::Build(Request(114, "{\"gatewayID\":5,\"lockID\":-1}"));
    EXPECT_EQ(PayloadOf<MuxAccessDeniedMessagePayload>(denied)->lockID, 65535);

    auto open = MuxMessageBuilder::Build(Request(10, "{\"gatewayID\":\"7\",\"lockID\":2.5}"));
    ASSERT_NE(PayloadOf<MuxLockOpenMessagePayload>(open), nullptr);
    EXPECT_EQ(PayloadOf<MuxLockOpenMessagePayload>(open)->gatewayID, 0);
    EXPECT_EQ(PayloadOf<MuxLockOpenMessagePayload>(open)->lockID, 0);
    auto big = MuxMessageBuilder::Build(Request(22, "{\"gatewayID\":2147483648,\"lockID\":-3}"));
    EXPECT_EQ(PayloadOf<MuxWhitelistClearPayload>(big)->gatewayID, 0);
    EXPECT_EQ(PayloadOf<MuxWhitelistClearPayload>(big)->lockID, -3);
    auto none = MuxMessageBuilder::Build(Request(24, "{}"));
    EXPECT_EQ(PayloadOf<MuxWhitelistDisablePayload>(none)->gatewayID, 0);

    struct Case {
        const char* duration;
        int expected;
    };
    for (Case test : {Case{"300", 44}, Case{"255", 255}, Case{"0", 0}, Case{"-1", 0},
                      Case{"2.5", 0}, Case{"\"5\"", 0}, Case{"4294967296", 0}}) {
        auto message = MuxMessageBuilder::Build(Request(
            13, std::string("{\"gatewayID\":1,\"lockID\":2,\"duration\":") + test.duration + "}"));
        EXPECT_EQ(PayloadOf<MuxLockOpenCloseMessagePayload>(message)->duration, test.expected)
            << test.duration;
    }
    auto noDuration = MuxMessageBuilder::Build(Request(113, "{\"gatewayID\":1,\"lockID\":2}"));
    EXPECT_EQ(PayloadOf<MuxLockOpenCloseMessagePayload>(noDuration)->duration, 0);
    EXPECT_EQ(log.Text(), "");
}

TEST(MuxMessageBuilder, CloseRequestsWriteTheLockOnALineOfTheirOwn) {
    ProtocolTest::StandardOutputCapture capture;
    MuxMessageBuilder::Build(Request(11, "{\"gatewayID\":4,\"lockID\":9}"));
    MuxMessageBuilder::Build(Request(111, "{\"gatewayID\":-1,\"lockID\":\"x\"}"));
    MuxMessageBuilder::Build(Request(10, "{\"gatewayID\":4,\"lockID\":9}"));
    std::string output = capture.Finish();
    EXPECT_EQ(output,
              "MuxMessageBuilder - gatewayID :4 lockID : 9\n"
              "MuxMessageBuilder - gatewayID :-1 lockID : 0\n");
}

TEST(MuxMessageBuilder, WhitelistRequestsFollowTheirDefaultsAndLogWhy) {
    const std::string valid = "\"gatewayID\":5,\"lockID\":6,\"setupNumber\":258,\"options\":1,";
    struct Case {
        std::string data;
        bool built;
        std::string messages;
    };
    const Case cases[] = {
        {"{" + valid + "\"cardData\":\"0A1b\",\"isUIDCard\":true}", true,
         "Finished parsing whitelist message payload.\n"},
        {"{\"gatewayID\":\"7\",\"lockID\":6,\"cardData\":\"0A\"}", false,
         "Cannot parse gateway ID for current message.\n"},
        {"{\"gatewayID\":7,\"lockID\":1.5,\"cardData\":\"0A\"}", false,
         "Cannot parse lock ID for current message.\n"},
        {"{\"cardData\":\"01\"}", true,
         "Current whitelist message doesn't contain a Setup Number value. Will be set to default "
         "(0)\n"
         "Current whitelist message doesn't contain an Options value. Will be set to default "
         "(0)\n"
         "Card data type is not specified. Default su IsUIDCard false\n"
         "Finished parsing whitelist message payload.\n"},
        {"{\"setupNumber\":-1,\"options\":\"1\",\"cardData\":\"01\",\"isUIDCard\":1}", true,
         "Cannot parse setup number. Set to default 0.\n"
         "Cannot parse options value. Set to default 0.\n"
         "Card data type is not in a valid format. Will be used default value (false)\n"
         "Finished parsing whitelist message payload.\n"},
        {"{" + valid + "\"cardData\":\"\",\"isUIDCard\":false}", false,
         "Cannot determine card data in whitelist message. Unrecoverable error\n"},
        {"{" + valid + "\"cardData\":1234,\"isUIDCard\":false}", false,
         "Card data value is not in the attended format.\n"
         "Cannot determine card data in whitelist message. Unrecoverable error\n"},
        {"{" + valid + "\"isUIDCard\":false}", false,
         "Received a Mux Set Whitelist payload, but the card data is nullptr\n"
         "Cannot determine card data in whitelist message. Unrecoverable error\n"},
    };
    for (int code : {MUX_MESSAGE_LOCK_WHITELIST_SET, MUX_MESSAGE_LOCK_WHITELIST_REMOVE}) {
        for (const Case& test : cases) {
            TestSupport::LogTail log;
            auto message = MuxMessageBuilder::Build(Request(code, test.data));
            ASSERT_NE(message, nullptr);
            EXPECT_EQ(message->GetPayload() != nullptr, test.built) << test.data;
            EXPECT_EQ(log.Messages(), test.messages) << test.data;
        }
    }

    auto full = MuxMessageBuilder::Build(Request(21, cases[0].data));
    auto* payload = PayloadOf<MuxWhitelistSetPayload>(full);
    ASSERT_NE(payload, nullptr);
    EXPECT_EQ(payload->gatewayID, 5);
    EXPECT_EQ(payload->lockID, 6);
    EXPECT_EQ(payload->setupNumber, 2);
    EXPECT_EQ(payload->options, 1);
    EXPECT_EQ(payload->cardData, (Bytes{0x0A, 0x1B}));
    EXPECT_TRUE(payload->isUIDCard);

    // A wrong options value resets the options only.
    auto partial = MuxMessageBuilder::Build(
        Request(25, "{\"setupNumber\":9,\"options\":[1],\"cardData\":\"1\",\"isUIDCard\":true}"));
    payload = PayloadOf<MuxWhitelistSetPayload>(partial);
    ASSERT_NE(payload, nullptr);
    EXPECT_EQ(payload->setupNumber, 9);
    EXPECT_EQ(payload->options, 0);
    EXPECT_EQ(payload->cardData, Bytes{0x01});
}

TEST(MuxMessageBuilder, DecodesCardDataPairByPair) {
    EXPECT_EQ(MuxMessageBuilder::DecodeCardData("0A1b"), (Bytes{0x0A, 0x1B}));
    EXPECT_EQ(MuxMessageBuilder::DecodeCardData("ABC"), (Bytes{0x0A, 0xBC}));
    EXPECT_EQ(MuxMessageBuilder::DecodeCardData("xyz1"), (Bytes{0x00, 0x01}));
    EXPECT_EQ(MuxMessageBuilder::DecodeCardData("f"), Bytes{0x0F});
    EXPECT_EQ(MuxMessageBuilder::DecodeCardData("fF00e9"), (Bytes{0xFF, 0x00, 0xE9}));
    EXPECT_EQ(MuxMessageBuilder::DecodeCardData(std::string_view("1\0", 2)), Bytes{0x10});
    EXPECT_TRUE(MuxMessageBuilder::DecodeCardData("").empty());
}

// Runs body on a thread with a small stack, where parsing by recursion would overflow.
void OnSmallStack(void (*body)()) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 256 * 1024);
    pthread_t thread;
    ASSERT_EQ(pthread_create(
                  &thread, &attributes,
                  [](void* run) -> void* {
                      reinterpret_cast<void (*)()>(run)();
                      return nullptr;
                  },
                  reinterpret_cast<void*>(body)),
              0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
}

TEST(MuxMessageBuilder, DeepNestingDoesNotExhaustTheStack) {
    // Nesting as deep as a packet allows, in a member that is ignored and in the
    // configuration that is kept.
    OnSmallStack([] {
        const size_t depth = 32000;
        std::string arrays = std::string(depth, '[') + std::string(depth, ']');
        auto open = MuxMessageBuilder::Build(Request(10, "{\"gatewayID\":1,\"x\":" + arrays + "}"));
        ASSERT_NE(PayloadOf<MuxLockOpenMessagePayload>(open), nullptr);
        EXPECT_EQ(PayloadOf<MuxLockOpenMessagePayload>(open)->gatewayID, 1);

        std::string objects;
        for (size_t i = 0; i < depth / 4; ++i) {
            objects += "{\"a\":";
        }
        objects += "1" + std::string(depth / 4, '}');
        auto configure = MuxMessageBuilder::Build(Request(2, objects));
        auto* kept = PayloadOf<MuxConfigureMessagePayload>(configure);
        ASSERT_NE(kept, nullptr);
        EXPECT_TRUE(kept->GetConfiguration().HasMember("a"));
        EXPECT_EQ(
            configure->ToJSON(),
            "{\"Timestamp\":1700000000,\"MessageID\":\"m-1\",\"MessageCode\":2,\"Data\":null}");

        EXPECT_EQ(MuxMessageBuilder::Build(std::string(depth, '[')), nullptr);
    });
}

}  // namespace
