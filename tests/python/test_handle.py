import gc
import struct
import threading
import time
import warnings
import weakref

import pytest

import TessaryHardwareAPI as api
from support import INSTANT, LATE_REPLY, ONE_WAIT, TIMED_OUT, WITHIN_BUDGET

PURE = 'Tried to call pure virtual function "API::Devices::Handle::OnReceiveHandleStatusMessage"'
QUATERNION = [0.5, -1.25, struct.unpack("<f", struct.pack("<f", 0.1))[0], 1024.0]
INFO = bytes([0xD0, 0x34, 0x12, 0x09, 0x02, 0x03, 0x04])
ERROR = bytes([0xDF, 0x07, 0x00, 0x03])


def status(user=b"", device_id=0x0102):
    return b"\xda" + struct.pack("<HBB4fB", device_id, 7, 200, *QUATERNION, len(user)) + bytes(user)


class Recording(api.Handle):
    def __init__(self, stream):
        super().__init__(stream)
        self.calls = []


def subclass(*hooks):
    """A Handle subclass overriding only the callbacks named, noting their calls."""

    def note(name):
        return lambda self, *args: self.calls.append((name, args))

    return type("Sub", (Recording,), {name: note(name) for name in hooks})


def test_commands_are_sent_byte_exact(fake, stream):
    handle = api.Handle(stream)
    handle.SendDeviceWakeup()
    handle.RequestStatus()
    handle.SendHandleState()
    handle.SendHandleState(3, 1, 0x7F)
    handle.SendHandleState(1, 0, 9)
    handle.SendHandleState(device_id=0x1234, data_length=1, user_data=0xAA)
    assert fake.wait_captured(19).hex(" ") == "0a da db 00 00 00 db 03 00 01 7f db 01 00 00 db 34 12 01 aa"


@pytest.mark.parametrize(
    "args, error",
    [((65536,), TypeError), ((0, 256), TypeError), ((0, 1, 256), TypeError), ((0, 1, 1.0), TypeError),
     ((0, 2, 5), ValueError), ((0, 1), ValueError), ((0, 1, None), ValueError)],
)
def test_send_handle_state_sends_nothing_it_cannot_honour(fake, stream, args, error):
    handle = api.Handle(stream)
    with pytest.raises(error):
        handle.SendHandleState(*args)
    handle.SendDeviceWakeup()
    assert fake.wait_captured(1) == b"\x0a"  # the first byte to arrive: nothing went before it


