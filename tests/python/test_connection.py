"""Connection state a script can see (state, error, good, timed_out, is_open), close, reopen
and the context manager; the devices' stream; handle messages delivered every
time; and the supervised loop example."""

import errno
import gc
import os
import re
import signal
import struct
import subprocess
import sys

import pytest

import TessaryHardwareAPI as api
from conftest import MODULE_DIR, ROOT
from support import AT_ONCE, ONE_WAIT, TIMED_OUT, WITHIN_BUDGET, state, timed, wakeup_reply

from tessary.sim import Simulator

PURE = 'Tried to call pure virtual function "API::Devices::Handle::OnReceiveHandleStatusMessage"'
WAKEUP_REPLY = wakeup_reply()
REQUEST = [1.5, -2.5, 0.25]
STATE = ([0.5, -1.25, 2.0], [4.0, 5.0, -6.0])  # exact in binary32
ZERO = ([0.0] * 3, [0.0] * 3)
EXAMPLE = ROOT / "examples" / "supervised_loop.py"


def state_reply(position, velocity):
    return state(0x2B, *position, *velocity)


def force_request(force):
    return b"\x2a" + struct.pack("<3f", *force)


OPEN = (True, True, False, "OPEN", None)
CLOSED = (False, False, False, "CLOSED", None)


def flags(stream):
    """The views of the link's state, and its cause's errno."""
    error = stream.error
    assert error is None or error.filename == stream.port
    assert stream.state is getattr(api.LinkState, stream.state.name)  # the member itself: `is` works
    return stream.is_open, stream.good, stream.timed_out, stream.state.name, error and error.errno


# -- SerialStream state ------------------------------------------------------


def test_state_of_an_open_and_of_a_missing_port(fake, stream, capfd):
    assert (stream.port, flags(stream)) == (fake.path, OPEN)
    for name in ("port", "is_open", "good", "timed_out", "state", "error"):
        with pytest.raises(AttributeError):
            setattr(stream, name, getattr(stream, name))
    # Not UTF-8: read back as os.fsdecode gives it, so it opens again unchanged.
    missing = api.SerialStream(b"/nonexistent/tty\xff")
    missing_flags = (False, False, False, "FAILED", errno.ENOENT)
    assert (missing.port, flags(missing)) == (os.fsdecode(b"/nonexistent/tty\xff"), missing_flags)
    assert isinstance(missing.error, FileNotFoundError)
    assert missing.reopen() is False
    assert capfd.readouterr().err.count("No such file or directory") == 4  # two lines per attempt


def test_a_silent_reply_times_out_and_reopen_brings_the_same_arm_back(fake, stream, arm, capfd):
    # The one time-out of this file: 1000 ms of silence.
    result, seconds = timed(arm.end_effector_force, REQUEST)
    assert result == ZERO and TIMED_OUT < seconds < ONE_WAIT
    assert flags(stream) == (True, False, True, "TIMED_OUT", errno.ETIMEDOUT)
    fake.answer(0x2A, 13, state_reply(*STATE))
    # At end-of-file every exchange fails at once, without reaching the arm.
    result, seconds = timed(arm.end_effector_force, REQUEST)
    assert result == ZERO and seconds < AT_ONCE
    assert fake.captured() == force_request(REQUEST)
    assert stream.reopen() is True
    assert flags(stream) == OPEN
    assert arm.end_effector_force(REQUEST) == STATE
    assert fake.wait_captured(26) == force_request(REQUEST) * 2
    assert flags(stream) == OPEN
    assert capfd.readouterr().err == ""  # a time-out is silent; the state tells


def test_after_a_hang_up_the_stream_is_neither_good_nor_timed_out(fake, stream, arm, capfd):
    fake.answer(0x2A, 13, state_reply(*STATE))
    assert arm.end_effector_force(REQUEST) == STATE
    fake.hang_up()
    result, seconds = timed(arm.end_effector_force, REQUEST)
    assert result == ZERO and seconds < WITHIN_BUDGET
    assert flags(stream) == (True, False, False, "HUNG_UP", errno.EIO)
    # The pty went away with its master: nothing to reopen.
    assert stream.reopen() is False
    assert flags(stream) == (False, False, False, "FAILED", errno.ENOENT)
    err = capfd.readouterr().err.splitlines()
    assert [re.sub(r":\d+> ", "> ", line) for line in err[-2:]] == [
        f"[err] Library/src/SerialStream.cpp> unable to open {what} '{fake.path}': [2] No such file or directory"
        for what in ("port", "stream")
    ]


