"""Captured bytes read back by the library's framing (decode_requests,
decode_reply, decode_messages): every byte lands in a frame, and what is no
frame or is rejected is flagged with why."""

import math

import pytest

import TessaryHardwareAPI as api
from support import floats, state, wakeup_reply


def frames(found):
    return [(f["name"], f["hex"], f["error"]) for f in (found if isinstance(found, list) else [found])]


def H(data):
    return data.hex(" ").upper()

CASES = [
    # requests: a float request, stray bytes in a row, a cut-off request
    (lambda: api.decode_requests("triaxon", b"\x0a" + state(0x2A, 1, 2, 3) + b"\x77\x78\x0d\xd1\x2c\x00"),
     [("wakeup", "0A", None), ("force", H(state(0x2A, 1, 2, 3)), None), ("stray", "77 78", "not a frame"),
      ("device_id", "0D D1", None), ("position", "2C 00", "short request")]),
    (lambda: api.decode_requests("handle", b"\xdb\x01\x00\x01\x09\x42\xda"),
     [("handle_state", "DB 01 00 01 09", None), ("stray", "42", "not a frame"), ("status_request", "DA", None)]),
    # replies: whole, with bytes after it, the wrong header, short, none
    (lambda: api.decode_reply(b"\x0a", wakeup_reply()), [("device_info", H(wakeup_reply()), None)]),
    (lambda: api.decode_reply(b"\xaa", b"\xaa" + floats(35.0) + b"\x55"), [("temperature", "AA 00 00 0C 42", None)]),
    (lambda: api.decode_reply(b"\xaa", b"\xab" + floats(35.0)), [("temperature", "AB 00 00 0C 42", "malformed reply")]),
    (lambda: api.decode_reply(b"\x2a" + floats(0, 0, 0), b"\x2b\x00"), [("state", "2B 00", "malformed reply")]),
    (lambda: api.decode_reply(b"\x0c", b""), [("reply", "", "no reply")]),
    # handle messages: unknown bytes between messages, a message cut short
    (lambda: api.decode_messages(b"\xdf\x07\x00\x03\x42\x43\xd0\x00\x48\x64"),
     [("handle_error", "DF 07 00 03", None), ("stray", "42 43", "not a frame"),
      ("message", "D0 00 48 64", "short message")]),
]


@pytest.mark.parametrize("call, expected", CASES)
def test_every_byte_is_a_frame_or_flagged(call, expected):
    assert frames(call()) == expected


def test_decoded_values_and_what_follows_a_reply():
    reply = api.decode_reply(b"\xaa", b"\xaa" + floats(math.nan) + b"\x55")
    assert math.isnan(reply["fields"]["temperature"]) and reply["error"] is None  # the device's NaN is a value
    assert reply["trailing"] == "55"
    state_reply = api.decode_reply(b"\x1a" + floats(0, 0, 0), state(0x1B, 0.0, 0.5, 1.0, 0.25, 0.0, -0.5))
    assert state_reply["fields"] == {"joint_position": [0.0, 0.5, 1.0], "joint_velocity": [0.25, 0.0, -0.5]}
    with pytest.raises(ValueError, match="kind must be 'triaxon' or 'handle'"):
        api.decode_requests("arm", b"\x0a")
