"""Virtual Triaxon arms and Handle tools for scripts and tests: start tessary-sim,
wait until its devices are ready, stop it and clean up after it.

    from tessary.sim import Simulator

    with Simulator(triaxons=1, handles=1) as sim:
        arm_port, handle_port = sim.ports     # pty paths (or links, with link=FOLDER)

    with Simulator(replay="arm.mcap", timing="asap") as sim:   # a captured arm, played back
        ...

Keyword options are tessary-sim's options (`drop_every=3` is `--drop-every 3`);
positional arguments are passed to it as they are. The program is found by
`find_binary()`, the one lookup that the `tessary sim` command uses too.

As a command wrapper, for programs in any language:

    python -m tessary.sim [--binary PATH] [--env NAME] \\
        -- SIM-ARGS [-- SIM-ARGS ...] -- COMMAND [ARG ...]

starts one simulator per SIM-ARGS group (an empty group: the defaults), runs
COMMAND with $NAME (default TESSARY_SIM_DEVICES) holding every device's JSON
line, then stops the simulators. "{tmp}" in the arguments stands for a fresh
folder, also given as $TESSARY_SIM_TMP and removed at the end. The exit
status is the command's, or 1 when a simulator failed to start, exit cleanly
or remove its links.
"""

from __future__ import annotations

import argparse
import json
import os
import select
import shutil
import signal
import subprocess
import sys
import sysconfig
import tempfile
import time
from pathlib import Path
from types import TracebackType
from typing import NoReturn, TypedDict

NAME = "tessary-sim"


class Device(TypedDict):
    """One announced device, as its JSON line has it."""

    kind: str  # "triaxon" or "handle"
    pty: str  # the pseudo-terminal to open
    link: str | None  # the link to it in the --link folder, if any


def _candidates() -> list[Path]:
    """Where tessary-sim may be, in the order looked at."""
    places = []
    if os.environ.get("TESSARY_SIM"):
        places.append(Path(os.environ["TESSARY_SIM"]))
    # Where pip installs it: beside this interpreter (a venv), the scheme's
    # scripts folder, or the user's (pip install --user).
    places.append(Path(sys.executable).parent / NAME)
    for scheme in (None, f"{os.name}_user"):
        try:
            scripts = sysconfig.get_path("scripts", scheme) if scheme else sysconfig.get_path("scripts")
        except KeyError:
            continue
        places.append(Path(scripts) / NAME)
    # Run from a source checkout: the build tree's.
    places.append(Path(__file__).resolve().parents[2] / "build" / "sim" / NAME)
    on_path = shutil.which(NAME)
    if on_path:
        places.append(Path(on_path))
    return places


def find_binary() -> str:
    """The tessary-sim program: $TESSARY_SIM when set, else the one installed
    with this package, else a source checkout's build, else the one on PATH.

    Raises FileNotFoundError, naming the places looked at, when there is none."""
    places = _candidates()
    for place in places:
        if place.is_file() and os.access(place, os.X_OK):
            return str(place)
    looked = ", ".join(dict.fromkeys(str(p) for p in places))
    raise FileNotFoundError(f"{NAME} not found (looked at {looked}; pip install puts it beside the interpreter,"
                            " or set TESSARY_SIM)")


def options(**values: int | bool | str | os.PathLike[str] | None) -> list[str]:
    """tessary-sim options from keywords: delay_us=5 gives ["--delay-us", "5"];
    True gives the bare flag; None and False leave the option out."""
    args = []
    for name, value in values.items():
        if value is None or value is False:
            continue
        flag = "--" + name.replace("_", "-")
        args += [flag] if value is True else [flag, os.fspath(value) if isinstance(value, os.PathLike) else str(value)]
    return args


def _replay_env() -> dict[str, str]:
    """The environment with this package and the module it imports on PYTHONPATH."""
    import importlib.util

    places = [str(Path(__file__).resolve().parents[1])]
    found = importlib.util.find_spec("TessaryHardwareAPI")
    if found and found.origin:
        places.append(str(Path(found.origin).parent))
    old = os.environ.get("PYTHONPATH")
    return dict(os.environ, PYTHONPATH=os.pathsep.join(places + ([old] if old else [])))


