"""A virtual wall rendered twice while Python keeps busy: by a Python loop and by a ServoLoop.

Usage: python servo_wall.py PORT [--seconds S] [--stiffness N_PER_M] [--gap M] [--push N] [--plot PNG]

The wall of haptic_wall.py: a floor --gap metres (default 0.01) below the
end effector's starting point, a --stiffness spring (default 1000 N/m) past
it, and a --push (default 0 N) down standing in for a hand. Meanwhile the
main thread runs a busy Python computation, as a plot, a GUI or a
simulation would.

1. A 1 kHz Python loop on a thread of its own, one end_effector_force per
   tick, computing the wall force in Python. Each exchange gives the
   interpreter lock away and must take it back from the busy thread, which
   holds it for up to the switch interval (5 ms): the loop cannot keep its
   beat, and a wall rendered at a fifth of the rate is a fifth as stiff.
2. A ServoLoop: the same exchanges from a native thread, with the wall as a
   Plane effect and the push as a ConstantForce. No Python on its path, so
   the busy thread cannot slow it down.

It prints the rate and period percentiles of both, the depth at which the
end effector rests and the depth the push should settle at, a warning when
the machine was too busy for the ServoLoop to keep its beat (under 95 % of
the rate, or a period p99 over two periods), and with matplotlib
installed saves both period histograms side by side (in a fresh folder under
the system's temporary folder unless --plot says where).
"""

import argparse
import os
import statistics
import sys
import tempfile
import threading
import time

import TessaryHardwareAPI as api

RATE = 1000.0  # Hz, both loops
MAX_FORCE = 10.0  # N: never command more than this

parser = argparse.ArgumentParser(description="A virtual wall by a Python loop and by a ServoLoop, beside busy Python.")
parser.add_argument("port", help="the arm's serial port, e.g. /dev/ttyACM0")
parser.add_argument("--seconds", type=float, default=2.0, help="how long each loop runs (default 2)")
parser.add_argument("--stiffness", type=float, default=1000.0, help="wall spring in N/m (default 1000)")
parser.add_argument("--gap", type=float, default=0.01, help="wall distance below the start in m (default 0.01)")
parser.add_argument("--push", type=float, default=0.0, help="constant downward force in N (default 0)")
parser.add_argument("--plot", help="where to save the plot (default: servo_wall.png in a new folder)")
args = parser.parse_args()

stream = api.SerialStream(args.port)
arm = api.Triaxon(stream)
if arm.device_wakeup()[1] != 4:
    sys.exit(f"no Triaxon answered on {args.port}")
(_, _, z_start), _velocity = arm.end_effector_force([0.0, 0.0, 0.0])
wall = z_start - args.gap


def busy_for(seconds: float) -> int:
    """The main thread's busy Python work: pure interpreter time."""
    count, end = 0, time.perf_counter() + seconds
    while time.perf_counter() < end:
        count += sum(i * i for i in range(100))
    return count


def python_loop(periods: list[float], stop: threading.Event) -> None:
    """The wall in Python, paced by absolute deadlines (as haptic_wall.py)."""
    period = 1.0 / RATE
    force_z, last = 0.0, None
    next_tick = time.perf_counter()
    while not stop.is_set():
        now = time.perf_counter()
        if last is not None:
            periods.append(now - last)
        last = now
        position, _ = arm.end_effector_force([0.0, 0.0, force_z])
        depth = wall - position[2]
        force_z = max(-MAX_FORCE, min(MAX_FORCE, (args.stiffness * depth if depth > 0 else 0.0) - args.push))
        next_tick = max(next_tick + period, time.perf_counter() - period)  # late: move on, no burst
        pause = next_tick - time.perf_counter()
        if pause > 0:
            time.sleep(pause)


python_periods: list[float] = []
stop = threading.Event()
thread = threading.Thread(target=python_loop, args=(python_periods, stop))
thread.start()
busy_for(args.seconds)
stop.set()
thread.join()
arm.end_effector_force([0.0, 0.0, 0.0])

