"""Python Implementation of the Tessary Hardware API

Drive the Triaxon three-axis force-feedback arm and the Handle tool over
Linux serial ports.

Conventions that hold for every call:

- Failures on the line are not raised. The library prints one line on
  standard error ("[err] <file>:<line>> <message>: [errno] <text>") and the
  call returns its failure result: zeros for the arm's current methods, the
  arguments unchanged for its older reply methods, -1 or a short count for
  ``Handle.Receive()``. Python exceptions come only from the binding:
  ``TypeError`` for arguments that match no signature, ``ValueError`` for a
  request list shorter than 3, ``RuntimeError`` from a Handle subclass that
  has no status callback, ``DeprecationWarning`` for the older names.
- Every read waits at most 1000 ms. After a read has timed out the stream
  stays at end-of-file: every later exchange on it fails at once and quietly
  until the port is opened again.
- Values are passed through unscaled: the library neither converts nor
  clamps forces, positions, torques, angles, currents or temperatures. Their
  units are the device's. The virtual devices of ``tessary-sim`` use SI
  units: N, m, m/s, rad, rad/s, N·m, A and °C.
- Quaternions are four floats in wire order, which the library keeps; the
  scalar part comes first (w, x, y, z), as tessary-sim sends them.
- A device works over the ``SerialStream`` it is made with and keeps that
  object alive. One stream per port: a second stream on a port in use fails
  to open (EBUSY).
- Threads: use one device (and its stream) from one thread at a time; a
  supervisor thread may still close or reopen a stream under a running call.
  For a loop that keeps its rate whatever Python does, use ``ServoLoop``.
- Shapes: a pair of results is a tuple (``position, velocity =
  arm.end_effector_force(force)``), and so is the wake-up reply; the vectors
  in them are lists of fixed length (3 floats, 4 for a quaternion), because
  the runtime returns lists. Unpack them (``x, y, z = position``) or convert
  them (``tuple(position)``) where a tuple is wanted. Request vectors take any
  ``FloatVector``: a list, a tuple or a numpy array.
"""

import uuid
from types import TracebackType
from typing import (
    Any,
    ClassVar,
    Final,
    NamedTuple,
    Protocol,
    SupportsFloat,
    SupportsIndex,
    TypedDict,
    overload,
    type_check_only,
)

import numpy as np
import numpy.typing as npt

from typing_extensions import Self, TypeVar, deprecated

_E = TypeVar("_E", bound="Effect")

__version__: Final[str]
"""The module's version text, "dev" (the package's version is ``tessary.__version__``)."""

@type_check_only
class FloatVector(Protocol):
    """What a request vector may be: anything indexable by position whose items
    are numbers, such as a list or tuple of floats or ints, or a numpy array.
    The runtime takes any sequence except ``str`` and ``bytes``.

    A protocol rather than ``numpy.typing.ArrayLike``, so that checking a
    script needs no numpy. Exists for type checkers only: import it under
    ``typing.TYPE_CHECKING``.
    """

    def __len__(self) -> int: ...
    def __getitem__(self, index: SupportsIndex, /) -> SupportsFloat: ...

@type_check_only
class DeviceInfo(TypedDict):
    """The wake-up reply of a Triaxon as ``Triaxon.device_wakeup_dict()`` returns it.

    Exists for type checkers only: import it under ``typing.TYPE_CHECKING``.
    """

    device_id: int
    """16-bit device number, 0 to 65535 (0 after a failed exchange)."""
    device_model_number: int
    """Model number, 0 to 255; every Triaxon reports 4 (0 after a failed exchange)."""
    hardware_version: int
    """0 to 255."""
    firmware_version: int
    """0 to 255."""
    device_id_ext: uuid.UUID
    """The 16-byte identifier, bytes in wire order (all zero after a failed exchange)."""

