import glob
import os
import re
import subprocess
import termios

import pytest

import TessaryHardwareAPI as api
from conftest import MODULE_DIR, ROOT, run_python

OPEN_FAILURE = (
    r"\[err\] Library/src/SerialStream\.cpp:\d+> unable to open port '{path}': \[2\] No such file or directory\n"
    r"\[err\] Library/src/SerialStream\.cpp:\d+> unable to open stream '{path}': \[2\] No such file or directory\n"
)


def other_interpreter(version):
    try:
        out = subprocess.run(
            [str(ROOT / "tools" / "find-python.sh"), version], capture_output=True, text=True, check=True
        )
    except subprocess.CalledProcessError:
        return None
    return out.stdout.strip()


@pytest.mark.parametrize("version", ["3.11", "3.13"])
def test_other_interpreters_are_refused_with_the_version_text(version):
    interpreter = other_interpreter(version)
    if interpreter is None:
        pytest.skip(f"no Python {version} here")
    (module_file,) = glob.glob(os.path.join(MODULE_DIR, "TessaryHardwareAPI*.so"))
    # The ABI tag in the file name hides it from another interpreter's import,
    # so load it by path.
    code = f"""
import importlib.machinery, importlib.util, sys
loader = importlib.machinery.ExtensionFileLoader("TessaryHardwareAPI", {module_file!r})
found = importlib.util.spec_from_file_location("TessaryHardwareAPI", {module_file!r}, loader=loader)
try:
    importlib.util.module_from_spec(found)
except ImportError as error:
    print(str(error) == ("Python version mismatch: module was compiled for Python 3.12, but the "
                         "interpreter version is incompatible: " + sys.version + "."))
    print(error)
else:
    print("loaded")
"""
    result = subprocess.run([interpreter, "-c", code], capture_output=True, text=True, timeout=30)
    assert result.stdout.splitlines()[0] == "True", result.stdout + result.stderr
    assert f"incompatible: {version}." in result.stdout


def test_module_attributes_and_their_order():
    assert api.__doc__ == "Python Implementation of the Tessary Hardware API"
    assert api.__version__ == "dev"
    assert api.get_cpp_version() == "0.1.1"
    assert api.get_cpp_version.__doc__.endswith("Get the version of the CPP library\n")
    assert api.print_cpp_version.__doc__.endswith("Print the version of the CPP library\n")
    # Exactly these, in this order: a missing, extra or moved name fails.
    names = [n for n in vars(api) if not n.startswith("__") or n in ("__doc__", "__version__")]
    assert names == ORDER


ORDER = [
    "__doc__",
    "SerialStream",
    "UUID",
    "Device",
    "get_cpp_version",
    "print_cpp_version",
    "detect_triaxons",
    "detect_handles",
    "detect_wired_handles",
    "detect_wireless_handles",
    "Triaxon",
    "Handle",
    "__version__",
    "probe_triaxon",
    "probe_handle",
    "LinkState",
    "ServoState",
    "LatestState",
    "Effect",
    "ConstantForce",
    "Spring",
    "Damper",
    "Plane",
    "Sphere",
    "Box",
    "ServoLoop",
    "decode_requests",
    "decode_reply",
    "decode_messages",
]


def test_print_cpp_version_writes_to_the_process_stdout():
    result = run_python(
        "import io, sys, TessaryHardwareAPI as api\n"
        "sys.stdout = io.StringIO()\n"
        "r = api.print_cpp_version()\n"
        "captured = sys.stdout.getvalue()\n"
        "sys.stdout = sys.__stdout__\n"
        "print(repr(r), repr(captured))\n"
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "Library version: 0.1.1\nNone ''\n"


def test_serial_stream_opens_a_tty_raw_at_115200(fake):
    for port in (fake.path, fake.path.encode(), bytearray(fake.path.encode())):
        stream = api.SerialStream(port)
        fd = os.open(fake.path, os.O_RDWR | os.O_NOCTTY)
        try:
            iflag, oflag, cflag, lflag, ispeed, ospeed, cc = termios.tcgetattr(fd)
        finally:
            os.close(fd)
        assert (ispeed, ospeed) == (termios.B115200, termios.B115200)
        assert cflag & ~termios.CBAUD == termios.CS8 | termios.CREAD | termios.CLOCAL
        assert (iflag, oflag, lflag) == (termios.IGNBRK | termios.IGNPAR, 0, 0)
        assert cc[termios.VMIN] in (0, b"\x00") and cc[termios.VTIME] in (0, b"\x00")
        del stream


def test_serial_stream_refuses_other_arguments():
    for args, kwargs in [((5,), {}), ((None,), {}), ((), {}), ((), {"port": "/dev/null"}), ((), {"arg0": "/dev/null"})]:
        with pytest.raises(TypeError):
            api.SerialStream(*args, **kwargs)


def test_serial_stream_signature():
    assert api.SerialStream.__init__.__doc__.startswith(
        "__init__(self: TessaryHardwareAPI.SerialStream, arg0: str) -> None"
    )


def test_missing_port_prints_both_lines_and_does_not_raise():
    path = "/nonexistent/ttyACM7"
    result = run_python(
        "import TessaryHardwareAPI as api\n"
        f"s = api.SerialStream({path!r})\n"
        "print(type(s).__name__)\n"
    )
    assert result.returncode == 0
    assert result.stdout == "SerialStream\n"
    assert re.fullmatch(OPEN_FAILURE.format(path=re.escape(path)), result.stderr), result.stderr