# A generous timeout for a simulated arm, a process of its own on a busy
# machine; a real arm answers well within the default ten periods.
loop = api.ServoLoop(arm, rate=RATE, max_force=MAX_FORCE, timeout=0.1)
loop.add(api.Plane(point=[0.0, 0.0, wall], normal=[0.0, 0.0, 1.0], stiffness=args.stiffness))
if args.push:
    loop.add(api.ConstantForce([0.0, 0.0, -args.push]))
with loop:  # started here; stopped, with zero force, at the end of the block
    busy_for(args.seconds)
samples = loop.samples()
servo_periods = [float(p) for p in samples["period"][1:]]
depth_mm = max(0.0, wall - float(samples["position"][-1][2])) * 1000


def report(name: str, periods: list[float]) -> tuple[float, float]:
    ms = [p * 1000.0 for p in periods]
    cuts = statistics.quantiles(ms, n=100, method="inclusive")
    print(f"{name:<11} {len(ms) + 1:>5} ticks in {sum(periods):.2f} s: {len(ms) / sum(periods):6.0f} Hz;"
          f" period ms p50 {cuts[49]:.3f}  p99 {cuts[98]:.3f}  max {max(ms):.2f}")
    return cuts[49], cuts[98]


print(f"A {RATE:g} Hz wall ({args.stiffness:g} N/m) while the main thread runs busy Python:")
python_cuts = report("Python loop", python_periods)
servo_cuts = report("ServoLoop", servo_periods)
stats = loop.stats()
rest = f" (a {args.push:g} N push on {args.stiffness:g} N/m settles at {args.push / args.stiffness * 1000:.2f} mm)"
print(f"ServoLoop: {stats['overruns']} overruns; the end effector rests {depth_mm:.2f} mm inside the wall"
      + (rest if args.push else ""))
# The point is a loop that keeps its beat beside busy Python; a machine too
# busy for that (other programs, not this script) hides it.
if stats["rate"] < 0.95 * RATE or stats["period_p99"] > 2.0 / RATE:
    print(f"warning: the ServoLoop was held up ({stats['rate']:.0f} Hz, period p99"
          f" {stats['period_p99'] * 1000:.2f} ms): the machine was too busy for this run to show the point;"
          " run it again when it is quieter")

try:
    import matplotlib
except ImportError:
    print("matplotlib is not installed: no plot")
    sys.exit(0)
matplotlib.use("Agg")  # files only, no window
import matplotlib.pyplot as plt  # noqa: E402

fig, panels = plt.subplots(1, 2, figsize=(12, 4.8), sharey=True)
fig.suptitle(f"{RATE:g} Hz loop beside a busy Python thread, {args.seconds:g} s each", fontsize=13)
top = max(max(python_periods), max(servo_periods)) * 1000 * 1.05
for panel, name, periods, (p50, p99) in (
    (panels[0], "Python loop (a thread of the script)", python_periods, python_cuts),
    (panels[1], "ServoLoop (a native thread)", servo_periods, servo_cuts),
):
    ms = [p * 1000.0 for p in periods]
    panel.hist(ms, bins=[top * i / 120 for i in range(121)], color="tab:blue", alpha=0.8)
    panel.set_yscale("log")
    panel.axvline(1000.0 / RATE, color="tab:green", lw=4, alpha=0.6, label=f"target {1000.0 / RATE:g} ms")
    panel.axvline(p50, color="black", ls="--", label=f"p50 {p50:.3f} ms")
    panel.axvline(p99, color="tab:orange", ls="--", label=f"p99 {p99:.3f} ms")
    panel.set(title=f"{name}: {len(ms) / sum(periods):.0f} Hz", xlabel="loop period (ms)", xlim=(0, top))
    panel.legend(loc="upper right", fontsize=9)
panels[0].set_ylabel("ticks (log)")
fig.tight_layout()
plot = args.plot or os.path.join(tempfile.mkdtemp(prefix="tessary-servo-"), "servo_wall.png")
fig.savefig(plot, dpi=100)
print(f"plot saved to {plot}")
