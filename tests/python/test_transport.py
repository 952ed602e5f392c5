"""What a script sees of the serial transport when things go wrong: signals
during a control loop, a second owner of the port, pyserial beside it."""

import json
import os
import re
import signal
import threading
import time
import uuid

import pytest
import serial

import TessaryHardwareAPI as api
from conftest import run_python

from simulator import Simulator, dev_lock  # noqa: F401 (a fixture)

# Pushed along x, the simulated arm comes to rest against its stop at x = 0.1,
# so every answered exchange reports a non-zero position and a lost one zeros.
PUSH = [0.5, 0.0, 0.0]


def busy_lines(port):
    """The two lines of a refused open, as the library prints them."""
    line = r"\[err\] Library/src/SerialStream\.cpp:\d+> unable to open {} '{}': \[16\] Device or resource busy\n"
    return re.compile(line.format("port", re.escape(port)) + line.format("stream", re.escape(port)))


@pytest.fixture
def port():
    """The port of a simulated arm."""
    with Simulator("--handles", "0") as sim:
        yield sim.arms[0]["pty"]


def open_arm(port):
    """(stream, Triaxon) on the port, with the arm pushed to rest against its stop."""
    stream = api.SerialStream(port)
    triaxon = api.Triaxon(stream)
    end = time.monotonic() + 0.3
    while time.monotonic() < end:
        triaxon.end_effector_force(PUSH)
    return stream, triaxon


def drive(triaxon, seconds):
    """Free-running exchanges for `seconds`: (exchanges, replies lost)."""
    count = lost = 0
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        position, _ = triaxon.end_effector_force(PUSH)
        count += 1
        lost += position[0] == 0.0
    return count, lost


def test_a_signal_every_millisecond_costs_no_exchange(port):
    stream, triaxon = open_arm(port)
    fired = 0

    def on_alarm(signum, frame):
        nonlocal fired
        fired += 1

    # Python installs its handlers without SA_RESTART: every system call the
    # library is in when the timer fires fails with EINTR.
    previous = signal.signal(signal.SIGALRM, on_alarm)
    signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
    try:
        count, lost = drive(triaxon, 3.0)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert fired > 1000
    assert count > 3000
    assert lost == 0
    assert stream.good


@pytest.mark.skipif(
    os.geteuid() != 0 or not os.access("/dev", os.W_OK), reason="needs root and a writable /dev"
)
def test_detection_elsewhere_passes_over_a_port_in_use(dev_lock, port):
    stream, triaxon = open_arm(port)
    link = f"/dev/ttyACM-tessary-test-{os.getpid()}-{uuid.uuid4().hex[:8]}"
    os.symlink(port, link)
    done = threading.Event()
    results = []

    def loop():
        while not done.is_set():
            results.append(drive(triaxon, 0.05))

    driver = threading.Thread(target=loop)
    driver.start()
    try:
        child = run_python("import json, TessaryHardwareAPI as api; print(json.dumps(api.detect_triaxons()))")
    finally:
        done.set()
        driver.join()
        os.unlink(link)
    assert sum(lost for _, lost in results) == 0
    assert sum(count for count, _ in results) > 10  # the loop ran meanwhile (a busy machine runs it slowly)
    assert child.returncode == 0, child.stderr
    assert os.path.realpath(port) not in json.loads(child.stdout)
    assert re.search(
        rf"unable to open port '{re.escape(os.path.realpath(port))}': \[16\] Device or resource busy\n",
        child.stderr,
    ), child.stderr


def test_pyserial_exclusive_and_the_library_keep_each_other_out(port, capfd):
    stream, triaxon = open_arm(port)
    with pytest.raises(serial.SerialException, match="Could not exclusively lock port"):
        serial.Serial(port, 115200, exclusive=True)
    assert drive(triaxon, 0.1)[1] == 0

    del triaxon, stream  # gives the port up
    capfd.readouterr()
    with serial.Serial(port, 115200, exclusive=True):
        refused = api.SerialStream(port)
        assert busy_lines(port).fullmatch(capfd.readouterr().err)
        del refused
    taken = api.SerialStream(port)
    assert drive(api.Triaxon(taken), 0.1)[1] == 0
    assert capfd.readouterr().err == ""


def test_a_second_process_is_refused_with_ebusy(port):
    stream, triaxon = open_arm(port)
    code = f"import TessaryHardwareAPI as api; stream = api.SerialStream({port!r})"
    child = run_python(code)
    assert child.returncode == 0
    assert busy_lines(port).fullmatch(child.stderr), child.stderr
    assert drive(triaxon, 0.1)[1] == 0