class SerialStream:
    """The byte stream of one serial port: 115200 baud, 8N1, raw, DTR raised.

    Opening never raises for a port that cannot be opened: the object is made,
    two lines ("unable to open port", "unable to open stream") go to standard
    error, ``is_open`` is False and every exchange over it fails at once. Only
    one stream may hold a port at a time: a port held elsewhere fails to open
    with errno EBUSY. Paths that are not terminals fail with ENOTTY.

    Usable as a context manager, which closes the port on exit.
    """

    def __init__(self, port: str | bytes | bytearray, /) -> None:
        """Open ``port`` (for example "/dev/ttyACM0"); positional only.

        A str is taken as its UTF-8 encoding, bytes and bytearray as they are.
        Releases the interpreter lock while the port is opened and set up.
        A path containing a NUL byte raises ValueError("embedded null byte").
        """

    @property
    def port(self) -> str:
        """The path this stream was opened with."""

    @property
    def is_open(self) -> bool:
        """True while the port's descriptor is open."""

    @property
    def good(self) -> bool:
        """True while open and no read or write has failed or timed out since it was opened.

        Check it after a call that returned zeros: False tells a dead link
        (time-out, hang-up, closed) from an arm that really reported zeros.
        """

    @property
    def timed_out(self) -> bool:
        """True once a read ran out of its 1000 ms budget: the stream is then at end-of-file."""

    @property
    def state(self) -> LinkState:
        """The link's state; ``good``, ``timed_out`` and ``is_open`` are views of it.

        Safe to read from any thread, also while another one is inside an
        exchange.
        """

    @property
    def error(self) -> OSError | None:
        """The cause of the state as an OSError, or None while open or closed by its owner.

        Its ``errno`` and ``strerror`` are the failure's (ENOENT, EBUSY, EIO
        for a hang-up, ETIMEDOUT for a time-out, ...), its ``filename`` the
        port; Python picks the subclass (FileNotFoundError, TimeoutError...).
        """

    def close(self) -> None:
        """Close the port; idempotent. Later exchanges fail at once and quietly, as after a time-out."""

    def reopen(self) -> bool:
        """Close the port and open the same path anew (lock and line settings included).

        Clears the failed state, so the devices made over this stream work
        again. Returns True on success; False after the usual two error lines.
        """

    def __enter__(self) -> Self:
        """Return this stream."""

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
        /,
    ) -> None:
        """Close the port; exceptions propagate."""

class LinkState:
    """What became of a stream's link, as ``SerialStream.state`` tells it."""

    OPEN: ClassVar[LinkState]
    """Open, and nothing has failed since it was opened."""
    TIMED_OUT: ClassVar[LinkState]
    """A read ran out of its 1000 ms budget; every exchange fails at once until ``reopen()``."""
    HUNG_UP: ClassVar[LinkState]
    """The device went away (unplugged, or the line was closed at its end)."""
    FAILED: ClassVar[LinkState]
    """A read or write failed, or the port could not be opened."""
    CLOSED: ClassVar[LinkState]
    """Closed by ``close()``, or not inherited by a forked child."""
    __members__: ClassVar[dict[str, LinkState]]

    def __init__(self, value: int) -> None: ...
    @property
    def name(self) -> str:
        """The member's name, for example "OPEN"."""

    @property
    def value(self) -> int: ...
    def __int__(self) -> int: ...
    def __index__(self) -> int: ...
    def __hash__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...

class UUID:
    """A 16-byte device identifier kept in wire order; all zero when made here.

    Equality and hashing are by identity. The arm's current methods return
    the standard ``uuid.UUID`` instead; this class is what the older
    ``Triaxon.ReceiveDeviceInfo`` takes and returns.
    """

    def __init__(self) -> None:
        """An all-zero identifier."""

    def bytes(self) -> list[int]:
        """The 16 bytes in wire order, each 0 to 255 (a new list)."""

class Device:
    """The framing base of the library's devices, present as a type name only.

    It cannot be constructed (``Device()`` raises TypeError "No constructor
    defined!"), and ``Triaxon`` and ``Handle`` are not its subclasses.
    """

    def __init__(self, /, *args: object, **kwargs: object) -> None:
        """Always raises TypeError: the class has no constructor."""

def get_cpp_version() -> str:
    """Get the version of the CPP library

    The device library's version text, "0.1.1". Holds the interpreter lock.
    """

def print_cpp_version() -> None:
    """Print the version of the CPP library

    Writes "Library version: 0.1.1" and a newline to the process's standard
    output (file descriptor 1, not ``sys.stdout``) and flushes it.
    """

def detect_triaxons() -> list[str]:
    """detect available triaxon devices

    Probes every "ttyACM" port under /dev, one at a time: opens it, sends
    the wake-up byte 0x0A and keeps it when the reply is an arm's (model 4).
    Returns the port paths, links resolved, in listing order; [] when none
    answers. Holds the interpreter lock throughout: a silent candidate costs
    about 1 s (the read budget), an answer after 3 s does not count. Ports
    in use by another stream are passed over.
    """

def detect_handles() -> list[str]:
    """detect available handles

    Probes every "ttyUSB" and "rfcomm" port under /dev with the wake-up byte
    0x0A and keeps those on which a handle sent a known message. Returns the
    port paths in listing order. Holds the interpreter lock throughout: a
    silent candidate costs about 1 s, an answer after 5 s does not count.
    """

def detect_wired_handles() -> list[str]:
    """detect available wired handles

    As ``detect_handles()``, over the "ttyUSB" ports only.
    """

