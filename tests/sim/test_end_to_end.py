"""The module against tessary-sim: what an unmodified script sees.

Each test starts its own virtual devices (fixture start_sim), opens their
ptys with SerialStream and drives them through Triaxon and Handle. The fault
tests check that every injected fault ends in the failure the library is
built to give: zero results (or -1 from Receive) after the 1000 ms read
budget, then a stream that stays at end-of-file, or error lines after a
hang-up.
"""

import math
import os
import pathlib
import re
import subprocess
import sys
import time
import uuid

import pytest

from simulator import Simulator, dev_lock  # noqa: F401 (a fixture)

MODULE_DIR = os.environ.get("TESSARY_MODULE_DIR",
                            str(pathlib.Path(__file__).resolve().parents[2] / "build" / "python"))
if MODULE_DIR not in sys.path:
    sys.path.insert(0, MODULE_DIR)

import TessaryHardwareAPI as api  # noqa: E402
from support import timed  # noqa: E402

ARM_ID = list(bytes.fromhex("7e551ac0510040008000000000000000"))
FIRMWARE_ID = b"tessary-sim 1.0\x00"
ZERO_STATE = ([0.0, 0.0, 0.0], [0.0, 0.0, 0.0])
ZERO_WAKEUP = (0, 0, 0, 0, [0] * 16)
ZERO_UUID = uuid.UUID(int=0)
PURE_STATUS = 'Tried to call pure virtual function "API::Devices::Handle::OnReceiveHandleStatusMessage"'

# The library waits 1000 ms for a reply; margins are generous for a busy machine.
TIMED_OUT = (0.9, 1.8)
AT_ONCE = 0.25


@pytest.fixture
def start_sim():
    """start_sim(*options) runs a tessary-sim for this test and returns it with
    its announcement lines parsed; each one is stopped (exit 0 checked) after."""
    running = []

    def start(*args):
        running.append(Simulator(*args).start())
        return running[-1]

    yield start
    for sim in running:
        sim.stop()


def assert_timed_out(seconds):
    assert TIMED_OUT[0] <= seconds <= TIMED_OUT[1], seconds


def open_arm(device):
    stream = api.SerialStream(device["pty"])
    return stream, api.Triaxon(stream)


def loop(method, request, seconds, period=0.001):
    """Calls method(request) about every period for seconds; the states seen."""
    states = []
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        states.append(method(request))
        time.sleep(period)
    return states


class Recorder(api.Handle):
    """A script's Handle subclass: notes every message it is told about."""

    def __init__(self, stream):
        super().__init__(stream)
        self.calls = []

    def OnReceiveHandleInfo(self, *args):
        self.calls.append(("info", args))

    def OnReceiveHandleStatusMessage(self, *args):
        self.calls.append(("status", args))

    def OnReceiveHandleErrorResponse(self, *args):
        self.calls.append(("error", args))


def open_handle(device, cls=Recorder):
    stream = api.SerialStream(device["pty"])
    return stream, cls(stream)


def error_lines(text):
    return [line for line in text.splitlines() if line.startswith("[err]")]


# --- the arm's identity and queries ------------------------------------------

class TestArmIdentity:
    def test_wakeup_identity_of_each_arm(self, start_sim):
        sim = start_sim("--triaxons", "2", "--handles", "0")
        for k, device in enumerate(sim.arms):
            stream, arm = open_arm(device)
            assert arm.device_wakeup() == (0x7100 + k, 4, 1, 5, ARM_ID[:15] + [k])
            info = arm.device_wakeup_dict()
            assert list(info) == ["device_id", "device_model_number", "hardware_version",
                                  "firmware_version", "device_id_ext"]
            assert info["device_id"] == 0x7100 + k
            assert info["device_id_ext"] == uuid.UUID(bytes=bytes(ARM_ID[:15] + [k]))
            assert arm.get_device_id() == info["device_id_ext"]

    def test_queries(self, start_sim):
        sim = start_sim("--handles", "0")
        stream, arm = open_arm(sim.arms[0])
        assert arm.get_firmware_version().bytes == FIRMWARE_ID
        assert 34.0 < arm.get_temperature() < 36.0
        assert arm.get_power_status() is True
        assert arm.get_device_orientation() == [1.0, 0.0, 0.0, 0.0]
        assert arm.get_motor_currents() == [0.0, 0.0, 0.0]  # nothing commanded yet

    def test_motor_currents_follow_the_last_command(self, start_sim):
        sim = start_sim("--handles", "0")
        stream, arm = open_arm(sim.arms[0])
        arm.end_effector_force([2.0, -1.0, 0.5])  # 0.5 A per N
        assert arm.get_motor_currents() == pytest.approx([1.0, -0.5, 0.25])
        arm.joint_torques([0.2, 0.0, -0.1])  # 5 A per N·m
        assert arm.get_motor_currents() == pytest.approx([1.0, 0.0, -0.5])


