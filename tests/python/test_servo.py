"""The ServoLoop from Python: every way of stopping ends with zero force, a
failure is raised once, calls on its arm or stream are refused while it runs,
what it records, effects changed on the fly, and real-time refusal."""

import gc
import struct
import time

import numpy as np
import pytest

import TessaryHardwareAPI as api
from conftest import run_python
from support import state

REPLY = state(0x2B, 0.25, -0.5, 1.0, 2.0, 4.0, -8.0)  # exact in binary32
PUSH = (1.0, 2.0, 3.0)
ZERO = (0.0, 0.0, 0.0)


def forces(captured):
    assert len(captured) % 13 == 0, len(captured)
    frames = [captured[i:i + 13] for i in range(0, len(captured), 13)]
    assert all(frame[0] == 0x2A for frame in frames)
    return [struct.unpack("<3f", frame[1:]) for frame in frames]


@pytest.fixture
def answering(fake):
    fake.answer(0x2A, 13, REPLY)
    return fake


def running_loop(path, **options):
    arm = api.Triaxon(api.SerialStream(path))
    loop = api.ServoLoop(arm, timeout=0.2, **options)
    loop.add(api.ConstantForce(PUSH))
    return loop


def ticked(loop, n=20):
    """Waits until the loop has made n ticks (a busy machine ticks late, not
    less), or has stopped."""
    deadline = time.monotonic() + 5
    while loop.running and loop.stats()["ticks"] < n and time.monotonic() < deadline:
        time.sleep(0.002)


def stop_with_block(loop):
    with loop:
        ticked(loop)


def stop_with_exception(loop):
    with pytest.raises(KeyError):
        with loop:
            ticked(loop)
            raise KeyError("inside")


def stop_collected(loop):
    loop.start()
    ticked(loop)
    del loop
    gc.collect()


@pytest.mark.parametrize("stop", [stop_with_block, stop_with_exception, stop_collected])
def test_every_way_of_stopping_ends_with_zero_force(answering, stop):
    stop(running_loop(answering.path))
    sent = forces(answering.captured_after())
    assert len(sent) > 10 and sent[-2] == PUSH and sent[-1] == ZERO


def test_interpreter_exit_with_a_running_loop_ends_with_zero_force(answering):
    code = f"""
import TessaryHardwareAPI as api
from test_servo import running_loop
from test_servo import ticked
loop = running_loop({answering.path!r})
loop.start()
ticked(loop)
"""
    result = run_python(code)
    assert (result.returncode, result.stderr) == (0, "")
    sent = forces(answering.captured_after())
    assert len(sent) > 10 and sent[-2] == PUSH and sent[-1] == ZERO


def test_while_it_runs_the_arm_and_its_stream_are_refused(answering):
    loop = running_loop(answering.path)
    arm, stream = loop.arm, loop.arm.stream
    handle = api.Handle(stream)
    with loop:
        ticked(loop)
        for call in (lambda: arm.end_effector_force([0, 0, 0]), arm.get_temperature, stream.close, stream.reopen,
                     handle.RequestStatus, handle.Receive):
            with pytest.raises(RuntimeError, match="^a running ServoLoop drives this stream"):
                call()
    assert arm.end_effector_force([0, 0, 0]) == ([0.25, -0.5, 1.0], [2.0, 4.0, -8.0])
    assert set(forces(answering.captured_after())[1:-2]) == {PUSH}  # whole frames only


def test_a_silent_arm_fails_the_loop_within_its_timeout_and_the_failure_is_raised_once(fake):
    loop = api.ServoLoop(api.Triaxon(api.SerialStream(fake.path)), timeout=0.05)
    loop.start()
    deadline = time.monotonic() + 5
    while loop.running and time.monotonic() < deadline:  # the state, which raises nothing
        time.sleep(0.002)
    assert (loop.running, loop.state) == (False, api.ServoState.FAILED)
    assert isinstance(loop.error, TimeoutError)
    assert str(loop.error) == "[Errno 110] no reply from the arm within 50 ms; the servo loop stopped"
    assert loop.arm.stream.state is api.LinkState.TIMED_OUT
    with pytest.raises(TimeoutError) as raised:
        loop.stats()
    assert raised.value is loop.error
    assert loop.stats()["ticks"] == 0  # raised once, then the loop answers again
    assert forces(fake.captured_after()) == [ZERO, ZERO]  # the first tick, then the zero force anyway


