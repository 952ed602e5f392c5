"""Tests of tessary-sim, acting as the host on the pty slaves."""

import contextlib
import json
import math
import os
import signal
import stat
import struct
import subprocess
import sys
import time

import pytest

from simulator import REPO_ROOT, HangUp, HostPort, Simulator, binary_path

ARM_ID = bytes.fromhex("7e551ac0510040008000000000000000")
FIRMWARE_ID = b"tessary-sim 1.0\x00"
HANDLE_INFO = bytes([0xD0, 0x00, 0x48, 100, 2, 1, 3])


def floats(code, *values):
    return struct.pack("<B3f", code, *values)


def state(reply):
    """Position (or angles) and velocity (or rates) of a 25-byte state reply."""
    assert len(reply) == 25
    values = struct.unpack("<6f", reply[1:])
    return values[:3], values[3:]


def exchange(port, request, size, timeout=1.0):
    port.write(request)
    reply = port.read(size, timeout)
    assert len(reply) == size, reply.hex()
    return reply


@pytest.fixture(scope="module")
def sim():
    with Simulator() as s:
        yield s


@pytest.fixture
def arm(sim):
    with HostPort(sim.arms[0]["pty"]) as port:
        yield port


@pytest.fixture
def handle(sim):
    with HostPort(sim.handles[0]["pty"]) as port:
        # The simulator is shared: start every test with no user data set.
        port.write(b"\xdb\x00\x48\x00")
        yield port


# --- command line and device announcement -----------------------------------

