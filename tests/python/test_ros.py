"""`tessary ros` and `tessary teleop` against a real rclpy client in another
process. Each test runs as a child interpreter in a network namespace of its
own with only loopback up, its own ROS_DOMAIN_ID and localhost discovery; the
child plays the arm with the fake device (or tessary.sim), starts the nodes,
and prints what it saw as JSON for the test to check."""

import atexit
import json
import math
import os
import signal
import statistics
import struct
import subprocess
import sys
import time

import pytest

from conftest import FAKE_DIR, HERE, MODULE_DIR, ROOT, run_python

pytest.importorskip("rclpy", reason="the ros extra is not installed (make py-test installs requirements-ros.txt)")
UNSHARE = subprocess.run(["unshare", "-n", "sh", "-c", "ip link set lo up"], capture_output=True, text=True)
in_own_namespace = pytest.mark.skipif(
    UNSHARE.returncode != 0,
    reason=f"no private network namespace here (unshare -n: {UNSHARE.stderr.strip()});"
           " the ROS tests never use the real network")

PUSH = (0.5, -1.25, 2.0)  # exact in binary32
ZERO = (0.0, 0.0, 0.0)
STATE = (0.25, -0.5, 1.0, 2.0, 4.0, -8.0)


def in_namespace(code, domain, timeout=40):
    """`code` in a fresh interpreter inside a private network namespace; its JSON result."""
    env = dict(os.environ, ROS_AUTOMATIC_DISCOVERY_RANGE="LOCALHOST", ROS_DOMAIN_ID=str(domain),
               PYTHONPATH=os.pathsep.join([MODULE_DIR, FAKE_DIR, str(HERE), str(ROOT / "python")]))
    result = subprocess.run(["unshare", "-n", "sh", "-c", 'ip link set lo up && exec "$0" -c "$1"',
                             sys.executable, code], capture_output=True, text=True, timeout=timeout, env=env)
    assert result.returncode == 0, result.stderr[-3000:]
    return json.loads(result.stdout.strip().splitlines()[-1])


# -- run in the child -------------------------------------------------------


def forces(captured):
    """The force frames among the bytes the node sent (after its one wake-up byte)."""
    body = captured[1:]
    return [struct.unpack("<3f", body[i + 1:i + 13]) for i in range(0, len(body) - 12, 13)]


class Client:
    """An rclpy node listening to a tessary node's topics and /diagnostics."""

    def __init__(self, node="/tessary", topics=("pose", "twist", "wrench")):
        import rclpy
        from diagnostic_msgs.msg import DiagnosticArray
        from geometry_msgs.msg import PoseStamped, TwistStamped, WrenchStamped
        from rclpy.qos import qos_profile_sensor_data
        from std_srvs.srv import SetBool

        rclpy.init()
        self.rclpy, self.node = rclpy, rclpy.create_node("test_client")
        self.got = {"pose": [], "twist": [], "wrench": [], "diagnostics": []}
        kinds = {"pose": PoseStamped, "twist": TwistStamped, "wrench": WrenchStamped}
        for topic in topics:
            kind = kinds[topic]
            self.node.create_subscription(kind, f"{node}/{topic}", self.keep(topic), qos_profile_sensor_data)
        self.node.create_subscription(DiagnosticArray, "/diagnostics", self.keep("diagnostics"), 10)
        self.command = self.node.create_publisher(WrenchStamped, f"{node}/wrench_command", 10)
        self.target = self.node.create_publisher(PoseStamped, f"{node}/pose_target", 10)
        self.enable = self.node.create_client(SetBool, f"{node}/enable")
        self.WrenchStamped, self.SetBool = WrenchStamped, SetBool

    def keep(self, topic):
        return lambda message: self.got[topic].append((time.monotonic(), message))

    def spin(self, seconds, until=lambda: False):
        end = time.monotonic() + seconds
        while time.monotonic() < end and not until():
            self.rclpy.spin_once(self.node, timeout_sec=0.002)

    def push(self, force):
        message = self.WrenchStamped()
        message.wrench.force.x, message.wrench.force.y, message.wrench.force.z = force
        self.command.publish(message)

    def call_enable(self, on):
        future = self.enable.call_async(self.SetBool.Request(data=on))
        self.spin(5.0, future.done)
        return future.result().success

    def diagnostics(self, since):
        """{part: (level, message, values)} of the last /diagnostics array after `since`."""
        arrays = [m for t, m in self.got["diagnostics"] if t > since]
        return {s.name.split(": ")[1]: (ord(s.level) if isinstance(s.level, bytes) else s.level, s.message,
                                        {kv.key: kv.value for kv in s.values}) for s in arrays[-1].status}


