"""`tessary ros [PORT] [--sim] [--handle [PORT]] [--realtime] [--reply-timeout S]
[--ros-args ...]`: the arm (and a handle) as a ROS 2 node named `tessary`.

The arm's ServoLoop renders the commands: `~/wrench_command` as a
ConstantForce and `~/pose_target` as a Spring, summed with each other and
clamped to `max_force` on the servo thread. Each has a lifetime of
`command_timeout`, renewed by every message, so a publisher that stops
leaves zero force without any Python in the way. The node's state topics
come from the loop's samples: it never makes an exchange of its own.

Failures before the node runs end in one line (tessary.session.Failure);
a device that fails while it runs is reported as ERROR on /diagnostics and
in the log, and the command exits 1. SIGINT and SIGTERM stop the loop,
which sends zero force, and exit 0.
"""

from __future__ import annotations

import argparse
import contextlib
import math
import os
import signal
import threading
from typing import Any

import rclpy
from diagnostic_msgs.msg import DiagnosticArray, DiagnosticStatus, KeyValue
from geometry_msgs.msg import PoseStamped, TwistStamped, WrenchStamped
from rcl_interfaces.msg import FloatingPointRange, ParameterDescriptor, SetParametersResult
from rclpy.duration import Duration
from rclpy.exceptions import ParameterException
from rclpy.executors import SingleThreadedExecutor
from rclpy.node import Node
from rclpy.qos import qos_profile_sensor_data
from rclpy.signals import SignalHandlerOptions
from rclpy.time import Time
from rclpy.utilities import remove_ros_args
from sensor_msgs.msg import Joy
from std_srvs.srv import SetBool

from tessary.session import Failure, check_port, import_api, listener, lost, open_stream

NAME = "tessary"
ARM_MODEL_NUMBER = 4
OK, WARN, ERROR = DiagnosticStatus.OK, DiagnosticStatus.WARN, DiagnosticStatus.ERROR
# A hall-effect level at or above this reads as the trigger pressed.
TRIGGER_LEVEL = 128
# Seconds an arm's reply may be missing before the loop fails: a real arm
# answers within a period; the virtual one, a process of its own on a shared
# machine, now and then waits for a core much longer.
REPLY_TIMEOUT = 0.05
SIM_REPLY_TIMEOUT = 1.0

# name: (default, low, high, read-only, description)
PARAMETERS: dict[str, tuple[float, float, float, bool, str]] = {
    "rate": (1000.0, 100.0, 10000.0, True, "servo loop rate in Hz"),
    "publish_rate": (500.0, 1.0, 1000.0, False, "rate of ~/pose, ~/twist and ~/wrench in Hz"),
    "max_force": (10.0, 0.1, 100.0, True, "largest force magnitude ever sent, in the device's units (N)"),
    "command_timeout": (0.1, 0.005, 10.0, False,
                        "seconds after its last message that a command's force goes to zero"),
    "stiffness": (500.0, 0.0, 10000.0, False, "pose_target spring stiffness (N/m)"),
    "damping": (15.0, 0.0, 1000.0, False, "pose_target spring damping (N*s/m)"),
}


def reply_timeout(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not 0.001 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"must be a number of seconds from 0.001 to 1, not {text!r}")
    return value