def detect_wireless_handles() -> list[str]:
    """detect available wireless handles

    As ``detect_handles()``, over the "rfcomm" ports only.
    """

def probe_triaxon(port: str | bytes) -> bool:
    """probe one port for a triaxon (waits up to 3 s)

    True when an arm answered the wake-up (model 4): the exchange that
    ``detect_triaxons()`` makes per candidate. Releases the interpreter lock
    while it waits. A busy, missing or silent port gives False; a path with
    a NUL byte raises ValueError.
    """

def probe_handle(port: str | bytes) -> bool:
    """probe one port for a handle (waits up to 5 s)

    True when a handle answered the wake-up with its information or status
    message: the exchange that ``detect_handles()`` makes per candidate.
    Releases the interpreter lock while it waits. A busy, missing or silent
    port gives False; a path with a NUL byte raises ValueError.
    """

@type_check_only
class Frame(TypedDict, total=False):
    """One frame read back from captured bytes (``tessary decode``)."""

    offset: int  # where it starts in the bytes given
    size: int  # its length in bytes
    name: str  # "force", "state", "handle_status", ...; "stray" for bytes that are no frame
    fields: dict[str, Any]  # the decoded values; empty for a flagged frame
    error: str | None  # None, or why the frame is flagged ("not a frame", "malformed reply", ...)
    hex: str  # its bytes, "2A 00 00 ..."
    trailing: str  # decode_reply only: bytes after a whole reply, which are no part of it

def decode_requests(kind: str, data: bytes) -> list[Frame]:
    """Split the host's bytes to a 'triaxon' or a 'handle' into requests; unknown bytes become 'stray' frames

    Requests are split by the library's request codes; float requests carry
    their three values. Any other kind raises ValueError.
    """

def decode_reply(request: bytes, reply: bytes) -> Frame:
    """Read an arm's reply to `request` with the library's own reply reading; a rejected one is flagged

    ``reply`` is what the arm sent between ``request`` and the next request.
    Bytes after a whole reply are given as ``trailing``.
    """

def decode_messages(data: bytes) -> list[Frame]:
    """Read a handle's messages with Handle.Receive(); unknown bytes and short messages are flagged"""

