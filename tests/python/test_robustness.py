"""Nothing a script does may crash the interpreter: objects whose __init__ never
ran, and port paths that the C library would cut short."""

import os
import signal

import pytest

import TessaryHardwareAPI as api
from conftest import run_python

# Arguments that pass overload resolution, so that the call reaches self.
ARGS = {
    "OnReceiveHandleInfo": (0, 0, 0, 0, 0),
    "OnReceiveHandleStatusMessage": (0, 0.0, 0, 0, 0, 0),
    "OnReceiveHandleErrorResponse": (0, 0),
    "__exit__": (None, None, None),
}
PROBE = f"""
import os, TessaryHardwareAPI as api
ARGS = {ARGS!r}
master, slave = os.openpty()
PORT = os.ttyname(slave)

def probe(obj, cls):
    for name in MEMBERS:
        try:
            attr = getattr(obj, name)
            if not isinstance(vars(cls)[name], property):
                attr(*ARGS.get(name, ()))
        except Exception as error:
            print(name, type(error).__name__, error, sep=": ")
        else:
            print(name, "no error", sep=": ")
"""
CLASSES = {
    "SerialStream": "(PORT,)",
    "Triaxon": "(api.SerialStream(PORT),)",
    "Handle": "(api.SerialStream(PORT),)",
    "UUID": "()",
}
ROUTES = {
    # Cls.__new__(Cls): no constructor at all.
    "new": ("cls = api.{name}\nprobe(cls.__new__(cls), cls)\n", "TessaryHardwareAPI.{name}"),
    # A subclass that uses self before the base __init__ has run, then runs it.
    "early": (
        "class Early(api.{name}):\n"
        "    def __init__(self, *args):\n"
        "        probe(self, api.{name})\n"
        "        super().__init__(*args)\n"
        "Early(*{args})\n",
        "Early",
    ),
}


def members(cls):
    """Every member a script can reach (pybind11's own cross-module hook aside)."""
    return [n for n, v in vars(cls).items()
            if n not in ("__init__", "_pybind11_conduit_v1_") and (isinstance(v, property) or callable(v))]


def assert_survived(result):
    assert result.returncode >= 0, f"killed by {signal.Signals(-result.returncode).name}: {result.stderr}"
    assert result.returncode == 0, result.stderr
    return result.stdout.splitlines()


@pytest.mark.parametrize("route", ROUTES)
@pytest.mark.parametrize("name", CLASSES)
def test_every_member_of_an_uninitialised_object_raises_runtime_error(name, route):
    code, shown = ROUTES[route]
    cls = getattr(api, name)
    script = f"MEMBERS = {members(cls)!r}\n" + PROBE + code.format(name=name, args=CLASSES[name])
    lines = assert_survived(run_python(script))
    text = f"TessaryHardwareAPI.{name}.__init__() was never called on this {shown.format(name=name)} object"
    assert lines == [f"{member}: RuntimeError: {text}" for member in members(cls)]
    assert len(lines) >= {"SerialStream": 8, "Triaxon": 23, "Handle": 8, "UUID": 1}[name]


@pytest.mark.parametrize(
    "call",
    [
        "api.Triaxon(api.SerialStream.__new__(api.SerialStream))",
        "api.Handle(api.SerialStream.__new__(api.SerialStream))",
        "type('Sub', (api.Handle,), {})(api.SerialStream.__new__(api.SerialStream))",
        "api.Triaxon(api.SerialStream(PORT)).ReceiveDeviceInfo(UUID=api.UUID.__new__(api.UUID))",
    ],
)
def test_an_uninitialised_argument_raises_type_error(call):
    code = "MEMBERS = []\n" + PROBE + f"try:\n    {call}\nexcept TypeError as error:\n    print(error)\n"
    kind = "UUID" if "ReceiveDeviceInfo" in call else "SerialStream"
    assert assert_survived(run_python(code)) == [
        f"TessaryHardwareAPI.{kind}.__init__() was never called on this TessaryHardwareAPI.{kind} object"
    ]


@pytest.mark.parametrize("kind", [str, os.fsencode, lambda p: bytearray(os.fsencode(p))])
def test_a_nul_in_the_port_path_is_refused_before_anything_is_opened(fake, capfd, kind):
    # The part before the NUL is a working port: cut short, it would open.
    with pytest.raises(ValueError, match="^embedded null byte$"):
        api.SerialStream(kind(fake.path + "\0/other"))
    # A missing path would print the open-failure lines, had it been tried.
    with pytest.raises(ValueError, match="^embedded null byte$"):
        api.SerialStream(kind("/nonexistent/ttyACM0\0"))
    assert capfd.readouterr().err == ""
