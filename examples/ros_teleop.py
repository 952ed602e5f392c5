"""Teleoperation over ROS 2 between two simulated arms.

Usage: python ros_teleop.py [--seconds S] [--radius M] [--hz F] [--plot PNG]

Starts two `tessary ros --sim` nodes (/left/tessary, the leader, and
/right/tessary, the follower) and `tessary teleop` between them. A hand
moves the leader: this script pulls it round a circle of --radius metres
(default 0.02) at --hz turns a second (default 0.2) through the leader's
`pose_target`. The follower tracks it; what holds the follower back comes
back to the leader as a `wrench_command`.

It prints and plots the follower's tracking error, the latency from a
leader pose to the follower's target and the follower's lag, and the force
felt at the leader; the plot goes to a fresh temporary folder unless --plot
says where (matplotlib needed).

ROS 2 traffic stays on this machine: the script runs itself in a network
namespace of its own with only loopback up (unshare -n, as root or with
user namespaces), with localhost discovery and a domain id of its own.
"""

import argparse
import bisect
import math
import os
import random
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from typing import Any

parser = argparse.ArgumentParser(description="Teleoperation over ROS 2 between two simulated arms.")
parser.add_argument("--seconds", type=float, default=7.5, help="how long the hand moves the leader (default 7.5)")
parser.add_argument("--radius", type=float, default=0.02, help="the circle's radius in m (default 0.02)")
parser.add_argument("--hz", type=float, default=0.2, help="turns a second (default 0.2)")
parser.add_argument("--plot", help="where to save the plot (default: ros_teleop.png in a new folder)")
args = parser.parse_args()

INSIDE = "TESSARY_TELEOP_NETNS"
if not os.environ.get(INSIDE):
    # Again, inside a private network namespace: no DDS traffic leaves the machine.
    env = dict(os.environ, ROS_AUTOMATIC_DISCOVERY_RANGE="LOCALHOST",
               ROS_DOMAIN_ID=str(random.randrange(1, 101)), **{INSIDE: "1"})
    if not shutil.which("unshare"):
        sys.exit("ros_teleop: unshare (util-linux) is needed to keep ROS 2 traffic in a namespace of its own")
    status = subprocess.run(["unshare", "-n", "sh", "-c", 'ip link set lo up && exec "$0" "$@"',
                             sys.executable, *sys.argv], env=env).returncode
    sys.exit(status)

import rclpy  # noqa: E402
from geometry_msgs.msg import PoseStamped, WrenchStamped  # noqa: E402
from rclpy.qos import qos_profile_sensor_data  # noqa: E402

CENTRE = (0.0, 0.0, 0.05)  # m, inside the virtual arm's 0.1 m workspace
SETTLE = 2.0  # s: the hand takes the leader to the circle's start
# Gains: a hand that holds the leader firmly; a follower spring critically
# damped for the virtual arm's 0.2 kg (its own viscous 2 N*s/m included).
HAND = ["-p", "stiffness:=1500.0", "-p", "damping:=20.0"]
FOLLOWER = ["-p", "stiffness:=1000.0", "-p", "damping:=26.0"]


def tessary(*arguments: str) -> subprocess.Popen[bytes]:
    return subprocess.Popen([sys.executable, "-m", "tessary", *arguments])


def stamp(header: Any) -> float:
    return float(header.stamp.sec + header.stamp.nanosec * 1e-9)


def hand_at(t: float) -> tuple[float, float, float]:
    """The hand's target t seconds after the start: to the circle, then round it."""
    cx, cy, cz = CENTRE
    if t < SETTLE:
        return (cx + args.radius * min(1.0, t / (SETTLE / 2)), cy, cz)
    angle = 2 * math.pi * args.hz * (t - SETTLE)
    return (cx + args.radius * math.cos(angle), cy + args.radius * math.sin(angle), cz)