def test_samples_latest_and_stats(answering):
    loop = running_loop(answering.path, rate=500.0)
    assert loop.latest() is None and len(loop.samples()) == 0
    with loop:
        ticked(loop, n=60)
        latest = loop.latest()
    samples = loop.samples()
    assert samples.dtype.names == ("t", "period", "position", "velocity", "force")
    assert samples["position"].shape == (len(samples), 3) and samples.dtype["t"] == np.float64
    assert samples["position"][-1].tolist() == [0.25, -0.5, 1.0]
    assert samples["velocity"][-1].tolist() == [2.0, 4.0, -8.0]
    assert samples["force"][0].tolist() == list(ZERO) and samples["force"][-1].tolist() == list(PUSH)
    assert (latest.position, latest.velocity, latest.force) == ((0.25, -0.5, 1.0), (2.0, 4.0, -8.0), PUSH)
    stats = loop.stats()
    assert set(stats) == {"ticks", "overruns", "dropped", "rate", "period_p50", "period_p99", "period_max",
                          "realtime", "realtime_error"}
    assert stats["ticks"] == len(samples) >= 60 and stats["dropped"] == 0
    assert stats["period_p50"] == pytest.approx(0.002, abs=0.0005) and stats["period_max"] >= stats["period_p99"]
    assert len(loop.samples()) == 0  # drained


def test_an_effect_changed_while_the_loop_runs_reaches_the_arm(answering):
    loop = running_loop(answering.path)
    (push,) = loop.effects
    with loop:
        ticked(loop)
        push.force = (0.5, 0.5, 0.5)
        ticked(loop, n=40)
        loop.remove(push)
        ticked(loop, n=60)
    sent = forces(answering.captured_after())
    changes = [f for i, f in enumerate(sent) if i == 0 or f != sent[i - 1]]
    assert changes == [ZERO, PUSH, (0.5, 0.5, 0.5), ZERO]


@pytest.mark.parametrize("make, error", [
    (lambda: api.Spring([0, 0], 1.0), "anchor must hold 3 numbers, got 2"),
    (lambda: api.Spring([0, 0, float("nan")], 1.0), "anchor must be finite"),
    (lambda: api.Damper(-1.0), "damping must be finite and not negative, got -1"),
    (lambda: api.Plane([0, 0, 0], [0, 0, 0], 1.0), "normal must not be zero"),
    (lambda: api.Box([1, 0, 0], [0, 1, 1], 1.0), "lower must not exceed upper on any axis"),
    (lambda: api.ServoLoop(api.Triaxon(api.SerialStream("/dev/null")), rate=50.0), "rate must be 100 to 10000 Hz"),
])
def test_bad_parameters_are_refused(make, error):
    with pytest.raises(ValueError, match=f"^{error}"):
        make()


def test_an_effect_belongs_to_one_loop(answering):
    first = running_loop(answering.path)
    second = api.ServoLoop(first.arm)
    spring = api.Spring(np.zeros(3), 100.0)
    assert first.add(spring) is spring
    with pytest.raises(ValueError, match="in this loop already"):
        first.add(spring)
    with pytest.raises(ValueError, match="in another loop"):
        second.add(spring)
    assert repr(spring) == "Spring(anchor=(0, 0, 0), stiffness=100.0, damping=0.0)"


def test_refused_real_time_scheduling_is_a_warning_and_in_the_stats(answering):
    # Without the right to real-time priority (root gives it up first).
    code = f"""
import os, warnings, TessaryHardwareAPI as api
arm = api.Triaxon(api.SerialStream({answering.path!r}))
if os.getuid() == 0:
    os.setuid(65534)
loop = api.ServoLoop(arm, timeout=0.2, realtime=True, priority=50)
with warnings.catch_warnings(record=True) as seen:
    warnings.simplefilter("always")
    loop.start()
loop.stop()
print([(w.category.__name__, str(w.message)) for w in seen])
print(loop.stats()["realtime"], loop.stats()["realtime_error"])
"""
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    warned, stats = result.stdout.splitlines()
    assert warned == ("[('RuntimeWarning', 'real-time scheduling (SCHED_FIFO, priority 50) was refused: [Errno 1] "
                      "Operation not permitted; the loop runs at normal priority (see ulimit -r and "
                      "docs/troubleshooting.md)')]")
    assert stats == "False [Errno 1] Operation not permitted"


# -- values the library refuses, and values it renders as they should be -----

INF, NAN = float("inf"), float("nan")


def set_attribute(make, name, value):
    def change():
        effect = make()
        before = repr(effect)
        try:
            setattr(effect, name, value)
        finally:
            assert repr(effect) == before  # a refused change changes nothing
    return change


