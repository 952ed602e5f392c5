#include "TessaryHardwareAPI/Discovery.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <future>
#include <optional>
#include <system_error>

#include "TessaryHardwareAPI/Device.h"
#include "TessaryHardwareAPI/Handle.h"
#include "TessaryHardwareAPI/SerialStream.h"
#include "TessaryHardwareAPI/Triaxon.h"

namespace Tessary::HardwareAPI {

namespace {

namespace fs = std::filesystem;
using Devices::Triaxon;

// A probe's own reads are bounded (about 2 s for an arm, 3 s for a handle), so
// these waits only decide whether a late answer still counts.
constexpr std::chrono::seconds kArmWait(3);
constexpr std::chrono::seconds kHandleWait(5);

// Notes whether a handle announced itself; an error response does not count.
class MyHandle : public Devices::Handle {
public:
    using Handle::Handle;
    bool received = false;

    void OnReceiveHandleInfo(uint8_t, uint16_t, uint8_t, uint8_t, uint8_t) override { received = true; }
    void OnReceiveHandleStatusMessage(uint16_t, const float*, uint8_t, uint8_t, uint8_t, const uint8_t*) override {
        received = true;
    }
};

std::optional<PortKind> Classify(const std::string& name) {
    // The first hit decides, so a name holding two markers has one kind.
    if (name.find("ttyACM") != std::string::npos) return PortKind::TtyAcm;
    if (name.find("ttyUSB") != std::string::npos) return PortKind::TtyUsb;
    if (name.find("rfcomm") != std::string::npos) return PortKind::Rfcomm;
    return std::nullopt;
}

// Closes the probe's port at once, rather than leaving it to the stream's
// destructor, so the device sees the line drop before the next probe.
void ClosePort(IO::SerialStream& stream) { stream.Close(); }

void ReportException(const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    std::fflush(stderr);
}

// Runs one probe on a new thread and waits for it before returning, so at most
// one probe is ever alive. An answer that comes after `wait` does not count.
bool RunProbe(int (*probe)(const char*), const char* port, std::chrono::seconds wait) {
    auto result = std::async(std::launch::async, probe, port);
    if (result.wait_for(wait) != std::future_status::ready) {
        result.get();  // never abandon a running probe; what escapes it passes on
        return false;
    }
    try {
        return result.get() != 0;
    } catch (const std::exception& e) {
        ReportException(e);
        return false;
    }
}

std::vector<std::string> DetectHandlesOn(const std::string& directory, bool wired, bool wireless) {
    std::vector<std::string> found;
    for (const PortEntry& entry : ListSerialPorts(directory)) {
        const bool wanted = (entry.kind == PortKind::TtyUsb && wired) || (entry.kind == PortKind::Rfcomm && wireless);
        if (wanted && CheckHandle(entry.path.c_str())) found.push_back(entry.path);
    }
    return found;
}

}  // namespace

std::vector<PortEntry> ListSerialPorts(const std::string& directory) {
    std::vector<PortEntry> ports;
    std::error_code error;
    const fs::file_status status = fs::status(directory, error);
    if (!fs::exists(status) || status.type() == fs::file_type::none) return ports;

    for (const fs::directory_entry& entry : fs::directory_iterator(directory)) {
        const std::optional<PortKind> kind = Classify(entry.path().filename().string());
        if (!kind) continue;
        // One broken link must not hide the other ports: skip what cannot be
        // resolved instead of failing the whole listing.
        const fs::path resolved = fs::canonical(entry.path(), error);
        if (error) continue;
        ports.push_back({resolved.string(), *kind});
    }
    return ports;
}

int ProbeTriaxon(const char* port) {
    try {
        IO::SerialStream stream(port, false);
        if (stream.OpenPort() != 1) return 0;  // OpenPort has printed why
        Devices::Device device(&stream);
        device.write_buffer[0] = Triaxon::kWakeup;
        device.WriteBytes(1);
        int found = 0;
        if (device.ReadHeaderCode() == Triaxon::kWakeupReply) {
            found = device.ReadBytes(Triaxon::kDeviceInfoLength) == Triaxon::kDeviceInfoLength &&
                    device.read_buffer[2] == Triaxon::kArmModelNumber;
        } else {
            // Whatever else answered: drain it. After a silent header read the
            // stream is at end-of-file and this returns at once.
            device.ReadBytes(Devices::Device::kBufferSize);
        }
        ClosePort(stream);
        return found;
    } catch (const std::exception& e) {
        std::printf("exception: %s\n", e.what());
        std::fflush(stdout);
        return 0;
    }
}

int ProbeHandle(const char* port) {
    try {
        IO::SerialStream stream(port, false);
        if (stream.OpenPort() != 1) return 0;
        MyHandle handle(&stream);
        handle.SendDeviceWakeup();
        handle.Receive();  // a short or unknown answer runs no callback
        ClosePort(stream);
        return handle.received ? 1 : 0;
    } catch (const std::exception& e) {
        ReportException(e);
        return 0;
    }
}

bool CheckTriaxon(const char* port) { return RunProbe(ProbeTriaxon, port, kArmWait); }

bool CheckHandle(const char* port) { return RunProbe(ProbeHandle, port, kHandleWait); }

std::vector<std::string> DetectTriaxons(const std::string& directory) {
    std::vector<std::string> found;
    for (const PortEntry& entry : ListSerialPorts(directory)) {
        if (entry.kind == PortKind::TtyAcm && CheckTriaxon(entry.path.c_str())) {
            found.push_back(entry.path);
        }
    }
    return found;
}

std::vector<std::string> DetectHandles(const std::string& directory) { return DetectHandlesOn(directory, true, true); }

std::vector<std::string> DetectWiredHandles(const std::string& directory) {
    return DetectHandlesOn(directory, true, false);
}

std::vector<std::string> DetectWirelessHandles(const std::string& directory) {
    return DetectHandlesOn(directory, false, true);
}

}  // namespace Tessary::HardwareAPI
