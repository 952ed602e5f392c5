"""tessary record, decode and --replay against tessary-sim: what a program
sees through the recorder's link, what the capture holds, and what its replay
answers. Each recorder and replay runs as a child process with a time-out."""

import json
import os
import pathlib
import signal
import subprocess
import sys
import time

import pytest

from simulator import Simulator

ROOT = pathlib.Path(__file__).resolve().parents[2]
MODULE_DIR = os.environ.get("TESSARY_MODULE_DIR", str(ROOT / "build" / "python"))
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join([MODULE_DIR, str(ROOT / "python")]))
if MODULE_DIR not in sys.path:
    sys.path.insert(0, MODULE_DIR)

from tessary.decode import decode  # noqa: E402
from tessary.record import FLUSH_S, read_capture, write_samples  # noqa: E402

ARM_INFO_FRAMES = ["wakeup", "device_id", "firmware_version", "temperature", "power_status", "orientation",
                   "motor_currents"]


def run(*args, timeout=20):
    return subprocess.run([sys.executable, *map(str, args)], capture_output=True, text=True, timeout=timeout,
                          env=ENV)


def arm_info(port):
    """arm_info's output, its port name taken out so that two ports compare."""
    done = run(ROOT / "examples" / "arm_info.py", port)
    assert done.returncode == 0, done.stderr
    return done.stdout.replace(str(port), "PORT")


class Recorder:
    """`tessary record` in a session of its own (so that its writer can be killed with it)."""

    def __init__(self, port, tmp, *options):
        self.link, self.output = tmp / "link", tmp / "capture.mcap"
        self.proc = subprocess.Popen([sys.executable, "-m", "tessary", "record", port, "--link", self.link,
                                      "-o", self.output, *options], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     text=True, env=ENV, start_new_session=True)
        self.announced = json.loads(self.proc.stdout.readline())

    def stop(self, sig=signal.SIGINT):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, sig)
        _, err = self.proc.communicate(timeout=10)
        return self.proc.returncode, err


@pytest.fixture(scope="module")
def arm_capture(tmp_path_factory):
    """arm_info run directly, then through the recorder; the capture."""
    tmp = tmp_path_factory.mktemp("arm")
    with Simulator(triaxons=1, handles=0) as sim:
        direct = arm_info(sim.ports[0])
        rec = Recorder(sim.ports[0], tmp)
        through = arm_info(rec.link)
        status, err = rec.stop()
    assert status == 0, err
    assert "stopped by SIGINT" in err and not rec.link.exists()
    return direct, through, rec.output


def test_arm_info_through_the_recorder_is_as_direct(arm_capture):
    direct, through, _ = arm_capture
    assert through == direct and "model             4" in direct


def test_decode_lists_every_frame_of_the_capture(arm_capture):
    capture = read_capture(arm_capture[2])
    rows = decode(capture)
    requests = [r for r in rows if r.direction == "request"]
    replies = [r for r in rows if r.direction == "reply"]
    assert [r.name for r in requests] == ARM_INFO_FRAMES
    assert [r.name for r in replies] == ["device_info"] + ARM_INFO_FRAMES[1:]
    assert not any(r.error for r in rows) and not capture.truncated
    assert all(r.latency_us > 0 for r in replies)
    # Nothing left out: the frames are the bytes of the capture, both ways.
    for direction, rows_one_way in ((0, requests), (1, replies)):
        assert " ".join(r.hex for r in rows_one_way) == capture.stream(direction)[0].hex(" ").upper()
    assert replies[0].fields["device_model_number"] == 4
    assert capture.metadata["tessary.device"]["device_id"] == str(0x7100)
    assert capture.kind == "triaxon"  # from the answer: the pty's name does not tell


def test_decode_writes_json_channels(arm_capture, tmp_path):
    from mcap.reader import make_reader

    done = run("-m", "tessary", "decode", arm_capture[2], "-o", tmp_path / "decoded.mcap")
    assert done.returncode == 0 and done.stderr == f"{tmp_path / 'decoded.mcap'}: 14 messages\n", done.stderr
    with open(tmp_path / "decoded.mcap", "rb") as f:
        reader = make_reader(f)
        summary = reader.get_summary()
        topics = {c.topic: (c.message_encoding, summary.schemas[c.schema_id].encoding) for c in summary.channels.values()}
        state = [json.loads(m.data) for _, c, m in reader.iter_messages() if c.topic == "/triaxon/reply/temperature"]
    assert len(topics) == 14 and set(topics.values()) == {("json", "jsonschema")}
    assert state[0]["temperature"] == pytest.approx(35.0, abs=0.1) and state[0]["latency_us"] > 0


@pytest.mark.parametrize("timing", ["asap", "recorded"])
def test_replay_reproduces_arm_info(arm_capture, timing):
    with Simulator(replay=arm_capture[2], timing=timing) as sim:
        assert arm_info(sim.ports[0]) == arm_capture[1]