# --- control loops -------------------------------------------------------------

class TestControlLoop:
    def test_state_follows_the_applied_force(self, start_sim):
        sim = start_sim("--handles", "0")
        stream, arm = open_arm(sim.arms[0])
        # 1 N on 0.2 kg with 2 N·s/m damping: v -> 0.5 m/s with a 0.1 s time
        # constant; after 0.2 s about 0.43 m/s and 57 mm along the force.
        push = loop(arm.end_effector_force, [1.0, 0.0, -1.0], 0.2)
        (x, y, z), (vx, vy, vz) = push[-1]
        assert 0.03 < x < 0.07 and 0.3 < vx < 0.5
        assert (z, vz) == pytest.approx((-x, -vx), rel=1e-3)  # the mirror image
        assert (y, vy) == (0.0, 0.0)
        xs = [position[0] for position, _ in push]
        assert xs == sorted(xs) and xs[-1] > xs[0]

        # Reverse the force: the mass slows, turns and comes back (before it
        # would reach the far side of the box at x = -0.1).
        back = loop(arm.end_effector_force, [-3.0, 0.0, 0.0], 0.15)
        vxs = [velocity[0] for _, velocity in back]
        assert vxs[0] > 0.2 and vxs[-1] < -0.5
        assert -0.1 < back[-1][0][0] < max(p[0] for p, _ in back) - 0.01

    def test_workspace_box_stops_the_mass(self, start_sim):
        sim = start_sim("--handles", "0")
        stream, arm = open_arm(sim.arms[0])
        states = loop(arm.end_effector_force, [0.0, 20.0, 0.0], 0.3)
        assert max(p[1] for p, _ in states) <= 0.1 + 1e-6
        (_, y, _), (_, vy, _) = states[-1]
        assert y == pytest.approx(0.1) and vy == 0.0

    def test_position_request_pulls_to_the_target(self, start_sim):
        sim = start_sim("--handles", "0")
        stream, arm = open_arm(sim.arms[0])
        target = [0.05, -0.03, 0.02]
        position, velocity = loop(arm.end_effector_position, target, 0.6)[-1]
        assert position == pytest.approx(target, abs=0.002)
        assert max(abs(v) for v in velocity) < 0.05
        # The position servo held it there: a zero force leaves it in place.
        assert arm.end_effector_force([0.0, 0.0, 0.0])[0] == pytest.approx(target, abs=0.002)

    def test_joint_angle_request_reaches_the_angles(self, start_sim):
        sim = start_sim("--handles", "0")
        stream, arm = open_arm(sim.arms[0])
        start, rates = arm.joint_torques([0.0, 0.0, 0.0])
        assert rates == [0.0, 0.0, 0.0]
        target = [start[0] + 0.2, start[1] + 0.1, start[2] - 0.15]
        angles, rates = loop(arm.joint_angles, target, 0.6)[-1]
        assert angles == pytest.approx(target, abs=0.01)
        assert max(abs(r) for r in rates) < 0.1
        # The end effector moved with the joints.
        position, _ = arm.end_effector_force([0.0, 0.0, 0.0])
        assert math.dist(position, [0.0, 0.0, 0.0]) > 0.02


# --- the handle's messages -------------------------------------------------------