def test_docstrings():
    assert api.Handle.Receive.__doc__ == (
        "Receive(*args, **kwargs)\nOverloaded function.\n\n"
        "1. Receive(self: TessaryHardwareAPI.Handle) -> int\n\nReceive data from the handle\n\n"
        "2. Receive(self: TessaryHardwareAPI.Handle, obsolete: int) -> int\n\n"
        "[DEPRECATED] Receive current and return current\n"
    )
    assert api.Handle.SendHandleState.__doc__ == (
        "SendHandleState(self: TessaryHardwareAPI.Handle, device_id: int = 0, data_length: int = 0, "
        "user_data: int = None) -> None\n\nsend handle state\n"
    )
    assert api.Handle.OnReceiveHandleStatusMessage.__doc__.endswith(
        "(self: TessaryHardwareAPI.Handle, device_id: int, quaternion: float, error_flag: int, "
        "hall_effect_sensor_level: int, user_data_length: int, user_data: int) -> None\n\n"
        "OnReceiveHandleStatusMessage\n"
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


def test_plain_handle_consumes_each_message_silently(fake, stream):
    handle = api.Handle(stream)
    fake.send(status(b"\x01\x02\x03") + INFO + ERROR + status())
    start = time.monotonic()
    assert [handle.Receive() for _ in range(4)] == [24, 6, 3, 21]
    assert time.monotonic() - start < WITHIN_BUDGET


def test_status_override_only(fake, stream):
    handle = subclass("OnReceiveHandleStatusMessage")(stream)
    fake.send(INFO + ERROR + status(bytes(range(250, 256))) + status(device_id=9))
    assert [handle.Receive() for _ in range(4)] == [6, 3, 27, 21]
    (_, first), (_, second) = handle.calls
    assert first == (0x0102, QUATERNION, 7, 200, 6, [250, 251, 252, 253, 254, 255])
    assert [type(v) for v in first + tuple(first[1])] == [int, list, int, int, int, list] + [float] * 4
    assert second == (9, QUATERNION, 7, 200, 0, [])


def test_info_override_only_makes_status_pure(fake, stream):
    handle = subclass("OnReceiveHandleInfo")(stream)
    fake.send(INFO + status(b"\xaa" * 5) + ERROR)
    assert handle.Receive() == 6
    assert handle.calls == [("OnReceiveHandleInfo", (9, 0x1234, 2, 3, 4))]
    with pytest.raises(RuntimeError) as raised:
        handle.Receive()
    assert str(raised.value) == PURE
    assert handle.Receive() == 3  # the 26 status bytes were consumed


def test_override_errors_leave_receive_unchanged(fake, stream):
    error = ValueError("bad message")

    class Raising(api.Handle):
        def OnReceiveHandleErrorResponse(self, device_id, error_code):
            raise error

        def OnReceiveHandleStatusMessage(self, device_id, quaternion, *rest):
            # No override is found from inside the override: the base is pure.
            super().OnReceiveHandleStatusMessage(device_id, quaternion[0], 0, 0, 0, 0)

    handle = Raising(stream)
    fake.send(ERROR + status() + INFO)
    with pytest.raises(ValueError) as raised:
        handle.Receive()
    assert raised.value is error
    with pytest.raises(RuntimeError, match="^" + PURE + "$"):
        handle.Receive()
    assert handle.Receive() == 6


def test_callbacks_called_from_python(stream):
    assert api.Handle(stream).OnReceiveHandleStatusMessage(1, 0.5, 0, 0, 3, 7) is None
    handle = subclass("OnReceiveHandleStatusMessage")(stream)
    # One component and one byte given: the rest read as zero.
    api.Handle.OnReceiveHandleStatusMessage(handle, 65535, 2, 3, 4, 4, 255)
    assert handle.calls == [("OnReceiveHandleStatusMessage", (65535, [2.0, 0.0, 0.0, 0.0], 3, 4, 4, [255, 0, 0, 0]))]
    with pytest.raises(RuntimeError, match="pure virtual"):
        subclass()(stream).OnReceiveHandleStatusMessage(1, 0.5, 0, 0, 0, 0)


def test_short_status_payload_calls_no_override(fake, stream):
    handle = subclass("OnReceiveHandleStatusMessage")(stream)
    fake.send(status(b"\x09" * 4) + status()[:11])
    assert handle.Receive() == 25
    start = time.monotonic()
    assert handle.Receive() == 0
    assert TIMED_OUT < time.monotonic() - start < ONE_WAIT
    fake.send(ERROR)
    start = time.monotonic()
    assert handle.Receive() == -1
    assert time.monotonic() - start < INSTANT
    assert len(handle.calls) == 1


def test_receive_with_an_argument_is_deprecated(fake, stream):
    handle = api.Handle(stream)
    fake.send(ERROR + ERROR)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert handle.Receive(5) == 3
    assert [(w.category, str(w.message), w.filename) for w in caught] == [
        (DeprecationWarning, "Receive with one argument is deprecated", __file__)
    ]
    with pytest.raises(TypeError):
        handle.Receive(256)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(DeprecationWarning):
            handle.Receive(0)
    assert handle.Receive() == 3  # the warning's error came before any read


def test_receive_lets_other_threads_run_and_calls_back_on_its_own_thread(fake, stream):
    class Threads(api.Handle):
        seen = []

        def OnReceiveHandleInfo(self, *args):
            self.seen.append(threading.get_ident())

    handle = Threads(stream)
    result = []
    worker = threading.Thread(target=lambda: result.append(handle.Receive()))
    start = time.monotonic()
    fake.send_after(2 * LATE_REPLY, INFO)
    worker.start()
    # Pure Python work: it gets the lock only while Receive waits unlocked.
    ticks = 0
    while worker.is_alive():
        ticks += LATE_REPLY / 2 < time.monotonic() - start < LATE_REPLY * 1.5 and not result
    worker.join()
    assert result == [6]
    assert Threads.seen == [worker.ident]
    assert ticks > 1000