def test_close_is_idempotent_and_later_exchanges_fail_at_once_and_quietly(fake, stream, arm, capfd):
    stream.close()
    stream.close()
    assert flags(stream) == CLOSED
    result, seconds = timed(arm.end_effector_force, REQUEST)
    assert result == ZERO and seconds < AT_ONCE
    assert stream.reopen() is True and flags(stream) == OPEN
    fake.answer(0x2A, 13, state_reply(*STATE))
    assert arm.end_effector_force(REQUEST) == STATE
    assert fake.wait_captured(13) == force_request(REQUEST)  # nothing went out while closed
    assert capfd.readouterr().err == ""


def test_context_manager_returns_the_stream_and_closes_it(fake):
    with api.SerialStream(fake.path) as stream:
        assert type(stream) is api.SerialStream and flags(stream) == OPEN
        assert stream.__enter__() is stream
    assert flags(stream) == CLOSED
    error = ValueError("inside")
    with pytest.raises(ValueError) as raised:
        with api.SerialStream(fake.path) as stream:
            raise error
    assert raised.value is error and not stream.is_open  # closed, and not swallowed


def test_devices_return_the_very_stream_they_were_made_with(fake):
    stream = api.SerialStream(fake.path)
    for cls in (api.Triaxon, api.Handle, type("Sub", (api.Handle,), {})):
        device = cls(stream)
        assert device.stream is stream
        with pytest.raises(AttributeError):
            device.stream = stream
    arm = api.Triaxon(api.SerialStream(fake.path))
    first = arm.stream
    del first
    gc.collect()
    assert arm.stream is arm.stream and arm.stream.port == fake.path


# -- handle messages ---------------------------------------------------------

QUATERNION = [0.5, -1.25, 2.0, 1024.0]
MESSAGES = {
    # callback: (message of device d, the arguments it is called with, Receive's count)
    "OnReceiveHandleInfo": (lambda d: b"\xd0" + struct.pack("<HBBBB", d, 9, 2, 3, 4), lambda d: (9, d, 2, 3, 4), 6),
    "OnReceiveHandleStatusMessage": (
        lambda d: b"\xda" + struct.pack("<HBB4fB", d, 7, 200, *QUATERNION, 1) + b"\x55",
        lambda d: (d, QUATERNION, 7, 200, 1, [0x55]),
        22,
    ),
    "OnReceiveHandleErrorResponse": (lambda d: b"\xdf" + struct.pack("<HB", d, 3), lambda d: (d, 3), 3),
}


class Nested(api.Handle):
    """Each callback receives once more from inside itself; pybind11's frame
    check used to drop the nested message (methods named as the callback)."""

    def __init__(self, stream):
        super().__init__(stream)
        self.calls, self.nested = [], None

    def OnReceiveHandleInfo(self, *args):
        self.calls.append(args)
        if len(self.calls) == 1:
            self.nested = self.Receive()

    def OnReceiveHandleStatusMessage(self, *args):
        self.calls.append(args)
        if len(self.calls) == 1:
            self.nested = self.Receive()

    def OnReceiveHandleErrorResponse(self, *args):
        self.calls.append(args)
        if len(self.calls) == 1:
            self.nested = self.Receive()


class Super(api.Handle):
    """Each callback calls the base method through super()."""

    def __init__(self, stream):
        super().__init__(stream)
        self.seen = []

    def OnReceiveHandleInfo(self, *args):
        self.seen += [args, super().OnReceiveHandleInfo(*args)]

    def OnReceiveHandleStatusMessage(self, device_id, quaternion, error_flag, level, length, data):
        self.seen.append((device_id, quaternion, error_flag, level, length, data))
        self.seen.append(super().OnReceiveHandleStatusMessage(device_id, quaternion[0], error_flag, level, 0, 0))

    def OnReceiveHandleErrorResponse(self, *args):
        self.seen += [args, super().OnReceiveHandleErrorResponse(*args)]


