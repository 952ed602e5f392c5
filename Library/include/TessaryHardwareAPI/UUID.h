#pragma once

#include <array>
#include <cstdint>

namespace Tessary::HardwareAPI {

// A 16-byte device identifier kept verbatim in wire order; all zero by default.
struct UUID {
    std::array<uint8_t, 16> data{};

    std::array<uint8_t, 16> bytes() const { return data; }
};

static_assert(sizeof(UUID) == 16, "an identifier is exactly its 16 bytes");

}  // namespace Tessary::HardwareAPI
