"""Talk to tessary-sim's devices as a host would; Simulator comes from tessary.sim.

    with Simulator("--triaxons", "2") as sim:
        with HostPort(sim.arms[0]["pty"]) as port:
            port.write(b"\x0a")
            reply = port.read(22)
"""

import errno
import fcntl
import os
import select
import tempfile
import termios
import time
from pathlib import Path

import pytest

from tessary.sim import Simulator, find_binary as binary_path  # noqa: F401

REPO_ROOT = Path(__file__).resolve().parents[2]


@pytest.fixture
def dev_lock():
    """Held by every test that links ports into /dev or detects there: test
    workers run side by side, and detection probes every candidate in /dev."""
    with open(os.path.join(tempfile.gettempdir(), "tessary-tests-dev.lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        yield


class HangUp(Exception):
    """The device side of the line has gone away."""


class HostPort:
    """The host end of a virtual device: the pty slave, opened like the library does."""

    def __init__(self, path, configure=True):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        if configure:
            attrs = termios.tcgetattr(self.fd)
            attrs[0] = termios.IGNBRK | termios.IGNPAR
            attrs[1] = 0
            attrs[2] = termios.CS8 | termios.CREAD | termios.CLOCAL
            attrs[3] = 0
            attrs[4] = attrs[5] = termios.B115200
            attrs[6] = [0] * len(attrs[6])
            termios.tcsetattr(self.fd, termios.TCSANOW, attrs)

    def write(self, data):
        assert os.write(self.fd, data) == len(data)

    def read(self, n, timeout=1.0):
        """Up to n bytes, waiting at most timeout seconds for all of them.

        Raises HangUp when the line is gone before anything arrived."""
        out = b""
        deadline = time.monotonic() + timeout
        while len(out) < n:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            ready, _, _ = select.select([self.fd], [], [], left)
            if not ready:
                break
            try:
                chunk = os.read(self.fd, n - len(out))
            except OSError as e:
                if e.errno == errno.EAGAIN:
                    continue
                if e.errno == errno.EIO and not out:
                    raise HangUp() from e
                raise
            if not chunk:
                if not out:
                    raise HangUp()
                break
            out += chunk
        return out

    def silent(self, timeout=0.3):
        """True when nothing at all arrives within timeout seconds."""
        return self.read(1, timeout) == b""

    def close(self):
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
