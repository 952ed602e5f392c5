"""The arm class Triaxon against a fake arm on a pseudo-terminal."""

import gc
import sys
import time
import types
import uuid
import warnings
import weakref

import pytest

import TessaryHardwareAPI as api
from conftest import FakeDevice, run_python
from support import (AT_ONCE, INSTANT, LATE_REPLY, ONE_WAIT, PROMPT, TIMED_OUT, Ticker, f32, floats, id_reply,
                     junk, state, wakeup_reply)

ONE_TWO_THREE = bytes.fromhex("0000803f0000004000004040")
ZERO_THREE = bytes(12)
WAKEUP_REPLY = wakeup_reply()


@pytest.fixture(scope="module")
def timed_out():
    """An arm whose read timed out once. Its stream stays at end-of-file, so
    every later exchange on it fails at once: the no-reply cases share it."""
    with FakeDevice() as fake:
        stream = api.SerialStream(fake.path)
        arm = api.Triaxon(stream)
        start = time.monotonic()
        first = arm.end_effector_force([1, 2, 3])
        waited = time.monotonic() - start
        yield types.SimpleNamespace(fake=fake, stream=stream, arm=arm, first=first, waited=waited,
                                    sent=fake.captured())


def nothing_sent(fake, arm):
    """Whether the arm has sent nothing so far. Bytes on the line keep their
    order, so a request made now must be the first to arrive: no waiting for
    stray bytes that may still be under way."""
    arm.RequestCurrent()
    return fake.wait_captured(1) == b"\xab"


# -- the class -------------------------------------------------------------

CURRENT = [
    "device_wakeup",
    "device_wakeup_dict",
    "get_firmware_version",
    "get_device_id",
    "get_motor_currents",
    "get_device_orientation",
    "get_power_status",
    "get_temperature",
    "end_effector_force",
    "joint_torques",
    "end_effector_position",
    "joint_angles",
]
OLDER = [
    "SendDeviceWakeup",
    "ReceiveDeviceInfo",
    "SendForce",
    "ReceiveState",
    "ReceiveJointState",
    "SendJointTorques",
    "SendAngle",
    "RequestCurrent",
    "ReceiveCurrent",
    "SendPosition",
]


def test_methods_in_registration_order():
    names = [n for n in vars(api.Triaxon) if not n.startswith("_")]
    assert names == CURRENT + OLDER + ["stream"]


def test_class_shape():
    assert api.Triaxon.__doc__ is None
    assert not issubclass(api.Triaxon, api.Device)
    assert api.Triaxon.__init__.__doc__ == (
        "__init__(self: TessaryHardwareAPI.Triaxon, arg0: TessaryHardwareAPI.SerialStream) -> None\n"
    )


def test_constructor_sends_nothing_and_takes_no_attributes(fake, stream):
    arm = api.Triaxon(stream)
    with pytest.raises(AttributeError):
        arm.extra = 1
    assert nothing_sent(fake, arm)


def test_constructor_refuses_none_and_other_types(stream):
    with pytest.raises(TypeError, match="incompatible constructor arguments"):
        api.Triaxon(None)
    with pytest.raises(TypeError):
        api.Triaxon("/dev/null")
    with pytest.raises(TypeError):
        api.Triaxon()
    with pytest.raises(TypeError):
        api.Triaxon(stream=stream)


