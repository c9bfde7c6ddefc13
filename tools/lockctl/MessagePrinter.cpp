#include "tools/lockctl/MessagePrinter.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <ctime>
#include <memory>
#include <ostream>
#include <vector>

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

// Unix seconds as local "YYYY-MM-DD HH:MM:SS"; "-" for null.
std::string LocalTime(const Value& seconds) {
    if (!seconds.IsInt64()) {
        return "-";
    }
    const std::time_t time = static_cast<std::time_t>(seconds.GetInt64());
    std::tm local{};
    char text[32];
    if (localtime_r(&time, &local) == nullptr ||
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == 0) {
        return Text(seconds);
    }
    return text;
}

}  // namespace

void PrintGatewayTable(std::ostream& out, const std::string& text) {
    rapidjson::Document document;
    document.Parse(text.c_str(), text.size());
    const Value* data = document.IsObject() ? ObjectMember(document, "Data") : nullptr;
    const Value* result = data != nullptr ? ObjectMember(*data, "Data") : nullptr;
    Value::ConstMemberIterator list;
    if (result == nullptr || (list = result->FindMember("Gateways")) == result->MemberEnd() ||
        !list->value.IsArray()) {
        PrintMessage(out, text, false);
        return;
    }
    std::vector<std::vector<std::string>> rows = {{"ID", "STATUS", "SINCE", "LAST FRAME", "QUEUED",
                                                   "WAITING", "ATTEMPTS", "CRC ERRORS", "ADDRESS",
                                                   "DESCRIPTION"}};
    for (const Value& gateway : list->value.GetArray()) {
        const Value none;
        auto member = [&](const char* key) -> const Value& {
            auto found = gateway.IsObject() ? gateway.FindMember(key) : gateway.MemberEnd();
            return gateway.IsObject() && found != gateway.MemberEnd() ? found->value : none;
        };
        rows.push_back(
            {Text(member("ID")), Text(member("Status")), LocalTime(member("Since")),
             LocalTime(member("LastFrame")), Text(member("Queued")), Text(member("Waiting")),
             Text(member("ConnectAttempts")), Text(member("CrcErrors")),
             Text(member("IpAddress")) + ":" + Text(member("Port")), Text(member("Description"))});
    }
    std::vector<size_t> widths(rows.front().size(), 0);
    for (const auto& row : rows) {
        for (size_t i = 0; i < row.size(); ++i) {
            widths[i] = std::max(widths[i], row[i].size());
        }
    }
    for (const auto& row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) {
                line += std::string(widths[i] - row[i].size() + 2, ' ');
            }
        }
        out << line << "\n";
    }
    out << std::flush;
}

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
    } else if (messageCode == MUX_MESSAGE_EVENT_GATEWAY_STATUS) {
        out << "gateway status event: gateway " << MemberText(payload, "GatewayID") << " "
            << MemberText(payload, "Status") << " (was " << MemberText(payload, "Previous")
            << ")\n";
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
