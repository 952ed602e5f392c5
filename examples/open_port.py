"""Print the library version and open a serial port.

Usage: python open_port.py [PORT]

Without PORT a pseudo-terminal stands in for a device, so the script runs on
any Linux machine. The line settings that the library applied are read back
from the port.
"""

import os
import sys
import termios

import TessaryHardwareAPI as api

print("module", api.__version__, "- library", api.get_cpp_version())
api.print_cpp_version()

if len(sys.argv) > 1:
    port = sys.argv[1]
else:
    master, slave = os.openpty()  # keep both ends open while we look
    port = os.ttyname(slave)
    print("no port given; using the pseudo-terminal", port)

stream = api.SerialStream(port)  # prints an error line and goes on if it cannot open

fd = os.open(port, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
iflag, oflag, cflag, lflag, ispeed, ospeed, cc = termios.tcgetattr(fd)
os.close(fd)
speeds = {getattr(termios, n): n[1:] for n in dir(termios) if n.startswith("B") and n[1:].isdigit()}
print(f"line: {speeds.get(ispeed)} baud in, {speeds.get(ospeed)} out;",
      "8 data bits" if cflag & termios.CSIZE == termios.CS8 else "other size,",
      "raw" if lflag == 0 and oflag == 0 else "cooked",
      f"(VMIN={cc[termios.VMIN][0] if isinstance(cc[termios.VMIN], bytes) else cc[termios.VMIN]},"
      f" VTIME={cc[termios.VTIME][0] if isinstance(cc[termios.VTIME], bytes) else cc[termios.VTIME]})")
