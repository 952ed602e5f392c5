#include "TessaryHardwareAPI/Triaxon.h"

#include <cstring>

namespace Tessary::HardwareAPI::Devices {

namespace {
constexpr int kTriple = 3;
constexpr std::size_t kIdentifierPayload = 17;  // length byte + 16 bytes
constexpr uint8_t kIdentifierLength = 16;
}  // namespace

void Triaxon::SendCode(uint8_t code) {
    write_buffer[0] = code;
    WriteBytes(1);
}

void Triaxon::SendSelector(uint8_t selector) {
    write_buffer[0] = kIdentifier;
    write_buffer[1] = selector;
    WriteBytes(2);
}

void Triaxon::SendDeviceWakeup() { SendCode(kWakeup); }
void Triaxon::RequestDeviceId() { SendSelector(kDeviceIdSelector); }
void Triaxon::RequestFirmwareVersion() { SendSelector(kFirmwareSelector); }
void Triaxon::RequestOrientation() { SendCode(kOrientation); }
void Triaxon::RequestTemperature() { SendCode(kTemperature); }
void Triaxon::RequestCurrent() { SendCode(kCurrent); }
void Triaxon::RequestPowerStatus() { SendCode(kPowerStatus); }
void Triaxon::SendForce(const float* force) { WriteFloats(kForce, force, kTriple); }
void Triaxon::SendPosition(const float* position) { WriteFloats(kPosition, position, kTriple); }
void Triaxon::SendJointTorques(const float* joint_torque) { WriteFloats(kJointTorques, joint_torque, kTriple); }
void Triaxon::SendAngle(const float* angle) { WriteFloats(kAngle, angle, kTriple); }

bool Triaxon::ReadReply(uint8_t expected, std::size_t n) {
    if (ReadHeaderCode() != expected) {
        // Throw away the rest of whatever came, so it is not taken for the
        // next reply.
        ReadBytes(kBufferSize);
        return false;
    }
    return ReadBytes(n) == static_cast<int>(n);
}

bool Triaxon::ReadIdentifierReply(uint8_t selector, UUID& out) {
    const uint8_t code = ReadHeaderCode();
    const uint8_t second = ReadHeaderCode();  // both are read before either is judged
    if (code != kIdentifier || second != selector) {
        ReadBytes(kBufferSize);
        return false;
    }
    if (ReadBytes(kIdentifierPayload) != static_cast<int>(kIdentifierPayload)) return false;
    if (read_buffer[0] != kIdentifierLength) return false;
    std::memcpy(out.data.data(), read_buffer.get() + 1, kIdentifierLength);
    return true;
}

void Triaxon::ReadFloats(uint8_t expected, std::size_t count, float* out) {
    if (ReadReply(expected, count * sizeof(float))) {
        std::memcpy(out, read_buffer.get(), count * sizeof(float));
    }
}

void Triaxon::ReadStatePair(uint8_t expected, float* first, float* second) {
    if (ReadReply(expected, 2 * kTriple * sizeof(float))) {
        std::memcpy(first, read_buffer.get(), kTriple * sizeof(float));
        std::memcpy(second, read_buffer.get() + kTriple * sizeof(float), kTriple * sizeof(float));
    }
}

void Triaxon::ReceiveDeviceInfo(uint16_t& device_id, uint8_t& device_model_number, uint8_t& hardware_version,
                                uint8_t& firmware_version, UUID& id) {
    if (!ReadReply(kWakeupReply, kDeviceInfoLength)) return;
    std::memcpy(&device_id, read_buffer.get(), sizeof device_id);
    device_model_number = read_buffer[2];
    hardware_version = read_buffer[3];
    firmware_version = read_buffer[4];
    std::memcpy(id.data.data(), read_buffer.get() + 5, id.data.size());
}

void Triaxon::ReceiveDeviceId(UUID& id) { ReadIdentifierReply(kDeviceIdSelector, id); }
void Triaxon::ReceiveFirmwareVersion(UUID& version) { ReadIdentifierReply(kFirmwareSelector, version); }
void Triaxon::ReceiveOrientation(float* quaternion) { ReadFloats(kOrientation, 4, quaternion); }
void Triaxon::ReceiveTemperature(float& temperature) { ReadFloats(kTemperature, 1, &temperature); }
void Triaxon::ReceiveCurrent(float* current) { ReadFloats(kCurrent, kTriple, current); }

void Triaxon::ReceivePowerStatus(bool& powered) {
    if (ReadReply(kPowerStatus, 1)) powered = read_buffer[0] != 0;
}

void Triaxon::ReceiveState(float* position, float* velocity) { ReadStatePair(kState, position, velocity); }

void Triaxon::ReceiveJointState(float* joint_position, float* joint_velocity) {
    ReadStatePair(kJointState, joint_position, joint_velocity);
}

}  // namespace Tessary::HardwareAPI::Devices