class TestCommandLine:
    def test_default_devices_announced(self):
        with Simulator() as s:
            arm, handle = s.devices
            assert s.lines == [f'{{"kind": "triaxon", "pty": "{arm["pty"]}", "link": null}}',
                               f'{{"kind": "handle", "pty": "{handle["pty"]}", "link": null}}']
            for d in s.devices:
                assert d["link"] is None
                assert stat.S_ISCHR(os.stat(d["pty"]).st_mode)

    def test_device_counts(self):
        with Simulator("--triaxons", "3", "--handles=0") as s:
            assert [d["kind"] for d in s.devices] == ["triaxon"] * 3
            assert len({d["pty"] for d in s.devices}) == 3
        with Simulator("--triaxons", "0", "--handles", "0") as s:
            assert s.devices == []

    @pytest.mark.parametrize("args, devices", [([], 2), (["--triaxons", "2", "--handles", "1"], 3),
                                               (["--triaxons", "0", "--handles", "0"], 0)])
    def test_ready_line_after_the_devices(self, args, devices):
        proc = subprocess.Popen([binary_path(), *args], stdout=subprocess.PIPE, text=True)
        try:
            lines = [proc.stdout.readline() for _ in range(devices + 1)]
        finally:
            proc.terminate()
            assert proc.wait(5) == 0  # the signal handlers were in place
        assert all(json.loads(line)["kind"] in ("triaxon", "handle") for line in lines[:-1])
        assert lines[-1] == f'{{"ready": true, "devices": {devices}}}\n'
        assert proc.stdout.read() == ""

    def test_keyword_options_and_ports(self, tmp_path):
        s = Simulator("--drop-every", "9", triaxons=2, handles=1, wireless=True, link=tmp_path, delay_us=0,
                      hangup_after=None)
        assert s.args == ["--drop-every", "9", "--triaxons", "2", "--handles", "1", "--wireless",
                          "--link", str(tmp_path), "--delay-us", "0"]
        with s:
            assert s.ports == [str(tmp_path / n) for n in ("ttyACM-sim0", "ttyACM-sim1", "rfcomm-sim0")]
        with Simulator(triaxons=1, handles=1) as s:
            assert s.ports == [d["pty"] for d in s.devices]

    @pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT])
    def test_links_created_and_removed(self, tmp_path, sig):
        s = Simulator("--triaxons", "2", "--handles", "1", "--link", tmp_path).start()
        names = ["ttyACM-sim0", "ttyACM-sim1", "ttyUSB-sim0"]
        assert [d["link"] for d in s.devices] == [str(tmp_path / n) for n in names]
        for d in s.devices:
            assert os.readlink(d["link"]) == d["pty"]
        s.stop(sig)
        assert sorted(os.listdir(tmp_path)) == []

    def test_wireless_link_names(self, tmp_path):
        with Simulator("--triaxons", "0", "--handles", "2", "--wireless", "--link", tmp_path) as s:
            assert [os.path.basename(d["link"]) for d in s.devices] == ["rfcomm-sim0", "rfcomm-sim1"]

    def test_link_folder_made_with_parents(self, tmp_path):
        folder = tmp_path / "a" / "b"
        with Simulator("--handles", "0", "--link", folder) as s:
            assert os.readlink(folder / "ttyACM-sim0") == s.arms[0]["pty"]
        assert os.listdir(folder) == []
        (tmp_path / "file").write_text("")
        r = subprocess.run([binary_path(), "--link", str(tmp_path / "file" / "x")], capture_output=True, timeout=5)
        assert (r.returncode, r.stdout) == (1, b"")
        assert r.stderr == f"tessary-sim: link directory '{tmp_path}/file/x': Not a directory\n".encode()

    @pytest.mark.parametrize("holder", ["simulator", "stale link", "file"])
    def test_taken_link_name_refused_and_left_alone(self, tmp_path, holder):
        folder = os.path.realpath(tmp_path)
        taken = os.path.join(folder, "ttyUSB-sim0")
        with contextlib.ExitStack() as stack:
            if holder == "simulator":
                other = stack.enter_context(Simulator("--triaxons", "0", "--link", folder))
                target = other.handles[0]["pty"]
            elif holder == "stale link":
                target = "/nonexistent"
                os.symlink(target, taken)
            else:
                (tmp_path / "ttyUSB-sim0").write_text("mine")
            # The arm's link comes first and must be taken back.
            r = subprocess.run([binary_path(), "--link", folder], capture_output=True, timeout=5)
            assert (r.returncode, r.stdout) == (1, b"")
            assert r.stderr.decode() == (f"tessary-sim: '{taken}' already exists: another simulator may be using"
                                         f" {folder} (give --link another folder, or remove it if stale)\n")
            assert os.listdir(folder) == ["ttyUSB-sim0"]
            if holder == "file":
                assert (tmp_path / "ttyUSB-sim0").read_text() == "mine"
            else:
                assert os.readlink(taken) == target
            if holder == "simulator":
                with HostPort(taken) as port:
                    assert exchange(port, b"\x0a", 7) == HANDLE_INFO

    def test_help(self):
        r = subprocess.run([binary_path(), "--help"], capture_output=True, timeout=5)
        assert r.returncode == 0 and r.stdout.startswith(b"usage: tessary-sim")

    @pytest.mark.parametrize("args", [["--bogus"], ["--triaxons"], ["--handles", "x"],
                                      ["--drop-every", "-1"], ["--wireless=1"], ["--triaxons", "1000"]])
    def test_bad_options(self, args):
        r = subprocess.run([binary_path(), *args], capture_output=True, timeout=5)
        assert r.returncode == 2 and r.stdout == b""
        assert b"usage: tessary-sim" in r.stderr


# --- the launcher ----------------------------------------------------------------

LAUNCHER = [sys.executable, "-m", "tessary.sim", "--binary", binary_path()]
LAUNCHER_ENV = dict(os.environ, PYTHONPATH=str(REPO_ROOT / "python"))
SHOW = 'printf "%s" "$TESSARY_SIM_DEVICES"; echo "$TESSARY_SIM_TMP"; ls {tmp}/a; exit 3'


