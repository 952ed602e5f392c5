"""The tessary command, run as `python -m tessary.cli`, on fake port trees and against tessary-sim."""

import csv
import fcntl
import json
import os
import re
import signal
import subprocess
import sys

import pytest

from conftest import MODULE_DIR, ROOT
from porttree import HOLDER, HOLDER_NAME, make_tree
from tessary import __version__, detect
from tessary.sim import Simulator

FIRMWARE = '74657373-6172-792d-7369-6d20312e3000 ("tessary-sim 1.0")'


def tessary(*args, timeout=30):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT / "python"), MODULE_DIR]))
    return subprocess.run([sys.executable, "-m", "tessary.cli", *map(str, args)],
                          capture_output=True, text=True, timeout=timeout, env=env)


def fails_with(result, line):
    assert (result.returncode, result.stderr, result.stdout) == (1, line + "\n", "")


@pytest.fixture
def tree(tmp_path):
    """The fake tree's device folder, and the options that point at its
    sysfs and lock table (`ports` and `detect` take --dev DIR too)."""
    dev, sys_root, proc = make_tree(tmp_path)
    return dev, ["--sys", sys_root, "--proc", proc]


# A link whose name is not UTF-8, to the arm.
NOT_UTF8 = b"ttyACM-\xff"


@pytest.fixture(scope="module")
def sim(tmp_path_factory):
    """One arm and one handle, linked into a folder that also holds an
    rfcomm link to a second handle (so that the wired and wireless lists
    differ), a link to the arm whose name is not UTF-8 and a silent pty."""
    links = tmp_path_factory.mktemp("links")
    with Simulator(triaxons=1, handles=1, link=links) as running, Simulator(triaxons=0, handles=1) as other:
        os.symlink(other.handles[0]["pty"], links / "rfcomm0")
        os.symlink(running.arms[0]["pty"], bytes(links) + b"/" + NOT_UTF8)
        master, slave = os.openpty()
        os.symlink(os.ttyname(slave), links / "ttyACM-silent")
        yield running, str(links), tmp_path_factory.mktemp("sys")
        os.close(master)
        os.close(slave)
        for name in (b"rfcomm0", b"ttyACM-silent", NOT_UTF8):
            os.unlink(bytes(links) + b"/" + name)


def process_name(pid):
    with open(f"/proc/{pid}/comm") as f:
        return f.read().strip()


# --- on the fake tree ----------------------------------------------------------


def test_ports_table_and_json(tree):
    dev, roots = tree
    table = tessary("ports", "--dev", dev, *roots)
    assert table.returncode == 0 and table.stderr == ""
    lines = table.stdout.splitlines()
    assert re.fullmatch(r"PORT +KIND +DRIVER +USB +LOCATION +SERIAL +STATE", lines[0])
    at = next(i for i, line in enumerate(lines) if line.startswith(f"{dev}/ttyUSB0 "))
    assert lines[at].split() == [f"{dev}/ttyUSB0", "wired", "handle", "ftdi_sio", "0403:6001", "1-1:1.0",
                                 "A50285BI", "ok"]
    assert [line.strip() for line in lines[at + 1 : at + 3]] == [
        "FTDI FT232R USB UART", f"{dev}/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"]
    assert f"{dev}/ttyUSB1 " in lines[at + 3]
    assert lines[at + 3].endswith(f"busy: process {HOLDER} ({HOLDER_NAME}) holds it")
    assert not any(line.startswith(f"{dev}/ttyS") for line in lines)

    listed = json.loads(tessary("ports", "--json", "--dev", dev, *roots).stdout)
    ftdi = next(p for p in listed if p["name"] == "ttyUSB0")
    assert (ftdi["usb_id"], ftdi["serial_number"], ftdi["kind"], ftdi["location"], ftdi["pty"]) == (
        "0403:6001", "A50285BI", "wired handle", "1-1:1.0", False)

    # --all adds the other serial ports, with no kind: detection never probes them.
    every = tessary("ports", "--all", "--dev", dev, *roots).stdout.splitlines()
    assert [line.split()[:2] for line in every if line.startswith(f"{dev}/ttyS")] == [[f"{dev}/ttyS0", "-"]]


@pytest.mark.parametrize("command", ["ports", "detect"])
def test_a_device_folder_that_is_not_there_is_an_error(tmp_path, command):
    fails_with(tessary(command, "--dev", tmp_path / "typo"), f"tessary: {tmp_path}/typo: No such file or directory")


@pytest.mark.parametrize("command, takes_dev", [
    ("ports", True), ("detect", True), ("info", False), ("watch", False), ("udev-rule", False)])
def test_only_commands_that_list_a_folder_offer_dev(command, takes_dev):
    assert ("--dev DIR" in tessary(command, "--help").stdout) == takes_dev


