#include "mux/protocol/MuxMessageBuilder.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <string>
#include <typeindex>
#include <vector>

#include "mux/protocol/MuxMessageCodes.h"

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
    MuxParseNotes notes;
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
        EXPECT_EQ(MuxMessageBuilder::Build(text, &notes), nullptr) << text;
    }
    EXPECT_TRUE(notes.empty());
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

TEST(MuxMessageBuilder, SimpleRequestsReadAbsentNumbersAsZeroWithoutANote) {
    MuxParseNotes notes;
    auto none = MuxMessageBuilder::Build(Request(24, "{}"), &notes);
    EXPECT_EQ(PayloadOf<MuxWhitelistDisablePayload>(none)->gatewayID, 0);
    EXPECT_EQ(PayloadOf<MuxWhitelistDisablePayload>(none)->lockID, 0);
    auto noDuration =
        MuxMessageBuilder::Build(Request(113, "{\"gatewayID\":1,\"lockID\":2}"), &notes);
    EXPECT_EQ(PayloadOf<MuxLockOpenCloseMessagePayload>(noDuration)->duration, 0);
    EXPECT_TRUE(notes.empty());
}

// The "Data" object of a request with every integer member valid, the named one set to value.
std::string DataWith(const std::string& member, const std::string& value) {
    std::string data = "{\"cardData\":\"01\",\"isUIDCard\":true";
    for (const char* name : {"gatewayID", "lockID", "duration", "setupNumber", "options"}) {
        data += std::string(",\"") + name + "\":" + (name == member ? value : "1");
    }
    return data + "}";
}

// A request with an integer member that is not an integer its field holds exactly gets no
// payload, which the core answers with "Error in request" without asking any gateway.
TEST(MuxMessageBuilder, IntegerMembersTakeOnlyIntegersTheirFieldHolds) {
    struct Field {
        const char* member;
        std::vector<int> codes;
        std::vector<std::string> outOfRange;
        std::vector<std::string> kept;  // accepted, and written back as given
    };
    const Field fields[] = {
        {"gatewayID",
         {10, 110, 11, 111, 12, 13, 113, 14, 114, 21, 25, 22, 23, 24},
         {"2147483648", "-2147483649"},
         {"-2147483648", "0", "2147483647"}},
        {"lockID",
         {10, 110, 11, 111, 13, 113, 21, 25, 22, 23, 24},
         {"-1", "2147483648"},
         {"0", "2147483647"}},
        {"lockID", {12, 14, 114}, {"-1", "65536"}, {"0", "65535"}},
        {"duration", {13, 113}, {"-1", "256"}, {"0", "255"}},
        // Not written back: the whitelist test reads them.
        {"setupNumber", {21, 25}, {"-1", "256"}, {}},
        {"options", {21, 25}, {"-1", "256"}, {}},
    };
    for (const Field& field : fields) {
        std::vector<std::string> refused = {"4.2e9", "1.5", "1.0", "4294967296", "\"7\"", "true"};
        refused.insert(refused.end(), field.outOfRange.begin(), field.outOfRange.end());
        for (int code : field.codes) {
            for (const std::string& value : refused) {
                auto message =
                    MuxMessageBuilder::Build(Request(code, DataWith(field.member, value)));
                ASSERT_NE(message, nullptr);
                EXPECT_EQ(message->GetPayload(), nullptr) << code << field.member << value;
            }
            for (const std::string& value : field.kept) {
                auto message =
                    MuxMessageBuilder::Build(Request(code, DataWith(field.member, value)));
                const std::string written = std::string("\"") + field.member + "\":" + value;
                EXPECT_NE(message->ToJSON().find(written), std::string::npos) << code << written;
            }
        }
    }
}

// The notes as lines of their severity's first letter and their text.
std::string NotesText(const MuxParseNotes& notes) {
    std::string text;
    for (const MuxParseNote& note : notes) {
        text += "EWID"[static_cast<int>(note.severity)];
        text += std::string(" ") + note.text + "\n";
    }
    return text;
}

