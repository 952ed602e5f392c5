"""Print the messages of a Handle tool.

Usage: python handle_messages.py PORT [COUNT]   (e.g. /dev/ttyUSB0 or /dev/rfcomm0)

The handle's messages do not come back as return values: each `Receive()`
reads one message and calls the method of your `Handle` subclass that is
named after it. This script wakes the handle (it answers with its
information message), hands it one byte of user data, then asks for its
status COUNT times (default 5).
"""

import sys
import time

import TessaryHardwareAPI as api


class PrintingHandle(api.Handle):
    device_id = 0

    # Each method is optional except the status one: a status message reaching
    # a subclass without it makes Receive() raise RuntimeError.
    def OnReceiveHandleInfo(self, tool_data_remaining: int, device_id: int, model: int, hardware: int,
                            firmware: int) -> None:
        self.device_id = device_id
        print(f"info:   device 0x{device_id:04x}, model {model}, hardware {hardware},"
              f" firmware {firmware}, tool data remaining {tool_data_remaining}")

    def OnReceiveHandleStatusMessage(self, device_id: int, quaternion: list[float], error_flag: int,
                                     hall_level: int, user_data_length: int, user_data: list[int]) -> None:
        print(f"status: device 0x{device_id:04x}, orientation ("
              + ", ".join(f"{q:+.4f}" for q in quaternion)
              + f"), error flag {error_flag}, hall sensor {hall_level},"
              f" user data {bytes(user_data).hex(' ') or '-'}")

    def OnReceiveHandleErrorResponse(self, device_id: int, error_code: int) -> None:
        print(f"error:  device 0x{device_id:04x} reports error code {error_code}")


if not 2 <= len(sys.argv) <= 3:
    sys.exit(__doc__)
port = sys.argv[1]
count = int(sys.argv[2]) if len(sys.argv) == 3 else 5

stream = api.SerialStream(port)  # keep it referenced while the handle is in use
handle = PrintingHandle(stream)

handle.SendDeviceWakeup()
# Receive() returns the payload bytes read, or -1 when no known message came
# (after a time-out the stream stays failed: later calls give -1 at once).
if handle.Receive() < 0:
    sys.exit(f"no handle answered on {port}")

handle.SendHandleState(handle.device_id, 1, 0x2A)  # one user-data byte, 0x2A

for _ in range(count):
    handle.RequestStatus()
    if handle.Receive() < 0:
        sys.exit("the handle stopped answering")
    time.sleep(0.1)
