"""A device session for a tool: the port checked before it is opened, the
stream opened, a failure told in one line from the stream's state, and a
Handle that keeps the last message of each kind.

Shared by the `tessary` command; standard library and the module only.
"""

from __future__ import annotations

import errno
import os
import stat
from types import ModuleType
from typing import Any

from tessary.ports import Port, kind_of, port_facts


class Failure(Exception):
    """Ends the session with this one line."""


def import_api() -> ModuleType:
    try:
        import TessaryHardwareAPI
    except ImportError as error:
        raise Failure(f"cannot import the TessaryHardwareAPI module: {error}") from None
    return TessaryHardwareAPI


def access_hint(port: Port) -> str:
    if port.group:
        return f"permission denied; join group {port.group} (sudo usermod -aG {port.group} $USER, then log in again)"
    return "permission denied"


def busy_hint(port: Port) -> str:
    holder = "another program"
    if port.holder:
        holder = f"process {port.holder}" + (f" ({port.holder_name})" if port.holder_name else "")
    return f"busy: {holder} holds it"


def check_port(path: str, **roots: str) -> Port:
    """Refuses, before opening, a port that is missing, held or not permitted,
    saying why from the port's facts."""
    port = port_facts(path, **roots)
    if not port.exists:
        raise Failure(f"{path}: no such port")
    if port.busy:
        raise Failure(f"{path}: {busy_hint(port)}")
    if not port.can_open:
        raise Failure(f"{path}: {access_hint(port)}")
    if not stat.S_ISCHR(os.stat(path).st_mode):
        raise Failure(f"{path}: not a serial port")
    return port


OPEN_ERRORS = {
    errno.ENOENT: "no such port",
    errno.EBUSY: "busy: another program holds it",
    errno.EACCES: "permission denied",
    errno.EPERM: "permission denied",
    errno.ENOTTY: "not a serial port",
}


def open_stream(api: ModuleType, path: str) -> Any:
    """A SerialStream on the port, which may be any name (passed as bytes)."""
    stream = api.SerialStream(os.fsencode(path))
    if not stream.is_open:
        code = stream.error.errno if stream.error else errno.EIO
        raise Failure(f"{path}: " + OPEN_ERRORS.get(code, f"cannot open: {os.strerror(code)}"))
    return stream


def lost(api: ModuleType, stream: Any) -> str | None:
    """Why the stream's exchanges fail now, from its state; None while it is open and good."""
    state = stream.state
    if state is api.LinkState.OPEN:
        return None
    if state is api.LinkState.TIMED_OUT:
        return "no reply within 1 s"
    if state is api.LinkState.HUNG_UP:
        return "the device hung up"
    if state is api.LinkState.CLOSED:
        return "the port was closed"
    return f"the line failed: {stream.error.strerror}" if stream.error else "the line failed"


def device_kind(path: str, kind: str | None) -> str:
    """ "arm" or "handle": `kind` when given, else from the port's name."""
    if kind:
        return kind
    named = kind_of(os.path.basename(path))
    if named is None:
        raise Failure(f"{path}: the name does not tell an arm from a handle; add --kind arm or --kind handle")
    return "arm" if named == "arm" else "handle"


def listener(api: ModuleType, stream: Any) -> Any:
    """A Handle over the stream that keeps the last message of each kind, as
    `info`, `status` and `error` tuples (None until one came)."""

    class Listener(api.Handle):  # type: ignore[misc,name-defined]
        def __init__(self, stream: Any) -> None:
            super().__init__(stream)
            self.info: tuple[int, int, int, int, int] | None = None
            self.status: tuple[int, list[float], int, int, bytes] | None = None
            self.error: tuple[int, int] | None = None

        def OnReceiveHandleInfo(self, tool_data_remaining: int, device_id: int, model: int, hardware: int,
                                firmware: int, /) -> None:
            self.info = (tool_data_remaining, device_id, model, hardware, firmware)

        def OnReceiveHandleStatusMessage(self, device_id: int, quaternion: list[float], error_flag: int, hall: int,
                                         length: int, data: list[int], /) -> None:
            self.status = (device_id, quaternion, error_flag, hall, bytes(data))

        def OnReceiveHandleErrorResponse(self, device_id: int, error_code: int, /) -> None:
            self.error = (device_id, error_code)

    return Listener(stream)
