#pragma once

// Device messages as the tests put them on the wire, written out byte by
// byte rather than taken from the library's own constants.
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace tessary_test {

using Bytes = std::vector<uint8_t>;

inline Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// n bytes counting up from `from`.
inline Bytes Counting(uint8_t from, size_t n) {
    Bytes out;
    for (size_t i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(from + i));
    return out;
}

// Little-endian binary32 values, packed.
inline Bytes FloatBytes(std::initializer_list<float> values) {
    Bytes out;
    for (float v : values) {
        uint8_t b[4];
        std::memcpy(b, &v, 4);
        out.insert(out.end(), b, b + 4);
    }
    return out;
}

// A header byte followed by packed floats (state, current, orientation...).
inline Bytes FloatReply(uint8_t header, std::initializer_list<float> values) {
    return Concat({{header}, FloatBytes(values)});
}

// The arm's wake-up reply: header 11, device id, model, hardware, firmware,
// 16 identifier bytes.
inline Bytes WakeupReply(uint16_t device_id = 0x1234, uint8_t model = 4, uint8_t hardware = 2, uint8_t firmware = 7,
                         const Bytes& identifier = Counting(0x00, 16)) {
    return Concat({{0x0B, uint8_t(device_id), uint8_t(device_id >> 8), model, hardware, firmware}, identifier});
}

// The arm's identifier replies: 13, selector (0xD1 id, 0xD2 firmware), length, 16 bytes.
inline Bytes IdentifierReply(uint8_t selector, const Bytes& identifier, uint8_t length = 16) {
    return Concat({{0x0D, selector, length}, identifier});
}

// `n` junk bytes: enough (1024) fill a discard read at once.
inline Bytes Junk(size_t n = 1024) {
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(0x77 + i * 7);
    return out;
}

// The handle's messages.
inline Bytes HandleInfo(uint16_t device_id, uint8_t tool, uint8_t model, uint8_t hardware, uint8_t firmware) {
    return {0xD0, uint8_t(device_id), uint8_t(device_id >> 8), tool, model, hardware, firmware};
}
inline Bytes HandleError(uint16_t device_id, uint8_t code) {
    return {0xDF, uint8_t(device_id), uint8_t(device_id >> 8), code};
}
inline Bytes HandleStatus(uint16_t device_id, uint8_t error_flag, uint8_t hall, const float (&quaternion)[4],
                          const Bytes& user) {
    Bytes m = {0xDA, uint8_t(device_id), uint8_t(device_id >> 8), error_flag, hall};
    const Bytes q = FloatBytes({quaternion[0], quaternion[1], quaternion[2], quaternion[3]});
    m.insert(m.end(), q.begin(), q.end());
    m.push_back(uint8_t(user.size()));
    m.insert(m.end(), user.begin(), user.end());
    return m;
}

}  // namespace tessary_test
