import json
import os
import time
import uuid

import pytest

import TessaryHardwareAPI as api
from conftest import run_python
from support import AT_ONCE, INSTANT, LATE_REPLY, Ticker, wakeup_reply

from simulator import dev_lock  # noqa: F401 (a fixture)

FUNCTIONS = [
    ("detect_triaxons", "detect available triaxon devices"),
    ("detect_handles", "detect available handles"),
    ("detect_wired_handles", "detect available wired handles"),
    ("detect_wireless_handles", "detect available wireless handles"),
]
MARKERS = ("ttyACM", "ttyUSB", "rfcomm")
ARM_INFO = wakeup_reply(range(0xA0, 0xB0), firmware=3)


def dev_candidates():
    return [name for name in os.listdir("/dev") if any(marker in name for marker in MARKERS)]


def test_functions_take_no_arguments():
    # Their place among the module's names is checked with the whole order.
    for name, doc in FUNCTIONS:
        function = getattr(api, name)
        assert function.__doc__ == f"{name}() -> list[str]\n\n{doc}\n"
        with pytest.raises(TypeError):
            function("/dev")


def test_without_candidates_every_function_returns_an_empty_list_at_once(dev_lock):
    if dev_candidates():
        pytest.skip("this machine has serial ports under /dev")
    start = time.monotonic()
    for name, _ in FUNCTIONS:
        result = getattr(api, name)()
        assert type(result) is list and result == []
    assert time.monotonic() - start < 5 * AT_ONCE


@pytest.mark.skipif(
    os.geteuid() != 0 or not os.access("/dev", os.W_OK), reason="needs root and a writable /dev"
)
def test_arm_behind_a_dev_link_is_found_while_the_lock_is_held(dev_lock, fake):
    # The arm answers late, so a ticking Python thread would get to run if
    # detection gave the interpreter lock away.
    fake.expect(1, ARM_INFO, delay=LATE_REPLY)
    link = f"/dev/ttyACM-tessary-test-{os.getpid()}-{uuid.uuid4().hex[:8]}"
    os.symlink(fake.path, link)
    try:
        # Detection holds the lock, so the fake must run in another process.
        child = run_python(
            """
import json, time
import TessaryHardwareAPI as api
from support import Ticker
with Ticker() as ticker:
    start = time.monotonic()
    arms = api.detect_triaxons()
    end = time.monotonic()
    others = api.detect_handles() + api.detect_wired_handles() + api.detect_wireless_handles()
print(json.dumps({
    "arms": arms,
    "types": [type(arm).__name__ for arm in arms],
    "others": others,
    "seconds": end - start,
    "ticks_inside": ticker.between(start + 0.02, end - 0.02),
}))
"""
        )
    finally:
        os.unlink(link)
    assert child.returncode == 0, child.stderr
    result = json.loads(child.stdout)
    resolved = os.path.realpath(fake.path)
    assert resolved in result["arms"]
    assert set(result["types"]) == {"str"}
    assert resolved not in result["others"]
    assert result["seconds"] >= LATE_REPLY * 0.9
    assert result["ticks_inside"] == 0
    assert fake.captured() == b"\x0a"  # only the arm detection probed the link


# Wake-up reply of a handle: the information message.
HANDLE_INFO = bytes([208, 100, 0x00, 0x48, 2, 1, 3])


@pytest.mark.parametrize("probe, reply, doc", [
    (api.probe_triaxon, ARM_INFO, "probe one port for a triaxon (waits up to 3 s)"),
    (api.probe_handle, HANDLE_INFO, "probe one port for a handle (waits up to 5 s)"),
])
def test_probing_one_port_gives_the_lock_away(fake, probe, reply, doc):
    assert probe.__doc__ == f"{probe.__name__}(port: str) -> bool\n\n{doc}\n"
    fake.expect(1, reply, delay=LATE_REPLY)
    with Ticker() as ticker:
        start = time.monotonic()
        found = probe(fake.path)
        end = time.monotonic()
    assert found is True
    assert fake.captured() == b"\x0a"
    assert ticker.between(start + INSTANT / 2, end - INSTANT / 2) >= 5
    assert probe("/nonexistent/ttyACM0") is False
    with pytest.raises(ValueError, match="embedded null byte"):
        probe(fake.path + "\0x")
    with pytest.raises(TypeError):
        probe(None)