class Triaxon:
    """The three-axis force-feedback arm.

    The current methods (snake_case) each make one whole exchange, a request
    and its reply, and return the decoded reply; a failed exchange (no reply
    within 1000 ms, a wrong header, a short reply, a dead stream) returns the
    zero result of the usual shape and raises nothing. To tell a failure from
    a real zero reading, check ``arm.stream.good`` after the call.

    The older methods (UpperCamelCase) make only the request or only the
    reply read; their reply methods return their arguments unchanged on
    failure, so preset them to values of your own to detect it.

    Units: values are passed through unscaled. tessary-sim uses N for
    forces, m and m/s for the end effector, rad and rad/s for joints, N·m
    for joint torques, A for motor currents and °C for the temperature.
    """

    def __init__(self, stream: SerialStream, /) -> None:
        """Make an arm over ``stream`` (kept alive with the arm); nothing is sent.

        Holds the interpreter lock.
        """

    @property
    def stream(self) -> SerialStream:
        """The very SerialStream object this arm was made with."""

    # ---------------------------------------------------------------- current

    def device_wakeup(self) -> tuple[int, int, int, int, list[int]]:
        """Wakeup the device and return the device info as a tuple.

        Sends 0x0A and reads the 0x0B reply. Returns, in this order:
        ``(device_id, device_model_number, hardware_version,
        firmware_version, identifier)``: device_id 0..65535, the next three
        0..255 (a Triaxon's model number is 4), and the identifier as a list
        of 16 ints in wire order. A failed exchange returns
        ``(0, 0, 0, 0, [0] * 16)``: a model number other than 4 means no arm
        answered. Releases the interpreter lock during the exchange.
        """

    def device_wakeup_dict(self) -> DeviceInfo:
        """Wakeup the device and return the device info as a dict.

        The exchange of ``device_wakeup()``, as a dict with the keys
        "device_id", "device_model_number", "hardware_version",
        "firmware_version" (ints) and "device_id_ext" (the identifier as a
        ``uuid.UUID``), in that order. A failed exchange gives the four ints
        0 and the all-zero UUID. Releases the interpreter lock during the
        exchange.
        """

    def get_firmware_version(self) -> uuid.UUID:
        """Receive the firmware version of the device.

        Sends 0x0D 0xD2 and reads the 16-byte firmware identifier (often
        ASCII text: ``.bytes``). A failed exchange returns the all-zero
        UUID. Holds the interpreter lock for the whole exchange (other
        Python threads wait, up to 1000 ms).
        """

    def get_device_id(self) -> uuid.UUID:
        """Receive the UUID of the device.

        Sends 0x0D 0xD1 and reads the 16-byte identifier, bytes in wire
        order. A failed exchange returns the all-zero UUID. Holds the
        interpreter lock for the whole exchange.
        """

    def get_motor_currents(self) -> list[float]:
        """Receive the motor currents of the device.

        Sends 0xAB and returns the 3 currents, one per motor (tessary-sim: A).
        A failed exchange returns [0.0, 0.0, 0.0]. Holds the interpreter lock
        for the whole exchange.
        """

    def get_device_orientation(self) -> list[float]:
        """Receive the orientation of the base of the device.

        Sends 0x0C and returns the quaternion as 4 floats in wire order,
        scalar first (w, x, y, z; tessary-sim's upright base gives
        [1.0, 0.0, 0.0, 0.0]).
        A failed exchange returns [0.0, 0.0, 0.0, 0.0] (no valid quaternion).
        Holds the interpreter lock for the whole exchange.
        """

    def get_power_status(self) -> bool:
        """Receive the power status of the device.

        Sends 0xAC; True when the reply byte is not 0. A failed exchange
        returns False (check ``stream.good`` to tell). Holds the interpreter
        lock for the whole exchange.
        """

    def get_temperature(self) -> float:
        """Receive the temperature of the device.

        Sends 0xAA and returns the reply's float (tessary-sim: °C, about 35).
        A failed exchange returns 0.0. Holds the interpreter lock for the
        whole exchange.
        """

    def end_effector_force(
        self, force_request_vector: FloatVector = [0.0, 0.0, 0.0], /
    ) -> tuple[list[float], list[float]]:
        """Send forces to the device and receive device states

        The control-loop call. Sends 0x2A and the first 3 values as forces
        x, y, z (tessary-sim: N) and reads the 0x2B reply. Returns
        ``(position, velocity)``, 3 floats each (tessary-sim: m, m/s).
        A failed exchange returns ``([0.0] * 3, [0.0] * 3)``. Fewer than 3
        values raise ValueError; a str raises TypeError; nothing is sent
        then. Pass the vector positionally. Releases the interpreter lock
        during the exchange.
        """

    def joint_torques(
        self, joint_torque_request_vector: FloatVector = [0.0, 0.0, 0.0], /
    ) -> tuple[list[float], list[float]]:
        """Send joint torques to the device and receive the joint states

        Sends 0x1A and the first 3 values, one torque per joint (tessary-sim:
        N·m), and reads the 0x1B reply. Returns ``(joint_position,
        joint_velocity)``, 3 floats each (tessary-sim: rad, rad/s). A failed
        exchange returns two lists of 0.0. Releases the interpreter lock
        during the exchange.
        """

    def end_effector_position(
        self, position_request_vector: FloatVector = [0.0, 0.0, 0.0], /
    ) -> tuple[list[float], list[float]]:
        """Send end-effector position and receive device states

        Sends 0x2C and the first 3 values as the target position
        (tessary-sim: m) and reads the 0x2B reply. Returns ``(position,
        velocity)``, 3 floats each. A failed exchange returns two lists of
        0.0. Releases the interpreter lock during the exchange.
        """

    def joint_angles(
        self, joint_angle_request_vector: FloatVector = [0.0, 0.0, 0.0], /
    ) -> tuple[list[float], list[float]]:
        """Send joint angles to the device and receive the joint states

        Sends 0x1C and the first 3 values, one angle per joint (tessary-sim:
        rad), and reads the 0x1B reply. Returns ``(joint_position,
        joint_velocity)``, 3 floats each. A failed exchange returns two lists
        of 0.0. Releases the interpreter lock during the exchange.
        """

    # ------------------------------------------------------------------ older

    @deprecated("SendDeviceWakeup is deprecated, use device_wakeup instead")
    def SendDeviceWakeup(self) -> None:
        """[DEPRECATED] Send a device wakeup command

        Sends 0x0A only; read the reply with ``ReceiveDeviceInfo``. Warns,
        then releases the interpreter lock for the write.
        """

    def ReceiveDeviceInfo(
        self,
        device_id: int = 0,
        device_model_num: int = 0,
        hardware_version: int = 0,
        firmware_version: int = 0,
        UUID: UUID = ...,
    ) -> tuple[int, int, int, int, UUID]:
        """Receive device info and return a tuple

        Reads the wake-up reply (after ``SendDeviceWakeup``); the older form
        of ``device_wakeup()``. Returns ``(device_id, device_model_num,
        hardware_version, firmware_version, identifier)``, the identifier a
        new ``UUID``. On failure the values come back as passed: preset them
        (for example device_model_num=255) to tell. device_id 0..65535, the
        others 0..255. Releases the interpreter lock for the read.
        """

    @overload
    @deprecated("SendForce is deprecated, use end_effector_force instead")
    def SendForce(self, force: FloatVector = [0.0, 0.0, 0.0]) -> None:
        """[Deprecated] Send force to the device

        Sends 0x2A and the first 3 values of ``force``; read the reply with
        ``ReceiveState``. Warns, then releases the interpreter lock for the
        write.
        """

    @overload
    @deprecated("SendForce is deprecated, use end_effector_force instead")
    def SendForce(self, ForceX: float = 0, ForceY: float = 0, ForceZ: float = 0) -> None:
        """[Deprecated] Send force to the device

        Sends 0x2A and ForceX, ForceY, ForceZ (missing ones 0). Warns, then
        releases the interpreter lock for the write.
        """

    @deprecated("ReceiveState is deprecated, use end_effector_force or end_effector_position instead")
    def ReceiveState(
        self, position: FloatVector = [0.0, 0.0, 0.0], velocity: FloatVector = [0.0, 0.0, 0.0]
    ) -> tuple[list[float], list[float]]:
        """[Deprecated] receive state and return position and velocity

        Reads the 0x2B reply (after ``SendForce`` or ``SendPosition``).
        Returns ``(position, velocity)`` as new lists: the first 3 items
        replaced by the reply, or the arguments unchanged on failure. Warns,
        then releases the interpreter lock for the read.
        """

    @deprecated("ReceiveJointState is deprecated, use joint_torques or joint_angles instead")
    def ReceiveJointState(
        self, joint_position: FloatVector = [0.0, 0.0, 0.0], joint_velocity: FloatVector = [0.0, 0.0, 0.0]
    ) -> tuple[list[float], list[float]]:
        """[Deprecated] receive joint state and return position and velocity in the joint reference frame

        Reads the 0x1B reply (after ``SendJointTorques`` or ``SendAngle``).
        Returns ``(joint_position, joint_velocity)``: the first 3 items
        replaced by the reply, or the arguments unchanged on failure. Warns,
        then releases the interpreter lock for the read.
        """

    @deprecated("SendJointTorques is deprecated, use joint_torques instead")
    def SendJointTorques(self, joint_torque: FloatVector = [0.0, 0.0, 0.0]) -> None:
        """[Deprecated] send joint torque

        Sends 0x1A and the first 3 values; read the reply with
        ``ReceiveJointState``. Warns, then releases the interpreter lock for
        the write.
        """

    def SendAngle(self, angle: FloatVector = [0.0, 0.0, 0.0]) -> None:
        """Send angles to the device

        Sends 0x1C and the first 3 values; read the reply with
        ``ReceiveJointState``. ``joint_angles()`` does both in one call.
        Releases the interpreter lock for the write.
        """

    def RequestCurrent(self) -> None:
        """request current

        Sends 0xAB; read the reply with ``ReceiveCurrent``.
        ``get_motor_currents()`` does both in one call. Releases the
        interpreter lock for the write.
        """

    def ReceiveCurrent(self, current: FloatVector = [0.0, 0.0, 0.0]) -> list[float]:
        """receive current and return current

        Reads the 0xAB reply. Returns ``current`` as a new list with its
        first 3 items replaced by the motor currents, or unchanged on
        failure. Releases the interpreter lock for the read.
        """

    @deprecated("SendPosition is deprecated, use end_effector_position instead")
    def SendPosition(self, position: FloatVector = [0.0, 0.0, 0.0]) -> None:
        """[Deprecated] Send Position to the device

        Sends 0x2C and the first 3 values; read the reply with
        ``ReceiveState``. Warns, then releases the interpreter lock for the
        write.
        """