@pytest.mark.parametrize("make, error", [
    (lambda: api.ConstantForce([INF, 0, 0]), "force must be finite"),
    (lambda: api.ConstantForce([0, -INF, 0]), "force must be finite"),
    (set_attribute(lambda: api.Spring([0, 0, 0], 1.0), "anchor", [0, NAN, 0]), "anchor must be finite"),
    (set_attribute(lambda: api.Spring([0, 0, 0], 1.0), "stiffness", -2.5),
     "stiffness must be finite and not negative, got -2.5"),
    (set_attribute(lambda: api.Sphere([0, 0, 0], 1.0, 1.0), "radius", INF),
     "radius must be finite and not negative, got inf"),
    (set_attribute(lambda: api.Plane([0, 0, 0], [0, 0, 1], 1.0), "normal", [0, 0, 0]), "normal must not be zero"),
    (set_attribute(lambda: api.Box([0, 0, 0], [1, 1, 1], 10.0), "lower", [2, 2, 2]),
     "lower must not exceed upper on any axis"),
    (set_attribute(lambda: api.Box([0, 0, 0], [1, 1, 1], 10.0), "upper", [1, -1, 1]),
     "lower must not exceed upper on any axis"),
    (lambda: api.Damper(1.0, lifetime=-1.0), "lifetime must be finite and not negative, got -1"),
    (lambda: api.Damper(1.0, lifetime=0.0), "lifetime must be above 0, or None"),
])
def test_every_bad_value_is_refused_where_it_is_given_or_changed(make, error):
    with pytest.raises(ValueError, match=f"^{error}$"):
        make()


def test_huge_and_tiny_values_render_as_they_should(answering):
    arm = api.Triaxon(api.SerialStream(answering.path))
    cases = [  # effects, max_force, the force sent from the second tick on
        ([api.ConstantForce([1e100, 0, 0])], 1e300, (3.4028234663852886e38, 0.0, 0.0)),  # the largest float
        ([api.ConstantForce([1e200, 1e200, 0])], 10.0, (7.071067810058594, 7.071067810058594, 0.0)),
        # A normal of length 1.4e-200 still makes a wall; the arm is 0.53 past it.
        ([api.Plane([1, 0, 1], [1e-200, 0, 1e-200], 10.0)], 100.0, (3.75, 0.0, 3.75)),
    ]
    for effects, max_force, expected in cases:
        loop = api.ServoLoop(arm, max_force=max_force, timeout=0.2)
        for effect in effects:
            loop.add(effect)
        before = len(answering.captured_after())
        with loop:
            ticked(loop, n=5)
        sent = forces(answering.captured_after()[before:])
        assert set(sent[1:-1]) == {expected} and sent[-1] == ZERO, effects


def test_an_effect_with_a_lifetime_stops_pushing_unless_renewed(answering):
    loop = running_loop(answering.path)
    (push,) = loop.effects
    loop.remove(push)
    held = loop.add(api.ConstantForce(PUSH, lifetime=0.2))
    assert repr(held) == "ConstantForce(force=(1, 2, 3), lifetime=0.2)" and held.lifetime == 0.2

    def until(condition):
        deadline = time.monotonic() + 5
        while not condition() and time.monotonic() < deadline:
            time.sleep(0.002)
        return condition()

    with loop:
        assert until(lambda: held.expired)
        ticked(loop, n=loop.stats()["ticks"] + 5)
        assert loop.latest().force == ZERO  # the servo thread let go of it
        held.renew()
        assert until(lambda: loop.latest().force == PUSH)
        held.lifetime = None
    assert held.lifetime is None and not held.expired
    sent = forces(answering.captured_after())
    changes = [f for i, f in enumerate(sent) if i == 0 or f != sent[i - 1]]
    assert changes == [ZERO, PUSH, ZERO, PUSH, ZERO]  # the last one: the loop's stop


# -- the loop's life ---------------------------------------------------------


def silent_failure(loop):
    loop.start()
    deadline = time.monotonic() + 5
    while loop.running and time.monotonic() < deadline:
        time.sleep(0.002)
    assert loop.state is api.ServoState.FAILED


def test_after_a_failure_start_raises_it_then_starts_clean_and_a_second_failure_is_raised(fake):
    loop = api.ServoLoop(api.Triaxon(api.SerialStream(fake.path)), timeout=0.05)
    silent_failure(loop)
    with pytest.raises(TimeoutError):
        loop.start()  # the failure first, without a stop() in between
    assert loop.arm.stream.reopen()
    fake.answer(0x2A, 13, REPLY)
    loop.start()
    ticked(loop)
    assert loop.running and loop.error is None
    fake.hang_up()
    deadline = time.monotonic() + 5
    while loop.running and time.monotonic() < deadline:
        time.sleep(0.002)
    with pytest.raises(OSError, match=r"^\[Errno 5\] the arm hung up; the servo loop stopped$"):
        loop.stop()