def parse(argv: list[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="tessary ros", description="The arm (and a handle) as a ROS 2 node; ROS arguments follow --ros-args.")
    parser.add_argument("port", nargs="?", metavar="PORT", help="the arm's serial port")
    parser.add_argument("--sim", action="store_true", help="start a virtual arm (and handle) with tessary.sim")
    parser.add_argument("--handle", nargs="?", const="sim", metavar="PORT",
                        help="a Handle tool's port for the orientation and trigger (with --sim: none needed)")
    parser.add_argument("--realtime", action="store_true",
                        help="ask for real-time scheduling (SCHED_FIFO) of the servo thread; a warning if refused")
    parser.add_argument("--reply-timeout", type=reply_timeout, metavar="S",
                        help=f"seconds the arm's reply may be missing before the node fails (default"
                             f" {REPLY_TIMEOUT:g}; {SIM_REPLY_TIMEOUT:g} with --sim)")
    args = parser.parse_args(argv)
    if bool(args.port) == args.sim:
        parser.error("give the arm's PORT or --sim, not both" if args.sim else "give the arm's PORT, or --sim")
    if args.handle == "sim" and not args.sim:
        parser.error("--handle needs a PORT unless --sim is given")
    return args


class HandleReader:
    """Polls a Handle's status on a thread of its own (a Receive waits for
    its reply); keeps the newest orientation and hall-effect level."""

    def __init__(self, api: Any, port: str, on_status: Any) -> None:
        self.api = api
        self.stream = open_stream(api, port)
        self.tool = listener(api, self.stream)
        self.on_status = on_status
        self.quaternion: tuple[float, float, float, float] | None = None  # w, x, y, z (wire order)
        self.failed: str | None = None
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="tessary-handle", daemon=True)

    def attach(self, loop: Any) -> None:
        """The arm's loop, made with this node's rate and max_force."""
        self.loop = loop
        loop.add(self.command)

    def start(self) -> None:
        self._thread.start()

    def stop(self) -> None:
        self._stop.set()
        self._thread.join(timeout=2.0)

    def _run(self) -> None:
        while not self._stop.wait(0.01):
            self.tool.status = None
            self.tool.RequestStatus()
            self.tool.Receive()
            why = lost(self.api, self.stream)
            if why or self.tool.status is None:
                self.failed = why or "no status reply"
                return
            _, quaternion, _, hall, _ = self.tool.status
            self.quaternion = tuple(quaternion)
            self.on_status(hall)