SIGNATURES = {
    "device_wakeup": ("device_wakeup(self: TessaryHardwareAPI.Triaxon) -> tuple",
                      "Wakeup the device and return the device info as a tuple."),
    "device_wakeup_dict": ("device_wakeup_dict(self: TessaryHardwareAPI.Triaxon) -> dict",
                           "Wakeup the device and return the device info as a dict."),
    "get_firmware_version": ("get_firmware_version(self: TessaryHardwareAPI.Triaxon) -> object",
                             "Receive the firmware version of the device."),
    "get_device_id": ("get_device_id(self: TessaryHardwareAPI.Triaxon) -> object",
                      "Receive the UUID of the device."),
    "get_motor_currents": ("get_motor_currents(self: TessaryHardwareAPI.Triaxon)"
                           " -> Annotated[list[float], FixedSize(3)]",
                           "Receive the motor currents of the device."),
    "get_device_orientation": ("get_device_orientation(self: TessaryHardwareAPI.Triaxon)"
                               " -> Annotated[list[float], FixedSize(4)]",
                               "Receive the orientation of the base of the device."),
    "get_power_status": ("get_power_status(self: TessaryHardwareAPI.Triaxon) -> bool",
                         "Receive the power status of the device."),
    "get_temperature": ("get_temperature(self: TessaryHardwareAPI.Triaxon) -> float",
                        "Receive the temperature of the device."),
    "end_effector_force": ("end_effector_force(self: TessaryHardwareAPI.Triaxon, force request vector:"
                           " list[float] = [0.0, 0.0, 0.0]) -> tuple",
                           "Send forces to the device and receive device states"),
    "joint_torques": ("joint_torques(self: TessaryHardwareAPI.Triaxon, joint torque request vector:"
                      " list[float] = [0.0, 0.0, 0.0]) -> tuple",
                      "Send joint torques to the device and receive the joint states"),
    "end_effector_position": ("end_effector_position(self: TessaryHardwareAPI.Triaxon, position request vector:"
                              " list[float] = [0.0, 0.0, 0.0]) -> tuple",
                              "Send end-effector position and receive device states"),
    "joint_angles": ("joint_angles(self: TessaryHardwareAPI.Triaxon, joint angle request vector:"
                     " list[float] = [0.0, 0.0, 0.0]) -> tuple",
                     "Send joint angles to the device and receive the joint states"),
    "SendDeviceWakeup": ("SendDeviceWakeup(self: TessaryHardwareAPI.Triaxon) -> None",
                         "[DEPRECATED] Send a device wakeup command"),
    "ReceiveState": ("ReceiveState(self: TessaryHardwareAPI.Triaxon, position: list[float] = [0.0, 0.0, 0.0],"
                     " velocity: list[float] = [0.0, 0.0, 0.0]) -> tuple",
                     "[Deprecated] receive state and return position and velocity"),
    "ReceiveJointState": ("ReceiveJointState(self: TessaryHardwareAPI.Triaxon, joint_position: list[float] ="
                          " [0.0, 0.0, 0.0], joint_velocity: list[float] = [0.0, 0.0, 0.0]) -> tuple",
                          "[Deprecated] receive joint state and return position and velocity in the joint"
                          " reference frame"),
    "SendJointTorques": ("SendJointTorques(self: TessaryHardwareAPI.Triaxon, joint_torque: list[float] ="
                         " [0.0, 0.0, 0.0]) -> None",
                         "[Deprecated] send joint torque"),
    "SendAngle": ("SendAngle(self: TessaryHardwareAPI.Triaxon, angle: list[float] = [0.0, 0.0, 0.0]) -> None",
                  "Send angles to the device"),
    "RequestCurrent": ("RequestCurrent(self: TessaryHardwareAPI.Triaxon) -> None", "request current"),
    "ReceiveCurrent": ("ReceiveCurrent(self: TessaryHardwareAPI.Triaxon, current: list[float] ="
                       " [0.0, 0.0, 0.0]) -> list[float]",
                       "receive current and return current"),
    "SendPosition": ("SendPosition(self: TessaryHardwareAPI.Triaxon, position: list[float] = [0.0, 0.0, 0.0])"
                     " -> None",
                     "[Deprecated] Send Position to the device"),
}


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_docstring_and_signature(name):
    signature, text = SIGNATURES[name]
    assert getattr(api.Triaxon, name).__doc__ == signature + "\n\n" + text + "\n"


