// A virtual Triaxon arm: answers every arm request from a simulated point
// mass (see ArmDynamics) and fixed identity values.
//
// Requests with an unknown code, and 0x0D with a selector other than 0xD1 or
// 0xD2, get no reply: the bytes are dropped, as the arm's firmware would.
#pragma once

#include "ArmDynamics.h"
#include "VirtualDevice.h"

#include <array>
#include <cstdint>

namespace Tessary::Sim {

class VirtualArm : public VirtualDevice {
public:
    static constexpr std::uint8_t kModelNumber = 4;
    static constexpr std::uint8_t kHardwareVersion = 1;
    static constexpr std::uint8_t kFirmwareVersion = 5;
    static constexpr std::uint16_t kFirstDeviceId = 0x7100; // + arm index

    VirtualArm(unsigned index, const FaultOptions& faults);

    const char* Kind() const override { return "triaxon"; }

    // 7e551ac0-5100-4000-8000-0000000000NN, NN = arm index.
    const std::array<std::uint8_t, 16>& Identifier() const { return identifier_; }
    // ASCII "tessary-sim 1.0" and a NUL.
    static const std::array<std::uint8_t, 16>& FirmwareVersionId();

protected:
    int RequestSize(const std::uint8_t* data, std::size_t available) const override;
    void HandleRequest(const std::uint8_t* request, std::size_t size,
                       Clock::time_point arrival) override;

private:
    void Elapse(Clock::time_point now);
    std::size_t PutFloats(std::size_t at, const Vec3& values);
    double Temperature(Clock::time_point now) const;

    std::uint16_t deviceId_;
    std::array<std::uint8_t, 16> identifier_{};
    ArmDynamics dynamics_;
    Clock::time_point started_;
    Clock::time_point lastRequest_;
};

} // namespace Tessary::Sim
