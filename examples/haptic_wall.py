"""Render a virtual wall on a Triaxon arm: a two-second haptic control loop.

Usage: python haptic_wall.py PORT [--seconds S] [--rate HZ] [--stiffness N_PER_M]
                                  [--gap M] [--push N] [--plot PNG]

The wall is a horizontal plane --gap metres (default 0.01) below the point
where the end effector is when the loop starts. While the end effector is
above it no force is applied; once it passes the plane, a spring pushes it
back up with --stiffness newtons per metre of penetration. Press the handle
down and you feel a floor.

Every iteration is one exchange: `end_effector_force` sends the force and
returns the arm's position and velocity from the same reply. The loop is
paced to --rate iterations per second (0: as fast as the link allows).
--push adds a constant downward force, standing in for a hand when nobody
holds the arm (the demo uses it against the virtual arm).

At the end it prints the achieved loop rate, the period percentiles and the
penetration depth, and with matplotlib installed saves a PNG plot of the
position trajectory and of the period histogram.
"""

import argparse
import os
import statistics
import sys
import tempfile
import time

import TessaryHardwareAPI as api

MAX_FORCE = 10.0  # N: never command more than this, whatever the spring says
STALL = 0.5  # s: an exchange this slow means the read timed out (see below)

parser = argparse.ArgumentParser(description="Render a virtual wall on a Triaxon arm.")
parser.add_argument("port", help="the arm's serial port, e.g. /dev/ttyACM0")
parser.add_argument("--seconds", type=float, default=2.0, help="loop duration (default 2)")
parser.add_argument("--rate", type=float, default=1000.0, help="loop rate in Hz (default 1000)")
parser.add_argument("--stiffness", type=float, default=1000.0, help="wall spring in N/m (default 1000)")
parser.add_argument("--gap", type=float, default=0.01, help="wall distance below the start in m (default 0.01)")
parser.add_argument("--push", type=float, default=0.0, help="constant downward force in N (default 0)")
parser.add_argument("--plot", default=os.path.join(tempfile.gettempdir(), "haptic_wall.png"),
                    help="where to save the plot (default %(default)s)")
args = parser.parse_args()

stream = api.SerialStream(args.port)  # keep it referenced while the arm is in use
arm = api.Triaxon(stream)
if arm.device_wakeup()[1] != 4:
    sys.exit(f"no Triaxon answered on {args.port}")

# A zero-force exchange tells where the end effector is now.
(_, _, z_start), _ = arm.end_effector_force([0.0, 0.0, 0.0])
wall = z_start - args.gap
period = 1.0 / args.rate if args.rate > 0 else 0.0

times, heights, periods = [], [], []
force_z = 0.0
failed = False
start = last = time.perf_counter()
deadline = start + args.seconds
next_tick = start
try:
    while True:
        now = time.perf_counter()
        if now >= deadline:
            break
        position, velocity = arm.end_effector_force([0.0, 0.0, force_z])
        done = time.perf_counter()
        if done - now > STALL:
            # No (complete) reply within the library's 1 s read budget: the
            # call returned zeros, and the stream now stays failed, so every
            # later call would return zeros at once until stream.reopen()
            # (supervised_loop.py shows how to recover).
            failed = True
            break
        if times:
            periods.append(now - last)
        last = now
        times.append(now - start)
        z = position[2]
        heights.append(z)

        # The wall: a spring acting only beyond the plane, plus the push.
        penetration = wall - z
        force_z = args.stiffness * penetration if penetration > 0 else 0.0
        force_z = max(-MAX_FORCE, min(MAX_FORCE, force_z - args.push))

        if period:
            next_tick += period  # absolute deadlines keep the mean rate exact
            pause = next_tick - time.perf_counter()
            if pause > 0:
                time.sleep(pause)
finally:
    arm.end_effector_force([0.0, 0.0, 0.0])  # never leave a force applied

if failed:
    sys.exit(f"the arm stopped answering after {len(times)} exchanges")
if len(periods) < 2:
    sys.exit("too few exchanges to report")

elapsed = times[-1]
ms = [p * 1000.0 for p in periods]
cuts = statistics.quantiles(ms, n=100, method="inclusive")
depths = [max(0.0, wall - z) for z in heights]
tail = depths[len(depths) * 9 // 10:]  # the last tenth, once it has settled
print(f"{len(times)} exchanges in {elapsed:.3f} s: {(len(times) - 1) / elapsed:.0f} Hz"
      + (f" (asked for {args.rate:.0f} Hz)" if period else ""))
print(f"period ms: p50 {cuts[49]:.3f}  p90 {cuts[89]:.3f}  p99 {cuts[98]:.3f}  max {max(ms):.3f}")
print(f"wall at z = {wall:.4f} m; penetration: max {max(depths) * 1000:.2f} mm,"
      f" at the end {statistics.fmean(tail) * 1000:.2f} mm"
      + (f" (a {args.push:g} N push on {args.stiffness:g} N/m settles at"
         f" {args.push / args.stiffness * 1000:.2f} mm)" if args.push else ""))

try:
    import matplotlib
except ImportError:
    print("matplotlib is not installed: no plot")
    sys.exit(0)
matplotlib.use("Agg")  # files only, no window
import matplotlib.pyplot as plt  # noqa: E402

fig, (top, bottom) = plt.subplots(2, 1, figsize=(8, 7))
top.plot(times, [z * 1000 for z in heights], lw=1, label="end effector z")
top.axhline(wall * 1000, color="red", ls="--", label="wall")
top.axhspan(min(min(heights), wall) * 1000 - 1, wall * 1000, color="red", alpha=0.08)
top.set(xlabel="time (s)", ylabel="z (mm)", title="Position trajectory")
top.legend(loc="upper right")
bottom.hist(ms, bins=60)
bottom.set_yscale("log")
bottom.set(xlabel="loop period (ms)", ylabel="count", title="Loop period histogram")
fig.tight_layout()
fig.savefig(args.plot, dpi=100)
print(f"plot saved to {args.plot}")
