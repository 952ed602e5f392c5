#include "VirtualArm.h"

#include "Wire.h"

#include <chrono>
#include <cmath>
#include <cstring>

namespace Tessary::Sim {

namespace {

enum : std::uint8_t {
    kWakeup = 0x0A,
    kDeviceInfo = 0x0B,
    kOrientation = 0x0C,
    kIdentity = 0x0D,
    kSelectDeviceId = 0xD1,
    kSelectFirmware = 0xD2,
    kTemperature = 0xAA,
    kCurrent = 0xAB,
    kPowerStatus = 0xAC,
    kForce = 0x2A,
    kState = 0x2B,
    kPosition = 0x2C,
    kJointTorques = 0x1A,
    kJointState = 0x1B,
    kJointAngles = 0x1C,
};

constexpr std::uint8_t kIdentifierLength = 16;

Vec3 ReadFloats(const std::uint8_t* payload)
{
    return { Wire::GetF32(payload), Wire::GetF32(payload + 4), Wire::GetF32(payload + 8) };
}

} // namespace

const std::array<std::uint8_t, 16>& VirtualArm::FirmwareVersionId()
{
    static const std::array<std::uint8_t, 16> id = { 't', 'e', 's', 's', 'a', 'r', 'y', '-',
                                                     's', 'i', 'm', ' ', '1', '.', '0', 0 };
    return id;
}

VirtualArm::VirtualArm(unsigned index, const FaultOptions& faults)
    : VirtualDevice(faults)
    , deviceId_(static_cast<std::uint16_t>(kFirstDeviceId + index))
    , identifier_{ 0x7e, 0x55, 0x1a, 0xc0, 0x51, 0x00, 0x40, 0x00,
                   0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, static_cast<std::uint8_t>(index) }
    , started_(Clock::now())
    , lastRequest_(started_)
{
}

int VirtualArm::RequestSize(const std::uint8_t* data, std::size_t) const
{
    switch (data[0]) {
    case kWakeup:
    case kOrientation:
    case kTemperature:
    case kCurrent:
    case kPowerStatus:
        return 1;
    case kIdentity:
        return 2; // code and selector
    case kForce:
    case kPosition:
    case kJointTorques:
    case kJointAngles:
        return 1 + 12;
    default:
        return kUnknown;
    }
}

void VirtualArm::Elapse(Clock::time_point now)
{
    const double seconds = std::chrono::duration<double>(now - lastRequest_).count();
    lastRequest_ = now;
    dynamics_.Advance(seconds);
}

std::size_t VirtualArm::PutFloats(std::size_t at, const Vec3& values)
{
    std::uint8_t* out = ReplyBuffer();
    for (double v : values) {
        Wire::PutF32(out + at, static_cast<float>(v));
        at += 4;
    }
    return at;
}

double VirtualArm::Temperature(Clock::time_point now) const
{
    // Motor housing temperature drifting gently around 35 °C.
    constexpr double kPi = 3.14159265358979323846;
    const double t = std::chrono::duration<double>(now - started_).count();
    return 35.0 + 0.5 * std::sin(2.0 * kPi * t / 120.0);
}

void VirtualArm::HandleRequest(const std::uint8_t* request, std::size_t, Clock::time_point arrival)
{
    std::uint8_t* out = ReplyBuffer();
    const std::uint8_t code = request[0];
    const std::uint8_t* payload = request + 1;

    switch (code) {
    case kForce:
        dynamics_.CommandForce(ReadFloats(payload));
        break;
    case kPosition:
        dynamics_.CommandPosition(ReadFloats(payload));
        break;
    case kJointTorques:
        dynamics_.CommandJointTorques(ReadFloats(payload));
        break;
    case kJointAngles:
        dynamics_.CommandJointAngles(ReadFloats(payload));
        break;
    default:
        break;
    }
    Elapse(arrival);

    std::size_t size = 0;
    switch (code) {
    case kWakeup:
        out[0] = kDeviceInfo;
        Wire::PutU16(out + 1, deviceId_);
        out[3] = kModelNumber;
        out[4] = kHardwareVersion;
        out[5] = kFirmwareVersion;
        std::memcpy(out + 6, identifier_.data(), identifier_.size());
        size = 1 + 21;
        break;
    case kIdentity: {
        const std::uint8_t selector = payload[0];
        if (selector != kSelectDeviceId && selector != kSelectFirmware)
            return;
        const auto& id = selector == kSelectDeviceId ? identifier_ : FirmwareVersionId();
        out[0] = kIdentity;
        out[1] = selector;
        out[2] = kIdentifierLength;
        std::memcpy(out + 3, id.data(), id.size());
        size = 2 + 17;
        break;
    }
    case kOrientation:
        // The base stands upright: the identity rotation, w first.
        out[0] = kOrientation;
        size = PutFloats(1, { 1.0, 0.0, 0.0 });
        Wire::PutF32(out + size, 0.0f);
        size += 4;
        break;
    case kTemperature:
        out[0] = kTemperature;
        Wire::PutF32(out + 1, static_cast<float>(Temperature(arrival)));
        size = 1 + 4;
        break;
    case kCurrent:
        out[0] = kCurrent;
        size = PutFloats(1, dynamics_.MotorCurrents());
        break;
    case kPowerStatus:
        out[0] = kPowerStatus;
        out[1] = 0x01;
        size = 1 + 1;
        break;
    case kForce:
    case kPosition:
        out[0] = kState;
        size = PutFloats(PutFloats(1, dynamics_.Position()), dynamics_.Velocity());
        break;
    case kJointTorques:
    case kJointAngles: {
        Vec3 angles;
        Vec3 rates;
        dynamics_.JointState(angles, rates);
        out[0] = kJointState;
        size = PutFloats(PutFloats(1, angles), rates);
        break;
    }
    default:
        return;
    }
    SendReply(size, arrival);
}

} // namespace Tessary::Sim
