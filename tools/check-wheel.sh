#!/usr/bin/env bash
# Installs a wheel into a fresh Python 3.12 virtual environment, with no index
# and from outside the source tree, and checks that what a user of the wheel
# needs is there: the module, tessary-sim, the tessary command and the typing
# information.
#   tools/check-wheel.sh WHEEL VENV_DIR
set -euo pipefail
wheel=$(realpath "$1")
venv=$2
tree=$(cd "$(dirname "$0")/.." && pwd)

rm -rf "$venv"
"$("$tree/tools/find-python.sh" 3.12)" -m venv "$venv"
venv=$(cd "$venv" && pwd)
py=$venv/bin/python
"$py" -m pip install -q --disable-pip-version-check --no-index "$wheel"

cd /  # never the source tree's files
"$py" - "$venv" <<'PY'
import pathlib, sys
import TessaryHardwareAPI as api
venv = pathlib.Path(sys.argv[1])
assert pathlib.Path(api.__file__).is_relative_to(venv), f"module loaded from {api.__file__}"
assert api.get_cpp_version() == "0.1.1", api.get_cpp_version()
print(f"wheel check: import TessaryHardwareAPI {api.get_cpp_version()} from {api.__file__}")
PY
"$venv/bin/tessary-sim" --help | grep -q '^usage: tessary-sim'
echo "wheel check: tessary-sim --help"

# End to end: the installed module drives the installed simulator's arm,
# started by the tree's simulator launcher (standard library only).
"$py" - "$tree/sim" "$venv/bin/tessary-sim" <<'PY'
import sys
sys.path.insert(0, sys.argv[1])
from launcher import Simulator
import TessaryHardwareAPI as api
with Simulator("--triaxons", "1", "--handles", "0", binary=sys.argv[2]) as sim:
    port = sim.arms[0]["pty"]
    stream = api.SerialStream(port)
    arm = api.Triaxon(stream)
    info = arm.device_wakeup()
    assert info[1] == 4, f"wake-up reply {info}"
    position, velocity = arm.end_effector_force([0.0, 0.0, 0.5])
    assert len(position) == 3 and len(velocity) == 3, (position, velocity)
    print(f"wheel check: arm on {port} woke up as device {info[0]:#06x}, model {info[1]}")
PY

"$venv/bin/tessary" --help | grep -q 'usage: tessary'
echo "wheel check: tessary --help"

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
echo "wheel check: passed"
