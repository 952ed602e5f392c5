#include "VirtualHandle.h"

#include "Wire.h"

#include <chrono>
#include <cmath>
#include <cstring>

namespace Tessary::Sim {

namespace {

enum : std::uint8_t {
    kWakeup = 0x0A,
    kStatus = 0xDA, // both the request and the message
    kHandleState = 0xDB,
    kHandleInfo = 0xD0,
    kErrorResponse = 0xDF,
};

} // namespace

VirtualHandle::VirtualHandle(unsigned index, const FaultOptions& faults)
    : VirtualDevice(faults)
    , deviceId_(static_cast<std::uint16_t>(kFirstDeviceId + index))
    , started_(Clock::now())
{
}

int VirtualHandle::RequestSize(const std::uint8_t* data, std::size_t available) const
{
    if (data[0] != kHandleState)
        return 1; // wake-up, status request, or an unknown code to refuse
    // Code, device id (2), length n, then n bytes of user data.
    if (available < 4)
        return 4;
    return 4 + data[3];
}

void VirtualHandle::HandleRequest(const std::uint8_t* request, std::size_t, Clock::time_point arrival)
{
    std::uint8_t* out = ReplyBuffer();
    std::size_t size = 0;

    switch (request[0]) {
    case kWakeup:
        out[0] = kHandleInfo;
        Wire::PutU16(out + 1, deviceId_);
        out[3] = kToolDataRemaining;
        out[4] = kModelNumber;
        out[5] = kHardwareVersion;
        out[6] = kFirmwareVersion;
        size = 1 + 6;
        break;
    case kStatus: {
        const double t = std::chrono::duration<double>(arrival - started_).count();
        const double half = 0.5 * kTurnRateRadPerS * t;
        out[0] = kStatus;
        Wire::PutU16(out + 1, deviceId_);
        out[3] = kErrorFlag;
        out[4] = kHallEffectLevel;
        // Rotation about +z, w first.
        Wire::PutF32(out + 5, static_cast<float>(std::cos(half)));
        Wire::PutF32(out + 9, 0.0f);
        Wire::PutF32(out + 13, 0.0f);
        Wire::PutF32(out + 17, static_cast<float>(std::sin(half)));
        out[21] = userDataLength_;
        std::memcpy(out + 22, userData_.data(), userDataLength_);
        size = 1 + 21 + userDataLength_;
        break;
    }
    case kHandleState:
        // The device id in the command is not checked: the tool has one link.
        userDataLength_ = request[3];
        std::memcpy(userData_.data(), request + 4, userDataLength_);
        return; // no reply
    default:
        out[0] = kErrorResponse;
        Wire::PutU16(out + 1, deviceId_);
        out[3] = kErrorUnknownCommand;
        size = 1 + 3;
        break;
    }
    SendReply(size, arrival);
}

} // namespace Tessary::Sim