class Handle:
    """The hand-held tool.

    Its messages are not returned as values: each ``Receive()`` reads one
    message and calls the method of a ``Handle`` subclass named after it,
    with the interpreter lock held, on the thread that called ``Receive()``.
    Define them with exactly these parameters (they are passed
    positionally). ``OnReceiveHandleStatusMessage`` is required in a
    subclass: a status message reaching a subclass without it makes
    ``Receive()`` raise RuntimeError. A plain ``Handle`` consumes messages
    silently. Exceptions raised by an override propagate out of
    ``Receive()``.
    """

    def __init__(self, stream: SerialStream, /) -> None:
        """Make a handle over ``stream`` (kept alive with the handle); nothing is sent.

        A subclass that defines ``__init__`` must call this first.
        """

    @property
    def stream(self) -> SerialStream:
        """The very SerialStream object this handle was made with."""

    def SendDeviceWakeup(self) -> None:
        """Send the wake-up command 0x0A; the handle answers with its information message.

        Releases the interpreter lock for the write.
        """

    def SendHandleState(self, device_id: int = 0, data_length: int = 0, user_data: int | None = None) -> None:
        """send handle state

        Sends 0xDB, device_id (uint16, little-endian), data_length and, when
        data_length is 1, the one byte user_data: device 3, length 1, user
        data 0x7F sends DB 03 00 01 7F. data_length 0 sends no user data.
        data_length above 1, or 1 without user_data, raises ValueError.
        device_id 0..65535, the others 0..255. Releases the interpreter lock
        for the write.
        """

    def RequestStatus(self) -> None:
        """request handle status

        Sends 0xDA; the handle answers with a status message. Releases the
        interpreter lock for the write.
        """

    # The three callbacks take their parameters positionally, as Receive()
    # passes them: an override may name them as it likes.
    def OnReceiveHandleInfo(
        self,
        tool_data_remaining: int,
        device_id: int,
        device_model_number: int,
        hardware_version: int,
        firmware_version: int,
        /,
    ) -> None:
        """OnReceiveHandleInfo

        Override to receive the information message (0xD0): five ints,
        device_id 0..65535, the others 0..255. The base does nothing.
        """

    def OnReceiveHandleStatusMessage(
        self,
        device_id: int,
        quaternion: list[float],
        error_flag: int,
        hall_effect_sensor_level: int,
        user_data_length: int,
        user_data: list[int],
        /,
    ) -> None:
        """OnReceiveHandleStatusMessage

        Override to receive the status message (0xDA): device_id 0..65535;
        quaternion a list of 4 floats in wire order, scalar first (w, x, y,
        z); error_flag, hall_effect_sensor_level and user_data_length
        0..255; user_data a list of user_data_length ints (0..255), the user
        data of the last ``SendHandleState``. A subclass must define it.
        Called directly from Python, the base method takes one number as
        quaternion and one byte as user_data.
        """

    def OnReceiveHandleErrorResponse(self, device_id: int, error_code: int, /) -> None:
        """OnReceiveHandleErrorResponse

        Override to receive the error response (0xDF): device_id 0..65535,
        error_code 0..255 (tessary-sim: 1 for an unknown command). The base
        does nothing.
        """

    @overload
    def Receive(self) -> int:
        """Receive data from the handle

        Reads one message and calls its callback before returning. Returns
        the number of payload bytes read: 6 for information, 3 for an error
        response, 21 + user_data_length for a status message. -1 means no
        known message came (nothing within 1000 ms, an unknown header, or a
        dead stream, which gives -1 at once). A smaller count than the
        message's length means its payload came short, and no callback ran.
        Releases the interpreter lock while it reads.
        """

    @overload
    @deprecated("Receive with one argument is deprecated, use Receive() instead")
    def Receive(self, obsolete: int) -> int:
        """[DEPRECATED] Receive current and return current

        As ``Receive()``; the argument (0..255) is not used. Warns first.
        """

