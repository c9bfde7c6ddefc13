#include "tools/lockctl/MessagePrinter.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <memory>
#include <ostream>

#include "mux/protocol/MuxMessageBuilder.h"
#include "mux/protocol/MuxMessageCodes.h"

namespace Lockctl {
namespace {

using rapidjson::Value;
using namespace Mux;

std::string Text(const Value& value) {
    if (value.IsString()) {
        return std::string(value.GetString(), value.GetStringLength());
    }
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value.Accept(writer);
    return buffer.GetString();
}

// The member's value as text; empty when absent.
std::string MemberText(const Value& object, const char* key) {
    if (!object.IsObject()) {
        return "";
    }
    Value::ConstMemberIterator member = object.FindMember(key);
    return member == object.MemberEnd() ? "" : Text(member->value);
}

const Value* ObjectMember(const Value& object, const char* key) {
    if (!object.IsObject()) {
        return nullptr;
    }
    Value::ConstMemberIterator member = object.FindMember(key);
    return member != object.MemberEnd() && member->value.IsObject() ? &member->value : nullptr;
}

void PrintMembers(std::ostream& out, const Value* object) {
    if (object == nullptr) {
        return;
    }
    for (Value::ConstMemberIterator member = object->MemberBegin(); member != object->MemberEnd();
         ++member) {
        out << "  " << member->name.GetString() << ": " << Text(member->value) << "\n";
    }
}

const char* EventName(int code) {
    switch (code) {
        case MUX_MESSAGE_EVENT_CARD_READER:
            return "card reader event";
        case MUX_MESSAGE_ACCESS_ALLOWED:
            return "access allowed event";
        case MUX_MESSAGE_EVENT_INFO:
            return "info event";
        default:
            return nullptr;
    }
}

}  // namespace

std::optional<Envelope> ReadEnvelope(const std::string& text) {
    std::unique_ptr<MuxMessage> message = MuxMessageBuilder::Build(text);
    if (!message) {
        return std::nullopt;
    }
    return Envelope{message->GetMessageId(), message->GetMessageCode()};
}

void PrintMessage(std::ostream& out, const std::string& text, bool json) {
    rapidjson::Document document;
    document.Parse(text.c_str(), text.size());
    if (json || document.HasParseError() || !document.IsObject()) {
        out << text << std::endl;
        return;
    }
    Value::ConstMemberIterator code = document.FindMember("MessageCode");
    const int messageCode =
        code != document.MemberEnd() && code->value.IsInt() ? code->value.GetInt() : -1;
    const Value* data = ObjectMember(document, "Data");
    const Value none;
    const Value& payload = data != nullptr ? *data : none;
    if (messageCode == MUX_MESSAGE_ACK) {
        out << "ACK\n";
        PrintMembers(out, ObjectMember(payload, "Data"));
    } else if (messageCode == MUX_MESSAGE_NACK) {
        std::string message = MemberText(payload, "Message");
        out << "NACK" << (message.empty() ? "" : ": " + message) << " (ErrorCode "
            << MemberText(payload, "ErrorCode") << ")\n";
        PrintMembers(out, ObjectMember(payload, "Data"));
    } else if (const char* name = EventName(messageCode)) {
        out << name << ": gateway " << MemberText(payload, "gatewayID") << ", lock "
            << MemberText(payload, "lockID") << ", data " << MemberText(payload, "RFIDData")
            << ", at " << MemberText(payload, "timestamp") << "\n";
    } else {
        out << "message code " << messageCode << ": " << text << "\n";
    }
    out << std::flush;
}

}  // namespace Lockctl
