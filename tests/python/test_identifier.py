"""Identifier and device classes, seen through the arm.

MakePythonUuid has no Python name of its own: it is reached through
get_device_id, get_firmware_version and device_wakeup_dict, fed by the fake
arm with chosen identifier bytes.
"""

import gc
import uuid

import pytest

import TessaryHardwareAPI as api
from support import id_reply, wakeup_reply


# -- the classes ------------------------------------------------------------


def test_new_uuid_has_sixteen_zero_bytes():
    ident = api.UUID()
    data = ident.bytes()
    assert type(data) is list
    assert data == [0] * 16
    assert all(type(b) is int for b in data)
    assert ident.bytes() is not data  # a new list each time


def test_uuid_objects_compare_by_identity():
    a, b = api.UUID(), api.UUID()
    assert a != b
    assert a == a
    assert "TessaryHardwareAPI.UUID object at" in repr(a)


def test_uuid_signatures():
    assert api.UUID.bytes.__doc__ == "bytes(self: TessaryHardwareAPI.UUID) -> list[int]\n"
    assert api.UUID.__init__.__doc__.startswith("__init__(self: TessaryHardwareAPI.UUID) -> None")
    with pytest.raises(TypeError):
        api.UUID([0] * 16)


def test_uuid_takes_no_new_attributes():
    with pytest.raises(AttributeError):
        api.UUID().extra = 1


def test_device_has_no_constructor():
    with pytest.raises(TypeError) as info:
        api.Device()
    assert str(info.value) == "TessaryHardwareAPI.Device: No constructor defined!"
    with pytest.raises(TypeError, match=": No constructor defined!$"):
        api.Device(1, 2)


def test_device_classes_are_not_related():
    assert not issubclass(api.Triaxon, api.Device)
    assert not issubclass(api.Handle, api.Device)


# -- MakePythonUuid through the arm ------------------------------------------


@pytest.mark.parametrize(
    "data, text",
    [
        (range(16), "00010203-0405-0607-0809-0a0b0c0d0e0f"),
        ([0x0A] * 16, "0a0a0a0a-0a0a-0a0a-0a0a-0a0a0a0a0a0a"),
        ([0xAB] * 16, "abababab-abab-abab-abab-abababababab"),
        ([0x00, 0x01, 0x0F, 0x10, 0xAB, 0xFE] + [0x05] * 10, "00010f10-abfe-0505-0505-050505050505"),
        ([0xFF] * 16, "ffffffff-ffff-ffff-ffff-ffffffffffff"),
    ],
)
def test_device_id_text_and_canonical_form(fake, arm, data, text):
    fake.send(id_reply(0xD1, data))
    ident = arm.get_device_id()
    assert type(ident) is uuid.UUID
    assert str(ident) == text
    assert ident.hex == text.replace("-", "")
    assert ident.bytes == bytes(data)
    assert fake.wait_captured(2) == bytes([0x0D, 0xD1])


def test_firmware_version_is_rendered_the_same_way(fake, arm):
    fake.send(id_reply(0xD2, range(0xF0, 0x100)))
    version = arm.get_firmware_version()
    assert type(version) is uuid.UUID
    assert version.hex == "f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff"
    assert fake.wait_captured(2) == bytes([0x0D, 0xD2])


def test_standard_uuid_bytes_equal_the_list_form(fake):
    # The same identifier through both routes of one wake-up reply, on two arms.
    data = [0x9C, 0x00, 0x7F, 0x80, 0x01, 0xAB, 0x10, 0x0F, 0xFF, 0x42, 0x00, 0x00, 0xC3, 0x3C, 0x5A, 0xA5]
    fake.answer(0x0A, 1, wakeup_reply(data))
    stream = api.SerialStream(fake.path)
    arm = api.Triaxon(stream)
    listed = arm.device_wakeup()[4]
    standard = arm.device_wakeup_dict()["device_id_ext"]
    assert listed == data
    assert list(standard.bytes) == listed


@pytest.mark.parametrize("length", [15, 17])
def test_wrong_length_byte_gives_the_all_zero_identifier(fake, arm, length):
    fake.send(id_reply(0xD1, range(1, 17), length=length))
    ident = arm.get_device_id()
    assert ident == uuid.UUID(int=0)
    assert str(ident) == "00000000-0000-0000-0000-000000000000"


def test_receive_device_info_returns_a_copy_of_its_own(fake, arm):
    fake.send(wakeup_reply(range(0x20, 0x30)))
    initial = api.UUID()
    result = arm.ReceiveDeviceInfo(0, 0, 0, 0, initial)
    ident = result[4]
    assert type(ident) is api.UUID
    assert ident is not initial
    assert ident.bytes() == list(range(0x20, 0x30))
    assert initial.bytes() == [0] * 16  # the argument is not written
    del initial
    gc.collect()
    assert ident.bytes() == list(range(0x20, 0x30))


def test_a_failing_uuid_module_raises_from_the_bound_method(fake, arm, monkeypatch):
    # MakePythonUuid imports "uuid" on each call and propagates its errors.
    import uuid as standard

    def refuse(*args, **kwargs):
        raise RuntimeError("uuid refused")

    fake.send(id_reply(0xD1, range(16)))
    monkeypatch.setattr(standard, "UUID", refuse)
    with pytest.raises(RuntimeError, match="uuid refused"):
        arm.get_device_id()
    assert fake.wait_captured(2) == bytes([0x0D, 0xD1])  # after the exchange