class TestHandleMessages:
    def test_info_then_status_echoing_the_user_data(self, start_sim):
        sim = start_sim("--triaxons", "0")
        stream, handle = open_handle(sim.handles[0])
        handle.SendDeviceWakeup()
        assert handle.Receive() == 6
        assert handle.calls == [("info", (100, 0x4800, 2, 1, 3))]

        handle.SendHandleState(0x4800, 1, 0x5A)
        handle.RequestStatus()
        assert handle.Receive() == 22
        kind, (device_id, quaternion, error_flag, hall, length, data) = handle.calls[-1]
        assert (kind, device_id, error_flag, hall, length, data) == ("status", 0x4800, 0, 128, 1, [0x5A])
        assert len(quaternion) == 4 and math.fsum(q * q for q in quaternion) == pytest.approx(1.0, abs=1e-6)

        handle.SendHandleState(0x4800)  # no user data
        handle.RequestStatus()
        assert handle.Receive() == 21
        assert handle.calls[-1][1][4:] == (0, [])

    def test_quaternion_turns_slowly(self, start_sim):
        sim = start_sim("--triaxons", "0")
        stream, handle = open_handle(sim.handles[0])
        turns = []
        for _ in range(2):
            handle.RequestStatus()
            assert handle.Receive() == 21
            turns.append(handle.calls[-1][1][1])
            time.sleep(0.2)
        first, second = turns
        assert first != second
        angle = 2 * math.acos(min(1.0, abs(sum(a * b for a, b in zip(first, second)))))
        assert 0.0 < angle < 0.5  # slowly: well under half a radian in 0.2 s

    def test_unknown_command_gets_an_error_response(self, start_sim):
        sim = start_sim("--triaxons", "0")
        stream, handle = open_handle(sim.handles[0])
        # The module sends only known commands: put a stray byte on the line.
        fd = os.open(sim.handles[0]["pty"], os.O_WRONLY | os.O_NOCTTY)
        try:
            os.write(fd, b"\x55")
        finally:
            os.close(fd)
        assert handle.Receive() == 3
        assert handle.calls == [("error", (0x4800, 1))]

    def test_subclasses_without_overrides(self, start_sim):
        sim = start_sim("--triaxons", "0", "--handles", "2", "--wireless")
        assert [d["link"] for d in sim.handles] == [None, None]
        stream, plain = open_handle(sim.handles[0], api.Handle)
        plain.SendHandleState(0, 1, 7)
        plain.RequestStatus()
        assert plain.Receive() == 22  # consumed, nothing to call

        class InfoOnly(api.Handle):
            def OnReceiveHandleInfo(self, *args):
                self.info = args

        stream2, handle = open_handle(sim.handles[1], InfoOnly)
        handle.RequestStatus()
        with pytest.raises(RuntimeError, match=re.escape(PURE_STATUS)):
            handle.Receive()
        handle.SendDeviceWakeup()  # the status message was consumed all the same
        assert handle.Receive() == 6 and handle.info == (100, 0x4801, 2, 1, 3)


# --- detection ---------------------------------------------------------------

@pytest.mark.skipif(os.geteuid() != 0 or not os.access("/dev", os.W_OK),
                    reason="needs root and a writable /dev")
def test_detection_finds_the_virtual_devices_in_dev(dev_lock, start_sim):
    wired = start_sim("--triaxons", "2", "--handles", "1", "--link", "/dev")
    wireless = start_sim("--triaxons", "0", "--handles", "1", "--wireless", "--link", "/dev")
    assert [d["link"] for d in wired.devices + wireless.devices] == [
        "/dev/ttyACM-sim0", "/dev/ttyACM-sim1", "/dev/ttyUSB-sim0", "/dev/rfcomm-sim0"]
    arms = [d["pty"] for d in wired.arms]
    usb, rfcomm = wired.handles[0]["pty"], wireless.handles[0]["pty"]
    mine = set(arms + [usb, rfcomm])

    def found(detect):
        # Other ports of this machine may answer too; look at ours only.
        return [p for p in detect() if p in mine]

    assert sorted(found(api.detect_triaxons)) == sorted(arms)  # as resolved pty paths
    assert found(api.detect_wired_handles) == [usb]
    assert found(api.detect_wireless_handles) == [rfcomm]
    assert sorted(found(api.detect_handles)) == sorted([usb, rfcomm])

    stream, arm = open_arm({"pty": "/dev/ttyACM-sim1"})  # the link name works as a port
    assert arm.device_wakeup()[0] == 0x7101

    wireless.stop()
    assert not os.path.lexists("/dev/rfcomm-sim0")
    assert found(api.detect_handles) == [usb]


