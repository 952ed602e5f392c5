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


# -- the servo loop's life across threads and exit ------------------------

def run_child(code, *args):
    """A fresh interpreter; finished() turns a hang into TimeoutExpired."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([MODULE_DIR, FAKE_DIR, str(HERE)]))
    return subprocess.Popen([sys.executable, "-c", code, *args], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)


def finished(children, timeout=30):
    results = []
    try:
        for child in children:
            out, err = child.communicate(timeout=timeout)
            results.append((child.returncode, out, err))
    finally:
        for child in children:
            child.kill()
            child.communicate()
    return results


def last_force(captured):
    assert len(captured) % 13 == 0 and len(captured) >= 13
    return struct.unpack("<3f", captured[-12:])


STOPS_AT_ONCE = """
import sys, threading, TessaryHardwareAPI as api
loop = api.ServoLoop(api.Triaxon(api.SerialStream(sys.argv[1])), timeout=0.5)
loop.add(api.ConstantForce([1.0, 2.0, 3.0]))
for round in range(100):
    loop.start()
    barrier = threading.Barrier(4)
    def stop():
        barrier.wait()
        loop.stop()
        assert loop.state is api.ServoState.STOPPED, loop.state
    threads = [threading.Thread(target=stop) for _ in range(4)]
    for t in threads: t.start()
    for t in threads: t.join()
print("done")
"""


def test_stop_from_four_threads_at_once_never_hangs():
    with FakeDevice() as fake:
        fake.answer(0x2A, 13, STATE_REPLY)
        [(status, out, err)] = finished([run_child(STOPS_AT_ONCE, fake.path)])
        assert (status, out, err) == (0, "done\n", "")
        assert last_force(fake.captured_after(0.15)) == (0.0, 0.0, 0.0)


# A daemon thread is inside stop() (the zero force waits 150 ms for its
# reply) when the script ends.
EXIT_INSIDE_STOP = """
import sys, threading, time, TessaryHardwareAPI as api
loop = api.ServoLoop(api.Triaxon(api.SerialStream(sys.argv[1])), timeout=0.5)
loop.add(api.ConstantForce([1.0, 2.0, 3.0]))
loop.start()
threading.Thread(target=loop.stop, daemon=True).start()
while loop.state is not api.ServoState.STOPPING:
    time.sleep(0.001)
"""


def test_exit_while_a_daemon_thread_is_inside_stop_neither_hangs_nor_aborts():
    fakes = [FakeDevice() for _ in range(6)]
    try:
        for fake in fakes:
            for _ in range(40):
                fake.expect(13, STATE_REPLY, 0.15)
        results = finished([run_child(EXIT_INSIDE_STOP, fake.path) for fake in fakes])
        assert results == [(0, "", "")] * len(fakes)
        for fake in fakes:
            assert last_force(fake.captured_after(0.3)) == (0.0, 0.0, 0.0)
    finally:
        for fake in fakes:
            fake.close()


# While the exit hook stops the first loop (its zero force answered late),
# another thread drops the last reference to the second one.
EXIT_DROPS_A_LOOP = """
import atexit, sys, threading, time, TessaryHardwareAPI as api
loops = [api.ServoLoop(api.Triaxon(api.SerialStream(path)), timeout=0.5) for path in sys.argv[1:3]]
for loop in loops:
    loop.add(api.ConstantForce([1.0, 2.0, 3.0]))
    loop.start()
exiting = threading.Event()
atexit.register(exiting.set)  # runs just before the module's own hook
def drop():
    exiting.wait()
    time.sleep(0.05)  # the hook is now inside the first loop's stop
    loops.pop()
threading.Thread(target=drop, daemon=True).start()
"""


def test_the_exit_hook_holds_the_loops_it_stops():
    with FakeDevice() as first, FakeDevice() as second:
        second.answer(0x2A, 13, STATE_REPLY)
        first.answer(0x2A, 13, STATE_REPLY)
        # Held back until the script ends: then every reply comes 200 ms late.
        child = run_child(EXIT_DROPS_A_LOOP, first.path, second.path)
        threading.Event().wait(0.3)
        for _ in range(20):
            first.expect(13, STATE_REPLY, 0.2)
        [(status, out, err)] = finished([child])
        assert (status, err) == (0, "")
        assert last_force(first.captured_after(0.3)) == (0.0, 0.0, 0.0)
        assert last_force(second.captured_after(0.3)) == (0.0, 0.0, 0.0)


# A daemon thread starts a loop once exit has begun: refused, nothing sent.
START_AT_EXIT = """
import atexit, sys, threading
begun, done = threading.Event(), threading.Event()
atexit.register(lambda: (begun.set(), done.wait(5)))  # runs after the module's hook
import TessaryHardwareAPI as api
loop = api.ServoLoop(api.Triaxon(api.SerialStream(sys.argv[1])), timeout=0.5)
loop.add(api.ConstantForce([3.0, 0.0, 0.0]))
def late_start():
    begun.wait()
    try:
        loop.start()
        print("started", flush=True)
    except RuntimeError as refused:
        print(refused, flush=True)
    done.set()
threading.Thread(target=late_start, daemon=True).start()
"""


def test_a_loop_cannot_start_once_exit_has_begun():
    with FakeDevice() as fake:
        fake.answer(0x2A, 13, STATE_REPLY)
        [(status, out, err)] = finished([run_child(START_AT_EXIT, fake.path)])
        assert (status, out, err) == (0, "the interpreter is exiting: a ServoLoop cannot start now\n", "")
        assert fake.captured_after(0.15) == b""
