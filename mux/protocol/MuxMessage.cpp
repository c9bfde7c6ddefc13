#include "mux/protocol/MuxMessage.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace Mux {

namespace {
constexpr size_t kWriteBufferSize = 2048;
}  // namespace

std::string MuxMessage::ToJSON() const {
    // An answer or event fits the buffer; only a larger one takes memory from the heap.
    char poolBuffer[kWriteBufferSize];
    rapidjson::MemoryPoolAllocator<> pool(poolBuffer, sizeof poolBuffer);
    rapidjson::Document document(&pool);
    document.SetObject();
    auto& allocator = document.GetAllocator();

    rapidjson::Value data;
    if (payload_ != nullptr) {
        data = payload_->ToJSONObject(document);
    }

    document.AddMember("Timestamp", static_cast<int64_t>(timestamp_), allocator);
    document.AddMember(
        "MessageID",
        rapidjson::Value(messageId_.data(), static_cast<rapidjson::SizeType>(messageId_.size()),
                         allocator),
        allocator);
    document.AddMember("MessageCode", messageCode_, allocator);
    document.AddMember("Data", data, allocator);

    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    document.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

std::vector<unsigned char> MuxMessage::ToBytes() const {
    std::string text = ToJSON();
    return std::vector<unsigned char>(text.begin(), text.end());
}

}  // namespace Mux
