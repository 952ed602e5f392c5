"""Control-loop benchmark: one force request and one state reply per exchange.

Runs five clients against the virtual arm of tessary-sim, interleaved round by
round so that machine noise hits all alike, and prints exchanges per second,
median and 99th-percentile latency, the ratio to the raw link limit, and the
client's CPU time (user plus system) and waits (voluntary context switches:
times it slept) per exchange, from getrusage; then
the CPU time that one silent 1000 ms read costs a thread; then a 1 kHz loop's
timing as a Python thread and as a ServoLoop, each alone and beside one busy
Python thread (--loop-seconds each). One more client makes the library's
exchanges through `tessary record` (on a second virtual arm, which the
recorder holds), and a ServoLoop runs --capture-seconds through a recorder of
its own: the time the recorder adds per exchange, the loop's rate through it
and the size of its capture.

Usage: make bench, or with the built module and tessary on the path
(PYTHONPATH=build/python:python):
    python bench/run_bench.py [--rounds R] [--batch N] [--loop-seconds S] [--json PATH]
"""

import argparse
import json
import os
import pathlib
import resource
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
BUILD = pathlib.Path(os.environ.get("TESSARY_BUILD", ROOT / "build"))

import serial  # pyserial, a benchmark-only dependency

import TessaryHardwareAPI as api
from tessary.sim import Simulator

BENCH = BUILD / "bench" / "tessary-bench"
SIM = BUILD / "sim" / "tessary-sim"
FORCE = [1.0, 2.0, 3.0]
REQUEST = struct.pack("<B3f", 42, *FORCE)

ROWS = [
    ("raw", "raw link limit (C++ poll + read)"),
    ("library", "library from C++ (SendForce + ReceiveState)"),
    ("python", "Python end_effector_force"),
    ("pyserial", "pyserial write + read(25) + struct"),
    ("sleep", "reader sleeping 100 us between reads"),
    ("recorded", "library from C++, through tessary record"),
]
# The port each client uses, when not the simulator's first arm.
PORTS = {}


class Cost:
    """CPU time (user plus system) and waits (voluntary context switches) of
    the calling thread between enter and exit."""

    def __enter__(self):
        self._before = resource.getrusage(resource.RUSAGE_THREAD)
        return self

    def __exit__(self, *exc):
        after = resource.getrusage(resource.RUSAGE_THREAD)
        before = self._before
        self.cpu_ns = round((after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime) * 1e9)
        self.waits = after.ru_nvcsw - before.ru_nvcsw


def run_cpp(mode, port, n):
    """Latencies (ns), CPU ns and waits of n exchanges by the C++ client."""
    out = subprocess.run([str(BENCH), mode, port, str(n)], capture_output=True, text=True, check=True)
    lines = out.stdout.splitlines()
    _, cpu_ns, waits = lines[-1].split()
    return [int(line) for line in lines[:-1]], int(cpu_ns), int(waits)


def run_python(port, n):
    stream = api.SerialStream(port)
    arm = api.Triaxon(stream)
    clock = time.perf_counter_ns
    latencies = [0] * n
    with Cost() as cost:
        for i in range(n):
            start = clock()
            arm.end_effector_force(FORCE)
            latencies[i] = clock() - start
    return latencies, cost.cpu_ns, cost.waits


def run_pyserial(port, n):
    # Written the way a user would write it with pyserial.
    with serial.Serial(port, 115200, timeout=1) as line:
        clock = time.perf_counter_ns
        latencies = [0] * n
        with Cost() as cost:
            for i in range(n):
                start = clock()
                line.write(REQUEST)
                reply = line.read(25)
                header, *state = struct.unpack("<B6f", reply)
                latencies[i] = clock() - start
                if header != 43:
                    raise RuntimeError("unexpected reply")
    return latencies, cost.cpu_ns, cost.waits


def run(mode, port, n):
    port = PORTS.get(mode, port)
    if mode == "recorded":
        return run_cpp("library", port, n)
    if mode == "python":
        return run_python(port, n)
    if mode == "pyserial":
        return run_pyserial(port, n)
    return run_cpp(mode, port, n)


# -- a 1 kHz loop's timing ------------------------------------------------------

LOOP_RATE = 1000.0


