"""The worked examples of docs/protocol.md, run through the module.

Every documented call must put exactly the documented bytes on the wire, and
every documented reply or message must decode to the documented values, so
the document cannot drift from the code.
"""

import ast
import pathlib
import re
import uuid

import pytest

import TessaryHardwareAPI as api

DOC = (pathlib.Path(__file__).resolve().parents[2] / "docs" / "protocol.md").read_text()
# Requests: | `call` | `HEX` |. Replies and messages: | `HEX` | what it gives |.
CALLS = {call: bytes.fromhex(wire) for call, wire in re.findall(r"^\| `([^`]+)` \| `([0-9A-F ]+)` \|", DOC, re.M)}
REPLIES = [(bytes.fromhex(wire), rest) for wire, rest in re.findall(r"^\| `([0-9A-F ]+)` \| (.*)$", DOC, re.M)]


def reply(*head):
    """The worked reply starting with these bytes (the layout tables' rows are shorter)."""
    return max((wire for wire, _ in REPLIES if wire.startswith(bytes(head))), key=len)


ARM = [  # documented call, its reply, what the call returns
    ("device_wakeup()", reply(0x0B), (4660, 4, 2, 7, list(range(16)))),
    ("get_device_id()", reply(0x0D), uuid.UUID("00010203-0405-0607-0809-0a0b0c0d0e0f")),
    ("get_firmware_version()", b"\x0d\xd2" + reply(0x0D)[2:], uuid.UUID("00010203-0405-0607-0809-0a0b0c0d0e0f")),
    ("get_device_orientation()", reply(0x0C), [1.0, 0.0, 0.0, 0.0]),
    ("get_temperature()", reply(0xAA), 35.0),
    ("get_motor_currents()", reply(0xAB), [0.25, -0.5, 1.0]),
    ("get_power_status()", reply(0xAC), True),
    ("end_effector_force([1.0, 2.0, 3.0])", reply(0x2B), ([0.01, -0.02, 0.05], [0.1, 0.0, -0.25])),
    ("end_effector_force([0.0, 0.0, -2.5])", reply(0x2B), ([0.01, -0.02, 0.05], [0.1, 0.0, -0.25])),
    ("end_effector_position([0.01, -0.02, 0.05])", reply(0x2B), ([0.01, -0.02, 0.05], [0.1, 0.0, -0.25])),
    ("joint_torques([0.1, 0.0, -0.1])", reply(0x1B), ([0.0, -1.0472, 2.0944], [0.0, 0.5, -0.25])),
    ("joint_angles([0.0, 0.5, 1.0])", reply(0x1B), ([0.0, -1.0472, 2.0944], [0.0, 0.5, -0.25])),
]
HANDLE_COMMANDS = ["SendDeviceWakeup()", "RequestStatus()", "SendHandleState()", "SendHandleState(5, 0)",
                   "SendHandleState(1, 1, 9)"]


def close(actual, expected):
    if isinstance(expected, (list, tuple)):
        return len(actual) == len(expected) and all(close(a, e) for a, e in zip(actual, expected))
    if isinstance(expected, float):
        return actual == pytest.approx(expected, rel=1e-6, abs=1e-9)
    return actual == expected


def test_every_documented_call_is_checked():
    documented = {call for call in CALLS if not call.startswith("library")}
    assert documented == {call for call, _, _ in ARM} | set(HANDLE_COMMANDS)


def test_arm_requests_and_replies_are_as_documented(fake):
    stream = api.SerialStream(fake.path)
    arm = api.Triaxon(stream)
    sent = 0
    for call, answer, expected in ARM:
        request = CALLS[call]
        fake.send(answer)  # ahead of the request: the get_ methods keep the interpreter lock
        result = eval("arm." + call)  # the call exactly as the document writes it
        sent += len(request)
        assert fake.wait_captured(sent)[sent - len(request):] == request, call
        assert close(result, expected), (call, result)
    assert fake.captured() == b"".join(CALLS[call] for call, _, _ in ARM)


def test_handle_commands_and_messages_are_as_documented(fake):
    stream = api.SerialStream(fake.path)
    calls = []

    class Recorder(api.Handle):
        def OnReceiveHandleInfo(self, *args):
            calls.append(("OnReceiveHandleInfo", args))

        def OnReceiveHandleStatusMessage(self, *args):
            calls.append(("OnReceiveHandleStatusMessage", args))

        def OnReceiveHandleErrorResponse(self, *args):
            calls.append(("OnReceiveHandleErrorResponse", args))

    handle = Recorder(stream)
    for call in HANDLE_COMMANDS:
        eval("handle." + call)
    expected = b"".join(CALLS[call] for call in HANDLE_COMMANDS)
    assert fake.wait_captured(len(expected)) == expected

    messages = [(wire, rest) for wire, rest in REPLIES if wire[0] in (0xD0, 0xDA, 0xDF) and len(wire) > 1]
    assert len(messages) == 3
    for wire, rest in messages:
        name, args = re.match(r"`(\w+)\((.*)\)`", rest).groups()
        count = int(re.search(r"\| (-?\d+) \|$", rest).group(1))
        fake.send(wire)
        calls.clear()
        assert handle.Receive() == count, wire.hex(" ")
        assert [c[0] for c in calls] == [name]
        assert close(list(calls[0][1]), list(ast.literal_eval(f"({args},)"))), (name, calls[0][1])
