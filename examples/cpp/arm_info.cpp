// Wake a Triaxon arm and print what it says about itself.
//
// Usage: arm_info PORT        (for example /dev/ttyACM0)
//
// The library throws nothing for a device that does not answer: it prints an
// error line on standard error (or nothing, for a plain time-out) and leaves
// the reply's outputs as they were. So outputs preset to zero that stay zero
// mean "no arm here", and stream.Good() tells a failed exchange apart.

#include <cstdint>
#include <cstdio>

#include "TessaryHardwareAPI/SerialStream.h"
#include "TessaryHardwareAPI/Triaxon.h"
#include "TessaryHardwareAPI/UUID.h"

using namespace Tessary::HardwareAPI;

namespace {

// 8-4-4-4-12 hex digits, the bytes in wire order (as Python's uuid.UUID prints).
void PrintIdentifier(const char* label, const UUID& id) {
    std::printf("  %-17s ", label);
    for (std::size_t i = 0; i < id.data.size(); ++i) {
        std::printf("%s%02x", (i == 4 || i == 6 || i == 8 || i == 10) ? "-" : "", id.data[i]);
    }
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s PORT\n", argv[0]);
        return 2;
    }
    const char* port = argv[1];

    // The arm borrows the stream: the stream must outlive it.
    IO::SerialStream stream(port, true);
    if (!stream.IsOpen()) return 1;  // the two error lines are on stderr
    Devices::Triaxon arm(&stream);

    uint16_t device_id = 0;
    uint8_t model = 0, hardware = 0, firmware = 0;
    UUID identifier;
    arm.SendDeviceWakeup();
    arm.ReceiveDeviceInfo(device_id, model, hardware, firmware, identifier);
    if (model != Devices::Triaxon::kArmModelNumber) {
        std::fprintf(stderr, "no Triaxon answered on %s\n", port);
        return 1;
    }
    std::printf("Triaxon on %s\n", port);
    std::printf("  device id         0x%04x\n", device_id);
    std::printf("  model             %u\n", model);
    std::printf("  hardware version  %u\n", hardware);
    std::printf("  firmware version  %u\n", firmware);
    PrintIdentifier("identifier", identifier);

    // Each query is a request, then the read of its reply.
    UUID queried;
    arm.RequestDeviceId();
    arm.ReceiveDeviceId(queried);
    PrintIdentifier("identifier query", queried);

    UUID firmware_id;  // 16 bytes; often ASCII text padded with zeros
    arm.RequestFirmwareVersion();
    arm.ReceiveFirmwareVersion(firmware_id);
    std::printf("  firmware id       \"%.16s\"\n", reinterpret_cast<const char*>(firmware_id.data.data()));

    float temperature = 0.0f;
    arm.RequestTemperature();
    arm.ReceiveTemperature(temperature);
    std::printf("  temperature       %.1f\n", temperature);

    bool powered = false;
    arm.RequestPowerStatus();
    arm.ReceivePowerStatus(powered);
    std::printf("  powered           %s\n", powered ? "yes" : "no");

    float quaternion[4] = {0, 0, 0, 0};  // the base's orientation, in wire order
    arm.RequestOrientation();
    arm.ReceiveOrientation(quaternion);
    std::printf("  base orientation  (%.3f, %.3f, %.3f, %.3f)\n", quaternion[0], quaternion[1], quaternion[2],
                quaternion[3]);

    float currents[3] = {0, 0, 0};
    arm.RequestCurrent();
    arm.ReceiveCurrent(currents);
    std::printf("  motor currents    %.3f, %.3f, %.3f\n", currents[0], currents[1], currents[2]);

    // Any failed exchange above left the stream bad (and printed its line).
    if (!stream.Good()) {
        std::fprintf(stderr, "the arm stopped answering%s\n", stream.TimedOut() ? " (a reply timed out)" : "");
        return 1;
    }
    return 0;
}
