"""ROS 2 for the arm and the handle: `tessary ros` (node.py), a node that
renders force commands on the servo thread, and `tessary teleop` (teleop.py),
bilateral teleoperation between two such nodes.

rclpy and the message packages are imported here only, when one of these
commands runs: from the `ros` extra (pip install 'TessaryHardwareAPI[ros]')
or from a sourced ROS 2 installation (Jazzy or newer).
"""

from __future__ import annotations

from tessary.session import Failure


def require_rclpy() -> None:
    """One clear line, instead of a traceback, when rclpy cannot be imported."""
    try:
        import rclpy  # noqa: F401
    except ImportError as error:
        raise Failure(f"cannot import rclpy ({error}): pip install 'TessaryHardwareAPI[ros]',"
                      " or source a ROS 2 installation") from None
