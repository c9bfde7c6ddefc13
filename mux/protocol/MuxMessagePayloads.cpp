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

rapidjson::Value MuxGatewaysPayload::ToJSONObject(rapidjson::Document& document) const {
    auto& allocator = document.GetAllocator();
    rapidjson::Value list(rapidjson::kArrayType);
    for (const MuxGatewayEntry& gateway : gateways) {
        rapidjson::Value entry(rapidjson::kObjectType);
        entry.AddMember("ID", gateway.id, allocator);
        entry.AddMember("Description", Text(gateway.description, document), allocator);
        entry.AddMember("IpAddress", Text(gateway.ipAddress, document), allocator);
        entry.AddMember("Port", gateway.port, allocator);
        entry.AddMember("Status", Text(gateway.status, document), allocator);
        entry.AddMember("Since", gateway.since, allocator);
        entry.AddMember("LastFrame",
                        gateway.lastFrame ? rapidjson::Value(*gateway.lastFrame) : rapidjson::Value(),
                        allocator);
        entry.AddMember("Queued", gateway.queued, allocator);
        entry.AddMember("Waiting", gateway.waiting, allocator);
        entry.AddMember("ConnectAttempts", gateway.connectAttempts, allocator);
        entry.AddMember("CrcErrors", gateway.crcErrors, allocator);
        list.PushBack(entry, allocator);
    }
    rapidjson::Value object(rapidjson::kObjectType);
    object.AddMember("Gateways", list, allocator);
    return object;
}

rapidjson::Value MuxGatewayStatusEventPayload::ToJSONObject(rapidjson::Document& document) const {
    rapidjson::Value object(rapidjson::kObjectType);
    auto& allocator = document.GetAllocator();
    object.AddMember("GatewayID", gatewayID, allocator);
    object.AddMember("Status", Text(status, document), allocator);
    object.AddMember("Previous", Text(previous, document), allocator);
    return object;
}

}  // namespace Mux
