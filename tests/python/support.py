"""Shared helpers of the Python tests: time limits, device replies, a ticking
thread and descriptor counts. Standard library only, so a child interpreter
started by a test can import it too."""

import os
import struct
import threading
import time

# The library's read budget in seconds; every time limit below follows it.
READ_BUDGET = 1.0
TIMED_OUT = READ_BUDGET * 0.95  # a read that waited out the budget
ONE_WAIT = READ_BUDGET * 1.5  # one wait, not two
WITHIN_BUDGET = READ_BUDGET / 2  # a few exchanges whose bytes were all there
PROMPT = READ_BUDGET / 5
AT_ONCE = READ_BUDGET / 10  # no read waited at all
INSTANT = READ_BUDGET / 20
# How late a fake answers when a test needs the module to be waiting.
LATE_REPLY = READ_BUDGET * 0.15


# -- replies, byte by byte ---------------------------------------------------


def f32(x):
    """x as the device sees it: rounded to binary32, widened back."""
    return struct.unpack("<f", struct.pack("<f", x))[0]


def floats(*values):
    return struct.pack("<%df" % len(values), *values)


def state(header, *values):
    """A header byte followed by packed floats (state, current, orientation...)."""
    return bytes([header]) + floats(*values)


def wakeup_reply(identifier=range(16), device_id=0x1234, model=4, hardware=2, firmware=7):
    """The arm's wake-up reply: 11, device id, model, hardware, firmware, 16 identifier bytes."""
    return bytes([0x0B, device_id & 0xFF, device_id >> 8, model, hardware, firmware]) + bytes(identifier)


def id_reply(selector, identifier, length=16):
    """The arm's identifier reply: 13, selector (0xD1 id, 0xD2 firmware), length, 16 bytes."""
    return bytes([0x0D, selector, length]) + bytes(identifier)


def junk(n=1024):
    """n bytes no reply starts with; 1024 of them fill a discard read at once."""
    return bytes((0x77 + 7 * i) & 0xFF for i in range(n))


# -- threads and descriptors -------------------------------------------------


class Ticker:
    """A Python thread noting the time every `period` seconds while the
    block runs: it gets to run only while nobody holds the interpreter lock."""

    def __init__(self, period=0.002, settle=0.05):
        self.period, self.settle = period, settle
        self.ticks = []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run)

    def _run(self):
        while not self._stop.is_set():
            self.ticks.append(time.monotonic())
            time.sleep(self.period)

    def __enter__(self):
        self._thread.start()
        time.sleep(self.settle)
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()

    def between(self, start, end):
        return sum(1 for t in self.ticks if start < t < end)


def open_descriptor_count():
    """Open descriptors of this process."""
    return len(os.listdir("/proc/self/fd")) - 1  # less the listing's own


def timed(call, *args):
    """call(*args), and the seconds it took."""
    start = time.monotonic()
    return call(*args), time.monotonic() - start