nodes = [
    tessary("ros", "--sim", "--ros-args", "-r", "__ns:=/left", *HAND),
    tessary("ros", "--sim", "--ros-args", "-r", "__ns:=/right", *FOLLOWER),
    tessary("teleop", "--leader", "/left/tessary", "--follower", "/right/tessary"),
]
Vector = tuple[float, float, float]
leader: list[tuple[float, Vector]] = []  # (stamp, position)
follower: list[tuple[float, Vector]] = []
targets: list[tuple[float, float]] = []  # (arrival, the leader pose's stamp)
feedback: list[tuple[float, Vector]] = []  # (arrival, force)
try:
    rclpy.init()
    node = rclpy.create_node("hand")
    clock = node.get_clock()

    def now() -> float:
        return float(clock.now().nanoseconds) * 1e-9

    def position(msg: Any) -> tuple[float, float, float]:
        p = msg.pose.position
        return (float(p.x), float(p.y), float(p.z))

    sensor = qos_profile_sensor_data
    node.create_subscription(PoseStamped, "/left/tessary/pose",
                             lambda m: leader.append((stamp(m.header), position(m))), sensor)
    node.create_subscription(PoseStamped, "/right/tessary/pose",
                             lambda m: follower.append((stamp(m.header), position(m))), sensor)
    # The teleop's target keeps the leader pose's stamp: its arrival (as the
    # middleware took it in, before this busy script gets to it) minus that
    # stamp is the latency from the leader's tick to the follower's target.
    node.create_subscription(PoseStamped, "/right/tessary/pose_target",
                             lambda m, info: targets.append((info["received_timestamp"] * 1e-9, stamp(m.header))),
                             sensor)
    node.create_subscription(WrenchStamped, "/left/tessary/wrench_command",
                             lambda m: feedback.append((now(), (m.wrench.force.x, m.wrench.force.y,
                                                                m.wrench.force.z))), sensor)
    hand = node.create_publisher(PoseStamped, "/left/tessary/pose_target", sensor)

    deadline = time.monotonic() + 30
    while not (leader and follower and targets) and time.monotonic() < deadline:
        rclpy.spin_once(node, timeout_sec=0.05)
    if not (leader and follower and targets):
        sys.exit("ros_teleop: the nodes did not come up within 30 s")
    start = now()
    next_send = time.monotonic()
    while now() - start < SETTLE + args.seconds:
        if time.monotonic() >= next_send:  # the hand: 200 targets a second
            msg = PoseStamped()
            msg.header.frame_id = "tessary_base"
            msg.pose.position.x, msg.pose.position.y, msg.pose.position.z = hand_at(now() - start)
            msg.pose.orientation.w = 1.0
            hand.publish(msg)
            next_send += 0.005
        rclpy.spin_once(node, timeout_sec=0.001)
    node.destroy_node()
    rclpy.shutdown()
finally:
    for process in reversed(nodes):
        process.send_signal(signal.SIGINT)
    codes = [process.wait(10) for process in nodes]
if any(codes):
    sys.exit(f"ros_teleop: a node exited with {codes}")

# Steady motion: the last full turns, after the approach and a quarter turn.
steady = start + SETTLE + 0.25 / args.hz
times = [t for t, _ in leader]


def leader_at(t: float) -> tuple[float, ...]:
    """The leader's position at time t, interpolated between its samples."""
    i = min(max(bisect.bisect_left(times, t), 1), len(times) - 1)
    (t0, a), (t1, b) = leader[i - 1], leader[i]
    w = 0.0 if t1 == t0 else min(1.0, max(0.0, (t - t0) / (t1 - t0)))
    return tuple(u + w * (v - u) for u, v in zip(a, b))


def errors(lag: float) -> list[float]:
    return [math.dist(p, leader_at(t - lag)) for t, p in follower if t >= steady and t - lag >= times[0]]


