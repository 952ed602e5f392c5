import gc
import struct
import threading
import time
import warnings
import weakref

import pytest

import TessaryHardwareAPI as api

PURE = 'Tried to call pure virtual function "API::Devices::Handle::OnReceiveHandleStatusMessage"'
QUATERNION = [0.5, -1.25, struct.unpack("<f", struct.pack("<f", 0.1))[0], 1024.0]
INFO = bytes([0xD0, 0x34, 0x12, 0x09, 0x02, 0x03, 0x04])
ERROR = bytes([0xDF, 0x07, 0x00, 0x03])


def status(device_id=0x0102, error_flag=7, hall=200, quaternion=QUATERNION, user=b""):
    return (
        bytes([0xDA])
        + struct.pack("<HBB4fB", device_id, error_flag, hall, *quaternion, len(user))
        + bytes(user)
    )


@pytest.fixture
def stream(fake):
    return api.SerialStream(fake.path)


class StatusOnly(api.Handle):
    def __init__(self, stream):
        super().__init__(stream)
        self.calls = []

    def OnReceiveHandleStatusMessage(self, *args):
        self.calls.append(args)


class InfoOnly(api.Handle):
    def __init__(self, stream):
        super().__init__(stream)
        self.calls = []

    def OnReceiveHandleInfo(self, *args):
        self.calls.append(args)


# -- commands ---------------------------------------------------------------