def position(pose):
    p = pose.pose.position
    return [p.x, p.y, p.z]


def start_node(*args, params=(), ns=None, stderr=None):
    command = [sys.executable, "-m", "tessary", *args, "--ros-args", *(["-r", f"__ns:={ns}"] if ns else [])]
    for param in params:
        command += ["-p", param]
    process = subprocess.Popen(command, stderr=stderr, text=True)
    atexit.register(lambda: process.poll() is None and process.kill())  # a failed check leaves none behind
    return process


def answering_fake():
    """A fake arm that wakes up and answers every force request with STATE."""
    from support import state, wakeup_reply
    from tessary_fake import FakeDevice

    fake = FakeDevice()
    fake.answer(0x0A, 1, wakeup_reply())
    fake.answer(0x2A, 13, state(0x2B, *STATE))
    return fake


def device_checks():
    """One node on the fake arm: topics, a command, the clamp, the watchdog, enable, SIGINT;
    then one whose arm fails."""
    from geometry_msgs.msg import PoseStamped

    fake = answering_fake()
    # The fake plays the arm from this process, which a busy machine may keep waiting.
    node = start_node("ros", fake.path, "--reply-timeout", "1",
                      params=["publish_rate:=100.0", "command_timeout:=0.1", "max_force:=10.0", "stiffness:=500.0",
                              "damping:=0.0"])
    client = Client()
    seen = {}
    client.spin(15.0, lambda: client.got["pose"])
    start = time.monotonic()
    client.spin(1.0)
    # The rate from the stamps: a busy client drops messages (best effort), the node does not
    # stamp fewer. The median gap between stamps received one after another is the period.
    seen["period"] = {}
    for topic in ("pose", "twist", "wrench"):
        stamps = [m.header.stamp.sec + m.header.stamp.nanosec * 1e-9 for t, m in client.got[topic] if t > start]
        seen["period"][topic] = statistics.median(b - a for a, b in zip(stamps, stamps[1:]))
    pose = client.got["pose"][-1][1]
    p, o = pose.pose.position, pose.pose.orientation
    seen["pose"] = [pose.header.frame_id, p.x, p.y, p.z, o.x, o.y, o.z, o.w]
    v = client.got["twist"][-1][1].twist.linear
    seen["velocity"] = [v.x, v.y, v.z]

    for force, key in ((PUSH, "push"), ((30.0, 40.0, 0.0), "clamped")):
        for _ in range(20):
            client.push(force)
            client.spin(0.01)
        seen[key] = forces(fake.captured())[-1]
        w = client.got["wrench"][-1][1].wrench.force
        seen[key + "_on_wrench"] = [w.x, w.y, w.z]
    stopped = time.monotonic()
    client.spin(0.5, lambda: forces(fake.captured())[-1] == ZERO)
    seen["zeroed_after"] = time.monotonic() - stopped
    client.spin(1.2)
    seen["watchdog"] = client.diagnostics(stopped + 0.2)["commands"]

    # pose_target: a spring of `stiffness` to 2 mm along x from where the arm is
    for _ in range(20):
        target = PoseStamped()
        target.pose.position.x, target.pose.position.y, target.pose.position.z = STATE[0] + 0.002, *STATE[1:3]
        client.target.publish(target)
        client.spin(0.01)
    seen["spring"] = forces(fake.captured())[-1]

    seen["disable"] = client.call_enable(False)
    count, disabled = len(fake.captured()), time.monotonic()
    client.spin(0.3)
    client.spin(2.0, lambda: client.got["diagnostics"][-1][0] > disabled)
    seen["disabled"] = [len(fake.captured()) - count, forces(fake.captured())[-1],
                        client.diagnostics(disabled)["arm"][:2]]
    seen["enable"] = client.call_enable(True)
    client.push(PUSH)
    client.spin(0.3)
    seen["enabled_frames"] = len(fake.captured()) > count + 100

    for _ in range(10):
        client.push(PUSH)
        client.spin(0.01)
    node.send_signal(signal.SIGINT)
    seen["exit"] = node.wait(10)
    seen["last"] = forces(fake.captured())[-2:]

    # Another node on another fake arm, which hangs up under it.
    fake = answering_fake()
    started = time.monotonic()
    node = start_node("ros", fake.path, "--reply-timeout", "1", stderr=subprocess.PIPE)
    client.spin(15.0, lambda: client.got["diagnostics"][-1][0] > started)
    fake.hang_up()
    failed = time.monotonic()
    client.spin(10.0, lambda: node.poll() is not None and client.got["diagnostics"][-1][0] > failed)
    seen["failed"] = [*client.diagnostics(failed)["arm"][:2], node.wait(10), node.stderr.read().splitlines()[-1]]
    print(json.dumps(seen))


