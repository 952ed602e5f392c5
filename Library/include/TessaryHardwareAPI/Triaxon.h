#pragma once

#include <cstdint>

#include "TessaryHardwareAPI/Device.h"
#include "TessaryHardwareAPI/Export.h"
#include "TessaryHardwareAPI/UUID.h"

namespace Tessary::HardwareAPI::Devices {

// The three-axis force-feedback arm. Requests only write and replies only
// read; each reply operation writes its outputs only when the reply was
// accepted, so a caller detects failure by presetting them.
class TESSARY_API Triaxon : public Device {
public:
    explicit Triaxon(IO::SerialStream* stream) : Device(stream) {}

    void SendDeviceWakeup();
    void RequestDeviceId();
    void RequestFirmwareVersion();
    void RequestOrientation();
    void RequestTemperature();
    void RequestCurrent();
    void RequestPowerStatus();
    // Each sends exactly three floats.
    void SendForce(const float* force);
    void SendPosition(const float* position);
    void SendJointTorques(const float* joint_torque);
    void SendAngle(const float* angle);

    void ReceiveDeviceInfo(uint16_t& device_id, uint8_t& device_model_number, uint8_t& hardware_version,
                           uint8_t& firmware_version, UUID& id);
    void ReceiveDeviceId(UUID& id);
    void ReceiveFirmwareVersion(UUID& version);
    void ReceiveOrientation(float* quaternion);  // 4 floats
    void ReceiveTemperature(float& temperature);
    void ReceiveCurrent(float* current);  // 3 floats
    void ReceivePowerStatus(bool& powered);
    void ReceiveState(float* position, float* velocity);                   // 3 + 3 floats
    void ReceiveJointState(float* joint_position, float* joint_velocity);  // 3 + 3 floats

    // Request codes and reply headers of the arm's protocol.
    enum Code : uint8_t {
        kWakeup = 10,
        kWakeupReply = 11,
        kOrientation = 12,
        kIdentifier = 13,
        kJointTorques = 26,
        kJointState = 27,
        kAngle = 28,
        kForce = 42,
        kState = 43,
        kPosition = 44,
        kTemperature = 170,
        kCurrent = 171,
        kPowerStatus = 172,
        kDeviceIdSelector = 209,
        kFirmwareSelector = 210,
    };
    static constexpr int kDeviceInfoLength = 21;
    static constexpr uint8_t kArmModelNumber = 4;

private:
    void SendCode(uint8_t code);
    void SendSelector(uint8_t selector);
    // Reads the header; on `expected` reads n payload bytes and returns true
    // when all came. Any other header is followed by a discard read.
    bool ReadReply(uint8_t expected, std::size_t n);
    bool ReadIdentifierReply(uint8_t selector, UUID& out);
    void ReadFloats(uint8_t expected, std::size_t count, float* out);
    void ReadStatePair(uint8_t expected, float* first, float* second);
};

}  // namespace Tessary::HardwareAPI::Devices