def test_commands_are_sent_byte_exact(fake, stream):
    handle = api.Handle(stream)
    handle.SendDeviceWakeup()
    handle.RequestStatus()
    handle.SendHandleState()
    handle.SendHandleState(3, 1, 0x7F)
    handle.SendHandleState(1, 0, 9)
    handle.SendHandleState(device_id=0x1234, data_length=1, user_data=0xAA)
    expected = "0a da db000000 db0300017f db010000 db341201aa".replace(" ", "")
    assert fake.wait_captured(len(expected) // 2).hex() == expected


@pytest.mark.parametrize(
    "args, error",
    [
        ((65536,), TypeError),
        ((-1,), TypeError),
        ((0, 256), TypeError),
        ((0, 1, 256), TypeError),
        ((0, 1, 1.0), TypeError),
        ((0, 2, 5), ValueError),
        ((0, 255, 5), ValueError),
        ((0, 1), ValueError),
        ((0, 1, None), ValueError),
    ],
)
def test_send_handle_state_sends_nothing_it_cannot_honour(fake, stream, args, error):
    handle = api.Handle(stream)
    with pytest.raises(error):
        handle.SendHandleState(*args)
    handle.SendDeviceWakeup()
    time.sleep(0.05)
    assert fake.wait_captured(1) == b"\x0a"


def test_signatures_and_docstrings():
    H = api.Handle
    assert H.__doc__ is None
    assert not issubclass(H, api.Device)
    assert H.Receive.__doc__ == (
        "Receive(*args, **kwargs)\nOverloaded function.\n\n"
        "1. Receive(self: TessaryHardwareAPI.Handle) -> int\n\nReceive data from the handle\n\n"
        "2. Receive(self: TessaryHardwareAPI.Handle, obsolete: int) -> int\n\n"
        "[DEPRECATED] Receive current and return current\n"
    )
    assert H.SendHandleState.__doc__ == (
        "SendHandleState(self: TessaryHardwareAPI.Handle, device_id: int = 0, data_length: int = 0, "
        "user_data: int = None) -> None\n\nsend handle state\n"
    )
    assert H.SendDeviceWakeup.__doc__ == "SendDeviceWakeup(self: TessaryHardwareAPI.Handle) -> None\n"
    assert H.RequestStatus.__doc__.endswith("-> None\n\nrequest handle status\n")
    assert H.OnReceiveHandleStatusMessage.__doc__ == (
        "OnReceiveHandleStatusMessage(self: TessaryHardwareAPI.Handle, device_id: int, quaternion: float, "
        "error_flag: int, hall_effect_sensor_level: int, user_data_length: int, user_data: int) -> None\n\n"
        "OnReceiveHandleStatusMessage\n"
    )
    assert H.OnReceiveHandleInfo.__doc__.endswith(
        "(self: TessaryHardwareAPI.Handle, tool_data_remaining: int, device_id: int, device_model_number: int, "
        "hardware_version: int, firmware_version: int) -> None\n\nOnReceiveHandleInfo\n"
    )
    assert H.OnReceiveHandleErrorResponse.__doc__.endswith(
        "(self: TessaryHardwareAPI.Handle, device_id: int, error_code: int) -> None\n\nOnReceiveHandleErrorResponse\n"
    )


def test_constructor_refuses_none_and_keeps_the_stream_alive(fake):
    with pytest.raises(TypeError):
        api.Handle(None)
    stream = api.SerialStream(fake.path)
    alive = weakref.ref(stream)
    handle = api.Handle(stream)
    del stream
    gc.collect()
    assert alive() is not None
    handle.SendDeviceWakeup()
    assert fake.wait_captured(1) == b"\x0a"
    del handle
    gc.collect()
    assert alive() is None


def test_subclass_must_run_the_base_initialiser(stream):
    class NoBase(api.Handle):
        def __init__(self, stream):
            pass

    with pytest.raises(TypeError):
        NoBase(stream)


# -- receiving --------------------------------------------------------------


def test_plain_handle_consumes_each_message_silently(fake, stream):
    handle = api.Handle(stream)
    fake.send(status(user=b"\x01\x02\x03") + INFO + ERROR + status())
    start = time.monotonic()
    assert [handle.Receive() for _ in range(4)] == [24, 6, 3, 21]
    assert time.monotonic() - start < 0.3


def test_status_override_sees_python_types(fake, stream):
    handle = StatusOnly(stream)
    fake.send(INFO + ERROR)
    assert handle.Receive() == 6
    assert handle.Receive() == 3
    assert handle.calls == []

    fake.send(status(user=bytes(range(250, 256))) + status(device_id=9, user=b""))
    assert handle.Receive() == 27
    assert handle.Receive() == 21
    first, second = handle.calls
    assert first == (0x0102, QUATERNION, 7, 200, 6, [250, 251, 252, 253, 254, 255])
    assert [type(v) for v in first] == [int, list, int, int, int, list]
    assert all(type(q) is float for q in first[1])
    assert second == (9, QUATERNION, 7, 200, 0, [])


def test_full_user_data_reaches_the_override(fake, stream):
    handle = StatusOnly(stream)
    user = bytes((7 * i) & 0xFF for i in range(255))
    fake.send(status(user=user))
    assert handle.Receive() == 276
    assert handle.calls[0][4:] == (255, list(user))


def test_missing_status_override_is_pure_and_the_message_is_consumed(fake, stream):
    handle = InfoOnly(stream)
    fake.send(INFO + status(user=b"\xaa" * 5) + ERROR)
    assert handle.Receive() == 6
    assert handle.calls == [(9, 0x1234, 2, 3, 4)]
    with pytest.raises(RuntimeError) as raised:
        handle.Receive()
    assert str(raised.value) == PURE
    start = time.monotonic()
    assert handle.Receive() == 3  # the 26 status bytes are gone
    assert time.monotonic() - start < 0.3


def test_override_exception_leaves_receive_unchanged(fake, stream):
    error = ValueError("bad message")

    class Raising(api.Handle):
        def OnReceiveHandleErrorResponse(self, device_id, error_code):
            raise error

    handle = Raising(stream)
    fake.send(ERROR + INFO)
    with pytest.raises(ValueError) as raised:
        handle.Receive()
    assert raised.value is error
    assert handle.Receive() == 6


def test_super_from_an_override_does_not_reenter(fake, stream):
    seen = []

    class Chaining(api.Handle):
        def OnReceiveHandleInfo(self, *args):
            seen.append(args)
            super().OnReceiveHandleInfo(*args)

        def OnReceiveHandleStatusMessage(self, device_id, quaternion, error_flag, hall, length, user_data):
            seen.append("status")
            super().OnReceiveHandleStatusMessage(device_id, quaternion[0], error_flag, hall, length, 0)

    handle = Chaining(stream)
    fake.send(INFO + status())
    assert handle.Receive() == 6
    with pytest.raises(RuntimeError, match="pure virtual"):
        handle.Receive()
    assert seen == [(9, 0x1234, 2, 3, 4), "status"]


def test_callbacks_called_from_python(stream):
    assert api.Handle(stream).OnReceiveHandleStatusMessage(1, 0.5, 0, 0, 3, 7) is None
    handle = StatusOnly(stream)
    # Through the base method: one component and one byte given, the rest zero.
    api.Handle.OnReceiveHandleStatusMessage(handle, 65535, 2, 3, 4, 4, 255)
    assert handle.calls == [(65535, [2.0, 0.0, 0.0, 0.0], 3, 4, 4, [255, 0, 0, 0])]
    with pytest.raises(TypeError):
        api.Handle.OnReceiveHandleStatusMessage(handle, 65536, 2, 3, 4, 4, 255)
    with pytest.raises(RuntimeError) as raised:
        InfoOnly(stream).OnReceiveHandleStatusMessage(1, 0.5, 0, 0, 0, 0)
    assert str(raised.value) == PURE
    info = InfoOnly(stream)
    api.Handle.OnReceiveHandleInfo(info, 1, 2, 3, 4, 5)
    assert info.calls == [(1, 2, 3, 4, 5)]


def test_short_status_payload_calls_no_override(fake, stream):
    handle = StatusOnly(stream)
    fake.send(status(user=b"\x09" * 4))
    assert handle.Receive() == 25
    fake.send(status()[:11])
    start = time.monotonic()
    assert handle.Receive() == 0
    assert 0.95 < time.monotonic() - start < 1.5
    fake.send(ERROR)
    start = time.monotonic()
    assert handle.Receive() == -1
    assert time.monotonic() - start < 0.05
    assert len(handle.calls) == 1


# -- deprecated overload ----------------------------------------------------


def test_receive_with_an_argument_warns_once_then_receives(fake, stream):
    handle = api.Handle(stream)
    fake.send(ERROR)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert handle.Receive(5) == 3
    assert [(w.category, str(w.message)) for w in caught] == [
        (DeprecationWarning, "Receive with one argument is deprecated")
    ]
    assert caught[0].filename == __file__
    with pytest.raises(TypeError):
        handle.Receive(256)


def test_warning_as_error_stops_before_reading(fake, stream):
    handle = api.Handle(stream)
    fake.send(ERROR)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(DeprecationWarning, match="^Receive with one argument is deprecated$"):
            handle.Receive(0)
    assert handle.Receive() == 3


# -- threads ----------------------------------------------------------------


def test_receive_lets_other_threads_run_and_calls_back_on_its_own_thread(fake, stream):
    threads = []

    class Recording(api.Handle):
        def OnReceiveHandleInfo(self, *args):
            threads.append(threading.get_ident())

    handle = Recording(stream)
    result = []
    worker = threading.Thread(target=lambda: result.append(handle.Receive()))
    start = time.monotonic()
    fake.send_after(0.4, INFO)
    worker.start()
    # Pure Python work: it gets the lock only while Receive waits unlocked.
    ticks_while_waiting = 0
    while worker.is_alive():
        if 0.1 < time.monotonic() - start < 0.3 and not result:
            ticks_while_waiting += 1
    worker.join()
    assert result == [6]
    assert threads == [worker.ident]
    assert ticks_while_waiting > 1000
