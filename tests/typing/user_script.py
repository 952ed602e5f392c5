"""A script as a user would write it: numpy arrays as requests, results
unpacked into named values, a Handle subclass whose callbacks name their
parameters in their own way, virtual devices from tessary.sim and detection
in their folder. `make typecheck` checks it with mypy --strict (and pyright)
against the stubs, and runs it."""

import tempfile

import numpy as np
import numpy.typing as npt

import TessaryHardwareAPI as api
import tessary
from tessary.sim import Simulator

STIFFNESS = 200.0  # N/m


def spring(position: list[float], anchor: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """The force pulling the arm back to its anchor."""
    return -STIFFNESS * (np.asarray(position) - anchor)


class Orientation(api.Handle):
    """Keeps the handle's last quaternion and what it said about itself."""

    def __init__(self, stream: api.SerialStream) -> None:
        super().__init__(stream)
        self.quaternion: tuple[float, float, float, float] | None = None
        self.model = 0

    def OnReceiveHandleInfo(self, remaining: int, device: int, model: int, hardware: int, firmware: int) -> None:
        self.model = model

    def OnReceiveHandleStatusMessage(
        self, device: int, q: list[float], error: int, hall: int, size: int, data: list[int]
    ) -> None:
        w, x, y, z = q
        self.quaternion = (w, x, y, z)


with tempfile.TemporaryDirectory() as links, Simulator(triaxons=1, handles=1, link=links) as sim:
    arm_port, handle_port = sim.ports
    found = tessary.detect(links)
    assert found.triaxons and found.wired_handles, found

    stream = api.SerialStream(arm_port)
    arm = api.Triaxon(stream)
    device_id, model, hardware, firmware, identifier = arm.device_wakeup()
    assert model == 4 and len(identifier) == 16

    anchor = np.zeros(3)
    position, velocity = arm.end_effector_force(np.zeros(3, dtype=np.float32))
    for _ in range(20):
        force = spring(position, anchor).astype(np.float32)
        position, velocity = arm.end_effector_force(force)
    x, y, z = position
    joints, rates = arm.joint_angles(np.array([0.0, -0.5, 1.5]))
    arm.end_effector_force((0.0, 0.0, 0.0))
    w, qx, qy, qz = arm.get_device_orientation()
    currents: tuple[float, ...] = tuple(arm.get_motor_currents())
    stream.close()

    with api.SerialStream(handle_port) as handle_stream:
        handle = Orientation(handle_stream)
        handle.SendDeviceWakeup()
        handle.Receive()
        handle.RequestStatus()
        handle.Receive()
        assert handle.model == 2 and handle.quaternion is not None, (handle.model, handle.quaternion)

print(f"arm at ({x:+.4f}, {y:+.4f}, {z:+.4f}) m, base ({w:.1f}, {qx:.1f}, {qy:.1f}, {qz:.1f}),"
      f" {len(currents)} currents; handle model {handle.model}")