class Busy:
    """A Python thread that never waits: a plot, a GUI or numpy work in the
    same process, as far as the interpreter lock is concerned."""

    def __init__(self):
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._spin)

    def _spin(self):
        n = 0
        while not self._stop.is_set():
            n += 1

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()


def python_loop(arm, seconds):
    """end_effector_force at 1 kHz from a Python thread, paced by absolute
    deadlines as a careful script would be; the periods between tick starts."""
    period = 1.0 / LOOP_RATE
    starts, overruns = [], 0

    def run():
        nonlocal overruns
        start = next_tick = time.perf_counter()
        while next_tick - start < seconds:
            now = time.perf_counter()
            if now - next_tick >= period:  # a whole period late: move on, no burst
                overruns += 1
                next_tick = now
            starts.append(now)
            arm.end_effector_force([0.0, 0.0, 0.0])
            next_tick += period
            pause = next_tick - time.perf_counter()
            if pause > 0:
                time.sleep(pause)

    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    periods = [b - a for a, b in zip(starts, starts[1:])]
    return {
        "ticks": len(starts),
        "rate": (len(starts) - 1) / (starts[-1] - starts[0]),
        "period_p50": statistics.median(periods),
        "period_p99": percentile(periods, 0.99),
        "period_max": max(periods),
        "overruns": overruns,
    }


def servo_loop(arm, seconds):
    # A generous timeout: tessary-sim is a process of its own on a shared machine.
    with api.ServoLoop(arm, rate=LOOP_RATE, timeout=0.2) as loop:
        time.sleep(seconds)
    stats = loop.stats()
    return {key: stats[key] for key in ("ticks", "rate", "period_p50", "period_p99", "period_max", "overruns")}


LOOP_ROWS = [
    ("python_alone", "Python thread, alone", python_loop, False),
    ("python_busy", "Python thread, beside a busy thread", python_loop, True),
    ("servo_alone", "ServoLoop, alone", servo_loop, False),
    ("servo_busy", "ServoLoop, beside a busy thread", servo_loop, True),
]


def loop_timing(port, seconds):
    arm = api.Triaxon(api.SerialStream(port))
    figures = {}
    for key, _, loop, busy in LOOP_ROWS:
        if busy:
            with Busy():
                figures[key] = loop(arm, seconds)
        else:
            figures[key] = loop(arm, seconds)
    return figures