class TestLauncher:
    def test_wrapper_passes_devices_and_status_and_cleans_up(self):
        r = subprocess.run([*LAUNCHER, "--", "--handles", "0", "--link", "{tmp}/a", "--", "--triaxons", "0",
                            "--", "sh", "-c", SHOW], capture_output=True, text=True, timeout=10, env=LAUNCHER_ENV)
        assert r.returncode == 3, r.stderr
        arm, handle, tmp, listing = r.stdout.splitlines()
        assert json.loads(arm)["link"] == f"{tmp}/a/ttyACM-sim0" and listing == "ttyACM-sim0"
        assert json.loads(handle)["kind"] == "handle" and tmp.startswith("/tmp/tessary-sim-") and r.stderr == ""
        assert not os.path.exists(tmp)

    @pytest.mark.parametrize("script, status", [
        ("exit 3", 3), ("kill -TERM $$", 128 + signal.SIGTERM), ("kill -KILL $$", 128 + signal.SIGKILL)])
    def test_wrapper_exits_as_the_command_or_128_plus_the_signal_that_killed_it(self, script, status):
        r = subprocess.run([*LAUNCHER, "--", "--handles", "0", "--", "sh", "-c", script],
                           capture_output=True, text=True, timeout=10, env=LAUNCHER_ENV)
        assert (r.returncode, r.stderr) == (status, "")

    def test_wrapper_stops_at_a_simulator_that_fails(self):
        r = subprocess.run([*LAUNCHER, "--", "--link", "{tmp}", "--", "--link", "{tmp}", "--", "echo", "ran"],
                           capture_output=True, text=True, timeout=10, env=LAUNCHER_ENV)
        assert (r.returncode, r.stdout) == (1, "")
        assert r.stderr.startswith("tessary.sim: tessary-sim stopped before announcing its devices (status 1):"
                                   " tessary-sim: '/tmp/tessary-sim-")
        assert r.stderr.count("\n") == 1

    def test_stop_kills_on_timeout_and_removes_links(self, tmp_path):
        s = Simulator("--handles", "0", "--link", tmp_path).start()
        with pytest.raises(RuntimeError, match="did not stop within 0.2 s of signal 19; killed"):
            s.stop(signal.SIGSTOP, timeout=0.2)
        assert s.proc.returncode == -signal.SIGKILL and os.listdir(tmp_path) == []


# --- line hygiene ---------------------------------------------------------------

class TestLine:
    def test_no_echo_before_host_configures(self, sim):
        with HostPort(sim.arms[0]["pty"], configure=False) as port:
            port.write(b"\x55\x66")  # unknown codes: no reply, and no echo either
            assert port.silent(0.1)

    def test_many_host_sessions_without_spinning(self, sim):
        for _ in range(30):
            with HostPort(sim.arms[0]["pty"]) as port:
                assert exchange(port, b"\x0a", 22)[0] == 0x0B
        before = sim.cpu_seconds()
        time.sleep(0.5)
        assert sim.cpu_seconds() - before < 0.1

    def test_request_split_across_writes(self, arm, handle):
        request = floats(0x2A, 0.0, 0.0, 0.0)
        for piece in (request[:1], request[1:6], request[6:12]):
            arm.write(piece)
            assert arm.silent(0.03)
        assert exchange(arm, request[12:], 25)[0] == 0x2B

        handle.write(b"\xdb\x00")
        assert handle.silent(0.03)
        handle.write(b"\x48\x02\x11")
        assert handle.silent(0.03)
        handle.write(b"\x22")
        assert exchange(handle, b"\xda", 24)[-3:] == b"\x02\x11\x22"

    def test_requests_in_one_write(self, arm):
        reply = exchange(arm, b"\xaa\xac\x0a", 5 + 2 + 22)
        assert reply[0] == 0xAA and reply[5:7] == b"\xac\x01" and reply[7] == 0x0B


# --- arm protocol ------------------------------------------------------------

ARM_REPLIES = [
    (b"\x0a", b"\x0b", 22),
    (b"\x0d\xd1", b"\x0d\xd1", 19),
    (b"\x0d\xd2", b"\x0d\xd2", 19),
    (b"\x0c", b"\x0c", 17),
    (b"\xaa", b"\xaa", 5),
    (b"\xab", b"\xab", 13),
    (b"\xac", b"\xac", 2),
    (floats(0x2A, 0, 0, 0), b"\x2b", 25),
    (floats(0x2C, 0, 0, 0), b"\x2b", 25),
    (floats(0x1A, 0, 0, 0), b"\x1b", 25),
    (floats(0x1C, 0, -0.6, 1.8), b"\x1b", 25),
]


