// Print the messages of a Handle tool.
//
// Usage: handle_messages PORT [COUNT]   (e.g. /dev/ttyUSB0 or /dev/rfcomm0)
//
// The handle's messages do not come back as return values: each Receive()
// reads one message and calls the virtual callback of your Handle subclass
// that is named after it, on the thread that called Receive(). This program
// wakes the handle (it answers with its information message), hands it one
// byte of user data, then asks for its status COUNT times (default 5).

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "TessaryHardwareAPI/Handle.h"
#include "TessaryHardwareAPI/SerialStream.h"

using namespace Tessary::HardwareAPI;

namespace {

// Override only the callbacks you need; the others do nothing. The pointers a
// callback gets are valid during the call only: copy what you keep.
class PrintingHandle : public Devices::Handle {
public:
    using Handle::Handle;

    uint16_t device_id = 0;

    void OnReceiveHandleInfo(uint8_t tool_data_remaining, uint16_t id, uint8_t model, uint8_t hardware,
                             uint8_t firmware) override {
        device_id = id;
        std::printf("info:   device 0x%04x, model %u, hardware %u, firmware %u, tool data remaining %u\n", id,
                    model, hardware, firmware, tool_data_remaining);
    }

    void OnReceiveHandleStatusMessage(uint16_t id, const float* quaternion, uint8_t error_flag, uint8_t hall_level,
                                      uint8_t user_data_length, const uint8_t* user_data) override {
        std::printf("status: device 0x%04x, orientation (%+.4f, %+.4f, %+.4f, %+.4f), error flag %u, hall sensor %u,"
                    " user data",
                    id, quaternion[0], quaternion[1], quaternion[2], quaternion[3], error_flag, hall_level);
        if (user_data_length == 0) std::printf(" -");
        for (unsigned i = 0; i < user_data_length; ++i) std::printf(" %02x", user_data[i]);
        std::printf("\n");
    }

    void OnReceiveHandleErrorResponse(uint16_t id, uint8_t error_code) override {
        std::printf("error:  device 0x%04x reports error code %u\n", id, error_code);
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s PORT [COUNT]\n", argv[0]);
        return 2;
    }
    const char* port = argv[1];
    const int count = argc == 3 ? std::atoi(argv[2]) : 5;

    IO::SerialStream stream(port, true);  // must outlive the handle
    if (!stream.IsOpen()) return 1;
    PrintingHandle handle(&stream);

    handle.SendDeviceWakeup();
    // Receive() returns the payload bytes read, or -1 when no known message
    // came (after a time-out the stream stays failed: later calls give -1 at
    // once, until stream.Reopen()).
    if (handle.Receive() < 0) {
        std::fprintf(stderr, "no handle answered on %s\n", port);
        return 1;
    }

    const uint8_t user_data[1] = {0x2A};
    handle.SendHandleState(handle.device_id, 1, user_data);

    for (int i = 0; i < count; ++i) {
        handle.RequestStatus();
        if (handle.Receive() < 0) {
            std::fprintf(stderr, "the handle stopped answering\n");
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return 0;
}
