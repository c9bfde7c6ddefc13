#include "mux/protocol/MuxMessagePayloads.h"

namespace Mux {

namespace {

rapidjson::Value Text(const std::string& text, rapidjson::Document& document) {
    return rapidjson::Value(text.data(), static_cast<rapidjson::SizeType>(text.size()),
                            document.GetAllocator());
}

rapidjson::Value ObjectOf(const std::unique_ptr<MuxMessagePayloadBase>& data,
                          rapidjson::Document& document) {
    return data == nullptr ? rapidjson::Value() : data->ToJSONObject(document);
}

}  // namespace

rapidjson::Value MuxMessagePayloadBase::ToJSONObject(rapidjson::Document&) const {
    return rapidjson::Value();
}

rapidjson::Value MuxLockAddressPayload::ToJSONObject(rapidjson::Document& document) const {
    rapidjson::Value object(rapidjson::kObjectType);
    object.AddMember("gatewayID", gatewayID, document.GetAllocator());
    object.AddMember("lockID", lockID, document.GetAllocator());
    return object;
}

rapidjson::Value MuxLockOpenCloseMessagePayload::ToJSONObject(rapidjson::Document& document) const {
    rapidjson::Value object = MuxLockAddressPayload::ToJSONObject(document);
    object.AddMember("duration", static_cast<int>(duration), document.GetAllocator());
    return object;
}

rapidjson::Value MuxAckMessagePayload::ToJSONObject(rapidjson::Document& document) const {
    rapidjson::Value object(rapidjson::kObjectType);
    object.AddMember("Data", ObjectOf(data_, document), document.GetAllocator());
    return object;
}

rapidjson::Value MuxNackMessagePayload::ToJSONObject(rapidjson::Document& document) const {
    rapidjson::Value object(rapidjson::kObjectType);
    auto& allocator = document.GetAllocator();
    object.AddMember("ErrorCode", errorCode, allocator);
    object.AddMember("Message", Text(message, document), allocator);
    object.AddMember("Data", ObjectOf(data_, document), allocator);
    return object;
}

rapidjson::Value MuxLockOperationResponsePayload::ToJSONObject(
    rapidjson::Document& document) const {
    rapidjson::Value object(rapidjson::kObjectType);
    object.AddMember("Success", success, document.GetAllocator());
    object.AddMember("ErrorCode", errorCode, document.GetAllocator());
    return object;
}

rapidjson::Value MuxGetLockStatusResponsePayload::ToJSONObject(
    rapidjson::Document& document) const {
    rapidjson::Value object(rapidjson::kObjectType);
    auto& allocator = document.GetAllocator();
    object.AddMember("BatteryStatus", batteryStatus, allocator);
    object.AddMember("QoS", qos, allocator);
    object.AddMember("MechanicalActive", mechanicalActive, allocator);
    object.AddMember("BatteryWarningLevel", batteryWarningLevel, allocator);
    object.AddMember("BatteryAlarmLevel", batteryAlarmLevel, allocator);
    object.AddMember("ScandinavianFireMode", scandinavianFireMode, allocator);
    object.AddMember("ReaderConnected", readerConnected, allocator);
    return object;
}

rapidjson::Value MuxCardEventPayload::ToJSONObject(rapidjson::Document& document) const {
    rapidjson::Value object(rapidjson::kObjectType);
    auto& allocator = document.GetAllocator();
    object.AddMember("gatewayID", gatewayID, allocator);
    object.AddMember("lockID", static_cast<int>(lockID), allocator);
    object.AddMember("timestamp", Text(timestamp, document), allocator);
    object.AddMember("RFIDData", Text(rfidData, document), allocator);
    return object;
}

}  // namespace Mux
