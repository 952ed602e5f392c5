#include "TessaryHardwareAPI/Handle.h"

#include <cstring>

namespace Tessary::HardwareAPI::Devices {

void Handle::OnHandleInfoRecord(const HandleInfoRecord&) {}
void Handle::OnReceiveHandleInfo(uint8_t, uint16_t, uint8_t, uint8_t, uint8_t) {}
void Handle::OnHandleStatusRecord(const HandleStatusRecord&) {}
void Handle::OnReceiveHandleStatusMessage(uint16_t, const float*, uint8_t, uint8_t, uint8_t, const uint8_t*) {}
void Handle::OnHandleErrorRecord(const HandleErrorRecord&) {}
void Handle::OnReceiveHandleErrorResponse(uint16_t, uint8_t) {}

void Handle::SendDeviceWakeup() {
    write_buffer[0] = kWakeup;
    WriteBytes(1);
}

void Handle::RequestStatus() {
    write_buffer[0] = kStatus;
    WriteBytes(1);
}

void Handle::SendHandleState(uint16_t device_id, uint8_t user_data_length, const uint8_t* user_data) {
    write_buffer[0] = kHandleState;
    std::memcpy(write_buffer.get() + 1, &device_id, sizeof device_id);
    write_buffer[3] = user_data_length;
    if (user_data_length != 0) std::memcpy(write_buffer.get() + 4, user_data, user_data_length);
    WriteBytes(4u + user_data_length);
}

int Handle::Receive() {
    switch (ReadHeaderCode()) {
        case kStatus:
            return ReceiveStatus();
        case kInfo:
            return ReceiveInfo();
        case kErrorResponse:
            return ReceiveError();
        default:
            // Unknown or unreadable: nothing more is read, so a payload that
            // followed is taken byte by byte as the next headers.
            return -1;
    }
}

// A short read (time-out, hang-up) delivers no callback: read_buffer would
// still hold an earlier message's bytes, which must not pass as new data.

int Handle::ReceiveStatus() {
    HandleStatusRecord record;
    std::memset(&record, 0, sizeof record);
    const int first = ReadBytes(kStatusLength);
    if (first != kStatusLength) return first;
    std::memcpy(&record.device_id, read_buffer.get(), sizeof record.device_id);
    record.error_flag = read_buffer[2];
    record.hall_effect_sensor_level = read_buffer[3];
    std::memcpy(record.quaternion, read_buffer.get() + 4, sizeof record.quaternion);
    record.user_data_length = read_buffer[20];
    const int tail = ReadBytes(record.user_data_length);
    if (tail != record.user_data_length) return first + tail;
    std::memcpy(record.user_data, read_buffer.get(), record.user_data_length);
    OnReceiveHandleStatusMessage(record.device_id, record.quaternion, record.error_flag,
                                 record.hall_effect_sensor_level, record.user_data_length, record.user_data);
    OnHandleStatusRecord(record);
    return first + tail;
}

int Handle::ReceiveInfo() {
    HandleInfoRecord record{};
    const int count = ReadBytes(kInfoLength);
    if (count != kInfoLength) return count;
    std::memcpy(&record.device_id, read_buffer.get(), sizeof record.device_id);
    record.tool_data_remaining = read_buffer[2];
    record.device_model_number = read_buffer[3];
    record.hardware_version = read_buffer[4];
    record.firmware_version = read_buffer[5];
    OnReceiveHandleInfo(record.tool_data_remaining, record.device_id, record.device_model_number,
                        record.hardware_version, record.firmware_version);
    OnHandleInfoRecord(record);
    return count;
}

int Handle::ReceiveError() {
    HandleErrorRecord record{};
    const int count = ReadBytes(kErrorLength);
    if (count != kErrorLength) return count;
    std::memcpy(&record.device_id, read_buffer.get(), sizeof record.device_id);
    record.error_code = read_buffer[2];
    OnReceiveHandleErrorResponse(record.device_id, record.error_code);
    OnHandleErrorRecord(record);
    return count;
}

}  // namespace Tessary::HardwareAPI::Devices
