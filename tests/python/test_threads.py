"""One stream used from several threads, across a fork and at interpreter
exit. `make asan-test` runs this file against the AddressSanitizer build of
the module too."""

import os
import struct
import subprocess
import sys
import threading

import TessaryHardwareAPI as api
from conftest import FAKE_DIR, HERE, MODULE_DIR
from support import state
from tessary_fake import FakeDevice

STATE_REPLY = state(0x2B, 1, 2, 3, 4, 5, 6)
STATUS = b"\xda" + struct.pack("<HBB4fB", 1, 0, 0, 1.0, 0.0, 0.0, 0.0, 0)


class Quiet(api.Handle):
    def OnReceiveHandleStatusMessage(self, *args):
        pass


def run_until(stop, step):
    while not stop.is_set():
        step()


def test_close_and_reopen_from_another_thread_while_loops_run(tmp_path):
    # 200 of each beside an arm loop and a handle loop: no freed buffer is
    # used, and no byte goes to the descriptor number a closed port had.
    with FakeDevice() as arm_fake, FakeDevice() as handle_fake:
        arm_fake.answer(0x2A, 13, STATE_REPLY)
        handle_fake.answer(0xDA, 1, STATUS)
        arm_stream, handle_stream = api.SerialStream(arm_fake.path), api.SerialStream(handle_fake.path)
        arm, handle = api.Triaxon(arm_stream), Quiet(handle_stream)

        def handle_step():
            handle.RequestStatus()
            handle.Receive()

        stop = threading.Event()
        loops = [threading.Thread(target=run_until, args=(stop, step))
                 for step in (lambda: arm.end_effector_force([0.0, 0.0, 1.0]), handle_step)]
        for loop in loops:
            loop.start()
        stray = tmp_path / "stray"
        try:
            for i in range(200):
                for stream in (arm_stream, handle_stream):
                    stream.close()
                    # Most likely the number the port just had.
                    fd = os.open(stray, os.O_WRONLY | os.O_CREAT | os.O_APPEND)
                    threading.Event().wait(0.001)
                    os.close(fd)
                    assert stream.reopen(), i
        finally:
            stop.set()
            for loop in loops:
                loop.join()
        assert stray.stat().st_size == 0
        assert arm.end_effector_force([0.0, 0.0, 1.0]) == ([1.0, 2.0, 3.0], [4.0, 5.0, 6.0])


LOOP_AT_EXIT = """
import sys, threading, TessaryHardwareAPI as api
from tessary_fake import FakeDevice
from test_threads import STATE_REPLY, STATUS, Quiet
fake = FakeDevice()
stream = api.SerialStream(fake.path)
if sys.argv[1] == "arm":
    fake.answer(0x2A, 13, STATE_REPLY)
    arm = api.Triaxon(stream)
    def loop():
        while True:
            arm.end_effector_force([0.0, 0.0, 0.0])
else:
    fake.answer(0xDA, 1, STATUS)
    handle = Quiet(stream)  # a Python callback on every message
    def loop():
        while True:
            handle.RequestStatus()
            handle.Receive()
threading.Thread(target=loop, daemon=True).start()
threading.Event().wait(0.05)
sys.exit(0)
"""


def test_exit_with_a_daemon_thread_inside_a_call_does_not_abort():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([MODULE_DIR, FAKE_DIR, str(HERE)]))
    children = [subprocess.Popen([sys.executable, "-c", LOOP_AT_EXIT, kind], env=env, stderr=subprocess.PIPE,
                                 text=True) for kind in ("arm", "handle") for _ in range(4)]
    results = [(child.wait(timeout=30), child.stderr.read()) for child in children]
    for child in children:
        child.stderr.close()
    assert results == [(0, "")] * len(children)


def test_a_callback_called_from_another_thread_dispatches_while_one_runs(fake, stream):
    entered, release = threading.Event(), threading.Event()
    calls = []

    class Slow(api.Handle):
        def OnReceiveHandleStatusMessage(self, device_id, *args):
            calls.append(("status", device_id))
            if device_id == 1:  # the message Receive delivers: hold it open
                entered.set()
                release.wait(5)

        def OnReceiveHandleInfo(self, tool_data_remaining, device_id, *args):
            calls.append(("info", device_id))

    handle = Slow(stream)
    fake.send(STATUS)
    receiver = threading.Thread(target=handle.Receive)
    receiver.start()
    try:
        assert entered.wait(5)
        api.Handle.OnReceiveHandleStatusMessage(handle, 2, 0.5, 0, 0, 0, 0)
        api.Handle.OnReceiveHandleInfo(handle, 0, 3, 0, 0, 0)
    finally:
        release.set()
        receiver.join()
    assert calls == [("status", 1), ("status", 2), ("info", 3)]