# --- fault injection -----------------------------------------------------------

class TestFaults:
    def test_dropped_reply_times_out_then_the_stream_stays_failed(self, start_sim):
        sim = start_sim("--handles", "0", "--drop-every", "3")
        stream, arm = open_arm(sim.arms[0])
        assert arm.device_wakeup()[0] == 0x7100
        assert arm.get_power_status() is True
        temperature, seconds = timed(arm.get_temperature)  # request 3: no reply
        assert temperature == 0.0
        assert_timed_out(seconds)
        # At end-of-file now: zeros at once, and nothing reaches the device.
        for _ in range(2):
            state, seconds = timed(arm.end_effector_force, [1.0, 0.0, 0.0])
            assert state == ZERO_STATE and seconds < AT_ONCE
        # A new stream starts afresh. Had the two calls above been sent, this
        # would be request 6, dropped as well. The old stream gives the port up
        # first: a port has one owner at a time.
        del stream, arm
        stream, arm = open_arm(sim.arms[0])
        assert arm.device_wakeup()[0] == 0x7100

    def test_dropped_handle_message_gives_minus_one(self, start_sim):
        sim = start_sim("--triaxons", "0", "--drop-every", "1")
        stream, handle = open_handle(sim.handles[0])
        handle.SendDeviceWakeup()
        count, seconds = timed(handle.Receive)
        assert count == -1
        assert_timed_out(seconds)
        count, seconds = timed(handle.Receive)
        assert count == -1 and seconds < AT_ONCE
        assert handle.calls == []

    def test_truncated_reply_gives_zeros(self, start_sim):
        sim = start_sim("--handles", "0", "--truncate-every", "2")
        stream, arm = open_arm(sim.arms[0])
        assert arm.device_wakeup()[0] == 0x7100
        state, seconds = timed(arm.end_effector_force, [1.0, 0.0, 0.0])  # 12 of 25 bytes
        assert state == ZERO_STATE
        assert_timed_out(seconds)
        identifier, seconds = timed(arm.get_device_id)
        assert identifier == ZERO_UUID and seconds < AT_ONCE

    def test_truncated_status_counts_nothing(self, start_sim):
        sim = start_sim("--triaxons", "0", "--truncate-every", "2")
        stream, handle = open_handle(sim.handles[0])
        handle.SendDeviceWakeup()
        assert handle.Receive() == 6
        handle.RequestStatus()  # 11 of 22 bytes
        count, seconds = timed(handle.Receive)
        assert count == 0  # the short read counts nothing
        assert_timed_out(seconds)
        count, seconds = timed(handle.Receive)
        assert count == -1 and seconds < AT_ONCE

    def test_wrong_header_is_discarded_then_the_stream_stays_failed(self, start_sim):
        sim = start_sim("--handles", "0", "--wrong-header-every", "2")
        stream, arm = open_arm(sim.arms[0])
        assert arm.device_wakeup()[0] == 0x7100
        state, seconds = timed(arm.end_effector_force, [1.0, 0.0, 0.0])  # header AB, not 2B
        assert state == ZERO_STATE
        assert_timed_out(seconds)  # the discard read waits out the budget
        wakeup, seconds = timed(arm.device_wakeup)
        assert wakeup == ZERO_WAKEUP and seconds < AT_ONCE

    def test_wrong_handle_header_leaves_the_payload_unread(self, start_sim):
        sim = start_sim("--triaxons", "0", "--wrong-header-every", "1")
        stream, handle = open_handle(sim.handles[0])
        handle.SendDeviceWakeup()  # D0 arrives as 50
        for _ in range(7):
            count, seconds = timed(handle.Receive)
            assert count == -1 and seconds < AT_ONCE
        # No resynchronisation: the 6 payload bytes were each read as a
        # header; only then does the line go quiet.
        count, seconds = timed(handle.Receive)
        assert count == -1
        assert_timed_out(seconds)
        assert handle.calls == []

    def test_delay_within_the_read_budget_is_only_slower(self, start_sim):
        sim = start_sim("--delay-us", "150000")
        stream, arm = open_arm(sim.arms[0])
        wakeup, seconds = timed(arm.device_wakeup)
        assert wakeup[0] == 0x7100 and 0.15 <= seconds < 0.8
        hstream, handle = open_handle(sim.handles[0])
        handle.SendDeviceWakeup()
        count, seconds = timed(handle.Receive)
        assert count == 6 and 0.15 <= seconds < 0.8

    def test_delay_beyond_the_read_budget_fails_for_good(self, start_sim):
        sim = start_sim("--handles", "0", "--delay-us", "1300000")
        stream, arm = open_arm(sim.arms[0])
        wakeup, seconds = timed(arm.device_wakeup)
        assert wakeup == ZERO_WAKEUP
        assert_timed_out(seconds)
        time.sleep(0.5)  # the late reply has arrived by now, unread
        state, seconds = timed(arm.end_effector_force, [1.0, 0.0, 0.0])
        assert state == ZERO_STATE and seconds < AT_ONCE

    def test_hangup_gives_write_errors_and_zeros(self, start_sim, capfd):
        sim = start_sim("--hangup-after", "2")
        stream, arm = open_arm(sim.arms[0])
        hstream, handle = open_handle(sim.handles[0])
        assert arm.device_wakeup()[0] == 0x7100
        assert arm.get_power_status() is True
        handle.SendDeviceWakeup()
        handle.RequestStatus()
        assert handle.Receive() == 6 and handle.Receive() == 21
        deadline = time.monotonic() + 3.0
        while any(os.path.exists(d["pty"]) for d in sim.devices):
            assert time.monotonic() < deadline, "the devices did not hang up"
            time.sleep(0.02)
        capfd.readouterr()

        state, seconds = timed(arm.end_effector_force, [1.0, 0.0, 0.0])
        assert state == ZERO_STATE and seconds < AT_ONCE
        lines = error_lines(capfd.readouterr().err)
        # One line says so; the stream then fails at once and quietly, and its state tells.
        assert len(lines) == 1 and re.fullmatch(
            r"\[err\] Library/src/Device\.cpp:\d+> unable to write '13' bytes to stream: "
            r"\[5\] Input/output error", lines[0]), lines
        assert arm.get_temperature() == 0.0
        assert error_lines(capfd.readouterr().err) == []
        assert stream.state == api.LinkState.HUNG_UP

        handle.RequestStatus()
        count, seconds = timed(handle.Receive)
        assert count == -1 and seconds < AT_ONCE
        lines = error_lines(capfd.readouterr().err)
        assert len(lines) == 1 and "unable to write '1' bytes to stream: [5] Input/output error" in lines[0], lines
        assert [kind for kind, _ in handle.calls] == ["info", "status"]


# --- examples ------------------------------------------------------------------

def test_servo_wall_prints_where_the_push_settles_and_warns_a_held_up_loop(start_sim, tmp_path):
    # Replies 1.5 ms late: the 1 kHz loop cannot keep its beat.
    sim = start_sim("--handles", "0", "--delay-us", "1500")
    example = pathlib.Path(__file__).resolve().parents[2] / "examples" / "servo_wall.py"
    done = subprocess.run([sys.executable, str(example), sim.arms[0]["pty"], "--seconds", "0.3", "--push", "2",
                           "--plot", str(tmp_path / "plot.png")],
                          capture_output=True, text=True, timeout=30, env=dict(os.environ, PYTHONPATH=MODULE_DIR))
    assert done.returncode == 0, done.stderr
    assert "inside the wall (a 2 N push on 1000 N/m settles at 2.00 mm)\n" in done.stdout
    assert re.search(r"^warning: the ServoLoop was held up \(\d+ Hz, period p99 \d+\.\d\d ms\)", done.stdout, re.M)
