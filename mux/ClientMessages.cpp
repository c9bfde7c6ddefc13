#include "mux/ClientMessages.h"

#include "diagnostics/Log.h"
#include "diagnostics/Tracer.h"
#include "mux/protocol/MuxMessage.h"
#include "mux/protocol/MuxMessageBuilder.h"
#include "mux/protocol/MuxMessageCodes.h"

namespace Mux {
namespace {

constexpr unsigned int kTraceVerbose = 8;
constexpr unsigned int kTraceWarning = 2;

bool TracePacketCheck(bool isMuxPacket) {
    if (isMuxPacket) {
        Diagnostics::Tracer::GetInstance().WriteLine(
            "[MuxPacket::IsMuxPacket] Data is a MUX packet.", kTraceVerbose);
    } else {
        Diagnostics::Tracer::GetInstance().WriteLine(
            "[MuxPacket::IsMuxPacket] Data is NOT a MUX packet.", kTraceWarning);
    }
    return isMuxPacket;
}

Diagnostics::Severity SeverityOf(MuxParseNote::Severity severity) {
    switch (severity) {
        case MuxParseNote::Severity::error:
            return Diagnostics::error;
        case MuxParseNote::Severity::warning:
            return Diagnostics::warning;
        case MuxParseNote::Severity::info:
            return Diagnostics::info;
        case MuxParseNote::Severity::debug:
            return Diagnostics::debug;
    }
    return Diagnostics::debug;
}

// What writing the message is about to do: its code, and a payload that is missing or is a
// negative answer's.
void LogConversion(const MuxMessage& message) {
    const int code = message.GetMessageCode();
    if (code == MUX_MESSAGE_ACK) {
        LOG_VERBOSE << " Converting ACK Message.";
    } else if (code == MUX_MESSAGE_NACK) {
        LOG_VERBOSE << "Converting NACK Message.";
    } else {
        LOG_VERBOSE << "Current Message Code: " << code;
    }
    if (message.GetPayload() == nullptr) {
        LOG_WARNING << "Current Message data is NULL. MessageCode: " << code;
    } else if (code == MUX_MESSAGE_NACK) {
        LOG_VERBOSE << "[MuxNackMessagePayload::ToJSONObject] ToJSON Object of "
                       "MuxNackMessagePayload hit.";
    }
}

}  // namespace

std::optional<MuxPacket> ReadClientPacket(const std::vector<unsigned char>& data) {
    if (!TracePacketCheck(MuxPacket::IsMuxPacket(data))) {
        return std::nullopt;
    }
    MuxPacket packet(data);
    // A packet built from MUX packet bytes is never empty.
    TracePacketCheck(packet.GetPacketLength() != 0);
    return packet;
}

std::unique_ptr<MuxMessage> ReadClientMessage(const std::string& text) {
    MuxParseNotes notes;
    std::unique_ptr<MuxMessage> message = MuxMessageBuilder::Build(text, &notes);
    for (const MuxParseNote& note : notes) {
        LOCKHUB_LOG(SeverityOf(note.severity)) << note.text;
    }
    return message;
}

std::string ClientText(const MuxMessage& message) {
    LogConversion(message);
    return message.ToJSON();
}

std::vector<unsigned char> ClientBytes(const MuxMessage& message) {
    LogConversion(message);
    return message.ToBytes();
}

}  // namespace Mux