class ServoState:
    """Where a ``ServoLoop`` is, as ``ServoLoop.state`` tells it."""

    IDLE: ClassVar[ServoState]
    """Made, not started yet."""
    RUNNING: ClassVar[ServoState]
    """The servo thread is running."""
    STOPPED: ClassVar[ServoState]
    """Stopped; zero force was sent."""
    FAILED: ClassVar[ServoState]
    """The arm stopped answering or the line failed; zero force was sent if the line took it."""
    STOPPING: ClassVar[ServoState]
    """A stop was asked for; the zero force is on its way."""
    __members__: ClassVar[dict[str, ServoState]]

    def __init__(self, value: int) -> None: ...
    @property
    def name(self) -> str:
        """The member's name, for example "RUNNING"."""

    @property
    def value(self) -> int: ...
    def __int__(self) -> int: ...
    def __index__(self) -> int: ...
    def __hash__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...

class LatestState(NamedTuple):
    """The newest tick of a ``ServoLoop`` (``ServoLoop.latest()``)."""

    position: tuple[float, float, float]
    velocity: tuple[float, float, float]
    force: tuple[float, float, float]
    """The force sent at that tick."""
    time: float
    """Seconds since the loop started."""

class Effect:
    """A force effect a ``ServoLoop`` renders: ``ConstantForce``, ``Spring``,
    ``Damper``, ``Plane``, ``Sphere`` or ``Box``.

    Its parameters may be set at any time; in a running loop the change
    applies whole at the next tick. Every value is checked where it is set
    (ValueError, and the effect stays as it was): vectors finite; stiffness,
    damping and radius finite and not negative; a plane's normal not zero; a
    box's lower corner at or below its upper one. Units are the device's
    (tessary-sim: metres, newtons, seconds).

    With a lifetime, the effect gives no force once that many seconds have
    passed since it was made, added to a loop, changed or renewed; the servo
    thread sees to it, so a command that stops coming never stays on the hand.
    """

    def __init__(self, /, *args: object, **kwargs: object) -> None:
        """Not constructible: make one of the subclasses."""
    @property
    def lifetime(self) -> float | None:
        """Seconds the effect lasts without a change or renew(); None: for ever."""

    @lifetime.setter
    def lifetime(self, value: float | None) -> None: ...
    def renew(self) -> None:
        """Start the effect's lifetime anew, as a change would."""

    @property
    def expired(self) -> bool:
        """True once the lifetime has run out without a change or renew()."""

