"""ROS 2 node benchmark: `tessary ros --sim` against an rclpy client in another process.

Prints the ~/pose messages a second the client receives at publish_rate 500,
the servo loop's ticks a second and p99 period meanwhile (from the node's
/diagnostics), the latency from a ~/wrench_command publish to the same force
on ~/wrench, and how long after the last command the watchdog's zero force
shows on ~/wrench.

It runs itself in a network namespace of its own with only loopback up, as
every ROS 2 run here does. Usage: make bench, or with the built module and
tessary on the path (PYTHONPATH=build/python:python) and the ros extra:
    python bench/ros_bench.py [--seconds S] [--commands N]
"""

import argparse
import os
import random
import statistics
import subprocess
import sys
import time

parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
parser.add_argument("--seconds", type=float, default=4.0, help="how long pose messages are counted (default 4)")
parser.add_argument("--commands", type=int, default=300, help="wrench commands timed (default 300)")
parser.add_argument("node", nargs="*", help="more options of tessary ros, after --, e.g. -- --realtime")
args = parser.parse_args()

INSIDE = "TESSARY_BENCH_NETNS"
if not os.environ.get(INSIDE):
    env = dict(os.environ, ROS_AUTOMATIC_DISCOVERY_RANGE="LOCALHOST",
               ROS_DOMAIN_ID=str(random.randrange(101, 200)), **{INSIDE: "1"})
    sys.exit(subprocess.run(["unshare", "-n", "sh", "-c", 'ip link set lo up && exec "$0" "$@"',
                             sys.executable, *sys.argv], env=env).returncode)

import rclpy  # noqa: E402
from diagnostic_msgs.msg import DiagnosticArray  # noqa: E402
from geometry_msgs.msg import PoseStamped, WrenchStamped  # noqa: E402
from rclpy.qos import qos_profile_sensor_data  # noqa: E402

TIMEOUT = 0.1  # the node's command_timeout

node_process = subprocess.Popen([sys.executable, "-m", "tessary", "ros", "--sim", *args.node, "--ros-args",
                                 "-p", "publish_rate:=500.0", "-p", f"command_timeout:={TIMEOUT}"])
try:
    rclpy.init()
    node = rclpy.create_node("bench")
    poses, wrenches, diagnostics = [], [], []
    sensor = qos_profile_sensor_data
    node.create_subscription(PoseStamped, "/tessary/pose", lambda m: poses.append(time.monotonic()), sensor)

    def on_wrench(msg, info):
        f = msg.wrench.force
        wrenches.append((info["received_timestamp"], (f.x, f.y, f.z)))

    node.create_subscription(WrenchStamped, "/tessary/wrench", on_wrench, sensor)
    node.create_subscription(DiagnosticArray, "/diagnostics", diagnostics.append, 10)
    command = node.create_publisher(WrenchStamped, "/tessary/wrench_command", sensor)

    def spin(seconds, until=lambda: False):
        end = time.monotonic() + seconds
        while time.monotonic() < end and not until():
            rclpy.spin_once(node, timeout_sec=0.001)

    def ros_now():
        return time.clock_gettime_ns(time.CLOCK_REALTIME)

    spin(30.0, lambda: poses and diagnostics)
    spin(1.0)
    start = time.monotonic()
    spin(args.seconds)
    counted = [t for t in poses if t >= start]
    pose_rate = len(counted) / args.seconds
    diagnostics.clear()
    spin(1.5, lambda: diagnostics)
    arm = next(s for s in diagnostics[-1].status if s.name.endswith(": arm"))
    values = {kv.key: kv.value for kv in arm.values}

    # A distinct force each time, exact in binary32, 10 ms apart.
    latencies = []
    for i in range(args.commands):
        force = (0.5 + (i % 64) / 64, -0.25, 0.125 * (i % 8))
        msg = WrenchStamped()
        msg.wrench.force.x, msg.wrench.force.y, msg.wrench.force.z = force
        seen = len(wrenches)
        sent = ros_now()
        command.publish(msg)
        spin(0.2, lambda: any(w[1] == force for w in wrenches[seen:]))
        arrived = [t for t, f in wrenches[seen:] if f == force]
        if arrived:
            latencies.append((arrived[0] - sent) / 1e6)
        spin(0.01)

    zeroed = []
    for _ in range(5):
        for _ in range(20):
            spin(0.01)
            last = ros_now()
            command.publish(msg)
        seen = len(wrenches)
        spin(1.0, lambda: any(f == (0.0, 0.0, 0.0) for _, f in wrenches[seen:]))
        first_zero = next((t for t, f in wrenches[seen:] if f == (0.0, 0.0, 0.0)), None)
        if first_zero:
            zeroed.append((first_zero - last) / 1e6)
    node.destroy_node()
    rclpy.shutdown()
finally:
    node_process.send_signal(2)
    status = node_process.wait(10)

cuts = statistics.quantiles(latencies, n=100, method="inclusive")
print(f"\nROS 2 node over loopback (tessary ros --sim {' '.join(args.node)}, publish_rate 500; load {os.getloadavg()[0]:.2f}):")
print(f"  ~/pose received:           {pose_rate:.0f} messages/s over {args.seconds:g} s")
print(f"  servo loop meanwhile:      {values['ticks last second']} ticks in the last second,"
      f" {values['rate']} Hz over the run, period p99 {values['period p99 (ms)']} ms, {values['overruns']} overruns")
print(f"  wrench_command -> ~/wrench: p50 {cuts[49]:.2f} ms, p99 {cuts[98]:.2f} ms, max {max(latencies):.2f} ms"
      f" ({len(latencies)} of {args.commands} commands seen)")
if zeroed:
    print(f"  watchdog: zero force on ~/wrench {statistics.fmean(zeroed):.1f} ms (max {max(zeroed):.1f} ms) after the"
          f" last command ({len(zeroed)} of 5 seen), command_timeout {TIMEOUT * 1000:g} ms")
else:
    print("  watchdog: no zero force seen on ~/wrench within 1 s of the last command")
print(f"  the node exited with status {status}")
