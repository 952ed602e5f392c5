"""Start tessary-sim, wait for its devices, stop it and clean up after it.

As a module (standard library only):

    from launcher import Simulator          # with sim/ on sys.path
    with Simulator("--triaxons", "2", "--link", folder) as sim:
        port = sim.arms[0]["pty"]           # or ["link"]

As a command wrapper, for programs in any language:

    python sim/launcher.py [--binary PATH] [--env NAME] \\
        -- SIM-ARGS [-- SIM-ARGS ...] -- COMMAND [ARG ...]

starts one simulator per SIM-ARGS group (an empty group: the defaults), runs
COMMAND with $NAME (default TESSARY_SIM_DEVICES) holding every device's JSON
line, then stops the simulators. "{tmp}" in the arguments stands for a fresh
folder, also given as $TESSARY_SIM_TMP and removed at the end. The exit
status is the command's, or 1 when a simulator failed to start, exit cleanly
or remove its links.

The binary is the one given, else $TESSARY_SIM, else build/sim/tessary-sim of
this repository, else tessary-sim on PATH.
"""

import argparse
import json
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO_ROOT = Path(__file__).resolve().parents[1]


def find_binary():
    if os.environ.get("TESSARY_SIM"):
        return os.environ["TESSARY_SIM"]
    built = REPO_ROOT / "build" / "sim" / "tessary-sim"
    if built.exists():
        return str(built)
    return shutil.which("tessary-sim") or str(built)


def _device_count(args):
    """How many JSON lines the simulator will print for these options."""
    counts = {"--triaxons": 1, "--handles": 1}
    it = iter(args)
    for arg in it:
        name, eq, value = arg.partition("=")
        if name in counts:
            counts[name] = int(value if eq else next(it))
    return sum(counts.values())


class Simulator:
    """One running tessary-sim and the devices it announced.

    stop() sends a signal, waits, kills on time-out and removes any link the
    simulator left pointing at its ptys; it raises RuntimeError unless the
    simulator exited 0 and had removed its links itself."""

    def __init__(self, *args, binary=None, start_timeout=5.0):
        self.args = [str(a) for a in args]
        self.binary = str(binary) if binary else find_binary()
        self.start_timeout = start_timeout
        self.proc = None
        self.lines = []  # the announcement lines as printed
        self.devices = []  # and parsed
        self.stderr = ""  # what it wrote there, once stopped

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
        wanted = _device_count(self.args)
        self.proc = subprocess.Popen(
            [self.binary, *self.args],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
        )
        deadline = time.monotonic() + self.start_timeout
        pending = b""
        while len(self.devices) < wanted:
            left = deadline - time.monotonic()
            ready, _, _ = select.select([self.proc.stdout], [], [], max(left, 0))
            if not ready:
                self._abort(f"announced {len(self.devices)} of {wanted} devices in {self.start_timeout:g} s")
            chunk = os.read(self.proc.stdout.fileno(), 4096)
            if not chunk:
                try:
                    status = self.proc.wait(1)
                except subprocess.TimeoutExpired:
                    status = "unknown"
                self._abort(f"stopped before announcing its devices (status {status})")
            pending += chunk
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                try:
                    self.devices.append(json.loads(line))
                except ValueError:
                    self._abort(f"printed {line!r}, not a device line")
                self.lines.append(line.decode())
        if wanted == 0:
            self._wait_for_signal_handler(deadline)
        return self

    def _wait_for_signal_handler(self, deadline):
        # With no device there is no line to wait for: ready means SIGTERM
        # is caught, so stop() finds the handler in place.
        bit = 1 << (signal.SIGTERM - 1)
        while time.monotonic() < deadline and self.proc.poll() is None:
            with open(f"/proc/{self.proc.pid}/status") as f:
                for line in f:
                    if line.startswith("SigCgt:") and int(line.split()[1], 16) & bit:
                        return
            time.sleep(0.005)
        self._abort("never installed its signal handlers")

    def _abort(self, why):
        self.stop(signal.SIGKILL, check=False)
        err = self.stderr.strip()
        raise RuntimeError(f"tessary-sim {why}" + (f": {err}" if err else ""))

    def _remove_links(self):
        """Remove the links that still point at this simulator's ptys; return them."""
        left = []
        for d in self.devices:
            link = d.get("link")
            try:
                if link and os.readlink(link) == d["pty"]:
                    os.unlink(link)
                    left.append(link)
            except OSError:
                pass
        return left

    def stop(self, sig=signal.SIGTERM, timeout=5.0, check=True):
        """Stop the simulator; its exit status (negative: killed by that signal)."""
        if self.proc is None:
            return None
        why = None
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
                why = f"did not stop within {timeout:g} s of signal {sig}; killed"
        if self.proc.stdout:
            self.proc.stdout.close()
            self.stderr = self.proc.stderr.read().decode(errors="replace")
            self.proc.stderr.close()
            self.proc.stdout = self.proc.stderr = None
        status = self.proc.returncode
        left = self._remove_links()
        if why is None and status != 0:
            why = f"exited with status {status}"
        if why is None and left:
            why = f"left its links behind: {', '.join(left)}"
        if check and why:
            err = self.stderr.strip()
            raise RuntimeError(f"tessary-sim {why}" + (f": {err}" if err else ""))
        return status

    def cpu_seconds(self):
        """User plus system CPU time the simulator has used so far."""
        with open(f"/proc/{self.proc.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def __enter__(self):
        return self.start()

    def __exit__(self, exc_type, exc, tb):
        # With an exception already on its way, clean up without adding one.
        self.stop(check=exc_type is None)


def _split_groups(argv):
    """Leading options, then the simulator groups and the command, all split at '--'."""
    groups = [[]]
    for arg in argv:
        if arg == "--":
            groups.append([])
        else:
            groups[-1].append(arg)
    return groups[0], groups[1:-1], groups[-1] if len(groups) > 1 else []


USAGE = "usage: launcher.py [--binary PATH] [--env NAME] -- SIM-ARGS [-- SIM-ARGS ...] -- COMMAND [ARG ...]"


def main(argv=None):
    options, sims, command = _split_groups(sys.argv[1:] if argv is None else argv)
    parser = argparse.ArgumentParser(prog="launcher.py", usage=USAGE[len("usage: "):])
    parser.add_argument("--binary", help="the tessary-sim to run")
    parser.add_argument("--env", default="TESSARY_SIM_DEVICES", help="the variable that gets the device lines")
    opts = parser.parse_args(options)
    binary, env_name = opts.binary, opts.env
    if not sims or not command:
        parser.error("give at least one simulator group and a command")
    tmp = tempfile.mkdtemp(prefix="tessary-sim-")
    running = []
    status = 1
    try:
        try:
            for group in sims:
                running.append(Simulator(*(a.replace("{tmp}", tmp) for a in group), binary=binary).start())
        except RuntimeError as e:
            print(f"launcher: {e}", file=sys.stderr)
            return 1
        env = dict(os.environ, TESSARY_SIM_TMP=tmp)
        env[env_name] = "".join(line + "\n" for sim in running for line in sim.lines)
        try:
            status = subprocess.run([a.replace("{tmp}", tmp) for a in command], env=env).returncode
        except OSError as e:
            print(f"launcher: cannot run {command[0]}: {e.strerror}", file=sys.stderr)
            status = 127
    finally:
        for sim in running:
            try:
                sim.stop()
            except RuntimeError as e:
                print(f"launcher: {e}", file=sys.stderr)
                status = status or 1
        shutil.rmtree(tmp, ignore_errors=True)
    return status if status >= 0 else 128 - status


if __name__ == "__main__":
    sys.exit(main())
