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
position trajectory, the force sent and the period histogram (by default in
a fresh folder under the system's temporary folder).
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
parser.add_argument("--plot", help="where to save the plot (default: haptic_wall.png in a new folder)")
args = parser.parse_args()

stream = api.SerialStream(args.port)  # keep it referenced while the arm is in use
arm = api.Triaxon(stream)
if arm.device_wakeup()[1] != 4:
    sys.exit(f"no Triaxon answered on {args.port}")
# tessary-sim's arms say so in their firmware id; the plot's title does too.
simulated = arm.get_firmware_version().bytes.startswith(b"tessary-sim")

# A zero-force exchange tells where the end effector is now.
(_, _, z_start), _velocity = arm.end_effector_force([0.0, 0.0, 0.0])
wall = z_start - args.gap
period = 1.0 / args.rate if args.rate > 0 else 0.0

times: list[float] = []
heights: list[float] = []
forces: list[float] = []
periods: list[float] = []
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
        sent = force_z
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
        forces.append(sent)
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

arm_name = "Simulated Triaxon arm" if simulated else f"Triaxon arm on {args.port}"
load = f"{args.push:g} N push into" if args.push else "hand on"
rate = f"{args.rate:g} Hz loop" if period else "free-running loop"
p50, p99 = cuts[49], cuts[98]

fig, (top, middle, bottom) = plt.subplots(3, 1, figsize=(9, 10), gridspec_kw={"height_ratios": [3, 2, 3]})
fig.suptitle(f"{arm_name}: {load} a {args.stiffness:g} N/m virtual wall\n"
             f"{rate}, {elapsed:.1f} s, {len(times)} exchanges", fontsize=13)

z_mm = [z * 1000 for z in heights]
floor = min(min(z_mm), wall * 1000) - 2
top.axhspan(floor, wall * 1000, color="red", alpha=0.10, label="inside the wall")
top.axhline(wall * 1000, color="red", ls="--", lw=1, label=f"wall surface, z = {wall * 1000:.1f} mm")
top.plot(times, z_mm, lw=1.2, color="tab:blue", label="end effector z")
top.text(times[-1] * 0.98, floor + 0.5, f"inside the wall: a {args.stiffness:g} N/m spring pushes back",
         color="darkred", ha="right", va="bottom")
if args.push:
    top.annotate(f"at rest {statistics.fmean(tail) * 1000:.2f} mm inside: push ÷ stiffness",
                 (times[-1], z_mm[-1]), xytext=(-8, -4), textcoords="offset points", ha="right", va="top")
top.set(ylabel="height z (mm)", title="Position", xlim=(0, times[-1]), ylim=(floor, max(z_mm) + 2))
top.legend(loc="upper right", fontsize=9)

middle.axhline(0, color="grey", lw=0.8)
middle.plot(times, forces, lw=1.2, color="tab:purple", label="force sent, z (wall spring − push)")
if args.push:
    middle.axhline(-args.push, color="tab:green", ls=":", label=f"push alone, −{args.push:g} N")
middle.set(xlabel="time (s)", ylabel="force z (N)", title="Force sent each exchange", xlim=(0, times[-1]))
middle.legend(loc="upper right", fontsize=9)

bottom.hist(ms, bins=80, color="tab:blue", alpha=0.8)
bottom.set_yscale("log")
if period:
    bottom.axvline(period * 1000, color="tab:green", lw=4, alpha=0.6, label=f"target {period * 1000:g} ms")
bottom.axvline(p50, color="black", ls="--", label=f"p50 {p50:.3f} ms")
bottom.axvline(p99, color="tab:orange", ls="--", label=f"p99 {p99:.3f} ms")
bottom.set(xlabel="loop period (ms)", ylabel="count (log)", title="Loop period histogram")
bottom.legend(loc="upper right", fontsize=9)

fig.tight_layout()
plot = args.plot or os.path.join(tempfile.mkdtemp(prefix="tessary-wall-"), "haptic_wall.png")
fig.savefig(plot, dpi=100)
print(f"plot saved to {plot}")