TEST(MuxMessageBuilder, WhitelistRequestsFollowTheirDefaultsAndNoteWhy) {
    const std::string valid = "\"gatewayID\":5,\"lockID\":6,\"setupNumber\":255,\"options\":255,";
    struct Case {
        std::string data;
        bool built;
        std::string messages;
    };
    const Case cases[] = {
        {"{" + valid + "\"cardData\":\"0A1b\",\"isUIDCard\":true}", true,
         "D Finished parsing whitelist message payload.\n"},
        {"{\"gatewayID\":\"7\",\"lockID\":6,\"cardData\":\"0A\"}", false,
         "E Cannot parse gateway ID for current message.\n"},
        {"{\"gatewayID\":7,\"lockID\":1.5,\"cardData\":\"0A\"}", false,
         "E Cannot parse lock ID for current message.\n"},
        {"{\"cardData\":\"01\"}", true,
         "I Current whitelist message doesn't contain a Setup Number value. Will be set to "
         "default (0)\n"
         "I Current whitelist message doesn't contain an Options value. Will be set to default "
         "(0)\n"
         "E Card data type is not specified. Default su IsUIDCard false\n"
         "D Finished parsing whitelist message payload.\n"},
        {"{\"setupNumber\":-1,\"options\":1,\"cardData\":\"01\",\"isUIDCard\":true}", false,
         "E Cannot parse setup number for current message.\n"},
        {"{\"setupNumber\":1,\"options\":[1],\"cardData\":\"01\",\"isUIDCard\":true}", false,
         "E Cannot parse options value for current message.\n"},
        {"{\"setupNumber\":0,\"options\":0,\"cardData\":\"01\",\"isUIDCard\":1}", true,
         "W Card data type is not in a valid format. Will be used default value (false)\n"
         "D Finished parsing whitelist message payload.\n"},
        {"{" + valid + "\"cardData\":\"\",\"isUIDCard\":false}", false,
         "E Cannot determine card data in whitelist message. Unrecoverable error\n"},
        {"{" + valid + "\"cardData\":1234,\"isUIDCard\":false}", false,
         "W Card data value is not in the attended format.\n"
         "E Cannot determine card data in whitelist message. Unrecoverable error\n"},
        {"{" + valid + "\"isUIDCard\":false}", false,
         "E Received a Mux Set Whitelist payload, but the card data is nullptr\n"
         "E Cannot determine card data in whitelist message. Unrecoverable error\n"},
    };
    for (int code : {MUX_MESSAGE_LOCK_WHITELIST_SET, MUX_MESSAGE_LOCK_WHITELIST_REMOVE}) {
        for (const Case& test : cases) {
            MuxParseNotes notes;
            auto message = MuxMessageBuilder::Build(Request(code, test.data), &notes);
            ASSERT_NE(message, nullptr);
            EXPECT_EQ(message->GetPayload() != nullptr, test.built) << test.data;
            EXPECT_EQ(NotesText(notes), test.messages) << test.data;
        }
    }

    auto full = MuxMessageBuilder::Build(Request(21, cases[0].data));
    auto* payload = PayloadOf<MuxWhitelistSetPayload>(full);
    ASSERT_NE(payload, nullptr);
    EXPECT_EQ(payload->gatewayID, 5);
    EXPECT_EQ(payload->lockID, 6);
    EXPECT_EQ(payload->setupNumber, 255);
    EXPECT_EQ(payload->options, 255);
    EXPECT_EQ(payload->cardData, (Bytes{0x0A, 0x1B}));
    EXPECT_TRUE(payload->isUIDCard);

    // Absent setup number and options read as 0.
    auto partial = MuxMessageBuilder::Build(Request(25, "{\"cardData\":\"1\",\"isUIDCard\":true}"));
    payload = PayloadOf<MuxWhitelistSetPayload>(partial);
    ASSERT_NE(payload, nullptr);
    EXPECT_EQ(payload->setupNumber, 0);
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
