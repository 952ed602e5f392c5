#!/usr/bin/env bash
# Installs a wheel into a fresh Python 3.12 virtual environment, with no index
# and from outside the source tree, and checks that what a user of the wheel
# needs is there: the module, tessary-sim, the tessary package (its version,
# virtual devices and detection in any folder), the tessary command and the
# typing information.
#   tools/check-wheel.sh WHEEL VENV_DIR
set -euo pipefail
wheel=$(realpath "$1")
venv=$2
tree=$(cd "$(dirname "$0")/.." && pwd)

rm -rf "$venv"
# No pip of its own (seeding one costs seconds): the tree's pip installs into it.
"$("$tree/tools/find-python.sh" 3.12)" -m venv --without-pip "$venv"
venv=$(cd "$venv" && pwd)
py=$venv/bin/python
pip() { "$tree/.venv/bin/python" -m pip --python "$py" "$@"; }
# numpy, the one thing the package needs besides the interpreter, comes from
# the index (or pip's cache); the wheel itself from nowhere else but here.
pip install -q --disable-pip-version-check "$(grep '^numpy==' "$tree/requirements-dev.txt")"
pip install -q --disable-pip-version-check --no-index "$wheel"

cd /  # never the source tree's files
"$py" - "$venv" <<'PY'
import pathlib, sys
import TessaryHardwareAPI as api
venv = pathlib.Path(sys.argv[1])
assert pathlib.Path(api.__file__).is_relative_to(venv), f"module loaded from {api.__file__}"
assert api.get_cpp_version() == "0.1.1", api.get_cpp_version()
print(f"wheel check: import TessaryHardwareAPI {api.get_cpp_version()} from {api.__file__}")
PY
# Captured first: grep -q leaves early, and the writer's SIGPIPE would fail the pipeline.
sim_help=$("$venv/bin/tessary-sim" --help)
grep -q '^usage: tessary-sim' <<<"$sim_help"
echo "wheel check: tessary-sim --help"
# --replay goes on to the installed tessary command; without the record extra
# it says what to install.
replay=$("$venv/bin/tessary-sim" --replay missing.mcap 2>&1 || true)
[ "$replay" = "tessary-sim: captures need the mcap package: pip install 'TessaryHardwareAPI[record]'" ] || {
  echo "tessary-sim --replay said: $replay"; exit 1; }
echo "wheel check: tessary-sim --replay reaches tessary sim --replay"

# End to end: the installed module drives the installed simulator's arm,
# started by the installed tessary.sim, which finds the installed tessary-sim
# by itself; tessary.detect finds the arm in its link folder.
"$py" - "$venv" <<'PY'
import importlib.metadata, pathlib, sys, tempfile
import TessaryHardwareAPI as api
import tessary
from tessary.sim import Simulator, find_binary
venv = pathlib.Path(sys.argv[1])
assert pathlib.Path(tessary.__file__).is_relative_to(venv), f"tessary loaded from {tessary.__file__}"
assert find_binary() == str(venv / "bin" / "tessary-sim"), find_binary()
assert tessary.__version__ == importlib.metadata.version("TessaryHardwareAPI"), tessary.__version__
with tempfile.TemporaryDirectory() as links, Simulator(triaxons=1, handles=0, link=links) as sim:
    (port,) = sim.ports
    assert tessary.detect(links).triaxons == [sim.arms[0]["pty"]], tessary.detect(links)
    stream = api.SerialStream(port)
    # The line settings as the wheel's toolchain compiled them (a wrong B115200 leaves 0 baud).
    import os, termios
    fd = os.open(port, os.O_RDWR | os.O_NOCTTY)
    speeds = termios.tcgetattr(fd)[4:6]
    os.close(fd)
    assert speeds == [termios.B115200] * 2, f"line speeds {speeds}"
    arm = api.Triaxon(stream)
    info = arm.device_wakeup()
    assert info[1] == 4, f"wake-up reply {info}"
    position, velocity = arm.end_effector_force([0.0, 0.0, 0.5])
    assert len(position) == 3 and len(velocity) == 3, (position, velocity)
    print(f"wheel check: tessary.sim started an arm on {port}; tessary.detect found it; it woke up as device"
          f" {info[0]:#06x}, model {info[1]}")
PY

version=$("$py" -c 'import tessary; print(tessary.__version__)')
[ "$("$venv/bin/tessary" --version)" = "tessary $version" ]
echo "wheel check: tessary --version: $version"

# The typing information: mypy (the tree's, pointed at the fresh interpreter)
# finds the stubs in its site-packages with no flags, and they constrain.
"$py" -c '
import pathlib, sysconfig
stub = pathlib.Path(sysconfig.get_paths()["purelib"]) / "TessaryHardwareAPI-stubs" / "__init__.pyi"
assert stub.is_file(), f"missing {stub}"'
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
cat > "$probe/user.py" <<'PY'
import TessaryHardwareAPI as api
arm = api.Triaxon(api.SerialStream("/dev/ttyACM0"))
reveal_type(arm.get_device_id())
arm.end_effector_force("oops")
PY
found=$(cd "$probe" && "$tree/.venv/bin/mypy" --python-executable "$py" --no-incremental user.py || true)
grep -q 'Revealed type is "uuid.UUID"' <<<"$found" || { echo "$found"; exit 1; }
grep -q 'user.py:4: error: Argument 1 to "end_effector_force"' <<<"$found" || { echo "$found"; exit 1; }
echo "wheel check: mypy finds the typing information with no flags"

# A user's script (numpy arrays as requests, results unpacked, a Handle
# subclass with its own parameter names, tessary.sim and tessary.detect)
# passes mypy --strict with the installed typing information.
cp "$tree/tests/typing/user_script.py" "$probe/"
(cd "$probe" && "$tree/.venv/bin/mypy" --python-executable "$py" --no-incremental --strict user_script.py) \
  || exit 1
(cd "$probe" && "$py" user_script.py >/dev/null)
echo "wheel check: a user's script with numpy, tuples and a Handle subclass passes mypy --strict, and runs"
echo "wheel check: passed"