def teleop_checks():
    """Two simulated arms (the leader with a handle) and the teleop node between them; the
    leader held at a point by a pose_target, the follower sent to twice that."""
    from geometry_msgs.msg import PoseStamped, WrenchStamped
    from rclpy.qos import qos_profile_sensor_data
    from sensor_msgs.msg import Joy

    gains = ["publish_rate:=100.0", "stiffness:=1000.0", "damping:=26.0"]
    nodes = [start_node("ros", "--sim", "--handle", params=gains),
             start_node("ros", "--sim", params=gains, ns="/right"),
             start_node("teleop", "--leader", "/tessary", "--follower", "/right/tessary", "--scale", "2",
                        "--force-scale", "0.5")]
    client = Client(topics=("pose",))
    got = {"follower": [], "wrench": [], "feedback": [], "buttons": []}
    for key, kind, topic in (("follower", PoseStamped, "/right/tessary/pose"), ("buttons", Joy, "/tessary/buttons"),
                             ("wrench", WrenchStamped, "/right/tessary/wrench"),
                             ("feedback", WrenchStamped, "/tessary/wrench_command")):
        client.node.create_subscription(kind, topic, got[key].append, qos_profile_sensor_data)
    target = client.node.create_publisher(PoseStamped, "/tessary/pose_target", 10)
    client.spin(15.0, lambda: client.got["pose"] and got["follower"])
    def settled():
        # The feedback subscription may match later than the others (discovery on a busy machine).
        return (got["follower"] and math.dist(position(got["follower"][-1]), (0.02, 0.04, 0.08)) < 0.0005
                and len(got["feedback"]) >= 20)

    start = time.monotonic()  # held there until the follower settles (longer on a busy machine)
    while time.monotonic() - start < 10 and not (time.monotonic() - start > 1 and settled()):
        msg = PoseStamped()
        msg.pose.position.x, msg.pose.position.y, msg.pose.position.z = 0.01, 0.02, 0.04
        target.publish(msg)
        client.spin(0.005)
    leader = client.got["pose"][-1][1].pose
    q = leader.orientation
    sent = {(w.wrench.force.x, w.wrench.force.y, w.wrench.force.z) for w in got["wrench"]}
    fed_back = [(-2 * f.wrench.force.x, -2 * f.wrench.force.y, -2 * f.wrench.force.z) for f in got["feedback"]]
    print(json.dumps({"leader": [leader.position.x, leader.position.y, leader.position.z],
                      "follower": position(got["follower"][-1]), "orientation": [q.w, q.x, q.y, q.z],
                      "buttons": [list(got["buttons"][-1].axes), list(got["buttons"][-1].buttons)],
                      "feedback": [len(fed_back), sum(f in sent for f in fed_back)],
                      "exits": [n.send_signal(signal.SIGINT) or n.wait(10) for n in nodes]}))


# -- the tests --------------------------------------------------------------


