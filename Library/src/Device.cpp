#include "TessaryHardwareAPI/Device.h"

#include <cerrno>
#include <cstring>
#include <mutex>

#include "ErrorLine.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the wire format is little-endian and is copied as it is");
static_assert(sizeof(float) == 4, "the wire carries IEEE 754 binary32 floats");

namespace Tessary::HardwareAPI::Devices {

Device::Device(IO::SerialStream* s)
    : stream(s),
      write_buffer(std::make_unique<uint8_t[]>(kBufferSize)),  // zero-filled
      read_buffer(std::make_unique<uint8_t[]>(kBufferSize)) {}

Device::Outcome Device::Examine(IO::LinkState before) {
    using IO::LinkState;
    if (stream->rdstate() == std::ios_base::goodbit) return Outcome::Good;
    const IO::LinkStatus now = stream->Status();
    switch (now.state) {
        // A time-out leaves end-of-file set for good, and a closed port fails
        // every exchange at once: quietly, so that one silent device does not
        // flood stderr.
        case LinkState::TimedOut:
        case LinkState::Closed:
            return Outcome::Ended;
        case LinkState::HungUp:
            if (before == LinkState::HungUp) return Outcome::Ended;
            // One line, by the operation that found the device gone; every
            // later one fails quietly, as after a time-out.
            stream->setstate(std::ios_base::eofbit);
            errno = now.error;
            return Outcome::Failed;
        default:
            break;
    }
    if (stream->rdstate() & std::ios_base::eofbit) return Outcome::Ended;
    // The cause, when this operation failed on the line; a stream that had
    // already failed made no call at all, so its errno would be stale.
    errno = (now.state == LinkState::Failed && before != LinkState::Failed) ? now.error : EIO;
    return Outcome::Failed;
}

void Device::WriteBytes(std::size_t n) {
    std::lock_guard<std::recursive_mutex> lock(stream->Mutex());
    const IO::LinkState before = stream->State();
    stream->write(reinterpret_cast<const char*>(write_buffer.get()), static_cast<std::streamsize>(n));
    if (Examine(before) == Outcome::Failed) {
        TESSARY_REPORT("unable to write '%zu' bytes to stream", n);
    }
}

uint8_t Device::ReadHeaderCode() {
    std::lock_guard<std::recursive_mutex> lock(stream->Mutex());
    const IO::LinkState before = stream->State();
    stream->read(reinterpret_cast<char*>(read_buffer.get()), 1);
    switch (Examine(before)) {
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
    std::lock_guard<std::recursive_mutex> lock(stream->Mutex());
    const IO::LinkState before = stream->State();
    stream->read(reinterpret_cast<char*>(read_buffer.get()), static_cast<std::streamsize>(n));
    switch (Examine(before)) {
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
