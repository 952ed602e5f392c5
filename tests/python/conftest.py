import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
MODULE_DIR = os.environ.get("TESSARY_MODULE_DIR", str(ROOT / "build" / "python"))
if MODULE_DIR not in sys.path:
    sys.path.insert(0, MODULE_DIR)
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

from fakedevice import FakeDevice  # noqa: E402


@pytest.fixture
def fake():
    with FakeDevice() as device:
        yield device


def run_python(code, timeout=30, executable=None):
    """Run `code` in a fresh interpreter that imports the built module.

    The library writes its error lines to file descriptor 2 from C++, so they
    are seen only from outside the process.
    """
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([MODULE_DIR, str(pathlib.Path(__file__).resolve().parent)])
    return subprocess.run(
        [executable or sys.executable, "-c", code],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
    )