@in_own_namespace
def test_a_node_on_the_fake_arm():
    seen = in_namespace("import test_ros; test_ros.device_checks()", domain=71)
    # publish_rate 100: each state topic every 10 ms, a little later on a busy machine
    assert all(0.009 <= period <= 0.016 for period in seen["period"].values()), seen["period"]
    assert seen["pose"] == ["tessary_base", *STATE[:3], 0.0, 0.0, 0.0, 1.0]
    assert seen["velocity"] == list(STATE[3:])
    # a command reaches the arm exactly, and ~/wrench shows what was sent
    assert seen["push"] == list(PUSH) and seen["push_on_wrench"] == list(PUSH)
    # 50 N scaled down to max_force 10, along the same direction
    assert seen["clamped"] == [6.0, 8.0, 0.0] and seen["clamped_on_wrench"] == [6.0, 8.0, 0.0]
    # the watchdog: zero force well within a second of the last command, and said so
    assert seen["zeroed_after"] < 0.5
    level, message, values = seen["watchdog"]
    assert (level, message, values["wrench_command"]) == (1, "watchdog: wrench_command expired, zero force", "expired")
    assert seen["spring"] == [1.0, 0.0, 0.0]  # 500 N/m x 2 mm, in binary32
    # enable false: no more exchanges, the last one zero force; the arm's status says disabled
    assert seen["disable"] and seen["disabled"] == [0, list(ZERO), [1, "disabled: zero force"]]
    assert seen["enable"] and seen["enabled_frames"]
    # SIGINT: exit 0, and the command it held replaced by zero force
    assert seen["exit"] == 0 and seen["last"] == [list(PUSH), list(ZERO)]
    # an arm that hangs up: ERROR on /diagnostics, the reason in the log, exit 1
    level, message, status, log = seen["failed"]
    assert (level, status) == (2, 1) and message.startswith("the arm on /dev/pts/") and "hung up" in message
    assert log.startswith("[ERROR]") and log.endswith(message), log




@in_own_namespace
def test_teleop_tracks_and_the_handle_gives_orientation_and_trigger():
    seen = in_namespace("import test_ros; test_ros.teleop_checks()", domain=73)
    assert seen["leader"] == pytest.approx([0.01, 0.02, 0.04], abs=1e-3)
    assert seen["follower"] == pytest.approx([0.02, 0.04, 0.08], abs=1e-3)  # --scale 2
    # the virtual handle turns about z: a unit quaternion, not the identity
    w, x, y, z = seen["orientation"]
    assert w * w + z * z == pytest.approx(1.0, abs=1e-6) and (x, y) == (0.0, 0.0) and abs(z) > 0
    axes, buttons = seen["buttons"]
    assert len(axes) == 1 and 0 <= axes[0] <= 1 and buttons == [int(axes[0] >= 128 / 255)]
    # the leader's wrench_command is the follower's sent force times -0.5 (--force-scale)
    count, matched = seen["feedback"]
    assert count >= 20 and matched > count / 2, seen["feedback"]
    assert seen["exits"] == [0, 0, 0]


def tessary_in_child(args, setup=""):
    """The tessary command's main(args) in a fresh interpreter, after `setup`."""
    return run_python(f"import sys; sys.path.insert(0, {str(ROOT / 'python')!r}); {setup}"
                      f"from tessary.cli import main; sys.exit(main({args.split()!r}))")


@pytest.mark.parametrize("args, status, line", [
    # refused before any ROS traffic: no namespace needed
    ("ros", 2, "tessary ros: error: give the arm's PORT, or --sim"),
    ("ros /dev/ttyACM0 --sim", 2, "tessary ros: error: give the arm's PORT or --sim, not both"),
    ("ros /dev/ttyACM0 --handle", 2, "tessary ros: error: --handle needs a PORT unless --sim is given"),
    ("ros /nonexistent/ttyACM9 --ros-args -p rate:=500.0", 1, "tessary: /nonexistent/ttyACM9: no such port"),
    ("teleop --leader /a/tessary --follower /a/tessary", 2,
     "tessary teleop: error: the leader and the follower must be two nodes"),
    ("teleop --leader a --follower /b/tessary", 2,
     "tessary teleop: error: argument --leader: a node's full name, as /left/tessary, not 'a'"),
])
def test_refusals_end_in_one_line(args, status, line):
    result = tessary_in_child(args)
    assert (result.returncode, result.stderr.splitlines()[-1]) == (status, line), result.stderr


def test_without_rclpy_the_ros_commands_say_how_to_get_it_and_the_others_never_import_it():
    result = tessary_in_child("ros --sim", setup="sys.modules['rclpy'] = None; ")
    assert (result.returncode, result.stderr) == (1, "tessary: cannot import rclpy (import of rclpy halted; None in"
                                                     " sys.modules): pip install 'TessaryHardwareAPI[ros]', or source"
                                                     " a ROS 2 installation\n")
    result = tessary_in_child("ports --dev /dev", setup="import atexit; atexit.register(lambda: print("
                              "[m for m in sys.modules if m.startswith('rclpy')], file=sys.stderr)); ")
    assert (result.returncode, result.stderr) == (0, "[]\n"), result.stderr
