"""Control-loop benchmark: one force request and one state reply per exchange.

Runs five clients against the virtual arm of tessary-sim, interleaved round by
round so that machine noise hits all alike, and prints exchanges per second,
median and 99th-percentile latency and the ratio to the raw link limit; then
the CPU time that one silent 1000 ms read costs a thread.

Usage: make bench, or with the built module and tessary on the path
(PYTHONPATH=build/python:python):
    python bench/run_bench.py [--rounds R] [--batch N] [--json PATH]
"""

import argparse
import json
import os
import pathlib
import statistics
import struct
import subprocess
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
]


def run_cpp(mode, port, n):
    out = subprocess.run([str(BENCH), mode, port, str(n)], capture_output=True, text=True, check=True)
    return [int(line) for line in out.stdout.split()]


def run_python(port, n):
    stream = api.SerialStream(port)
    arm = api.Triaxon(stream)
    clock = time.perf_counter_ns
    latencies = [0] * n
    for i in range(n):
        start = clock()
        arm.end_effector_force(FORCE)
        latencies[i] = clock() - start
    return latencies


def run_pyserial(port, n):
    # Written the way a user would write it with pyserial.
    with serial.Serial(port, 115200, timeout=1) as line:
        clock = time.perf_counter_ns
        latencies = [0] * n
        for i in range(n):
            start = clock()
            line.write(REQUEST)
            reply = line.read(25)
            header, *state = struct.unpack("<B6f", reply)
            latencies[i] = clock() - start
            if header != 43:
                raise RuntimeError("unexpected reply")
    return latencies


def run(mode, port, n):
    if mode == "python":
        return run_python(port, n)
    if mode == "pyserial":
        return run_pyserial(port, n)
    return run_cpp(mode, port, n)


def percentile(values, q):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=40)
    parser.add_argument("--batch", type=int, default=1000)
    parser.add_argument("--json", default=str(BUILD / "bench.json"))
    args = parser.parse_args()

    with Simulator(triaxons=1, handles=0, binary=SIM) as sim:
        port = sim.arms[0]["pty"]
        samples = {mode: [] for mode, _ in ROWS}
        for mode, _ in ROWS:  # warm-up, not counted
            run(mode, port, 200)
        for _ in range(args.rounds):
            for mode, _ in ROWS:
                samples[mode] += run(mode, port, args.batch)
        silent = [int(v) for v in subprocess.run(
            [str(BENCH), "silent", port], capture_output=True, text=True, check=True).stdout.split()]

    figures = {}
    for mode, _ in ROWS:
        values = samples[mode]
        figures[mode] = {
            "exchanges": len(values),
            "exchanges_per_s": len(values) / (sum(values) / 1e9),
            "median_us": statistics.median(values) / 1e3,
            "p99_us": percentile(values, 0.99) / 1e3,
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

    print(f"{args.rounds} interleaved rounds of {args.batch} exchanges per client, over a pseudo-terminal")
    print(f"{'client':<46}{'exch/s':>10}{'median us':>11}{'p99 us':>9}{'vs raw':>8}")
    for mode, label in ROWS:
        f = figures[mode]
        print(f"{label:<46}{f['exchanges_per_s']:>10.0f}{f['median_us']:>11.1f}{f['p99_us']:>9.1f}"
              f"{f['ratio_to_raw']:>8.2f}")
    s = figures["silent_read_cpu"]
    print("CPU time of one silent 1000 ms read:"
          f" library {s['library_ms']:.3f} ms ({s['library_percent_of_wall']:.3f}% of wall),"
          f" sleeping reader {s['sleep_ms']:.1f} ms ({s['sleep_percent_of_wall']:.1f}%)")
    pathlib.Path(args.json).write_text(json.dumps(figures, indent=2) + "\n")
    print("figures written to", args.json)


if __name__ == "__main__":
    main()