class TessaryNode(Node):  # type: ignore[misc]
    def __init__(self, api: Any, port: str, handle_port: str | None) -> None:
        super().__init__(NAME)
        self.api, self.port = api, port
        self.loop: Any = None  # attach()
        for name, (default, low, high, read_only, text) in PARAMETERS.items():
            self.declare_parameter(name, default, ParameterDescriptor(
                description=text, read_only=read_only,
                floating_point_range=[FloatingPointRange(from_value=low, to_value=high, step=0.0)]))
        self.declare_parameter("frame_id", "tessary_base", ParameterDescriptor(
            description="frame of the published poses, twists and wrenches (REP 103: x forward, y left, z up)"))
        self.frame_id = self.get_parameter("frame_id").value
        timeout = self.value("command_timeout")

        # The watchdog: both commands render zero force once command_timeout
        # passes without a message, on the servo thread.
        self.command = api.ConstantForce([0.0, 0.0, 0.0], lifetime=timeout)
        self.spring: Any = None  # made by the first pose_target
        self.commanded = {"wrench_command": False, "pose_target": False}

        sensor = qos_profile_sensor_data
        self.pose_pub = self.create_publisher(PoseStamped, "~/pose", sensor)
        self.twist_pub = self.create_publisher(TwistStamped, "~/twist", sensor)
        self.wrench_pub = self.create_publisher(WrenchStamped, "~/wrench", sensor)
        self.diagnostics_pub = self.create_publisher(DiagnosticArray, "/diagnostics", 10)
        self.create_subscription(WrenchStamped, "~/wrench_command", self.on_wrench_command, sensor)
        self.create_subscription(PoseStamped, "~/pose_target", self.on_pose_target, sensor)
        self.create_service(SetBool, "~/enable", self.on_enable)
        self.add_on_set_parameters_callback(self.on_parameters)

        self.tool: HandleReader | None = None
        if handle_port:
            self.buttons_pub = self.create_publisher(Joy, "~/buttons", sensor)
            self.tool = HandleReader(api, handle_port, self.publish_buttons)

        self.failure: str | None = None
        self.stamp_zero: int | None = None  # ROS time (ns) of the loop's time 0
        self.previous: dict[str, int] = {"ticks": 0, "overruns": 0, "dropped": 0}
        self.last_stats: dict[str, Any] = dict(self.previous, rate=0.0, period_p99=0.0)
        self.publish_timer = self.create_timer(1.0 / self.value("publish_rate"), self.publish_state)
        self.create_timer(1.0, self.publish_diagnostics)

    def value(self, name: str) -> float:
        return float(self.get_parameter(name).value)

    def attach(self, loop: Any) -> None:
        """The arm's loop, made with this node's rate and max_force."""
        self.loop = loop
        loop.add(self.command)

    def start(self) -> None:
        self.loop.start()
        if self.tool:
            self.tool.start()

    def stamp(self, seconds: float) -> Any:
        """The ROS time of the tick `seconds` after the loop started. A tick is
        never later than now, so the earliest now - seconds seen is when the
        loop started, to within the quickest publish after a tick."""
        tick = int(seconds * 1e9)
        zero = self.get_clock().now().nanoseconds - tick
        if self.stamp_zero is None or zero < self.stamp_zero:
            self.stamp_zero = zero
        return Time(nanoseconds=self.stamp_zero + tick).to_msg()

    # -- state ----------------------------------------------------------------

    def publish_state(self) -> None:
        samples = self.loop_call(self.loop.samples)
        if samples is None or len(samples) == 0:
            return
        last = samples[-1]
        x, y, z = (float(v) for v in last["position"])
        vx, vy, vz = (float(v) for v in last["velocity"])
        fx, fy, fz = (float(v) for v in last["force"])
        stamp = self.stamp(float(last["t"]))

        pose = PoseStamped()
        pose.header.stamp, pose.header.frame_id = stamp, self.frame_id
        pose.pose.position.x, pose.pose.position.y, pose.pose.position.z = x, y, z
        quaternion = self.tool.quaternion if self.tool else None
        if quaternion:
            o = pose.pose.orientation
            o.w, o.x, o.y, o.z = quaternion
        else:
            pose.pose.orientation.w = 1.0
        self.pose_pub.publish(pose)

        twist = TwistStamped()
        twist.header = pose.header
        twist.twist.linear.x, twist.twist.linear.y, twist.twist.linear.z = vx, vy, vz
        self.twist_pub.publish(twist)

        wrench = WrenchStamped()
        wrench.header = pose.header
        wrench.wrench.force.x, wrench.wrench.force.y, wrench.wrench.force.z = fx, fy, fz
        self.wrench_pub.publish(wrench)

    def publish_buttons(self, hall: int) -> None:
        joy = Joy()
        joy.header.stamp, joy.header.frame_id = self.get_clock().now().to_msg(), self.frame_id
        joy.axes = [hall / 255.0]
        joy.buttons = [int(hall >= TRIGGER_LEVEL)]
        self.buttons_pub.publish(joy)

    # -- commands -------------------------------------------------------------

    def accepted(self, header: Any, topic: str) -> bool:
        """A command in another frame would push the wrong way: refused."""
        if header.frame_id in ("", self.frame_id):
            return True
        self.get_logger().warning(f"{topic}: ignored, frame {header.frame_id!r} is not {self.frame_id!r}",
                                  throttle_duration_sec=1.0)
        return False

    def on_wrench_command(self, msg: WrenchStamped) -> None:
        if self.accepted(msg.header, "wrench_command"):
            f = msg.wrench.force
            self.command.force = (f.x, f.y, f.z)  # renews its lifetime
            self.commanded["wrench_command"] = True

    def on_pose_target(self, msg: PoseStamped) -> None:
        if not self.accepted(msg.header, "pose_target"):
            return
        p = msg.pose.position
        anchor = (p.x, p.y, p.z)
        if self.spring is None:
            self.spring = self.api.Spring(anchor, self.value("stiffness"), self.value("damping"),
                                          lifetime=self.value("command_timeout"))
            self.loop.add(self.spring)
        else:
            if self.spring.expired:  # the gains may have changed while it was off
                self.spring.stiffness, self.spring.damping = self.value("stiffness"), self.value("damping")
            self.spring.anchor = anchor
        self.commanded["pose_target"] = True

    def on_enable(self, request: Any, response: Any) -> Any:
        if request.data and not self.loop.running:
            if self.failure:
                response.success, response.message = False, f"the arm failed: {self.failure}"
                return response
            self.start_loop_again()
            response.message = "enabled"
        elif not request.data and self.loop.running:
            self.loop.stop()  # zero force
            response.message = "disabled: the loop is stopped, zero force sent"
        else:
            response.message = "enabled already" if request.data else "disabled already"
        response.success = True
        return response

    def start_loop_again(self) -> None:
        self.loop.start()
        self.stamp_zero = None
        self.previous = {"ticks": 0, "overruns": 0, "dropped": 0}

    def on_parameters(self, parameters: list[Any]) -> SetParametersResult:
        for parameter in parameters:
            name, value = parameter.name, parameter.value
            if name == "publish_rate":
                self.publish_timer.cancel()
                self.destroy_timer(self.publish_timer)
                self.publish_timer = self.create_timer(1.0 / value, self.publish_state)
            elif name == "command_timeout":
                for effect in (self.command, self.spring):
                    if effect is not None:
                        effect.lifetime = value
            elif name in ("stiffness", "damping") and self.spring is not None and not self.spring.expired:
                setattr(self.spring, name, value)
            elif name == "frame_id":
                self.frame_id = value
        return SetParametersResult(successful=True)

    # -- health ---------------------------------------------------------------

    def loop_call(self, call: Any) -> Any:
        """call() on the loop, or None once it has failed. The loop raises its
        failure once, at the first call after it; that is taken here."""
        if self.check_failed():
            return None
        try:
            return call()
        except OSError:
            self.check_failed()
            return None

    def check_failed(self) -> bool:
        """True once the arm or the handle has failed; the first time, says why."""
        if self.failure is None:
            if self.loop.state is self.api.ServoState.FAILED:
                self.failure = f"the arm on {self.port} failed: {self.loop.error}"
                with contextlib.suppress(OSError):
                    self.loop.stats()  # raises the failure, once: told here instead
            elif self.tool and self.tool.failed:
                self.failure = f"the handle stopped answering: {self.tool.failed}"
            else:
                return False
            self.get_logger().error(self.failure)
            self.publish_diagnostics()
        return True

    def publish_diagnostics(self) -> None:
        self.check_failed()
        now = self.get_clock().now().to_msg()
        array = DiagnosticArray()
        array.header.stamp = now
        array.status = [self.arm_status(), self.command_status()]
        if self.tool:
            array.status.append(self.handle_status())
        self.diagnostics_pub.publish(array)

    def status(self, part: str, level: int, message: str, values: dict[str, Any]) -> DiagnosticStatus:
        return DiagnosticStatus(level=level, name=f"{self.get_fully_qualified_name()}: {part}", message=message,
                                hardware_id=self.port,
                                values=[KeyValue(key=k, value=str(v)) for k, v in values.items()])

    def arm_status(self) -> DiagnosticStatus:
        stats = self.loop_call(self.loop.stats) or self.last_stats
        self.last_stats = stats
        target = self.value("rate")
        new = {k: stats[k] - self.previous[k] for k in self.previous}
        self.previous = {k: stats[k] for k in self.previous}
        p99_ms = stats["period_p99"] * 1000.0
        values = {"link": self.loop.arm.stream.state.name, "loop": self.loop.state.name,
                  "rate": f"{stats['rate']:.1f}", "ticks last second": new["ticks"],
                  "period p99 (ms)": f"{p99_ms:.3f}", "overruns": stats["overruns"],
                  "overruns last second": new["overruns"], "dropped samples": stats["dropped"],
                  "dropped last second": new["dropped"]}
        state = self.loop.state
        if state is self.api.ServoState.FAILED or self.failure:
            return self.status("arm", ERROR, self.failure or f"failed: {self.loop.error}", values)
        if not self.loop.running:
            return self.status("arm", WARN, "disabled: zero force", values)
        late = []
        if new["ticks"] and new["ticks"] < 0.95 * target:
            late.append(f"{new['ticks']} ticks in the last second, below {target:g}")
        if p99_ms > 1.5 * 1000.0 / target:
            late.append(f"period p99 {p99_ms:.2f} ms")
        if new["overruns"] > 0.01 * target:
            late.append(f"{new['overruns']} overruns in the last second")
        if new["dropped"]:
            late.append(f"{new['dropped']} samples dropped in the last second")
        if late:
            return self.status("arm", WARN, "; ".join(late), values)
        return self.status("arm", OK, f"running at {stats['rate']:.0f} Hz", values)

    def command_status(self) -> DiagnosticStatus:
        expired = [name for name, effect in (("wrench_command", self.command), ("pose_target", self.spring))
                   if self.commanded[name] and effect.expired]
        active = [name for name in self.commanded if self.commanded[name] and name not in expired]
        values: dict[str, Any] = {name: ("expired" if name in expired else "active" if name in active else "none yet")
                                  for name in self.commanded}
        values["command_timeout"] = self.value("command_timeout")
        if expired:
            return self.status("commands", WARN, f"watchdog: {', '.join(expired)} expired, zero force", values)
        return self.status("commands", OK, f"active: {', '.join(active)}" if active else "no commands", values)

    def handle_status(self) -> DiagnosticStatus:
        assert self.tool is not None
        if self.tool.failed:
            return self.status("handle", ERROR, f"stopped answering: {self.tool.failed}", {})
        q = self.tool.quaternion
        return self.status("handle", OK if q else WARN, "answering" if q else "no status yet",
                           {"quaternion (w x y z)": " ".join(f"{v:+.4f}" for v in q) if q else "-"})