def test_receive_device_info_signature():
    # The default identifier shows a fixed text, not an object address.
    assert api.Triaxon.ReceiveDeviceInfo.__doc__ == (
        "ReceiveDeviceInfo(self: TessaryHardwareAPI.Triaxon, device_id: int = 0, device_model_num: int = 0,"
        " hardware_version: int = 0, firmware_version: int = 0, UUID: TessaryHardwareAPI.UUID = UUID())"
        " -> tuple\n\nReceive device info and return a tuple\n"
    )


def test_send_force_lists_both_forms_numbered():
    assert api.Triaxon.SendForce.__doc__ == (
        "SendForce(*args, **kwargs)\n"
        "Overloaded function.\n"
        "\n"
        "1. SendForce(self: TessaryHardwareAPI.Triaxon, force: list[float] = [0.0, 0.0, 0.0]) -> None\n"
        "\n"
        "[Deprecated] Send force to the device\n"
        "\n"
        "2. SendForce(self: TessaryHardwareAPI.Triaxon, ForceX: float = 0, ForceY: float = 0,"
        " ForceZ: float = 0) -> None\n"
        "\n"
        "[Deprecated] Send force to the device\n"
    )


# -- current methods, accepted replies ------------------------------------


def test_device_wakeup(fake, arm):
    fake.answer(0x0A, 1, WAKEUP_REPLY)
    result = arm.device_wakeup()
    assert type(result) is tuple
    assert result == (4660, 4, 2, 7, list(range(16)))
    assert all(type(v) is int for v in result[:4])
    assert type(result[4]) is list and all(type(b) is int for b in result[4])
    assert fake.captured() == b"\x0a"


def test_device_wakeup_dict(fake, arm):
    fake.answer(0x0A, 1, WAKEUP_REPLY)
    result = arm.device_wakeup_dict()
    assert type(result) is dict
    assert list(result) == ["device_id", "device_model_number", "hardware_version", "firmware_version",
                            "device_id_ext"]
    assert [result[k] for k in list(result)[:4]] == [4660, 4, 2, 7]
    assert all(type(result[k]) is int for k in list(result)[:4])
    ext = result["device_id_ext"]
    assert type(ext) is uuid.UUID
    assert ext.hex == "000102030405060708090a0b0c0d0e0f"


def test_get_device_id_and_firmware_version(fake, arm):
    fake.send(bytes([0x0D, 0xD1, 0x10]) + bytes(range(0x10, 0x20)))
    ident = arm.get_device_id()
    assert type(ident) is uuid.UUID and ident.bytes == bytes(range(0x10, 0x20))
    fake.send(bytes([0x0D, 0xD2, 0x10]) + bytes(range(0x40, 0x50)))
    version = arm.get_firmware_version()
    assert type(version) is uuid.UUID and version.bytes == bytes(range(0x40, 0x50))
    assert fake.wait_captured(4) == bytes([0x0D, 0xD1, 0x0D, 0xD2])


def test_get_motor_currents(fake, arm):
    fake.send(state(0xAB, 0.1, -0.2, 3.0))
    result = arm.get_motor_currents()
    assert type(result) is list and all(type(v) is float for v in result)
    assert result == [f32(0.1), f32(-0.2), 3.0]
    assert fake.wait_captured(1) == b"\xab"


def test_get_device_orientation(fake, arm):
    fake.send(state(0x0C, 0.5, -0.5, 0.25, 1.0))
    result = arm.get_device_orientation()
    assert type(result) is list and all(type(v) is float for v in result)
    assert result == [0.5, -0.5, 0.25, 1.0]
    assert fake.wait_captured(1) == b"\x0c"


@pytest.mark.parametrize("byte, expected", [(0x00, False), (0x01, True), (0xFF, True)])
def test_get_power_status(fake, arm, byte, expected):
    fake.send(bytes([0xAC, byte]))
    assert arm.get_power_status() is expected
    assert fake.wait_captured(1) == b"\xac"


