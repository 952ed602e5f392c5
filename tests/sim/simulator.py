"""Start tessary-sim for a test, and talk to its devices as a host would.

    with Simulator("--triaxons", "2") as sim:
        with HostPort(sim.arms[0]["pty"]) as port:
            port.write(b"\x0a")
            reply = port.read(22)

The binary comes from $TESSARY_SIM, else build/sim/tessary-sim in the
repository.
"""

import errno
import json
import os
import select
import signal
import subprocess
import termios
import time
from pathlib import Path

REPO_ROOT = Path(__file__).resolve().parents[2]


def binary_path():
    return os.environ.get("TESSARY_SIM") or str(REPO_ROOT / "build" / "sim" / "tessary-sim")


def _device_count(args):
    """How many JSON lines the simulator will print for these options."""
    counts = {"--triaxons": 1, "--handles": 1}
    it = iter(args)
    for arg in it:
        name, _, value = arg.partition("=")
        if name in counts:
            counts[name] = int(value if value else next(it))
    return sum(counts.values())


class Simulator:
    """A running tessary-sim; stop() sends SIGTERM and expects exit status 0."""

    def __init__(self, *args, start_timeout=5.0):
        self.args = [str(a) for a in args]
        self.start_timeout = start_timeout
        self.proc = None
        self.lines = []  # the announcement lines as printed
        self.devices = []  # and parsed

    @property
    def arms(self):
        return [d for d in self.devices if d["kind"] == "triaxon"]

    @property
    def handles(self):
        return [d for d in self.devices if d["kind"] == "handle"]

    @property
    def pid(self):
        return self.proc.pid

    def start(self):
        self.proc = subprocess.Popen(
            [binary_path(), *self.args],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
        )
        wanted = _device_count(self.args)
        deadline = time.monotonic() + self.start_timeout
        pending = b""
        while len(self.devices) < wanted:
            left = deadline - time.monotonic()
            ready, _, _ = select.select([self.proc.stdout], [], [], max(left, 0))
            if not ready:
                self._abort(f"timed out waiting for {wanted} device lines")
            chunk = os.read(self.proc.stdout.fileno(), 4096)
            if not chunk:
                self._abort("exited before announcing its devices")
            pending += chunk
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                self.lines.append(line.decode())
                self.devices.append(json.loads(line))
        if wanted == 0:
            self._wait_for_signal_handler(deadline)
        return self

    def _wait_for_signal_handler(self, deadline):
        # With no device there is no line to wait for: ready means SIGTERM
        # is caught, so stop() finds the handler in place.
        bit = 1 << (signal.SIGTERM - 1)
        while time.monotonic() < deadline:
            with open(f"/proc/{self.proc.pid}/status") as f:
                for line in f:
                    if line.startswith("SigCgt:") and int(line.split()[1], 16) & bit:
                        return
            time.sleep(0.005)
        self._abort("never installed its signal handlers")

    def _abort(self, why):
        self.proc.kill()
        _, err = self.proc.communicate()
        raise RuntimeError(f"tessary-sim {why}: {err.decode(errors='replace')}")

    def stop(self, sig=signal.SIGTERM, timeout=5.0):
        if self.proc is None or self.proc.poll() is not None:
            return self.proc.returncode if self.proc else None
        self.proc.send_signal(sig)
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise AssertionError("tessary-sim did not stop on signal")
        finally:
            self.proc.stdout.close()
            self.proc.stderr.close()
        assert self.proc.returncode == 0, f"tessary-sim exited {self.proc.returncode}"
        return 0

    def cpu_seconds(self):
        """User plus system CPU time the simulator has used so far."""
        with open(f"/proc/{self.proc.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def __enter__(self):
        return self.start()

    def __exit__(self, exc_type, exc, tb):
        if exc_type is None:
            self.stop()
        elif self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


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