def wake_arm(api: Any, port: str) -> Any:
    """The arm on the port, answering as an arm."""
    check_port(port)
    arm = api.Triaxon(open_stream(api, port))
    _, model, *_ = arm.device_wakeup()
    why = lost(api, arm.stream)
    if why:
        raise Failure(f"{port}: no arm answering: {why}")
    if model != ARM_MODEL_NUMBER:
        raise Failure(f"{port}: the device answering is not an arm (model number {model})")
    return arm


def make_executor() -> Any:
    """rclpy's events executor where it has one (Jazzy and newer): it takes a
    message to its callback in a fraction of the time the wait-set executor
    needs. TESSARY_ROS_EXECUTOR=single picks the wait-set one."""
    if os.environ.get("TESSARY_ROS_EXECUTOR") != "single":
        try:
            from rclpy.experimental import EventsExecutor
            return EventsExecutor()
        except ImportError:
            pass
    return SingleThreadedExecutor()


def main(argv: list[str]) -> int:
    args = parse(remove_ros_args(["tessary-ros", *argv])[1:])
    api = import_api()
    stopping = threading.Event()

    def on_signal(number: int, frame: Any) -> None:
        stopping.set()

    with contextlib.ExitStack() as stack:
        port, handle_port = args.port, args.handle
        if args.sim:
            from tessary.sim import Simulator
            sim = stack.enter_context(Simulator(triaxons=1, handles=1 if handle_port else 0))
            port = sim.ports[0]
            handle_port = sim.ports[1] if handle_port else None
        arm = wake_arm(api, port)  # before any ROS traffic

        rclpy.init(args=["tessary-ros", *argv], signal_handler_options=SignalHandlerOptions.NO)
        stack.callback(rclpy.try_shutdown)
        for number in (signal.SIGINT, signal.SIGTERM):
            signal.signal(number, on_signal)
        try:  # the parameters, from the command line or a file, checked against their ranges
            node = TessaryNode(api, port, handle_port)
        except ParameterException as error:
            raise Failure(str(error)) from None
        stack.callback(node.destroy_node)
        rate = node.value("rate")
        loop = api.ServoLoop(arm, rate=rate, max_force=node.value("max_force"),
                             timeout=args.reply_timeout or (SIM_REPLY_TIMEOUT if args.sim else REPLY_TIMEOUT),
                             realtime=args.realtime)
        stack.callback(loop.stop)  # zero force, whatever happens after this
        node.attach(loop)
        executor = make_executor()
        executor.add_node(node)
        node.start()
        if node.tool:
            stack.callback(node.tool.stop)
        node.get_logger().info(f"driving the arm on {port} at {rate:g} Hz" +
                               (f", the handle on {handle_port}" if handle_port else ""))
        while not stopping.is_set() and not node.failure:
            executor.spin_once(timeout_sec=0.05)
        if node.failure:
            # The ERROR status reaches its subscribers before the node is gone.
            node.diagnostics_pub.wait_for_all_acked(Duration(seconds=1.0))
            return 1
        loop.stop()
        node.get_logger().info("stopped: zero force sent")
    return 0
