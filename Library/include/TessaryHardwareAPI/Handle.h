#pragma once

#include <cstdint>

#include "TessaryHardwareAPI/Device.h"
#include "TessaryHardwareAPI/Export.h"

namespace Tessary::HardwareAPI::Devices {

struct HandleInfoRecord {
    uint16_t device_id;
    uint8_t tool_data_remaining;
    uint8_t device_model_number;
    uint8_t hardware_version;
    uint8_t firmware_version;
};

struct HandleStatusRecord {
    uint16_t device_id;
    float quaternion[4];
    uint8_t error_flag;
    uint8_t hall_effect_sensor_level;
    uint8_t user_data_length;
    uint8_t user_data[255];  // the most a one-byte length can announce
};

struct HandleErrorRecord {
    uint16_t device_id;
    uint8_t error_code;
};

// The hand-held tool. Its messages are not returned as values: Receive reads
// one message and hands it to the virtual callbacks, which subclasses
// override. Each message has a record-form callback and, declared right
// after it, an argument-form one; all default to doing nothing.
class TESSARY_API Handle : public Device {
public:
    explicit Handle(IO::SerialStream* stream) : Device(stream) {}

    virtual void OnHandleInfoRecord(const HandleInfoRecord& record);
    virtual void OnReceiveHandleInfo(uint8_t tool_data_remaining, uint16_t device_id, uint8_t device_model_number,
                                     uint8_t hardware_version, uint8_t firmware_version);
    virtual void OnHandleStatusRecord(const HandleStatusRecord& record);
    virtual void OnReceiveHandleStatusMessage(uint16_t device_id, const float* quaternion, uint8_t error_flag,
                                              uint8_t hall_effect_sensor_level, uint8_t user_data_length,
                                              const uint8_t* user_data);
    virtual void OnHandleErrorRecord(const HandleErrorRecord& record);
    virtual void OnReceiveHandleErrorResponse(uint16_t device_id, uint8_t error_code);
    // Declared after the callbacks so that they keep the first six slots of
    // the virtual table; virtual because subclasses are owned through Handle*.
    virtual ~Handle() = default;

    void SendDeviceWakeup();
    void RequestStatus();
    // user_data is read only when user_data_length is not 0.
    void SendHandleState(uint16_t device_id, uint8_t user_data_length, const uint8_t* user_data);

    // Reads one message and runs its callbacks. Returns the payload bytes
    // read, or -1 for an unknown or unreadable header (nothing more is read).
    // A message whose payload came back short runs no callback.
    int Receive();

    enum Code : uint8_t {
        kWakeup = 10,
        kInfo = 208,
        kStatus = 218,  // both the status request and the status message
        kHandleState = 219,
        kErrorResponse = 223,
    };
    static constexpr int kInfoLength = 6;
    static constexpr int kStatusLength = 21;
    static constexpr int kErrorLength = 3;

private:
    int ReceiveInfo();
    int ReceiveStatus();
    int ReceiveError();
};

}  // namespace Tessary::HardwareAPI::Devices