def test_an_exception_inside_the_block_comes_out_as_itself_even_when_the_loop_failed(fake):
    loop = api.ServoLoop(api.Triaxon(api.SerialStream(fake.path)), timeout=0.05)
    with pytest.raises(KeyError, match="inside"):
        with loop:
            deadline = time.monotonic() + 5
            while loop.running and time.monotonic() < deadline:
                time.sleep(0.002)
            raise KeyError("inside")
    assert isinstance(loop.error, TimeoutError)


def test_leaving_the_streams_block_stops_the_loop_with_zero_force_then_closes(answering):
    with api.SerialStream(answering.path) as stream:
        loop = api.ServoLoop(api.Triaxon(stream), timeout=0.2)
        loop.add(api.ConstantForce(PUSH))
        loop.start()
        ticked(loop)
    assert (loop.state, stream.is_open) == (api.ServoState.STOPPED, False)
    sent = forces(answering.captured_after())
    assert sent[-2:] == [PUSH, ZERO]


FORKED = """
import os, sys, time, warnings, TessaryHardwareAPI as api
warnings.simplefilter("ignore", DeprecationWarning)  # fork() beside the servo thread, on purpose
from test_servo import running_loop, ticked
loop = running_loop(sys.argv[1])
loop.start()
ticked(loop)
pid = os.fork()
if pid == 0:
    arm, stream = loop.arm, loop.arm.stream
    seen = [loop.state.name, stream.state.name]
    try:
        arm.device_wakeup()
        stream.close()
        loop.stop()
        seen.append("free")
    except RuntimeError as refused:
        seen.append(str(refused))
    print(seen, flush=True)
    os._exit(0)
os.waitpid(pid, 0)
print(loop.state.name)
loop.stop()
"""


def test_a_forked_child_sees_the_loop_stopped_and_its_stream_closed_and_free(answering):
    result = run_python(FORKED.replace("sys.argv[1]", repr(answering.path)))
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout.splitlines() == ["['STOPPED', 'CLOSED', 'free']", "RUNNING"]
    assert forces(answering.captured_after())[-1] == ZERO


# Objects whose __init__ never ran, and a second __init__: each call is
# refused with RuntimeError instead of reaching unconstructed memory or
# building a second object over the first.
UNCONSTRUCTED = """
import TessaryHardwareAPI as api
stream = api.SerialStream("/dev/null")
for name, call in [
    ("start", lambda: api.ServoLoop.__new__(api.ServoLoop).start()),
    ("stats", lambda: api.ServoLoop.__new__(api.ServoLoop).stats()),
    ("set", lambda: setattr(api.Spring.__new__(api.Spring), "stiffness", 2.0)),
    ("add", lambda: api.ServoLoop(api.Triaxon(stream)).add(api.Spring.__new__(api.Spring))),
    ("state", lambda: int(api.LinkState.__new__(api.LinkState))),
    ("loop again", lambda: (lambda l: l.__init__(api.Triaxon(stream)))(api.ServoLoop(api.Triaxon(stream)))),
    ("effect again", lambda: (lambda e: e.__init__([1, 2, 3]))(api.ConstantForce([0, 0, 0]))),
    ("member again", lambda: api.LinkState.OPEN.__init__(4)),
]:
    try:
        call()
        print(name, "accepted")
    except (RuntimeError, TypeError) as refused:
        print(name, type(refused).__name__, refused)
print(api.LinkState.OPEN.value)
"""


def test_unconstructed_objects_and_a_second_init_are_refused():
    result = run_python(UNCONSTRUCTED)
    assert result.returncode == 0, result.stderr
    m = "TessaryHardwareAPI"
    assert result.stdout.splitlines() == [
        f"start RuntimeError {m}.ServoLoop.__init__() was never called on this {m}.ServoLoop object",
        f"stats RuntimeError {m}.ServoLoop.__init__() was never called on this {m}.ServoLoop object",
        f"set RuntimeError {m}.Spring.__init__() was never called on this {m}.Spring object",
        "add RuntimeError Unable to cast from non-held to held instance (T& to Holder<T>) (#define "
        "PYBIND11_DETAILED_ERROR_MESSAGES or compile in debug mode for type information)",
        f"state RuntimeError {m}.LinkState.__init__() was never called on this {m}.LinkState object",
        f"loop again RuntimeError {m}.ServoLoop.__init__() was already called on this {m}.ServoLoop object",
        f"effect again RuntimeError {m}.ConstantForce.__init__() was already called on this {m}.ConstantForce "
        "object",
        f"member again RuntimeError {m}.LinkState.__init__() was already called on this {m}.LinkState object",
        "0",
    ]