class ConstantForce(Effect):
    """The same force at every tick."""

    def __init__(self, force: FloatVector, *, lifetime: float | None = None) -> None: ...
    @property
    def force(self) -> tuple[float, float, float]:
        """The force, 3 numbers."""

    @force.setter
    def force(self, value: FloatVector) -> None: ...

class Spring(Effect):
    """Pulls towards anchor: stiffness * (anchor - position) - damping * velocity."""

    def __init__(
        self, anchor: FloatVector, stiffness: float, damping: float = 0.0, *, lifetime: float | None = None
    ) -> None: ...
    @property
    def anchor(self) -> tuple[float, float, float]:
        """Where it pulls to, 3 numbers."""

    @anchor.setter
    def anchor(self, value: FloatVector) -> None: ...
    @property
    def stiffness(self) -> float:
        """Force per unit of distance."""

    @stiffness.setter
    def stiffness(self, value: float) -> None: ...
    @property
    def damping(self) -> float:
        """Force per unit of velocity."""

    @damping.setter
    def damping(self, value: float) -> None: ...

class Damper(Effect):
    """Resists motion: -damping * velocity."""

    def __init__(self, damping: float, *, lifetime: float | None = None) -> None: ...
    @property
    def damping(self) -> float:
        """Force per unit of velocity."""

    @damping.setter
    def damping(self, value: float) -> None: ...

class Plane(Effect):
    """A one-sided wall through point; normal points to the free side.

    Past the plane it pushes back along the normal with stiffness * depth -
    damping * (velocity . normal), and never pulls.
    """

    def __init__(
        self,
        point: FloatVector,
        normal: FloatVector,
        stiffness: float,
        damping: float = 0.0,
        *,
        lifetime: float | None = None,
    ) -> None: ...
    @property
    def point(self) -> tuple[float, float, float]:
        """A point of the plane, 3 numbers."""

    @point.setter
    def point(self, value: FloatVector) -> None: ...
    @property
    def normal(self) -> tuple[float, float, float]:
        """The direction of the free side, kept at unit length (ValueError for zero)."""

    @normal.setter
    def normal(self, value: FloatVector) -> None: ...
    @property
    def stiffness(self) -> float:
        """Force per unit of depth."""

    @stiffness.setter
    def stiffness(self, value: float) -> None: ...
    @property
    def damping(self) -> float:
        """Force per unit of velocity into the wall."""

    @damping.setter
    def damping(self, value: float) -> None: ...

class Sphere(Effect):
    """inside=True keeps the end effector within the ball; inside=False makes the ball solid.

    Pushes with stiffness * distance past the surface, along the radius.
    """

    def __init__(
        self,
        center: FloatVector,
        radius: float,
        stiffness: float,
        inside: bool = True,
        *,
        lifetime: float | None = None,
    ) -> None: ...
    @property
    def center(self) -> tuple[float, float, float]:
        """The ball's centre, 3 numbers."""

    @center.setter
    def center(self, value: FloatVector) -> None: ...
    @property
    def radius(self) -> float:
        """The ball's radius."""

    @radius.setter
    def radius(self, value: float) -> None: ...
    @property
    def stiffness(self) -> float:
        """Force per unit of distance past the surface."""

    @stiffness.setter
    def stiffness(self, value: float) -> None: ...
    @property
    def inside(self) -> bool:
        """True: keep the end effector inside; False: keep it out."""

    @inside.setter
    def inside(self, value: bool) -> None: ...