class Simulator:
    """One running tessary-sim and the devices it announced.

    stop() sends a signal, waits, kills on time-out and removes any link the
    simulator left pointing at its ptys; it raises RuntimeError unless the
    simulator exited 0 and had removed its links itself."""

    def __init__(
        self,
        *args: str | os.PathLike[str] | int,
        triaxons: int | None = None,
        handles: int | None = None,
        wireless: bool = False,
        link: str | os.PathLike[str] | None = None,
        drop_every: int | None = None,
        truncate_every: int | None = None,
        wrong_header_every: int | None = None,
        delay_us: int | None = None,
        hangup_after: int | None = None,
        binary: str | os.PathLike[str] | None = None,
        start_timeout: float = 5.0,
        replay: str | os.PathLike[str] | None = None,
        timing: str | None = None,
        on_divergence: str | None = None,
        hang_up_at_end: bool = False,
    ) -> None:
        self.args = [os.fspath(a) if isinstance(a, os.PathLike) else str(a) for a in args]
        self.args += options(triaxons=triaxons, handles=handles, wireless=wireless, link=link,
                             drop_every=drop_every, truncate_every=truncate_every,
                             wrong_header_every=wrong_header_every, delay_us=delay_us, hangup_after=hangup_after,
                             replay=replay, timing=timing, on_divergence=on_divergence, hang_up_at_end=hang_up_at_end)
        self.env: dict[str, str] | None = None
        if replay is not None and binary is None:
            # The replaying device is the tessary package's (tessary.replay),
            # run by this interpreter with this package and module.
            binary, self.env = sys.executable, _replay_env()
            self.args = ["-m", "tessary.replay", *self.args]
        self.binary = os.fspath(binary) if binary else find_binary()
        self.start_timeout = start_timeout
        self.proc: subprocess.Popen[bytes] | None = None
        self.lines: list[str] = []  # the device lines as printed
        self.devices: list[Device] = []  # and parsed
        self.stderr = ""  # what it wrote there, once stopped

    @property
    def arms(self) -> list[Device]:
        return [d for d in self.devices if d["kind"] == "triaxon"]

    @property
    def handles(self) -> list[Device]:
        return [d for d in self.devices if d["kind"] == "handle"]

    @property
    def ports(self) -> list[str]:
        """A path to open for each device, in the order announced (arms first):
        its link when it has one, else its pty."""
        return [d["link"] or d["pty"] for d in self.devices]

    @property
    def pid(self) -> int:
        assert self.proc is not None, "not started"
        return self.proc.pid

    def start(self) -> Simulator:
        self.proc = subprocess.Popen(
            [self.binary, *self.args],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            env=self.env,
        )
        assert self.proc.stdout is not None
        out = self.proc.stdout.fileno()
        deadline = time.monotonic() + self.start_timeout
        pending = b""
        while True:
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                try:
                    parsed = json.loads(line)
                except ValueError:
                    parsed = None
                if not isinstance(parsed, dict):
                    self._abort(f"printed {line!r}, not a device line")
                if parsed.get("ready"):  # the last line: every device is up, signals are caught
                    return self
                self.devices.append(Device(kind=parsed["kind"], pty=parsed["pty"], link=parsed["link"]))
                self.lines.append(line.decode())
            left = deadline - time.monotonic()
            ready, _, _ = select.select([out], [], [], max(left, 0))
            if not ready:
                self._abort(f"was not ready within {self.start_timeout:g} s ({len(self.devices)} devices announced)")
            chunk = os.read(out, 4096)
            if not chunk:
                try:
                    status: int | str = self.proc.wait(1)
                except subprocess.TimeoutExpired:
                    status = "unknown"
                self._abort(f"stopped before announcing its devices (status {status})")
            pending += chunk

    def _abort(self, why: str) -> NoReturn:
        self.stop(signal.SIGKILL, check=False)
        err = self.stderr.strip()
        raise RuntimeError(f"{NAME} {why}" + (f": {err}" if err else ""))

    def _remove_links(self) -> list[str]:
        """Remove the links that still point at this simulator's ptys; return them."""
        left = []
        for d in self.devices:
            link = d["link"]
            try:
                if link and os.readlink(link) == d["pty"]:
                    os.unlink(link)
                    left.append(link)
            except OSError:
                pass
        return left

    def stop(self, sig: int = signal.SIGTERM, timeout: float = 5.0, check: bool = True) -> int | None:
        """Stop the simulator; its exit status (negative: killed by that signal)."""
        proc = self.proc
        if proc is None:
            return None
        why = None
        if proc.poll() is None:
            proc.send_signal(sig)
            try:
                proc.wait(timeout)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
                why = f"did not stop within {timeout:g} s of signal {sig}; killed"
        if proc.stdout and proc.stderr:
            proc.stdout.close()
            self.stderr = proc.stderr.read().decode(errors="replace")
            proc.stderr.close()
            proc.stdout = proc.stderr = None
        status = proc.returncode
        left = self._remove_links()
        if why is None and status != 0:
            why = f"exited with status {status}"
        if why is None and left:
            why = f"left its links behind: {', '.join(left)}"
        if check and why:
            err = self.stderr.strip()
            raise RuntimeError(f"{NAME} {why}" + (f": {err}" if err else ""))
        return status

    def cpu_seconds(self) -> float:
        """User plus system CPU time the simulator has used so far."""
        with open(f"/proc/{self.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def __enter__(self) -> Simulator:
        return self.start()

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        # With an exception already on its way, clean up without adding one.
        self.stop(check=exc_type is None)


def _split_groups(argv: list[str]) -> tuple[list[str], list[list[str]], list[str]]:
    """Leading options, then the simulator groups and the command, all split at '--'."""
    groups: list[list[str]] = [[]]
    for arg in argv:
        if arg == "--":
            groups.append([])
        else:
            groups[-1].append(arg)
    return groups[0], groups[1:-1], groups[-1] if len(groups) > 1 else []


PROG = "python -m tessary.sim"
USAGE = f"{PROG} [--binary PATH] [--env NAME] -- SIM-ARGS [-- SIM-ARGS ...] -- COMMAND [ARG ...]"


def main(argv: list[str] | None = None) -> int:
    opts, sims, command = _split_groups(sys.argv[1:] if argv is None else argv)
    parser = argparse.ArgumentParser(prog=PROG, usage=USAGE)
    parser.add_argument("--binary", help="the tessary-sim to run")
    parser.add_argument("--env", default="TESSARY_SIM_DEVICES", help="the variable that gets the device lines")
    given = parser.parse_args(opts)
    if not sims or not command:
        parser.error("give at least one simulator group and a command")
    tmp = tempfile.mkdtemp(prefix="tessary-sim-")
    running: list[Simulator] = []
    status = 1
    try:
        try:
            for group in sims:
                running.append(Simulator(*(a.replace("{tmp}", tmp) for a in group), binary=given.binary).start())
        except (RuntimeError, FileNotFoundError) as e:
            print(f"tessary.sim: {e}", file=sys.stderr)
            return 1
        env = dict(os.environ, TESSARY_SIM_TMP=tmp)
        env[given.env] = "".join(line + "\n" for sim in running for line in sim.lines)
        try:
            status = subprocess.run([a.replace("{tmp}", tmp) for a in command], env=env).returncode
        except OSError as e:
            print(f"tessary.sim: cannot run {command[0]}: {e.strerror}", file=sys.stderr)
            status = 127
    finally:
        for sim in running:
            try:
                sim.stop()
            except RuntimeError as e:
                print(f"tessary.sim: {e}", file=sys.stderr)
                status = status or 1
        shutil.rmtree(tmp, ignore_errors=True)
    return status if status >= 0 else 128 - status


if __name__ == "__main__":
    sys.exit(main())
