#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "TessaryHardwareAPI/Export.h"
#include "TessaryHardwareAPI/SerialStream.h"

namespace Tessary::HardwareAPI::Devices {

// Framing shared by every device: requests are built in write_buffer and sent
// with one write; every reply read lands at the start of read_buffer. Failures
// are reported on stderr and as zero results, never as exceptions.
class TESSARY_API Device {
public:
    static constexpr std::size_t kBufferSize = 1024;

    // Borrows the stream, which must outlive the device. No I/O.
    explicit Device(IO::SerialStream* stream);
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Sends write_buffer[0..n-1].
    void WriteBytes(std::size_t n);
    // One reply code byte, or 0 when the read failed.
    uint8_t ReadHeaderCode();
    // Reads n bytes into read_buffer[0..n-1]; n on success, otherwise 0.
    int ReadBytes(std::size_t n);
    // Sends code followed by count little-endian binary32 values.
    void WriteFloats(uint8_t code, const float* values, const int& count);

    IO::SerialStream* stream;
    std::unique_ptr<uint8_t[]> write_buffer;
    std::unique_ptr<uint8_t[]> read_buffer;

private:
    // What the link says after an operation that began in state `before`:
    // good, ended (quiet: a time-out, a closed port, a hang-up already
    // reported) or failed (reported by the operation, with errno set to the
    // cause).
    enum class Outcome { Good, Ended, Failed };
    Outcome Examine(IO::LinkState before);
};

}  // namespace Tessary::HardwareAPI::Devices