error_mm = [e * 1000 for e in errors(0.0)]
rms = math.sqrt(statistics.fmean(e * e for e in error_mm))
lag_ms = min(range(0, 60), key=lambda ms: sum(e * e for e in errors(ms / 1000)))
latency_ms = sorted((arrival - sent) * 1000 for arrival, sent in targets if arrival >= steady)
cuts = statistics.quantiles(latency_ms, n=100, method="inclusive")
felt = [(t, math.hypot(*f)) for t, f in feedback if t >= start]
steady_felt = [f for t, f in felt if t >= steady]

print(f"follower tracking the leader over {args.seconds - 0.25 / args.hz:.1f} s of steady motion"
      f" ({2 * math.pi * args.radius * args.hz * 1000:.0f} mm/s):")
print(f"  tracking error: RMS {rms:.2f} mm, max {max(error_mm):.2f} mm ({len(error_mm)} follower poses)")
print(f"  leader pose -> follower pose_target latency: p50 {cuts[49]:.2f} ms, p99 {cuts[98]:.2f} ms;"
      f" the follower's position lags the leader's by {lag_ms} ms")
print(f"  force felt at the leader: mean {statistics.fmean(steady_felt):.2f} N, max {max(steady_felt):.2f} N")

try:
    import matplotlib
except ImportError:
    print("matplotlib is not installed: no plot")
    sys.exit(0)
matplotlib.use("Agg")  # files only, no window
import matplotlib.pyplot as plt  # noqa: E402

fig, (paths, error_panel, latency_panel, force_panel) = plt.subplots(1, 4, figsize=(18, 4.5))
fig.suptitle(f"Teleoperation over ROS 2 (loopback): a {args.radius * 1000:g} mm circle at {args.hz:g} Hz", fontsize=13)
paths.plot([p[0] * 1000 for _, p in leader], [p[1] * 1000 for _, p in leader], lw=3, alpha=0.5, label="leader")
paths.plot([p[0] * 1000 for _, p in follower], [p[1] * 1000 for _, p in follower], lw=1, label="follower")
paths.set(title="paths (x-y)", xlabel="x (mm)", ylabel="y (mm)", aspect="equal")
paths.legend(loc="upper right", fontsize=9)
error_panel.plot([t - start for t, p in follower if t >= steady], error_mm, lw=0.8)
error_panel.axhline(rms, color="tab:orange", ls="--", label=f"RMS {rms:.2f} mm")
error_panel.set(title="tracking error, steady motion", xlabel="time (s)", ylabel="|follower - leader| (mm)")
error_panel.legend(loc="upper right", fontsize=9)
latency_panel.hist(latency_ms, bins=60, color="tab:blue", alpha=0.8)
latency_panel.axvline(cuts[49], color="black", ls="--", label=f"p50 {cuts[49]:.2f} ms")
latency_panel.axvline(cuts[98], color="tab:orange", ls="--", label=f"p99 {cuts[98]:.2f} ms")
latency_panel.set(title="leader pose -> follower target", xlabel="latency (ms)", ylabel="messages")
latency_panel.legend(loc="upper right", fontsize=9)
force_panel.plot([t - start for t, _ in felt], [f for _, f in felt], lw=0.8)
force_panel.axvline(steady - start, color="grey", ls=":", label="steady motion from here")
# The approach's peak (the follower pulled from its start) would flatten the rest.
top = 3 * max(steady_felt)
peak = max(f for _, f in felt)
force_panel.set(title="force felt at the leader" + (f"\n(approach peak {peak:.1f} N off scale)" if peak > top else ""),
                xlabel="time (s)", ylabel="|wrench_command| (N)", ylim=(0, top))
force_panel.legend(loc="upper right", fontsize=9)
fig.tight_layout()
plot = args.plot or os.path.join(tempfile.mkdtemp(prefix="tessary-teleop-"), "ros_teleop.png")
fig.savefig(plot, dpi=100)
print(f"plot saved to {plot}")