class TestArmProtocol:
    @pytest.mark.parametrize("request_, header, size", ARM_REPLIES, ids=lambda v: v.hex() if isinstance(v, bytes) else str(v))
    def test_reply_header_and_length(self, arm, request_, header, size):
        reply = exchange(arm, request_, size)
        assert reply.startswith(header)
        assert arm.silent(0.02)

    def test_wakeup_identity(self):
        with Simulator("--triaxons", "2", "--handles", "0") as s:
            for index, d in enumerate(s.arms):
                with HostPort(d["pty"]) as port:
                    reply = exchange(port, b"\x0a", 22)
                    identifier = ARM_ID[:15] + bytes([index])
                    assert reply == bytes([0x0B, index, 0x71, 4, 1, 5]) + identifier
                    assert exchange(port, b"\x0d\xd1", 19) == b"\x0d\xd1\x10" + identifier

    def test_firmware_version(self, arm):
        assert exchange(arm, b"\x0d\xd2", 19) == b"\x0d\xd2\x10" + FIRMWARE_ID

    def test_status_values(self, arm):
        assert exchange(arm, b"\xac", 2) == b"\xac\x01"
        (temperature,) = struct.unpack("<f", exchange(arm, b"\xaa", 5)[1:])
        assert 34.0 < temperature < 36.0
        quaternion = struct.unpack("<4f", exchange(arm, b"\x0c", 17)[1:])
        assert quaternion == (1.0, 0.0, 0.0, 0.0)

    def test_currents_follow_force(self, arm):
        exchange(arm, floats(0x2A, 1.0, -2.0, 0.5), 25)
        currents = struct.unpack("<3f", exchange(arm, b"\xab", 13)[1:])
        assert currents == pytest.approx((0.5, -1.0, 0.25))
        exchange(arm, floats(0x2A, 0, 0, 0), 25)

    def test_unknown_requests_ignored(self, arm):
        arm.write(b"\x55\x0d\x00")  # unknown code, then an unknown selector
        assert arm.silent(0.1)
        assert exchange(arm, b"\x0a", 22)[0] == 0x0B
        assert arm.silent(0.02)


class TestArmPhysics:
    def run(self, port, request, count, interval=0.01):
        for _ in range(count):
            yield state(exchange(port, request, 25))
            time.sleep(interval)

    def test_constant_force_accelerates(self):
        with Simulator("--handles", "0") as s, HostPort(s.arms[0]["pty"]) as port:
            samples = list(self.run(port, floats(0x2A, 0.5, 0, 0), 6, 0.02))
            xs = [p[0] for p, _ in samples]
            assert all(b > a for a, b in zip(xs, xs[1:]))
            assert all(v[0] > 0 for _, v in samples)
            assert samples[-1][1][1:] == (0.0, 0.0) and samples[-1][0][1:] == (0.0, 0.0)
            # Pushed long enough, the mass rests on the +x wall.
            *_, (p, v) = self.run(port, floats(0x2A, 20.0, 0, 0), 40)
            assert p[0] == pytest.approx(0.1) and v[0] == 0.0

    def test_position_converges(self):
        target = (0.05, -0.03, 0.02)
        with Simulator("--handles", "0") as s, HostPort(s.arms[0]["pty"]) as port:
            *_, (p, v) = self.run(port, floats(0x2C, *target), 60)
            assert p == pytest.approx(target, abs=1e-3)
            assert max(map(abs, v)) < 0.01

    def test_joint_angles_converge(self):
        angles = (0.1, -0.6, 1.8)
        with Simulator("--handles", "0") as s, HostPort(s.arms[0]["pty"]) as port:
            *_, (q, rates) = self.run(port, floats(0x1C, *angles), 60)
            assert q == pytest.approx(angles, abs=1e-2)
            assert max(map(abs, rates)) < 0.1

    def test_joint_torque_turns_base(self):
        with Simulator("--handles", "0") as s, HostPort(s.arms[0]["pty"]) as port:
            *_, (q, rates) = self.run(port, floats(0x1A, 0.05, 0, 0), 5)
            assert q[0] > 0 and rates[0] > 0

    def test_non_finite_commands_are_harmless(self, arm):
        for code in (0x2A, 0x2C, 0x1A, 0x1C):
            p, v = state(exchange(arm, floats(code, math.nan, math.inf, -math.inf), 25))
            assert all(map(math.isfinite, p + v))
        exchange(arm, floats(0x2A, 0, 0, 0), 25)


# --- handle protocol ---------------------------------------------------------