@pytest.mark.parametrize("option", ["--rate", "--duration"])
@pytest.mark.parametrize("value", ["nan", "inf", "-inf", "0", "-1", "1e-400", "x"])
def test_watch_refuses_rates_and_durations_that_are_not_finite_and_above_zero(option, value):
    # Refused before anything is opened: the port does not exist.
    result = tessary("watch", "/nonexistent/ttyACM0", f"{option}={value}")
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr.endswith(
        f"tessary watch: error: argument {option}: must be a finite number above 0, not '{value}'\n")


def test_version_is_the_package_version():
    result = tessary("--version")
    assert (result.returncode, result.stdout) == (0, f"tessary {__version__}\n")
    assert re.fullmatch(r"\d+\.\d+\.\d+", __version__)


FTDI_RULE = """\
# FTDI FT232R USB UART (0403:6001, serial A50285BI), seen as {dev}/ttyUSB0
# Group access, and ModemManager leaves the port alone.
SUBSYSTEM=="tty", ATTRS{{idVendor}}=="0403", ATTRS{{idProduct}}=="6001", ATTRS{{serial}}=="A50285BI", \
GROUP="dialout", MODE="0660", ENV{{ID_MM_DEVICE_IGNORE}}="1"
# FTDI adapters hold received bytes up to 16 ms by default; 1 ms allows hundreds of round trips a second.
ACTION=="add", SUBSYSTEM=="usb-serial", DRIVER=="ftdi_sio", ATTRS{{idVendor}}=="0403", ATTRS{{idProduct}}=="6001", \
ATTRS{{serial}}=="A50285BI", ATTR{{latency_timer}}="1"
"""
ACM_RULE = """\
# Triaxon (2e8a:000a, serial E6614C311B), seen as {dev}/ttyACM0
# Group access, and ModemManager leaves the port alone.
SUBSYSTEM=="tty", ATTRS{{idVendor}}=="2e8a", ATTRS{{idProduct}}=="000a", ATTRS{{serial}}=="E6614C311B", \
GROUP="dialout", MODE="0660", ENV{{ID_MM_DEVICE_IGNORE}}="1"
"""


@pytest.mark.parametrize("name, rule, file_name", [
    ("ttyUSB0", FTDI_RULE, "60-tessary-0403-6001-A50285BI.rules"),
    ("ttyACM0", ACM_RULE, "60-tessary-2e8a-000a-E6614C311B.rules"),
])
def test_udev_rule(tree, name, rule, file_name):
    dev, roots = tree
    result = tessary("udev-rule", f"{dev}/{name}", *roots)
    assert result.returncode == 0
    assert result.stdout == rule.format(dev=dev)
    assert f"tessary udev-rule {dev}/{name} {' '.join(roots)} | sudo tee /etc/udev/rules.d/{file_name}\n" \
        in result.stderr
    assert "  sudo udevadm control --reload-rules\n  sudo udevadm trigger\n" in result.stderr


def test_udev_rule_needs_usb_facts(tree):
    dev, roots = tree
    fails_with(tessary("udev-rule", f"{dev}/rfcomm0", *roots),
               f"tessary: {dev}/rfcomm0: not a USB device: a udev rule matches by USB vendor, product and serial")


# --- against tessary-sim -------------------------------------------------------


def test_detect_reports_each_port_then_the_four_results(sim):
    running, links, empty_sys = sim
    arm, handle, wireless = running.arms[0]["pty"], running.handles[0]["pty"], os.path.realpath(f"{links}/rfcomm0")
    held = os.open(f"{links}/ttyACM-silent", os.O_RDWR | os.O_NOCTTY)
    fcntl.flock(held, fcntl.LOCK_EX)  # busy: skipped without a probe
    try:
        text = tessary("detect", "--dev", links, "--sys", empty_sys)
        as_json = tessary("detect", "--json", "--dev", links, "--sys", empty_sys)
        in_process = detect(links)  # the module's probes, one per port, whatever the names
    finally:
        os.close(held)
    assert text.returncode == 0, text.stderr
    # As the detection functions give them: links resolved, in name order.
    assert text.stdout == (f"triaxons:          {arm} {arm}\n"
                           f"handles:           {wireless} {handle}\n"
                           f"wired handles:     {handle}\n"
                           f"wireless handles:  {wireless}\n")
    probe = r"{}/{}: {}: probing \.\.\. found \(0\.\d\d s\)"
    assert re.fullmatch("\n".join([
        probe.format(links, "rfcomm0", "wireless handle"),
        f"{links}/ttyACM-silent: arm: skipped, busy: process {os.getpid()} \\({process_name(os.getpid())}\\) holds it",
        probe.format(links, "ttyACM-sim0", "arm"),
        probe.format(links, r"ttyACM-\\xff", "arm"),
        probe.format(links, "ttyUSB-sim0", "wired handle"),
    ]) + "\n", text.stderr), text.stderr
    found = {"triaxons": [arm, arm], "handles": [wireless, handle], "wired_handles": [handle],
             "wireless_handles": [wireless]}
    assert json.loads(as_json.stdout) == found
    assert in_process._asdict() == found


