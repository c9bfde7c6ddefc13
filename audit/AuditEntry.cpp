#include "audit/AuditEntry.h"

#include <rapidjson/encodings.h>
#include <rapidjson/stream.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdio>
#include <ctime>

namespace Mux::Audit {

namespace {

using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

constexpr const char* kReplacementCharacter = "\xEF\xBF\xBD";

// Texts come from clients and certificates: whatever is not UTF-8 is replaced, so that
// every line is valid JSON.
std::string ValidUtf8(const std::string& text) {
    std::string clean;
    clean.reserve(text.size());
    size_t position = 0;
    while (position < text.size()) {
        // text.c_str() ends in a NUL, which no multi-byte sequence takes as a part.
        rapidjson::StringStream stream(text.c_str() + position);
        unsigned codepoint = 0;
        bool valid = rapidjson::UTF8<>::Decode(stream, &codepoint);
        size_t length = stream.Tell();
        if (valid && position + length <= text.size()) {
            clean.append(text, position, length);
            position += length;
        } else {
            clean += kReplacementCharacter;
            ++position;
        }
    }
    return clean;
}

void WriteValue(JsonWriter& writer, const std::string& text) {
    std::string clean = ValidUtf8(text);
    writer.String(clean.data(), static_cast<rapidjson::SizeType>(clean.size()));
}

void WriteValue(JsonWriter& writer, int64_t number) {
    writer.Int64(number);
}

void WriteValue(JsonWriter& writer, Outcome outcome) {
    writer.String(OutcomeName(outcome));
}

template <class T>
void WriteMember(JsonWriter& writer, const char* key, const Member<T>& member) {
    if (member.IsOmitted()) {
        return;
    }
    writer.Key(key);
    if (member.IsUnknown()) {
        writer.Null();
    } else {
        WriteValue(writer, member.Value());
    }
}

}  // namespace

const char* OutcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::Ack:
            return "ACK";
        case Outcome::Nack:
            return "NACK";
        case Outcome::TimedOut:
            return "TIMEOUT";
        case Outcome::NotSent:
            return "NOT_SENT";
        case Outcome::NotPermitted:
            return "NOT_PERMITTED";
        case Outcome::Sending:
            return "SENDING";
    }
    return "UNKNOWN";
}

void AuditEntry::SetCertificateClient(std::string name) {
    client = std::move(name);
    peer = {};
}

void AuditEntry::SetPlainClient(std::string peerAddress) {
    client = std::string(kPlainClient);
    peer = std::move(peerAddress);
}

std::string FormatTime(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    auto sinceEpoch = floor<milliseconds>(time).time_since_epoch();
    auto seconds = floor<std::chrono::seconds>(sinceEpoch);
    time_t whole = static_cast<time_t>(seconds.count());
    struct tm parts {};
    gmtime_r(&whole, &parts);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                  static_cast<int>((sinceEpoch - seconds).count()));
    return text;
}

std::string ToJsonLine(const AuditEntry& entry) {
    rapidjson::StringBuffer buffer;
    JsonWriter writer(buffer);
    writer.StartObject();
    writer.Key("Time");
    writer.String(FormatTime(entry.time).c_str());
    WriteMember(writer, "Client", entry.client);
    WriteMember(writer, "Peer", entry.peer);
    WriteMember(writer, "MessageID", entry.messageId);
    WriteMember(writer, "GatewayID", entry.gatewayId);
    WriteMember(writer, "LockID", entry.lockId);
    WriteMember(writer, "Request", entry.request);
    WriteMember(writer, "Outcome", entry.outcome);
    WriteMember(writer, "ErrorCode", entry.errorCode);
    WriteMember(writer, "Message", entry.message);
    writer.EndObject();
    std::string line(buffer.GetString(), buffer.GetSize());
    line += '\n';
    return line;
}

}  // namespace Mux::Audit
