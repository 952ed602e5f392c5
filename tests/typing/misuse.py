"""Mistakes the stubs must catch; test_typing.py expects exactly the errors
listed there, from mypy and from pyright. Type-checked only, never run."""

import TessaryHardwareAPI as api

stream = api.SerialStream("/dev/ttyACM0")
arm = api.Triaxon(stream)

# Forces given as text instead of three numbers.
arm.end_effector_force("0.0, 0.0, 1.0")


# The status callback receives the quaternion as a list of 4 floats and the
# user data as a list of ints, not single values.
class WrongHandle(api.Handle):
    def OnReceiveHandleStatusMessage(self, device_id: int, quaternion: float, error_flag: int,
                                     hall_effect_sensor_level: int, user_data_length: int,
                                     user_data: int) -> None:
        print(device_id, quaternion, error_flag, hall_effect_sensor_level, user_data_length, user_data)


# The result is (position, velocity): its first item is a list, not a height.
height: float = arm.end_effector_force([0.0, 0.0, 0.0])[0]

# The position is a list of 3 floats, not a tuple: unpack or convert it.
position: tuple[float, float, float] = arm.end_effector_force([0.0, 0.0, 0.0])[0]

# Angles given as text items.
arm.joint_angles(["0.1", "0.2", "0.3"])

# The callbacks take their arguments by position, as Receive() passes them.
api.Handle(stream).OnReceiveHandleErrorResponse(device_id=1, error_code=2)
