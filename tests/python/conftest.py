import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
HERE = pathlib.Path(__file__).resolve().parent
MODULE_DIR = os.environ.get("TESSARY_MODULE_DIR", str(ROOT / "build" / "python"))
# The test-only fake device module is built next to the module.
FAKE_DIR = os.environ.get("TESSARY_FAKE_DIR", str(pathlib.Path(MODULE_DIR).parent / "python-test"))
for path in (MODULE_DIR, FAKE_DIR, str(HERE)):
    if path not in sys.path:
        sys.path.insert(0, path)

import TessaryHardwareAPI as api  # noqa: E402
from tessary_fake import FakeDevice  # noqa: E402


@pytest.fixture
def fake():
    with FakeDevice() as device:
        yield device


@pytest.fixture
def stream(fake):
    return api.SerialStream(fake.path)


@pytest.fixture
def arm(stream):
    return api.Triaxon(stream)


def run_python(code, timeout=30, executable=None):
    """Run `code` in a fresh interpreter that imports the built module (and
    can import tessary_fake and support).

    The library writes its error lines to file descriptor 2 from C++, so they
    are seen only from outside the process.
    """
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([MODULE_DIR, FAKE_DIR, str(HERE)])
    return subprocess.run(
        [executable or sys.executable, "-c", code],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
    )
