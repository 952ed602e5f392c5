// A virtual Handle tool: answers wake-up with its information message and
// status requests with a status message whose orientation turns slowly with
// real time and whose user data echoes the last handle state received.
// Any other command code draws an error response with kErrorUnknownCommand.
#pragma once

#include "VirtualDevice.h"

#include <array>
#include <cstdint>

namespace Tessary::Sim {

class VirtualHandle : public VirtualDevice {
public:
    static constexpr std::uint16_t kFirstDeviceId = 0x4800; // + handle index
    static constexpr std::uint8_t kToolDataRemaining = 100;
    static constexpr std::uint8_t kModelNumber = 2;
    static constexpr std::uint8_t kHardwareVersion = 1;
    static constexpr std::uint8_t kFirmwareVersion = 3;
    static constexpr std::uint8_t kErrorFlag = 0;
    static constexpr std::uint8_t kHallEffectLevel = 0x80;
    static constexpr std::uint8_t kErrorUnknownCommand = 0x01;
    // Turn rate of the reported orientation about +z.
    static constexpr double kTurnRateRadPerS = 0.1;

    VirtualHandle(unsigned index, const FaultOptions& faults);

    const char* Kind() const override { return "handle"; }

protected:
    int RequestSize(const std::uint8_t* data, std::size_t available) const override;
    void HandleRequest(const std::uint8_t* request, std::size_t size,
                       Clock::time_point arrival) override;

private:
    std::uint16_t deviceId_;
    std::array<std::uint8_t, 255> userData_{};
    std::uint8_t userDataLength_ = 0;
    Clock::time_point started_;
};

} // namespace Tessary::Sim
