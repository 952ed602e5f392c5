"""`tessary teleop --leader NODE --follower NODE [--scale S] [--force-scale F]`:
bilateral teleoperation between two running `tessary ros` nodes.

Each leader pose goes on at once, its position times S, as the follower's
`pose_target` (the follower's spring pulls it there); each follower wrench
goes on, times -F, as the leader's `wrench_command`, so the hand on the
leader feels what holds the follower back. Nothing is buffered: a message is
relayed in the callback that receives it. When this node stops, both
commands expire on their nodes' watchdogs and their forces go to zero.
"""

from __future__ import annotations

import argparse
import math
import signal
import threading
from typing import Any

import rclpy
from geometry_msgs.msg import PoseStamped, WrenchStamped
from rclpy.node import Node
from rclpy.qos import qos_profile_sensor_data
from rclpy.signals import SignalHandlerOptions
from rclpy.utilities import remove_ros_args

from tessary.ros.node import make_executor


def finite(text: str) -> float:
    value = float(text)
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be a finite number, not {text!r}")
    return value


def node_name(text: str) -> str:
    if not text.startswith("/") or text.endswith("/"):
        raise argparse.ArgumentTypeError(f"a node's full name, as /left/tessary, not {text!r}")
    return text


def parse(argv: list[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="tessary teleop",
                                     description="Bilateral teleoperation between two tessary ros nodes.")
    parser.add_argument("--leader", required=True, type=node_name, metavar="NODE",
                        help="the leader, e.g. /left/tessary")
    parser.add_argument("--follower", required=True, type=node_name, metavar="NODE",
                        help="the follower, e.g. /right/tessary")
    parser.add_argument("--scale", type=finite, default=1.0, metavar="S",
                        help="follower position = S x leader position (default 1)")
    parser.add_argument("--force-scale", type=finite, default=1.0, metavar="F",
                        help="leader force command = -F x follower force (default 1)")
    args = parser.parse_args(argv)
    if args.leader == args.follower:
        parser.error("the leader and the follower must be two nodes")
    return args


class Teleop(Node):  # type: ignore[misc]
    def __init__(self, leader: str, follower: str, scale: float, force_scale: float) -> None:
        super().__init__("tessary_teleop")
        self.scale, self.force_scale = scale, force_scale
        # Commands carry the frame of the node they go to, taken from its own state.
        self.frames = {"leader": "", "follower": ""}
        sensor = qos_profile_sensor_data
        self.target = self.create_publisher(PoseStamped, f"{follower}/pose_target", sensor)
        self.feedback = self.create_publisher(WrenchStamped, f"{leader}/wrench_command", sensor)
        self.create_subscription(PoseStamped, f"{leader}/pose", self.on_leader_pose, sensor)
        self.follower_pose = self.create_subscription(PoseStamped, f"{follower}/pose", self.on_follower_pose, sensor)
        self.create_subscription(WrenchStamped, f"{follower}/wrench", self.on_follower_wrench, sensor)

    def on_leader_pose(self, msg: PoseStamped) -> None:
        self.frames["leader"] = msg.header.frame_id
        if not self.frames["follower"]:
            return  # the follower's frame is not known yet
        p = msg.pose.position
        msg.header.frame_id = self.frames["follower"]
        p.x, p.y, p.z = p.x * self.scale, p.y * self.scale, p.z * self.scale
        self.target.publish(msg)  # the leader's stamp stays: how old the target is

    def on_follower_pose(self, msg: PoseStamped) -> None:
        self.frames["follower"] = msg.header.frame_id
        self.destroy_subscription(self.follower_pose)  # its frame was all it was for

    def on_follower_wrench(self, msg: WrenchStamped) -> None:
        if not self.frames["leader"]:
            return
        f = msg.wrench.force
        msg.header.frame_id = self.frames["leader"]
        f.x, f.y, f.z = -f.x * self.force_scale, -f.y * self.force_scale, -f.z * self.force_scale
        self.feedback.publish(msg)


def main(argv: list[str]) -> int:
    args = parse(remove_ros_args(["tessary-teleop", *argv])[1:])
    stopping = threading.Event()

    def on_signal(number: int, frame: Any) -> None:
        stopping.set()

    rclpy.init(args=["tessary-teleop", *argv], signal_handler_options=SignalHandlerOptions.NO)
    for number in (signal.SIGINT, signal.SIGTERM):
        signal.signal(number, on_signal)
    try:
        node = Teleop(args.leader, args.follower, args.scale, args.force_scale)
        executor = make_executor()
        executor.add_node(node)
        node.get_logger().info(f"{args.leader} leads {args.follower}: position x {args.scale:g},"
                               f" force x {-args.force_scale:g}")
        while not stopping.is_set():
            executor.spin_once(timeout_sec=0.05)
        node.destroy_node()
    finally:
        rclpy.try_shutdown()
    return 0