class TestHandleProtocol:
    def status(self, port, extra=0):
        reply = exchange(port, b"\xda", 22 + extra)
        assert reply[:5] == b"\xda\x00\x48\x00\x80"
        assert reply[21] == extra
        return struct.unpack("<4f", reply[5:21]), reply[22:]

    def test_wakeup_info(self, handle):
        assert exchange(handle, b"\x0a", 7) == HANDLE_INFO
        assert handle.silent(0.02)

    def test_status_echoes_user_data(self, handle):
        exchange(handle, b"\xdb\x00\x48\x00", 0)
        quaternion, data = self.status(handle)
        assert data == b"" and math.fsum(c * c for c in quaternion) == pytest.approx(1.0)

        handle.write(b"\xdb\x00\x48\x03\xaa\xbb\xcc")
        assert handle.silent(0.05)  # handle state has no reply
        assert self.status(handle, 3)[1] == b"\xaa\xbb\xcc"

        block = bytes(range(255))
        handle.write(b"\xdb\x00\x48\xff" + block)
        assert self.status(handle, 255)[1] == block
        exchange(handle, b"\xdb\x00\x48\x00", 0)
        assert self.status(handle)[1] == b""

    def test_orientation_turns(self, handle):
        first, _ = self.status(handle)
        time.sleep(0.2)
        second, _ = self.status(handle)
        assert second[3] > first[3]

    def test_unknown_command_error(self, handle):
        assert exchange(handle, b"\x42", 4) == b"\xdf\x00\x48\x01"
        assert exchange(handle, b"\x0a", 7) == HANDLE_INFO


# --- fault injection ---------------------------------------------------------

class TestFaults:
    def test_drop(self):
        with Simulator("--drop-every", "2") as s, HostPort(s.arms[0]["pty"]) as port:
            exchange(port, b"\x0a", 22)
            port.write(b"\x0a")
            assert port.silent(0.3)
            exchange(port, b"\x0a", 22)

    def test_truncate(self):
        with Simulator("--truncate-every", "1") as s:
            with HostPort(s.arms[0]["pty"]) as arm, HostPort(s.handles[0]["pty"]) as handle:
                arm.write(b"\x0a")
                assert arm.read(22, 0.3) == (b"\x0b\x00\x71\x04\x01\x05" + ARM_ID)[:11]
                handle.write(b"\x0a")
                assert handle.read(7, 0.3) == HANDLE_INFO[:3]

    def test_wrong_header(self):
        with Simulator("--wrong-header-every", "2") as s, HostPort(s.arms[0]["pty"]) as port:
            assert exchange(port, b"\xac", 2) == b"\xac\x01"
            assert exchange(port, b"\xac", 2) == b"\x2c\x01"
            assert exchange(port, b"\x0a", 22)[0] == 0x0B

    def test_delay_does_not_block_other_devices(self):
        with Simulator("--delay-us", "150000") as s:
            with HostPort(s.arms[0]["pty"]) as arm, HostPort(s.handles[0]["pty"]) as handle:
                start = time.monotonic()
                arm.write(b"\xac\xac")
                handle.write(b"\x0a")
                assert arm.read(4) == b"\xac\x01\xac\x01"
                assert handle.read(7) == HANDLE_INFO
                elapsed = time.monotonic() - start
                assert 0.15 <= elapsed < 0.28

    def test_hangup(self, tmp_path):
        with Simulator("--hangup-after", "2", "--link", tmp_path) as s:
            arm = s.arms[0]
            with HostPort(arm["pty"]) as port:
                exchange(port, b"\x0a", 22)
                exchange(port, b"\xac", 2)
                with pytest.raises(HangUp):
                    port.read(1, 1.0)
            assert not os.path.lexists(arm["link"])
            assert not os.path.exists(arm["pty"])
            # The other device keeps serving.
            with HostPort(s.handles[0]["pty"]) as handle:
                assert exchange(handle, b"\x0a", 7) == HANDLE_INFO

    def test_hangup_after_delayed_reply(self):
        with Simulator("--hangup-after", "1", "--delay-us", "50000", "--handles", "0") as s:
            with HostPort(s.arms[0]["pty"]) as port:
                start = time.monotonic()
                port.write(b"\xac\xac")
                assert port.read(2) == b"\xac\x01"
                assert time.monotonic() - start >= 0.05
                with pytest.raises(HangUp):
                    port.read(1, 1.0)