class Box(Effect):
    """Keeps the end effector within the box, each axis on its own: stiffness * distance past a face."""

    def __init__(
        self, lower: FloatVector, upper: FloatVector, stiffness: float, *, lifetime: float | None = None
    ) -> None: ...
    @property
    def lower(self) -> tuple[float, float, float]:
        """The corner with the smallest coordinates, 3 numbers; at or below upper on every axis."""

    @lower.setter
    def lower(self, value: FloatVector) -> None: ...
    @property
    def upper(self) -> tuple[float, float, float]:
        """The corner with the largest coordinates, 3 numbers; at or above lower on every axis."""

    @upper.setter
    def upper(self, value: FloatVector) -> None: ...
    @property
    def stiffness(self) -> float:
        """Force per unit of distance past a face."""

    @stiffness.setter
    def stiffness(self, value: float) -> None: ...

@type_check_only
class ServoStats(TypedDict):
    """What ``ServoLoop.stats()`` returns. Exists for type checkers only."""

    ticks: int
    overruns: int
    """Ticks that started a period or more late; the schedule moved on without catching up."""
    dropped: int
    """Samples the full ring had no room for (drain it with ``samples()``)."""
    rate: float
    """Ticks a second reached."""
    period_p50: float
    """Seconds, over the run so far (within 1%)."""
    period_p99: float
    period_max: float
    realtime: bool
    """SCHED_FIFO was granted."""
    realtime_error: str | None
    """Why it was refused, when it was asked for ("[Errno 1] Operation not permitted")."""

class ServoLoop:
    """Drives one Triaxon on a native thread at a fixed rate, rendering force effects.

    Each tick is one exchange, the same bytes as ``end_effector_force``: the
    sum of the effects, clamped to ``max_force``, computed from the state
    received at the previous tick (one tick of delay). No Python code and no
    interpreter lock is on the servo path, so other Python threads cannot
    slow it down. Pacing is by absolute deadlines; a tick a period or more
    late counts as an overrun and the schedule moves on without a burst.

    The loop never leaves a force on the arm: ``stop()``, leaving the
    ``with`` block (normally or by an exception), the loop being collected
    and interpreter exit all send zero force. A reply missing for longer
    than ``timeout`` (default 40 ms) stops it as FAILED; it sends zero
    force if the line still takes writes, and the next call raises
    ``error``. While it runs it owns the arm's stream: other calls on the
    arm, on a Handle over the stream, and ``close()``/``reopen()`` of the
    stream raise RuntimeError.
    """

    def __init__(
        self,
        arm: Triaxon,
        *,
        rate: float = 1000.0,
        max_force: float = 10.0,
        timeout: float | None = None,
        realtime: bool = False,
        priority: int = 80,
        cpu: int | None = None,
        samples: int = 65536,
    ) -> None:
        """rate: 100 to 10000 ticks a second; max_force: the largest force
        magnitude ever sent; timeout: seconds a reply may be missing (None: ten
        periods; at most 1); realtime: ask for SCHED_FIFO at priority (a
        RuntimeWarning says when it is refused); cpu: pin the thread to it;
        samples: the ring's capacity (rounded up to a power of two).
        ValueError for values out of range."""

    def start(self) -> None:
        """Start the servo thread. RuntimeError when it runs already or the stream is not good."""

    def stop(self) -> None:
        """Stop the thread, which sends zero force; idempotent."""

    def add(self, effect: _E) -> _E:
        """Add an effect (applied at the next tick); returns it. At most 64."""

    def remove(self, effect: Effect) -> None:
        """Take an effect out (applied at the next tick)."""

    def samples(self) -> npt.NDArray[np.void]:
        """Every tick recorded since the last call, oldest first, as a numpy
        structured array with the fields t and period (float64, seconds) and
        position, velocity and force (3 float64 each; force is what was sent
        at that tick). Ticks the full ring had no room for are counted in
        ``stats()["dropped"]``."""

    def latest(self) -> LatestState | None:
        """The newest tick, without waiting; None before the first one."""

    def stats(self) -> ServoStats:
        """Tick counts, the rate reached and period percentiles over the run so far."""

    @property
    def running(self) -> bool:
        """True while the servo thread runs."""

    @property
    def state(self) -> ServoState: ...
    @property
    def error(self) -> OSError | None:
        """Why the loop failed (TimeoutError for a missing reply), or None."""

    @property
    def effects(self) -> tuple[Effect, ...]:
        """The effects in the loop, in the order added."""

    @property
    def arm(self) -> Triaxon: ...
    @property
    def rate(self) -> float: ...
    @property
    def max_force(self) -> float: ...
    @property
    def timeout(self) -> float:
        """Seconds a reply may be missing before the loop fails."""

    def __enter__(self) -> Self:
        """Start the loop; return it."""

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
        /,
    ) -> None:
        """Stop the loop (zero force); its failure is raised unless another exception is on its way."""
