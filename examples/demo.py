"""The `make demo` job: the examples against virtual devices.

Starts tessary-sim twice (an arm with a wired handle, and a wireless handle),
runs the example scripts against them exactly as a user would run them
against real devices, and stops the simulators.

Detection only looks in /dev, so the virtual ports are linked there
(/dev/ttyACM-sim0, /dev/ttyUSB-sim0, /dev/rfcomm-sim0) when this process may
write there. Otherwise the links go to a temporary folder, detection is
skipped and the examples are given the ports directly.
"""

import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
REPO = HERE.parent
sys.path.insert(0, str(REPO / "tests" / "sim"))
from simulator import Simulator  # noqa: E402  (starts tessary-sim, reads its JSON lines)

PLOT = pathlib.Path(tempfile.gettempdir()) / "tessary-demo" / "haptic_wall.png"


def find_simulator():
    """tessary-sim installed beside this interpreter, else $TESSARY_SIM, else the build tree."""
    beside = shutil.which("tessary-sim", path=os.path.dirname(sys.executable))
    if beside:
        return beside
    if os.environ.get("TESSARY_SIM"):
        return os.environ["TESSARY_SIM"]
    return str(REPO / "build" / "sim" / "tessary-sim")


def run(script, *args):
    print(f"\n$ python examples/{script} {' '.join(args)}".rstrip(), flush=True)
    status = subprocess.run([sys.executable, str(HERE / script), *args]).returncode
    if status != 0:
        raise SystemExit(f"demo failed: {script} exited with status {status}")


def main():
    began = time.monotonic()
    binary = find_simulator()
    if not os.access(binary, os.X_OK):
        sys.exit(f"tessary-sim not found (looked beside {sys.executable}, in $TESSARY_SIM and at {binary})")
    os.environ["TESSARY_SIM"] = binary  # the helper starts this one

    in_dev = os.access("/dev", os.W_OK)
    link_dir = "/dev" if in_dev else tempfile.mkdtemp(prefix="tessary-demo-")
    print(f"virtual devices: {binary}")
    if not in_dev:
        print(f"/dev is not writable (run as root to have the devices detected): linking them in {link_dir},"
              " skipping detection and opening the ports directly")

    PLOT.parent.mkdir(parents=True, exist_ok=True)
    sims = []
    try:
        sims.append(Simulator("--link", link_dir).start())
        sims.append(Simulator("--triaxons", "0", "--wireless", "--link", link_dir).start())
        for sim in sims:
            for device in sim.devices:
                print(f"  {device['kind']:8} {device['link']} -> {device['pty']}")
        arm = sims[0].arms[0]["link"]
        wired, wireless = sims[0].handles[0]["link"], sims[1].handles[0]["link"]

        run("open_port.py", arm)
        if in_dev:
            run("detect.py")
        run("arm_info.py", arm)
        # Nobody holds the virtual arm, so a 2 N push stands in for a hand.
        run("haptic_wall.py", arm, "--push", "2", "--plot", str(PLOT))
        run("handle_messages.py", wired, "5")
        run("handle_messages.py", wireless, "2")
    finally:
        for sim in sims:
            sim.stop()  # removes the links; raises unless it exited cleanly
        if not in_dev:
            shutil.rmtree(link_dir, ignore_errors=True)

    print(f"\ndemo done in {time.monotonic() - began:.1f} s; the loop's plot is {PLOT}")


if __name__ == "__main__":
    main()
