"""The `make demo` job: the examples against virtual devices.

Starts tessary-sim twice (an arm with a wired handle, and a wireless handle),
runs the example scripts against them exactly as a user would run them
against real devices, and stops the simulators.

Everything it writes goes to a fresh folder of its own (tessary-demo-*
under the system's temporary folder), printed at the start: the loops' plots,
and the port links unless they go to /dev. Detection only looks in /dev, so
the module's detection functions find them when they are linked there
(/dev/ttyACM-sim0, /dev/ttyUSB-sim0, /dev/rfcomm-sim0), which needs root.
Otherwise the links go to the demo's folder and detection looks there
(tessary.detect).

The same control loop then runs in C++ (examples/cpp/haptic_wall.cpp, and
the ServoLoop's wall, servo_wall.cpp; from $TESSARY_CPP_EXAMPLES, which `make
demo` sets, else build/examples/cpp). It
ends with the `tessary` command (installed with the module): `tessary ports`
listing the virtual ports and `tessary info` on the virtual arm, and with
the ROS 2 teleoperation between two simulated arms (ros_teleop.py) when
rclpy is installed.
"""

import importlib.util
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

from tessary.sim import Simulator, find_binary  # starts tessary-sim, reads its JSON lines

HERE = pathlib.Path(__file__).resolve().parent
BIN = os.path.dirname(sys.executable)


def cli_commands(arm: str, link_dir: str | pathlib.Path) -> list[list[str]]:
    """The `tessary` command's views of the virtual ports and of the arm."""
    ports = ["tessary", "ports"] if str(link_dir) == "/dev" else ["tessary", "ports", "--dev", str(link_dir)]
    return [ports, ["tessary", "info", arm]]


def run(script: str, *args: str) -> None:
    print(f"\n$ python examples/{script} {' '.join(args)}".rstrip(), flush=True)
    status = subprocess.run([sys.executable, str(HERE / script), *args]).returncode
    if status != 0:
        raise SystemExit(f"demo failed: {script} exited with status {status}")


def run_cpp(program: str, *args: str) -> None:
    """A C++ example built from examples/cpp; skipped with a note when it is not built."""
    folder = pathlib.Path(os.environ.get("TESSARY_CPP_EXAMPLES") or HERE.parent / "build" / "examples" / "cpp")
    path = folder / program
    if not os.access(path, os.X_OK):
        print(f"\n(no {path}: `make cpp-examples` builds the C++ examples)", flush=True)
        return
    print(f"\n$ {os.path.relpath(path, HERE.parent)} {' '.join(args)}", flush=True)
    status = subprocess.run([str(path), *args]).returncode
    if status != 0:
        raise SystemExit(f"demo failed: {program} exited with status {status}")


def run_command(name: str, *args: str) -> None:
    print(f"\n$ {name} {' '.join(args)}", flush=True)
    path = shutil.which(name, path=BIN)
    if path is None:
        raise SystemExit(f"demo failed: no `{name}` beside {sys.executable} (pip install . puts it there)")
    status = subprocess.run([path, *args]).returncode
    if status != 0:
        raise SystemExit(f"demo failed: {name} {args[0]} exited with status {status}")


def start_simulators(link_dir: str | pathlib.Path, binary: str) -> list[Simulator]:
    """An arm with a wired handle, and a wireless handle, linked in link_dir."""
    sims = []
    try:
        sims.append(Simulator(link=link_dir, binary=binary).start())
        sims.append(Simulator(triaxons=0, wireless=True, link=link_dir, binary=binary).start())
    except RuntimeError:
        for sim in sims:
            sim.stop(check=False)
        raise
    return sims


def main() -> None:
    began = time.monotonic()
    out = pathlib.Path(tempfile.mkdtemp(prefix="tessary-demo-"))
    print(f"demo output folder: {out}")
    try:
        binary = find_binary()
    except FileNotFoundError as e:
        sys.exit(str(e))
    print(f"virtual devices: {binary}")
    plot = out / "haptic_wall.png"
    servo_plot = out / "servo_wall.png"

    link_dir = out / "ports"
    sims = None
    if os.access("/dev", os.W_OK):
        try:
            sims = start_simulators("/dev", binary)
            link_dir = pathlib.Path("/dev")
        except RuntimeError as e:  # e.g. another demo's links are there
            print(f"cannot link the virtual devices in /dev: {e}")
    else:
        print("/dev is not writable (run as root to have the devices detected)")
    if sims is None:
        print(f"linking them in {link_dir} instead, where tessary.detect() looks")
        sims = start_simulators(link_dir, binary)
    in_dev = link_dir == pathlib.Path("/dev")

    failed = False
    try:
        for sim in sims:
            for device in sim.devices:
                print(f"  {device['kind']:8} {device['link']} -> {device['pty']}")
        arm, wired = sims[0].ports  # their links: an arm, then a handle
        (wireless,) = sims[1].ports

        run("open_port.py", arm)
        run("detect.py", *([] if in_dev else [str(link_dir)]))
        run("arm_info.py", arm)
        # Nobody holds the virtual arm, so a 2 N push stands in for a hand.
        run("haptic_wall.py", arm, "--push", "2", "--plot", str(plot))
        run_cpp("haptic_wall", arm, "--push", "2")
        # The same wall beside busy Python: a Python loop, then a ServoLoop.
        run("servo_wall.py", arm, "--push", "2", "--plot", str(servo_plot))
        run_cpp("servo_wall", arm, "--push", "2", "--timeout", "0.1")
        run("handle_messages.py", wired, "5")
        run("handle_messages.py", wireless, "2")
        for command in cli_commands(arm, link_dir):
            run_command(*command)
    finally:
        for sim in sims:
            try:
                sim.stop()  # removes the links; raises unless it exited cleanly
            except RuntimeError as e:
                print(f"demo: {e}", file=sys.stderr)
                failed = True
        if not in_dev and link_dir.is_dir():
            link_dir.rmdir()  # empty once the simulators are gone
    if failed:
        sys.exit("demo failed: a simulator did not stop cleanly")

    # Two simulated arms of their own over ROS 2, with the ros extra (make demo installs it).
    teleop_plot = out / "ros_teleop.png"
    if importlib.util.find_spec("rclpy"):
        run("ros_teleop.py", "--plot", str(teleop_plot))
    else:
        print("\n(rclpy is not installed: pip install '.[ros]' for the ROS 2 teleoperation example)")

    print(f"\ndemo done in {time.monotonic() - began:.1f} s; its output is in {out}: the loops' plots are {plot}"
          f" and {servo_plot}" + (f", the teleoperation's {teleop_plot}" if teleop_plot.exists() else ""))


if __name__ == "__main__":
    main()
