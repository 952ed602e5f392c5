// Little-endian packing helpers for the device wire format: integers are
// unsigned little-endian and floats IEEE-754 binary32 little-endian, packed.
#pragma once

#include <cstdint>
#include <cstring>

namespace Tessary::Sim::Wire {

inline void PutU16(std::uint8_t* out, std::uint16_t value)
{
    out[0] = static_cast<std::uint8_t>(value & 0xFF);
    out[1] = static_cast<std::uint8_t>(value >> 8);
}

inline void PutF32(std::uint8_t* out, float value)
{
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    out[0] = static_cast<std::uint8_t>(bits);
    out[1] = static_cast<std::uint8_t>(bits >> 8);
    out[2] = static_cast<std::uint8_t>(bits >> 16);
    out[3] = static_cast<std::uint8_t>(bits >> 24);
}

inline float GetF32(const std::uint8_t* in)
{
    const std::uint32_t bits = static_cast<std::uint32_t>(in[0])
        | static_cast<std::uint32_t>(in[1]) << 8
        | static_cast<std::uint32_t>(in[2]) << 16
        | static_cast<std::uint32_t>(in[3]) << 24;
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

inline std::uint16_t GetU16(const std::uint8_t* in)
{
    return static_cast<std::uint16_t>(in[0] | in[1] << 8);
}

} // namespace Tessary::Sim::Wire