class Recorder:
    """tessary record between a link and the port, until the block ends."""

    def __init__(self, port, folder):
        self.link, self.output = os.path.join(folder, "link"), os.path.join(folder, "capture.mcap")
        self.args = [sys.executable, "-m", "tessary", "record", port, "--link", self.link, "-o", self.output]

    def __enter__(self):
        self.proc = subprocess.Popen(self.args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        json.loads(self.proc.stdout.readline())  # its announcement: the link is there
        return self

    def __exit__(self, *exc):
        self.proc.terminate()
        _, err = self.proc.communicate(timeout=30)
        if self.proc.returncode != 0:
            raise RuntimeError(f"tessary record failed: {err}")


def recorded_servo_loop(port, seconds):
    """A ServoLoop through the recorder for `seconds`; its figures and the capture's size."""
    with tempfile.TemporaryDirectory() as folder:
        with Recorder(port, folder) as rec:
            figures = servo_loop(api.Triaxon(api.SerialStream(rec.link)), seconds)
        figures["seconds"] = seconds
        figures["capture_bytes"] = os.path.getsize(rec.output)
    return figures


def percentile(values, q):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=40)
    parser.add_argument("--batch", type=int, default=1000)
    parser.add_argument("--loop-seconds", type=float, default=3.0)
    parser.add_argument("--capture-seconds", type=float, default=10.0)
    parser.add_argument("--json", default=str(BUILD / "bench.json"))
    args = parser.parse_args()

    with Simulator(triaxons=2, handles=0, binary=SIM) as sim, tempfile.TemporaryDirectory() as folder, \
            Recorder(sim.arms[1]["pty"], folder) as recorder:
        port = sim.arms[0]["pty"]
        PORTS["recorded"] = recorder.link
        samples = {mode: [] for mode, _ in ROWS}
        costs = {mode: [0, 0] for mode, _ in ROWS}
        for mode, _ in ROWS:  # warm-up, not counted
            run(mode, port, 200)
        for _ in range(args.rounds):
            for mode, _ in ROWS:
                latencies, cpu_ns, waits = run(mode, port, args.batch)
                samples[mode] += latencies
                costs[mode][0] += cpu_ns
                costs[mode][1] += waits
        silent = [int(v) for v in subprocess.run(
            [str(BENCH), "silent", port], capture_output=True, text=True, check=True).stdout.split()]
        loops = loop_timing(port, args.loop_seconds)
    with Simulator(triaxons=1, handles=0, binary=SIM) as sim:
        through = recorded_servo_loop(sim.arms[0]["pty"], args.capture_seconds)

    figures = {}
    for mode, _ in ROWS:
        values = samples[mode]
        figures[mode] = {
            "exchanges": len(values),
            "exchanges_per_s": len(values) / (sum(values) / 1e9),
            "median_us": statistics.median(values) / 1e3,
            "p99_us": percentile(values, 0.99) / 1e3,
            "cpu_us_per_exchange": costs[mode][0] / len(values) / 1e3,
            "waits_per_exchange": costs[mode][1] / len(values),
        }
    limit = figures["raw"]["exchanges_per_s"]
    for mode in figures:
        figures[mode]["ratio_to_raw"] = figures[mode]["exchanges_per_s"] / limit
    figures["silent_read_cpu"] = {
        "library_ms": silent[0] / 1e6,
        "library_percent_of_wall": silent[0] / 1e7,
        "sleep_ms": silent[1] / 1e6,
        "sleep_percent_of_wall": silent[1] / 1e7,
    }

    figures["load_average"] = os.getloadavg()
    print(f"{args.rounds} interleaved rounds of {args.batch} exchanges per client, over a pseudo-terminal;"
          f" load average {figures['load_average'][0]:.2f} at the end")
    print(f"{'client':<46}{'exch/s':>10}{'median us':>11}{'p99 us':>9}{'vs raw':>8}{'CPU us':>8}{'waits':>7}")
    for mode, label in ROWS:
        f = figures[mode]
        print(f"{label:<46}{f['exchanges_per_s']:>10.0f}{f['median_us']:>11.1f}{f['p99_us']:>9.1f}"
              f"{f['ratio_to_raw']:>8.2f}{f['cpu_us_per_exchange']:>8.1f}{f['waits_per_exchange']:>7.2f}")
    s = figures["silent_read_cpu"]
    print("CPU time of one silent 1000 ms read:"
          f" library {s['library_ms']:.3f} ms ({s['library_percent_of_wall']:.3f}% of wall),"
          f" sleeping reader {s['sleep_ms']:.1f} ms ({s['sleep_percent_of_wall']:.1f}%)")
    figures["loop_timing"] = loops
    print(f"\nA 1 kHz loop for {args.loop_seconds:g} s (periods between tick starts)")
    print(f"{'loop':<40}{'ticks/s':>9}{'p50 ms':>8}{'p99 ms':>8}{'max ms':>8}{'overruns':>10}")
    for key, label, _, _ in LOOP_ROWS:
        f = loops[key]
        print(f"{label:<40}{f['rate']:>9.1f}{f['period_p50'] * 1e3:>8.3f}{f['period_p99'] * 1e3:>8.3f}"
              f"{f['period_max'] * 1e3:>8.2f}{f['overruns']:>10}")
    f = through
    f["added_median_us"] = figures["recorded"]["median_us"] - figures["library"]["median_us"]
    figures["recorder"] = f
    print(f"\nThrough tessary record: {f['added_median_us']:.1f} us added to the median exchange;"
          f" a 1 kHz ServoLoop for {f['seconds']:g} s: {f['rate']:.1f} ticks/s, p99 {f['period_p99'] * 1e3:.3f} ms,"
          f" max {f['period_max'] * 1e3:.2f} ms, {f['overruns']} overruns;"
          f" capture {f['capture_bytes'] / 1e3:.0f} kB ({f['capture_bytes'] / f['seconds'] / 1e3:.1f} kB/s)")
    pathlib.Path(args.json).write_text(json.dumps(figures, indent=2) + "\n")
    print("figures written to", args.json)


if __name__ == "__main__":
    main()