def test_tessary_sim_replay_goes_to_the_package(arm_capture, tmp_path):
    # The C++ tessary-sim hands --replay to the tessary command on PATH.
    shim = tmp_path / "tessary"
    shim.write_text(f"#!/bin/sh\nexec {sys.executable} -m tessary \"$@\"\n")
    shim.chmod(0o755)
    sim = Simulator(replay=arm_capture[2], link=tmp_path / "links", hang_up_at_end=True,
                    binary=os.environ.get("TESSARY_SIM") or str(ROOT / "build" / "sim" / "tessary-sim"))
    sim.env = dict(ENV, PATH=f"{tmp_path}:{os.environ['PATH']}")
    with sim:
        assert sim.ports == [str(tmp_path / "links" / "ttyACM-sim0")]
        # The last reply, then a hang-up instead of silence.
        after = run("-c", "import sys, TessaryHardwareAPI as api\n"
                          "s = api.SerialStream(sys.argv[1]); a = api.Triaxon(s)\n"
                          "print(a.device_wakeup()[1], a.get_device_id(), a.get_firmware_version(), a.get_temperature(),"
                          " a.get_power_status(), a.get_device_orientation(), a.get_motor_currents())\n"
                          "a.get_temperature(); print(s.state.name)", sim.ports[0])
        assert after.stdout.split()[-1] == "HUNG_UP" and after.stdout.startswith("4 7e551ac0-"), after.stderr
        assert sim.proc.wait(5) == 0


# Either way the temperature reads 0.0: a hang-up, or the wake-up's reply.
@pytest.mark.parametrize("on_divergence, status, state", [("stop", 1, "HUNG_UP"), ("continue", 0, "TIMED_OUT")])
def test_a_changed_request_is_a_divergence(arm_capture, on_divergence, status, state):
    sim = Simulator(replay=arm_capture[2], timing="asap", on_divergence=on_divergence).start()
    try:
        # The temperature asked first, where the capture has the wake-up.
        done = run("-c", "import sys, TessaryHardwareAPI as api\n"
                         "s = api.SerialStream(sys.argv[1]); print(api.Triaxon(s).get_temperature(), s.state.name)",
                   sim.ports[0])
        if on_divergence == "stop":
            sim.proc.wait(5)
    finally:
        stopped = sim.stop(check=False)
    assert done.stdout.split() == ["0.0", state]
    assert stopped == status
    assert "tessary-sim: divergence at request 0: expected 0A, received AA\n" in sim.stderr


def test_a_control_loop_runs_through_the_recorder(tmp_path):
    with Simulator(triaxons=1, handles=0) as sim:
        rec = Recorder(sim.ports[0], tmp_path)
        done = run(ROOT / "examples" / "haptic_wall.py", rec.link, "--seconds", "0.3", "--push", "3",
                   "--plot", tmp_path / "wall.png")
        assert rec.stop()[0] == 0
    assert done.returncode == 0, done.stderr
    loop = int(done.stdout.split(" exchanges in ")[0])  # the loop's own count (late ticks are skipped)
    rows = decode(read_capture(rec.output))
    names = [r.name for r in rows if not r.error]
    # Every force request answered by a state reply: the start, the loop's, the zero force at the end.
    assert names.count("force") == names.count("state") == loop + 2 and len(names) == len(rows)
    pushed = [r.fields["force"][2] for r in rows if r.name == "force"]
    assert min(pushed) < -2.9  # the push went through unchanged


def test_a_killed_recorder_leaves_a_readable_file(tmp_path):
    with Simulator(triaxons=1, handles=0) as sim:
        rec = Recorder(sim.ports[0], tmp_path)
        assert arm_info(rec.link)
        time.sleep(3 * FLUSH_S)
        status, _ = rec.stop(signal.SIGKILL)
    assert status == -signal.SIGKILL
    capture = read_capture(rec.output)
    assert capture.truncated
    assert [r.name for r in decode(capture) if r.direction == "request"] == ARM_INFO_FRAMES


def test_a_hang_up_ends_the_recording_with_the_reason(tmp_path):
    with Simulator(triaxons=1, handles=0, hangup_after=3) as sim:
        rec = Recorder(sim.ports[0], tmp_path)
        run(ROOT / "examples" / "arm_info.py", rec.link)
        rec.proc.wait(5)
        status, err = rec.stop()
    reason = f"{sim.ports[0]} hung up: [Errno 5] Input/output error"
    assert status == 1 and err.endswith(f"; {reason}\n"), err
    capture = read_capture(rec.output)
    assert capture.metadata["tessary.end"]["reason"] == reason and not capture.truncated


def test_samples_are_written_as_a_decoded_capture(tmp_path):
    import numpy as np
    from mcap.reader import make_reader

    samples = np.zeros(2, dtype=[("t", "f8"), ("period", "f8"), ("position", "f8", 3), ("velocity", "f8", 3),
                                 ("force", "f8", 3)])
    samples["t"] = [1.0, 1.001]
    samples["force"][1] = [0.0, 0.0, -2.5]
    samples["position"][1] = [0.01, 0.0, 0.0]
    assert write_samples(tmp_path / "run.mcap", samples) == 4
    with open(tmp_path / "run.mcap", "rb") as f:
        got = [(c.topic, m.log_time, json.loads(m.data), s.encoding) for s, c, m in make_reader(f).iter_messages()]
    assert got[2:] == [("/triaxon/request/force", 1_001_000_000, {"force": [0.0, 0.0, -2.5]}, "jsonschema"),
                       ("/triaxon/reply/state", 1_001_000_000, {"position": [0.01, 0.0, 0.0], "velocity": [0.0] * 3},
                        "jsonschema")]
