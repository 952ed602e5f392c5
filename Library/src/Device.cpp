#include "TessaryHardwareAPI/Device.h"

#include <cstring>

#include "ErrorLine.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the wire format is little-endian and is copied as it is");
static_assert(sizeof(float) == 4, "the wire carries IEEE 754 binary32 floats");

namespace Tessary::HardwareAPI::Devices {

Device::Device(IO::SerialStream* s)
    : stream(s),
      write_buffer(std::make_unique<uint8_t[]>(kBufferSize)),  // zero-filled
      read_buffer(std::make_unique<uint8_t[]>(kBufferSize)) {}

Device::Outcome Device::Examine() const {
    const auto state = stream->rdstate();
    if (state == std::ios_base::goodbit) return Outcome::Good;
    // A time-out leaves end-of-file set for good: every later operation fails
    // at once and quietly, so one silent device does not flood stderr.
    if (state & std::ios_base::eofbit) return Outcome::Ended;
    return Outcome::Failed;
}

void Device::WriteBytes(std::size_t n) {
    stream->write(reinterpret_cast<const char*>(write_buffer.get()), static_cast<std::streamsize>(n));
    if (Examine() == Outcome::Failed) {
        TESSARY_REPORT("unable to write '%zu' bytes to stream", n);
    }
}

uint8_t Device::ReadHeaderCode() {
    stream->read(reinterpret_cast<char*>(read_buffer.get()), 1);
    switch (Examine()) {
        case Outcome::Good:
            return read_buffer[0];
        case Outcome::Failed:
            TESSARY_REPORT("unable to read header code from stream%s", "");
            return 0;
        case Outcome::Ended:
            break;
    }
    return 0;
}

int Device::ReadBytes(std::size_t n) {
    stream->read(reinterpret_cast<char*>(read_buffer.get()), static_cast<std::streamsize>(n));
    switch (Examine()) {
        case Outcome::Good:
            return static_cast<int>(stream->gcount());
        case Outcome::Failed:
            TESSARY_REPORT("unable to read '%zu' bytes from stream", n);
            return 0;
        case Outcome::Ended:
            break;
    }
    return 0;
}

void Device::WriteFloats(uint8_t code, const float* values, const int& count) {
    write_buffer[0] = code;
    std::memcpy(write_buffer.get() + 1, values, sizeof(float) * static_cast<std::size_t>(count));
    WriteBytes(1 + sizeof(float) * static_cast<std::size_t>(count));
}

}  // namespace Tessary::HardwareAPI::Devices