def test_info_on_an_arm_and_a_handle(sim):
    running, links, _ = sim
    arm = tessary("info", f"{links}/ttyACM-sim0")
    assert arm.returncode == 0, arm.stderr
    assert re.fullmatch(
        rf"port              {links}/ttyACM-sim0\n"
        r"device id         0x7100\n"
        r"model number      4\n"
        r"hardware version  1\n"
        r"firmware version  5\n"
        r"identifier        7e551ac0-5100-4000-8000-000000000000\n"
        rf"firmware id       {re.escape(FIRMWARE)}\n"
        r"temperature       3[45]\.\d\d\n"
        r"power             powered\n"
        r"orientation       \+1\.0000 \+0\.0000 \+0\.0000 \+0\.0000\n", arm.stdout), arm.stdout
    # A pty path carries no marker: --kind says what is on it.
    handle = tessary("info", "--kind", "handle", running.handles[0]["pty"])
    assert handle.returncode == 0, handle.stderr
    assert handle.stdout == (f"port                 {running.handles[0]['pty']}\n"
                             "device id            0x4800\n"
                             "model number         2\n"
                             "hardware version     1\n"
                             "firmware version     3\n"
                             "tool data remaining  100\n")


@pytest.mark.parametrize("port, header", [
    ("ttyACM-sim0", "time_s,position_x,position_y,position_z,velocity_x,velocity_y,velocity_z"),
    ("ttyUSB-sim0", "time_s,device_id,quaternion_w,quaternion_x,quaternion_y,quaternion_z,error_flag,"
                    "hall_effect_sensor_level,user_data"),
])
def test_watch_records_every_sample(sim, tmp_path, port, header):
    _, links, _ = sim
    result = tessary("watch", f"{links}/{port}", "--rate", "200", "--duration", "1", "--csv", tmp_path / "s.csv")
    assert result.returncode == 0, result.stderr
    lines = (tmp_path / "s.csv").read_text().splitlines()
    assert lines[0] == header
    rows = list(csv.reader(lines[1:]))
    for row in rows:
        assert len(row) == len(header.split(","))
        if port.startswith("ttyUSB"):  # the user data, as hex
            assert re.fullmatch("[0-9a-f]*", row.pop())
        [float(v) for v in row]
    assert 100 <= len(rows) <= 205  # 200 a second, with room for a slow machine
    times = [float(row[0]) for row in rows]
    assert times == sorted(times) and times[-1] < 1.1
    summary = re.fullmatch(r"(\d+) samples in 1\.\d\d s \(\d+\.\d Hz\)", result.stdout.splitlines()[-1])
    assert summary and int(summary[1]) == len(rows)


def test_watch_ends_on_ctrl_c_with_status_0(sim):
    _, links, _ = sim
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT / "python"), MODULE_DIR]))
    watch = subprocess.Popen([sys.executable, "-m", "tessary.cli", "watch", f"{links}/ttyACM-sim0"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    watch.stdout.readline()  # the first live line: it is running
    watch.send_signal(signal.SIGINT)
    out, err = watch.communicate(timeout=10)
    assert (watch.returncode, err) == (0, "")
    assert re.fullmatch(r"\d+ samples in \d+\.\d\d s \(\d+\.\d Hz\)", out.splitlines()[-1])


def test_error_lines(sim):
    running, links, _ = sim
    silent = f"{links}/ttyACM-silent"
    fails_with(tessary("info", f"{links}/ttyACM9"), f"tessary: {links}/ttyACM9: no such port")
    fails_with(tessary("info", running.arms[0]["pty"]),
               f"tessary: {running.arms[0]['pty']}: the name does not tell an arm from a handle; "
               "add --kind arm or --kind handle")
    fails_with(tessary("info", silent), f"tessary: {silent}: no arm answering")  # after the 1 s read budget
    held = os.open(silent, os.O_RDWR | os.O_NOCTTY)
    fcntl.flock(held, fcntl.LOCK_EX)
    try:
        fails_with(tessary("watch", silent),
                   f"tessary: {silent}: busy: process {os.getpid()} ({process_name(os.getpid())}) holds it")
    finally:
        os.close(held)


WATCH = ["watch", "--rate", "500", "--duration", "10"]


@pytest.mark.parametrize("command, fault, line", [
    (WATCH, {"drop_every": 50}, "the arm stopped answering after 49 samples: no reply within 1 s"),
    (WATCH, {"hangup_after": 50}, "the arm stopped answering after 50 samples: the device hung up"),
    (["info"], {"drop_every": 3}, "the arm stopped answering: no reply within 1 s"),
])
def test_a_device_that_stops_answering_ends_the_command_with_its_reason(tmp_path, command, fault, line):
    with Simulator(triaxons=1, handles=0, link=tmp_path, **fault):
        port = f"{tmp_path}/ttyACM-sim0"
        result = tessary(*command, port)
    assert result.returncode == 1 and result.stderr.splitlines()[-1] == f"tessary: {port}: {line}", result.stderr


def test_sim_runs_tessary_sim():
    result = tessary("sim", "--help")
    assert result.returncode == 0 and result.stdout.startswith("usage: tessary-sim [options]\n")