@pytest.mark.parametrize("name", MESSAGES)
def test_a_nested_receive_delivers_every_message(fake, stream, name):
    message, arguments, count = MESSAGES[name]
    handle = Nested(stream)
    fake.send(message(1) + message(2))
    assert handle.Receive() == count
    assert (handle.calls, handle.nested) == ([arguments(1), arguments(2)], count)


@pytest.mark.parametrize("name", MESSAGES)
def test_a_callback_added_after_the_first_message_is_called(fake, stream, name):
    message, arguments, count = MESSAGES[name]
    late = type("Late", (api.Handle,), {})
    handle = late(stream)
    calls = []

    def receive(device):
        fake.send(message(device))
        if name == "OnReceiveHandleStatusMessage" and name not in vars(late):
            with pytest.raises(RuntimeError, match=f"^{re.escape(PURE)}$"):
                handle.Receive()
        else:
            assert handle.Receive() == count

    receive(1)
    setattr(late, name, lambda self, *args: calls.append(args))
    receive(2)
    delattr(late, name)  # and gone again once removed
    receive(3)
    assert calls == [arguments(2)]


@pytest.mark.parametrize("name", MESSAGES)
def test_super_from_inside_the_callback_gets_the_base_behaviour(fake, stream, name):
    message, arguments, count = MESSAGES[name]
    handle = Super(stream)
    fake.send(message(7))
    if name == "OnReceiveHandleStatusMessage":
        with pytest.raises(RuntimeError, match=f"^{re.escape(PURE)}$"):
            handle.Receive()
        assert handle.seen == [arguments(7)]
    else:
        assert handle.Receive() == count
        assert handle.seen == [arguments(7), None]


# -- the supervised loop example ---------------------------------------------


def example(port, *args):
    env = dict(os.environ, PYTHONPATH=MODULE_DIR)
    return subprocess.Popen([sys.executable, str(EXAMPLE), port, *args], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=env)


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM])
def test_supervised_loop_leaves_zero_force_when_stopped(fake, sig):
    # Home at the origin, then the arm reads 1 cm off on every axis: the loop
    # pushes back (200 N/m, capped at 5 N) until it is stopped, then sends zero.
    fake.expect(1, WAKEUP_REPLY)
    fake.expect(13, state_reply([0.0] * 3, [0.0] * 3))
    fake.answer(0x2A, 13, state_reply([0.01, 0.02, -0.03], [0.0] * 3))
    loop = example(fake.path, "--seconds", "30")
    fake.wait_captured(1 + 13 * 300, timeout=10)
    loop.send_signal(sig)
    out, err = loop.communicate(timeout=10)
    sent = fake.captured()
    # Wake-up, the home reading and the loop's first request, then the spring.
    assert sent[:40] == b"\x0a" + force_request([0.0] * 3) * 2 + force_request([-2.0, -4.0, 5.0])
    assert sent[-13:] == force_request([0.0] * 3)
    assert (len(sent) - 1) % 13 == 0
    assert out.splitlines()[-1].startswith("zero force sent; "), out + err


def test_supervised_loop_tells_a_time_out_from_a_hang_up(tmp_path):
    # Through the link, which goes with the hang-up: a pty number may be
    # reused by another test meanwhile.
    options = ("--triaxons", 1, "--handles", 0, "--drop-every", 1500, "--hangup-after", 2600, "--link", tmp_path)
    with Simulator(*options) as sim:
        port = sim.arms[0]["link"]
        loop = example(port, "--seconds", "30", "--give-up", "1")
        out, err = loop.communicate(timeout=30)
    assert loop.returncode == 1
    lines = out.splitlines()
    assert lines[0] == f"time-out after 1497 exchanges: reopening {port}"
    assert re.fullmatch(r"reconnected after 0\.\d\d s", lines[1])
    assert lines[2] == f"hung-up after 2596 exchanges: {port} went away ([Errno 5] Input/output error: '{port}')"
    assert lines[3].startswith("zero force NOT sent: the arm is unreachable; 2596 exchanges in ")
    assert re.fullmatch(rf"gave up: no Triaxon on {port} for [12]\.\d s", err.splitlines()[-1])
