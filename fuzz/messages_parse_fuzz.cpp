// Feeds arbitrary bytes to the gateway frame parser and to every frame constructor, as
// the gateway's read thread does with bytes from the network.
//
// Checks: Parse never throws and yields null or a frame; a parsed frame serialises, and
// that frame parses again to the same header; the frame constructors fail only with
// std::out_of_range; whitelist payloads built from any card data fit or are refused.

#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "messages/QuarnAddOrRemoveFromWhitelistPayload.h"
#include "messages/QuarnGetStatusPayload.h"
#include "messages/QuarnLockState.h"
#include "messages/QuarnMessageBuilder.h"
#include "messages/QuarnMessageTypes.h"
#include "messages/QuarnReaderEventPayloads.h"
#include "messages/QuarnResponsePayload.h"

using namespace Quarn::Messages;

namespace {

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

template <class Payload>
void ConstructFrom(const std::vector<unsigned char>& frame) {
    try {
        Payload payload(frame);
        payload.ToByteArray();
    } catch (const std::out_of_range&) {
    }
}

void CheckParsedFrame(const QuarnMessage& message) {
    const std::vector<unsigned char> bytes = message.Serialize();
    Require(message.ToHexString().size() == bytes.size() * 3 - 1);
    message.ComputeCRC();
    if (auto* status = dynamic_cast<const QuarnGetStatusPayload*>(message.GetPayload())) {
        QuarnLockState::ParseFromBuffer(status);
    }

    auto again = QuarnMessageBuilder::Parse(bytes);
    Require(again != nullptr);
    Require(again->GetFrameLength() == message.GetFrameLength());
    Require(again->GetInnerLength() == message.GetInnerLength());
    Require(again->GetHeaderVersion() == message.GetHeaderVersion());
    Require(again->GetReferenceByte() == message.GetReferenceByte());
    Require(again->GetSequenceCounter() == message.GetSequenceCounter());
    Require(again->GetDeviceAddress() == message.GetDeviceAddress());
    Require(again->GetMessageType() == message.GetMessageType());
    Require(again->Serialize() == bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<unsigned char> frame(data, data + size);

    std::unique_ptr<QuarnMessage> message = QuarnMessageBuilder::Parse(frame);
    if (message) {
        CheckParsedFrame(*message);
    }

    ConstructFrom<QuarnResponsePayload>(frame);
    ConstructFrom<QuarnGetStatusPayload>(frame);
    ConstructFrom<QuarnCardReaderMessagePayload>(frame);
    ConstructFrom<QuarnPincodeMessagePayload>(frame);

    // The same bytes as whitelist card data, in each mode.
    if (size > 0) {
        const std::vector<unsigned char> card(data + 1, data + size);
        QuarnMessageBuilder builder(0, 1);
        auto built =
            builder.BuildAddToWhitelistMessage(7, (data[0] & 1) != 0, data[0] >> 1, 0, card);
        if (built) {
            Require(built->Serialize().size() == built->GetFrameLength());
        } else {
            Require(card.size() > QUARN_MAX_PAYLOAD_SIZE - 3);
        }
    }
    return 0;
}