def test_get_temperature(fake, arm):
    fake.send(state(0xAA, 36.6))
    result = arm.get_temperature()
    assert type(result) is float
    assert result == f32(36.6)
    assert fake.wait_captured(1) == b"\xaa"


EXCHANGES = [
    ("end_effector_force", 0x2A, 0x2B),
    ("joint_torques", 0x1A, 0x1B),
    ("end_effector_position", 0x2C, 0x2B),
    ("joint_angles", 0x1C, 0x1B),
]


@pytest.mark.parametrize("name, code, header", EXCHANGES)
def test_exchange_sends_the_request_and_returns_the_state(fake, arm, name, code, header):
    values = (1.5, -2.5, 0.1, 4.0, 5.0, -6.0)
    fake.answer(code, 13, state(header, *values))
    result = getattr(arm, name)([1.0, 2.0, 3.0])
    assert fake.captured() == bytes([code]) + ONE_TWO_THREE
    assert type(result) is tuple and len(result) == 2
    first, second = result
    assert type(first) is list and type(second) is list
    assert all(type(v) is float for v in first + second)
    assert first == [f32(v) for v in values[:3]]
    assert second == [f32(v) for v in values[3:]]


@pytest.mark.parametrize("name, code, header", EXCHANGES)
def test_exchange_default_sends_three_zeros(fake, arm, name, code, header):
    fake.answer(code, 13, state(header, 1, 2, 3, 4, 5, 6))
    assert getattr(arm, name)() == ([1.0, 2.0, 3.0], [4.0, 5.0, 6.0])
    assert fake.captured() == bytes([code]) + ZERO_THREE


def test_exchange_accepts_sequences_of_numbers(fake, arm):
    fake.answer(0x2A, 13, state(0x2B, 1, 2, 3, 4, 5, 6))
    arm.end_effector_force((1, 2, 3))
    arm.end_effector_force([1.0, 2.0, 3.0, 4.0, 5.0])  # only the first three are sent
    arm.end_effector_force(**{"force request vector": [1, 2, 3]})  # the keyword name has spaces
    assert fake.captured() == (b"\x2a" + ONE_TWO_THREE) * 3


def test_joint_angles_with_the_wrong_header_returns_zeros(fake, arm):
    # A state reply where a joint state is due, and 1024 bytes after its
    # header in all: the discard read takes them at once, and exactly them.
    fake.expect(13, state(0x2B, 1, 2, 3, 4, 5, 6) + junk(1024 - 24))
    fake.expect(13, state(0x1B, 1, 2, 3, 4, 5, 6))
    start = time.monotonic()
    assert arm.joint_angles([1, 2, 3]) == ([0.0] * 3, [0.0] * 3)
    assert arm.joint_angles([1, 2, 3]) == ([1.0, 2.0, 3.0], [4.0, 5.0, 6.0])
    assert time.monotonic() - start < PROMPT


# -- current methods, no reply ----------------------------------------------

ZERO_RESULTS = [
    ("device_wakeup", (0, 0, 0, 0, [0] * 16)),
    ("device_wakeup_dict", {"device_id": 0, "device_model_number": 0, "hardware_version": 0,
                            "firmware_version": 0, "device_id_ext": uuid.UUID(int=0)}),
    ("get_firmware_version", uuid.UUID(int=0)),
    ("get_device_id", uuid.UUID(int=0)),
    ("get_motor_currents", [0.0] * 3),
    ("get_device_orientation", [0.0] * 4),
    ("get_power_status", False),
    ("get_temperature", 0.0),
    ("end_effector_force", ([0.0] * 3, [0.0] * 3)),
    ("joint_torques", ([0.0] * 3, [0.0] * 3)),
    ("end_effector_position", ([0.0] * 3, [0.0] * 3)),
    ("joint_angles", ([0.0] * 3, [0.0] * 3)),
]


def same_shape(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same_shape(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same_shape(a[k], b[k]) for k in a)
    return True


def test_a_silent_arm_costs_one_read_budget(timed_out):
    assert TIMED_OUT <= timed_out.waited < ONE_WAIT
    assert timed_out.first == ([0.0] * 3, [0.0] * 3)
    assert timed_out.sent == b"\x2a" + ONE_TWO_THREE


@pytest.mark.parametrize("name, expected", ZERO_RESULTS, ids=[n for n, _ in ZERO_RESULTS])
def test_no_reply_gives_the_zero_result(timed_out, name, expected):
    # The stream stays failed: every call returns its zero result at once.
    start = time.monotonic()
    result = getattr(timed_out.arm, name)()
    assert time.monotonic() - start < AT_ONCE
    assert result == expected
    assert same_shape(result, expected)


def test_after_a_time_out_nothing_is_sent(timed_out):
    timed_out.fake.answer(0x2A, 13, state(0x2B, 1, 2, 3, 4, 5, 6))
    assert timed_out.arm.end_effector_force([1, 2, 3]) == ([0.0] * 3, [0.0] * 3)
    assert timed_out.fake.captured_after() == timed_out.sent


# -- argument conversion ------------------------------------------------------


@pytest.mark.parametrize("name", [n for n, _, _ in EXCHANGES])
@pytest.mark.parametrize("bad", ["abc", b"abc", 3, None, [1, "x", 3]])
def test_exchange_refuses_what_does_not_convert(fake, arm, name, bad):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        getattr(arm, name)(bad)
    assert nothing_sent(fake, arm)


@pytest.mark.parametrize("name", [n for n, _, _ in EXCHANGES])
@pytest.mark.parametrize("short", [[], [1.0], (1, 2)])
def test_exchange_refuses_short_lists_before_sending(fake, arm, name, short):
    with pytest.raises(ValueError, match="at least 3 items"):
        getattr(arm, name)(short)
    assert nothing_sent(fake, arm)


@pytest.mark.parametrize(
    "args",
    [(65536,), (-1,), (0, 256), (0, 0, 300), (0, 0, 0, 256), (1.5,), ("1",), (0, 0, 0, 0, None), (0, 0, 0, 0, 1)],
)
def test_receive_device_info_refuses_out_of_range_values_and_reads_nothing(fake, arm, args):
    fake.send(WAKEUP_REPLY)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        arm.ReceiveDeviceInfo(*args)
    # The reply is still waiting: nothing was read.
    assert arm.ReceiveDeviceInfo()[:4] == (4660, 4, 2, 7)


def test_receive_device_info_accepts_the_limits(timed_out):
    result = timed_out.arm.ReceiveDeviceInfo(65535, 255, 255, 255)
    assert result[:4] == (65535, 255, 255, 255)


# -- older methods -----------------------------------------------------------


def recorded(call):
    """Runs call() recording warnings; each is given as (category, text, at
    the call), where "at the call" means attributed to the file and line of
    the Python code that called the method (stack level 1)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = call()
    line = call.__code__.co_firstlineno
    return result, [(w.category, str(w.message), w.filename == __file__ and w.lineno == line) for w in caught]


def test_send_force_forms_send_the_same_bytes_and_warn_once(fake, arm):
    text = "SendForce is deprecated, use end_effector_force instead"
    for call in (lambda: arm.SendForce(1, 2, 3), lambda: arm.SendForce([1, 2, 3])):
        result, caught = recorded(call)
        assert result is None
        assert caught == [(DeprecationWarning, text, True)]
    # Directly in a test body too: the warning names this file and line.
    with warnings.catch_warnings(record=True) as direct:
        warnings.simplefilter("always")
        line = sys._getframe().f_lineno + 1
        arm.SendForce(1, 2, 3)
    assert [(w.filename, w.lineno) for w in direct] == [(__file__, line)]
    assert fake.wait_captured(39) == (b"\x2a" + ONE_TWO_THREE) * 3


def test_send_force_overload_choice(fake, arm):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        arm.SendForce()  # the list form with its default
        arm.SendForce(1)  # the number form, missing ones are 0
        arm.SendForce(1.0, 2.0)
        arm.SendForce(ForceZ=3)
        arm.SendForce(force=(1, 2, 3))
    expected = [
        b"\x2a" + ZERO_THREE,
        b"\x2a" + floats(1, 0, 0),
        b"\x2a" + floats(1, 2, 0),
        b"\x2a" + floats(0, 0, 3),
        b"\x2a" + ONE_TWO_THREE,
    ]
    assert fake.wait_captured(65) == b"".join(expected)


DEPRECATED = [
    ("SendDeviceWakeup", (), "SendDeviceWakeup is deprecated, use device_wakeup instead", b"\x0a"),
    ("SendForce", ([1, 2, 3],), "SendForce is deprecated, use end_effector_force instead", b"\x2a" + ONE_TWO_THREE),
    ("SendJointTorques", ([1, 2, 3],), "SendJointTorques is deprecated, use joint_torques instead",
     b"\x1a" + ONE_TWO_THREE),
    ("SendPosition", ([1, 2, 3],), "SendPosition is deprecated, use end_effector_position instead",
     b"\x2c" + ONE_TWO_THREE),
]


@pytest.mark.parametrize("name, args, text, sent", DEPRECATED, ids=[d[0] for d in DEPRECATED])
def test_deprecated_sends_warn_then_send(fake, arm, name, args, text, sent):
    result, caught = recorded(lambda: getattr(arm, name)(*args))
    assert result is None
    assert caught == [(DeprecationWarning, text, True)]
    assert fake.wait_captured(len(sent)) == sent


@pytest.mark.parametrize("name, args, text, sent", DEPRECATED, ids=[d[0] for d in DEPRECATED])
def test_deprecation_turned_error_raises_before_sending(fake, arm, name, args, text, sent):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(DeprecationWarning, match=text):
            getattr(arm, name)(*args)
    assert nothing_sent(fake, arm)


@pytest.mark.parametrize(
    "name, header, text",
    [
        ("ReceiveState", 0x2B, "ReceiveState is deprecated, use end_effector instead"),
        ("ReceiveJointState", 0x1B, "ReceiveJointState is deprecated, use joint_torques instead"),
    ],
)
def test_deprecated_state_reads(fake, arm, name, header, text):
    fake.send(state(header, 1, 2, 3, 4, 5, 6))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        start = time.monotonic()
        with pytest.raises(DeprecationWarning, match=text):
            getattr(arm, name)()
        assert time.monotonic() - start < AT_ONCE  # raised before reading
    result, caught = recorded(lambda: getattr(arm, name)([9.0] * 4, [8.0] * 3))
    assert caught == [(DeprecationWarning, text, True)]
    # The reply was still there for this call; the first list keeps its fourth item.
    assert result == ([1.0, 2.0, 3.0, 9.0], [4.0, 5.0, 6.0])
    assert type(result) is tuple


def test_receive_state_returns_its_lists_unchanged_on_no_reply(timed_out):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        position = [9.0, 9.5, 10.0, 11.0]
        result = timed_out.arm.ReceiveState(position, (8, 8, 8))
    assert result == ([9.0, 9.5, 10.0, 11.0], [8.0, 8.0, 8.0])
    assert position == [9.0, 9.5, 10.0, 11.0]  # the caller's object is never written


@pytest.mark.parametrize("name", ["ReceiveState", "ReceiveJointState"])
@pytest.mark.parametrize("args", [([1, 2], [1, 2, 3]), ([1, 2, 3], []), ([],)])
def test_state_reads_refuse_short_lists_before_reading(fake, arm, name, args):
    fake.send(state(0x2B if name == "ReceiveState" else 0x1B, 1, 2, 3, 4, 5, 6))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with pytest.raises(ValueError, match="at least 3 items"):
            getattr(arm, name)(*args)
        assert getattr(arm, name)() == ([1.0, 2.0, 3.0], [4.0, 5.0, 6.0])


@pytest.mark.parametrize("name", ["SendForce", "SendJointTorques", "SendAngle", "SendPosition"])
def test_older_sends_refuse_short_lists_before_sending(fake, arm, name):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(ValueError, match="at least 3 items"):
            getattr(arm, name)([1.0, 2.0])
    assert caught == []
    assert nothing_sent(fake, arm)


def test_send_angle_request_current_and_receive_current_do_not_warn(fake, arm):
    fake.answer(0xAB, 1, state(0xAB, 0.5, 1.5, 2.5))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert arm.SendAngle([1, 2, 3]) is None
        assert arm.RequestCurrent() is None
        current = arm.ReceiveCurrent([7.0, 7.0, 7.0, 7.0])
    assert current == [0.5, 1.5, 2.5, 7.0]
    assert type(current) is list
    assert fake.wait_captured(14) == b"\x1c" + ONE_TWO_THREE + b"\xab"


def test_receive_current_unchanged_on_no_reply_and_refuses_short_lists(timed_out):
    arm = timed_out.arm
    with pytest.raises(ValueError, match="at least 3 items"):
        arm.ReceiveCurrent([1.0])
    assert arm.ReceiveCurrent([1.0, 2.0, 3.0]) == [1.0, 2.0, 3.0]
    assert arm.ReceiveCurrent() == [0.0, 0.0, 0.0]


def test_receive_device_info_does_not_warn_and_decodes(fake, arm):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert arm.SendAngle() is None
        fake.send(WAKEUP_REPLY)
        result = arm.ReceiveDeviceInfo()
    assert type(result) is tuple and len(result) == 5
    assert result[:4] == (4660, 4, 2, 7)
    assert type(result[4]) is api.UUID
    assert result[4].bytes() == list(range(16))


def test_receive_device_info_with_no_reply_returns_its_arguments(timed_out):
    result = timed_out.arm.ReceiveDeviceInfo(1, 2, 3, 4)
    assert result[:4] == (1, 2, 3, 4)
    assert type(result[4]) is api.UUID
    assert result[4].bytes() == [0] * 16


def test_receive_device_info_default_uuid_is_not_shared(timed_out):
    first = timed_out.arm.ReceiveDeviceInfo()[4]
    second = timed_out.arm.ReceiveDeviceInfo()[4]
    assert first is not second


def test_older_wakeup_pairing(fake, arm):
    fake.answer(0x0A, 1, WAKEUP_REPLY)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        arm.SendDeviceWakeup()
    assert arm.ReceiveDeviceInfo()[:4] == (4660, 4, 2, 7)


# -- interpreter lock --------------------------------------------------------


def ticks_during(call, fake, sent, reply):
    """Calls `call` while the arm answers late (once `sent` bytes came); gives
    its result and how often another Python thread ran meanwhile."""
    with Ticker() as ticker:
        fake.expect(sent, reply, delay=LATE_REPLY)
        start = time.monotonic()
        result = call()
        end = time.monotonic()
    assert end - start >= LATE_REPLY * 0.9  # the call did wait for the arm
    return result, ticker.between(start + INSTANT / 2, end - INSTANT / 2)


STATE = state(0x2B, 1, 2, 3, 4, 5, 6)
JOINT_STATE = state(0x1B, 1, 2, 3, 4, 5, 6)
DECODED = ([1.0, 2.0, 3.0], [4.0, 5.0, 6.0])
WAKEUP = (4660, 4, 2, 7, list(range(16)))
# name, bytes the call sends, the late reply, whether the result is decoded from it
RELEASING = [
    ("end_effector_force", 13, STATE, lambda r: r == DECODED),
    ("joint_torques", 13, JOINT_STATE, lambda r: r == DECODED),
    ("end_effector_position", 13, STATE, lambda r: r == DECODED),
    ("joint_angles", 13, JOINT_STATE, lambda r: r == DECODED),
    ("device_wakeup", 1, WAKEUP_REPLY, lambda r: r == WAKEUP),
    ("device_wakeup_dict", 1, WAKEUP_REPLY, lambda r: list(r.values())[:4] == list(WAKEUP[:4])),
    ("ReceiveDeviceInfo", 0, WAKEUP_REPLY, lambda r: r[:4] == WAKEUP[:4]),
    ("ReceiveState", 0, STATE, lambda r: r == DECODED),
    ("ReceiveJointState", 0, JOINT_STATE, lambda r: r == DECODED),
    ("ReceiveCurrent", 0, state(0xAB, 1, 2, 3), lambda r: r == [1.0, 2.0, 3.0]),
]
HOLDING = [
    ("get_firmware_version", 2, id_reply(0xD2, range(16)), lambda r: r.bytes == bytes(range(16))),
    ("get_device_id", 2, id_reply(0xD1, range(16)), lambda r: r.bytes == bytes(range(16))),
    ("get_motor_currents", 1, state(0xAB, 1, 2, 3), lambda r: r == [1.0, 2.0, 3.0]),
    ("get_device_orientation", 1, state(0x0C, 1, 2, 3, 4), lambda r: r == [1.0, 2.0, 3.0, 4.0]),
    ("get_power_status", 1, b"\xac\x01", lambda r: r is True),
    ("get_temperature", 1, state(0xAA, 36.5), lambda r: r == 36.5),
]


@pytest.mark.parametrize("name, sent, reply, decoded", RELEASING, ids=[r[0] for r in RELEASING])
def test_other_threads_run_while_the_arm_is_awaited(fake, arm, name, sent, reply, decoded):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result, ticks = ticks_during(getattr(arm, name), fake, sent, reply)
    assert decoded(result)  # the wait ended with the reply, not a time-out
    assert ticks > 10


@pytest.mark.parametrize("name, sent, reply, decoded", HOLDING, ids=[r[0] for r in HOLDING])
def test_get_methods_hold_the_lock(fake, arm, name, sent, reply, decoded):
    result, ticks = ticks_during(getattr(arm, name), fake, sent, reply)
    assert decoded(result)
    assert ticks == 0


# -- lifetime ------------------------------------------------------------------


def test_the_arm_keeps_its_stream_alive(fake):
    stream = api.SerialStream(fake.path)
    arm = api.Triaxon(stream)
    ref = weakref.ref(stream)
    del stream
    gc.collect()
    assert ref() is not None
    fake.answer(0x2A, 13, state(0x2B, 1, 2, 3, 4, 5, 6))
    assert arm.end_effector_force([1, 2, 3]) == ([1.0, 2.0, 3.0], [4.0, 5.0, 6.0])
    del arm
    gc.collect()
    assert ref() is None  # and lets it go with the arm


def test_an_arm_whose_stream_was_dropped_still_works_in_a_fresh_interpreter():
    # In a child process: without the keep-alive this uses freed memory and
    # may crash the interpreter, which must not take the test run with it.
    code = """
import gc
import TessaryHardwareAPI as api
from tessary_fake import FakeDevice

def make(path):
    return api.Triaxon(api.SerialStream(path))

with FakeDevice() as fake:
    arm = make(fake.path)
    gc.collect()
    junk = [bytearray(4096) for _ in range(256)]  # reuse whatever was freed
    fake.answer(0x2A, 13, bytes([0x2B]) + bytes(24))
    print(arm.end_effector_force([1, 2, 3]))
    fake.send(b"\\xac\\x01")
    print(arm.get_power_status())
    print(fake.wait_captured(14).hex())
"""
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "([0.0, 0.0, 0.0], [0.0, 0.0, 0.0])",
        "True",
        "2a" + ONE_TWO_THREE.hex() + "ac",
    ]
