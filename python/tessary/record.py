"""`tessary record`: stand between a program and a device, forward every byte
both ways through a pseudo-terminal link, and keep them in an MCAP file.

    tessary record PORT --link PATH -o FILE.mcap [--duration S]

The real port is opened and locked as the library opens it; PATH becomes a
link to a pty that any program opens instead of PORT. Each chunk read from
either side is written on to the other at once, then handed, with its
monotonic time and direction, to a writer process over a pipe: compression
and file writes never hold up the forwarding. The writer closes a chunk of
the file every FLUSH_S seconds, so a recorder killed outright leaves a file
that reads up to its last flush (read_capture reads such a file).

Also here: the capture's reading (read_capture) and the decoded form's
writing (write_json_messages, write_samples), shared by `tessary decode` and
the replaying device. Needs the `mcap` package (the `record` extra).
"""

from __future__ import annotations

import datetime
import errno
import fcntl
import json
import os
import select
import signal
import struct
import sys
import termios
import time
import tty
from dataclasses import dataclass, field
from typing import Any, Iterable

from tessary import __version__
from tessary.session import Failure, check_port

TO_DEVICE, FROM_DEVICE, END = 0, 1, 2
DIRECTIONS = ("to_device", "from_device")
RAW_ENCODING = "application/octet-stream"
FLUSH_S = 0.1
# One pipe record: monotonic ns, kind (a direction or END), length.
RECORD = struct.Struct("<qBI")
READ_SIZE = 4096


def _mcap() -> Any:
    try:
        import mcap.writer
    except ImportError:
        raise Failure("captures need the mcap package: pip install 'TessaryHardwareAPI[record]'") from None
    return mcap


def device_kind_of(port: str) -> str:
    """'triaxon' or 'handle' from the port's name, '' when it does not tell."""
    from tessary.ports import kind_of

    named = kind_of(os.path.basename(os.path.realpath(port))) or kind_of(os.path.basename(port))
    return {"arm": "triaxon", None: ""}.get(named, "handle")


# --- the real port, opened as the library opens it ------------------------------


def open_port(path: str) -> int:
    """The port, raw at 115200 baud with DTR raised, holding the exclusive
    lock that the library and pyserial's exclusive mode take."""
    check_port(path)
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        if not os.isatty(fd):
            raise Failure(f"{path}: not a serial port")
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise Failure(f"{path}: busy: another program holds it") from None
        attrs = termios.tcgetattr(fd)
        attrs[0] = termios.IGNBRK | termios.IGNPAR
        attrs[1] = 0
        attrs[2] = termios.CS8 | termios.CREAD | termios.CLOCAL
        attrs[3] = 0
        attrs[4] = attrs[5] = termios.B115200
        attrs[6] = [0] * len(attrs[6]) if isinstance(attrs[6][0], int) else [b"\0"] * len(attrs[6])
        termios.tcsetattr(fd, termios.TCSANOW, attrs)
        termios.tcflush(fd, termios.TCIOFLUSH)
        try:
            fcntl.ioctl(fd, termios.TIOCMBIS, struct.pack("i", termios.TIOCM_DTR))
        except OSError:
            pass  # a pty has no modem lines
    except BaseException:
        os.close(fd)
        raise
    return fd


# --- the writer process ----------------------------------------------------------


def _writer(read_fd: int, path: str, port: str, kind: str, link: str) -> None:
    """Runs in the forked child: pipe records in, MCAP out."""
    mcap = _mcap()
    from mcap.writer import CompressionType, Writer

    with open(path, "wb") as out:
        writer = Writer(out, compression=CompressionType.ZSTD, chunk_size=1 << 20)
        writer.start(profile="", library=f"tessary {__version__}")
        channels = [writer.register_channel(topic=f"{port}/{d}", message_encoding=RAW_ENCODING, schema_id=0,
                                            metadata={"port": port, "direction": d}) for d in DIRECTIONS]
        api: Any
        try:
            import TessaryHardwareAPI as api

            library = api.get_cpp_version()
        except ImportError:
            api, library = None, "unknown"
        now = datetime.datetime.now(datetime.timezone.utc)
        writer.add_metadata("tessary.capture", {
            "port": port, "link": link, "kind": kind, "library_version": library, "package_version": __version__,
            "start_time": now.isoformat(timespec="microseconds"), "start_monotonic_ns": str(time.monotonic_ns())})
        identity = _Identity(api, kind)
        end_reason = "the recorder stopped"
        pending, last_flush, dirty, sequence = b"", time.monotonic(), False, [0, 0]
        with os.fdopen(read_fd, "rb", buffering=0) as pipe:
            while True:
                ready, _, _ = select.select([pipe], [], [], FLUSH_S)
                chunk = pipe.read(1 << 16) if ready else None
                if chunk == b"":
                    break
                if chunk:
                    pending += chunk
                at = 0  # records are taken by offset; the rest is kept once, after the loop
                while len(pending) - at >= RECORD.size:
                    stamp, what, length = RECORD.unpack_from(pending, at)
                    if len(pending) - at < RECORD.size + length:
                        break
                    data = pending[at + RECORD.size:at + RECORD.size + length]
                    at += RECORD.size + length
                    if what == END:
                        end_reason = data.decode()
                        continue
                    writer.add_message(channels[what], log_time=stamp, publish_time=stamp, data=data,
                                       sequence=sequence[what])
                    sequence[what] += 1
                    dirty = True
                    found = identity.see(what, data)
                    if found:
                        writer.add_metadata("tessary.device", found)
                pending = pending[at:]
                if dirty and time.monotonic() - last_flush >= FLUSH_S:
                    writer.flush()  # type: ignore[no-untyped-call]
                    last_flush, dirty = time.monotonic(), False
        writer.add_metadata("tessary.end", {
            "reason": end_reason,
            "end_time": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="microseconds")})
        writer.finish()  # type: ignore[no-untyped-call]


class _Identity:
    """The device's id from its first answer to a wake-up, read by the library."""

    def __init__(self, api: Any, kind: str) -> None:
        self.api, self.kind, self.request, self.reply, self.done = api, kind, b"", b"", api is None

    def see(self, what: int, data: bytes) -> dict[str, str] | None:
        if self.done:
            return None
        if what == TO_DEVICE:
            self.request, self.reply = data, b""
            return None
        if self.request[:1] != b"\x0a":
            return None
        self.reply += data
        # A port whose name does not tell: the answer's header does.
        kind = self.kind or {0x0B: "triaxon", 0xD0: "handle", 0xDA: "handle"}.get(self.reply[0], "")
        if not kind:
            self.done = True
            return None
        self.kind = kind
        if self.kind == "triaxon":
            frame = self.api.decode_reply(self.request, self.reply)
        else:
            frames = [f for f in self.api.decode_messages(self.reply) if f["name"] == "handle_info"]
            frame = frames[0] if frames else {"error": "not yet"}
        if frame["error"]:
            return None
        self.done = True
        return {"kind": self.kind, **{k: str(v) for k, v in frame["fields"].items()}}


# --- forwarding ------------------------------------------------------------------


def _write_all(fd: int, data: bytes, budget: float = 1.0) -> bool:
    """All of data to a non-blocking descriptor, or False after budget seconds
    (a link that nobody reads and whose buffer is full)."""
    deadline = time.monotonic() + budget
    while data:
        try:
            data = data[os.write(fd, data):]
        except BlockingIOError:
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            select.select([], [fd], [], min(left, 0.01))
    return True


@dataclass
class Recording:
    port: str
    link: str
    output: str
    duration: float | None = None
    kind: str = ""
    reason: str = ""
    hung_up: bool = False
    counts: list[int] = field(default_factory=lambda: [0, 0])


def record(rec: Recording) -> Recording:
    """Forward and record until the duration ends, a signal comes or the port
    hangs up; rec.reason says which."""
    rec.kind = rec.kind or device_kind_of(rec.port)
    _mcap()
    if os.path.lexists(rec.link):
        raise Failure(f"{rec.link}: already exists; give another --link or remove it")
    open(rec.output, "wb").close()  # a file that cannot be written fails here, before the port is taken
    port = open_port(rec.port)
    master, slave = os.openpty()
    tty.setraw(slave)
    os.set_blocking(master, False)
    os.set_inheritable(master, False)
    os.set_inheritable(slave, False)
    pipe_r, pipe_w = os.pipe()
    try:
        fcntl.fcntl(pipe_w, fcntl.F_SETPIPE_SZ, 1 << 20)
    except OSError:
        pass
    writer = os.fork()
    if writer == 0:  # the writer: only the pipe's read end
        status = 1
        try:
            signal.signal(signal.SIGINT, signal.SIG_IGN)
            signal.signal(signal.SIGTERM, signal.SIG_IGN)
            os.nice(10)  # compression waits; the forwarding does not
            for fd in (port, master, slave, pipe_w):
                os.close(fd)
            _writer(pipe_r, rec.output, rec.port, rec.kind, rec.link)
            status = 0
        except BaseException as error:  # noqa: BLE001 - reported, then the child ends
            print(f"tessary record: writing {rec.output}: {error}", file=sys.stderr)
        finally:
            os._exit(status)
    os.close(pipe_r)
    pty_path = os.ttyname(slave)
    os.symlink(pty_path, rec.link)
    # A signal only wakes the loop, which stops between two chunks: never
    # within a pipe record.
    wake_r, wake_w = os.pipe2(os.O_NONBLOCK | os.O_CLOEXEC)
    caught: list[str] = []
    old = {s: signal.signal(s, lambda n, _: caught.append(signal.Signals(n).name))
           for s in (signal.SIGINT, signal.SIGTERM)}
    old_wake = signal.set_wakeup_fd(wake_w)
    backlog = bytearray()
    try:
        print(json.dumps({"port": rec.port, "link": rec.link, "pty": pty_path, "output": rec.output}), flush=True)
        rec.reason = _forward(port, master, _Pipe(pipe_w, backlog), wake_r, caught, rec)
    finally:
        signal.set_wakeup_fd(old_wake)
        for s, handler in old.items():
            signal.signal(s, handler)
        os.close(wake_r)
        os.close(wake_w)
        try:
            os.set_blocking(pipe_w, True)  # what the writer has not taken yet, then the reason
            os.write(pipe_w, bytes(backlog) + RECORD.pack(time.monotonic_ns(), END, len(rec.reason.encode()))
                     + rec.reason.encode())
        except OSError:
            pass
        os.close(pipe_w)
        try:
            if os.readlink(rec.link) == pty_path:
                os.unlink(rec.link)
        except OSError:
            pass
        for fd in (master, slave, port):
            os.close(fd)
        _, status = os.waitpid(writer, 0)
        if status != 0:
            raise Failure(f"{rec.output}: the writer failed")
    return rec


class _Pipe:
    """The pipe to the writer, which never holds up the forwarding: what it
    cannot take now waits in `backlog` (in order, so records stay whole)
    until the pipe can take more."""

    def __init__(self, fd: int, backlog: bytearray) -> None:
        os.set_blocking(fd, False)
        self.fd, self.backlog = fd, backlog
        self.poller = select.poll()  # the forwarding loop's, which also waits for the pipe

    def send(self, record: bytes) -> None:
        if self.backlog:
            self.backlog += record
            return
        try:
            sent = os.write(self.fd, record)
        except BlockingIOError:
            sent = 0
        if sent < len(record):
            self.backlog += record[sent:]
            self.poller.register(self.fd, select.POLLOUT)

    def drain(self) -> None:
        try:
            del self.backlog[:os.write(self.fd, self.backlog)]
        except BlockingIOError:
            return
        if not self.backlog:
            self.poller.unregister(self.fd)


def _forward(port: int, master: int, pipe: _Pipe, wake: int, caught: list[str], rec: Recording) -> str:
    """The forwarding loop; returns why it ended. No per-byte work: one read,
    one write on, one pipe write per chunk."""
    poller = select.poll()
    poller.register(port, select.POLLIN)
    poller.register(master, select.POLLIN)
    poller.register(wake, select.POLLIN)
    pipe.poller = poller
    deadline = time.monotonic() + rec.duration if rec.duration else None
    pack, monotonic_ns, read, write, keep = RECORD.pack, time.monotonic_ns, os.read, os.write, pipe.send
    counts = rec.counts
    while True:
        if caught:
            return f"stopped by {caught[0]}"
        timeout = None
        if deadline is not None:
            left = deadline - time.monotonic()
            if left <= 0:
                return f"the duration of {rec.duration:g} s ended"
            timeout = left * 1000
        for fd, events in poller.poll(timeout):
            if fd == wake:
                continue  # a signal: `caught` says which
            if fd == pipe.fd:
                pipe.drain()
                continue
            if fd == port:
                try:
                    data = read(port, READ_SIZE)
                except BlockingIOError:
                    continue
                except OSError as error:
                    return _hang_up(rec, error)
                if not data:
                    return _hang_up(rec, OSError(errno.EIO, os.strerror(errno.EIO)))
                stamp = monotonic_ns()
                try:
                    sent = write(master, data)  # the usual case: all of it at once
                except BlockingIOError:
                    sent = 0
                if sent != len(data):
                    # Nobody reading the link: the bytes are recorded all the
                    # same, and the device is not held up for long.
                    _write_all(master, data[sent:], budget=0.05)
                keep(pack(stamp, FROM_DEVICE, len(data)) + data)
                counts[FROM_DEVICE] += len(data)
            else:
                try:
                    data = read(master, READ_SIZE)
                except BlockingIOError:
                    continue
                stamp = monotonic_ns()
                try:
                    sent = write(port, data)
                    if sent != len(data) and not _write_all(port, data[sent:]):
                        return _hang_up(rec, OSError(errno.EAGAIN, "the port does not take bytes"))
                except BlockingIOError:
                    if not _write_all(port, data):
                        return _hang_up(rec, OSError(errno.EAGAIN, "the port does not take bytes"))
                except OSError as error:
                    return _hang_up(rec, error)
                keep(pack(stamp, TO_DEVICE, len(data)) + data)
                counts[TO_DEVICE] += len(data)


def _hang_up(rec: Recording, error: OSError) -> str:
    rec.hung_up = True
    return f"{rec.port} hung up: [Errno {error.errno}] {error.strerror}"


# --- reading a capture -----------------------------------------------------------


@dataclass
class Capture:
    port: str = ""
    kind: str = ""
    metadata: dict[str, dict[str, str]] = field(default_factory=dict)
    # (monotonic ns, direction, bytes), in time order
    chunks: list[tuple[int, int, bytes]] = field(default_factory=list)
    truncated: bool = False  # no summary: the recorder was killed

    def stream(self, direction: int) -> tuple[bytes, list[tuple[int, int]]]:
        """All bytes one way, and (offset, time) where each chunk starts."""
        data, starts = bytearray(), []
        for stamp, d, chunk in self.chunks:
            if d == direction:
                starts.append((len(data), stamp))
                data += chunk
        return bytes(data), starts


def read_capture(path: str) -> Capture:
    """A capture's metadata and chunks; a file cut short (no summary) reads up
    to its last whole chunk."""
    _mcap()
    from mcap.exceptions import McapError
    from mcap.records import Channel, Footer, Message, Metadata
    from mcap.stream_reader import StreamReader

    capture = Capture(truncated=True)
    channels: dict[int, int] = {}
    with open(path, "rb") as f:
        try:
            for record in StreamReader(f).records:
                if isinstance(record, Channel) and record.message_encoding == RAW_ENCODING:
                    direction = record.metadata.get("direction", "")
                    if direction in DIRECTIONS:
                        channels[record.id] = DIRECTIONS.index(direction)
                        capture.port = record.metadata.get("port", capture.port)
                elif isinstance(record, Message) and record.channel_id in channels:
                    capture.chunks.append((record.log_time, channels[record.channel_id], bytes(record.data)))
                elif isinstance(record, Metadata):
                    capture.metadata[record.name] = dict(record.metadata)
                elif isinstance(record, Footer):
                    capture.truncated = False
        except (McapError, EOFError, struct.error, ValueError):
            pass  # cut short: what came before stands
    if not capture.metadata and not capture.chunks:
        raise Failure(f"{path}: not a capture")
    info = capture.metadata.get("tessary.capture", {})
    capture.port = info.get("port", capture.port)
    capture.kind = (info.get("kind", "") or capture.metadata.get("tessary.device", {}).get("kind", "")
                    or device_kind_of(capture.port))
    capture.chunks.sort(key=lambda c: c[0])
    return capture


# --- the decoded form ------------------------------------------------------------


def _schema(value: Any) -> dict[str, Any]:
    if isinstance(value, bool):
        return {"type": "boolean"}
    if isinstance(value, int):
        return {"type": "integer"}
    if isinstance(value, float):
        return {"type": "number"}
    if isinstance(value, str):
        return {"type": "string"}
    if isinstance(value, (list, tuple)):
        return {"type": "array", "items": _schema(value[0]) if value else {}}
    if isinstance(value, dict):
        return {"type": "object", "properties": {k: _schema(v) for k, v in value.items()}}
    return {}


def write_json_messages(path: str, messages: Iterable[tuple[str, int, dict[str, Any]]],
                        metadata: dict[str, dict[str, str]] | None = None) -> int:
    """(topic, time in ns, message) to an MCAP of JSON channels, each with a
    JSON schema made from its first message. Returns the messages written."""
    _mcap()
    from mcap.writer import CompressionType, Writer

    count = 0
    with open(path, "wb") as out:
        writer = Writer(out, compression=CompressionType.ZSTD)
        writer.start(profile="", library=f"tessary {__version__}")
        for name, values in (metadata or {}).items():
            writer.add_metadata(name, values)
        channels: dict[str, int] = {}
        for topic, stamp, message in messages:
            if topic not in channels:
                schema = {"type": "object", "properties": {k: _schema(v) for k, v in message.items()}}
                schema_id = writer.register_schema(name=topic.strip("/").replace("/", "."), encoding="jsonschema",
                                                   data=json.dumps(schema).encode())
                channels[topic] = writer.register_channel(topic=topic, message_encoding="json", schema_id=schema_id)
            writer.add_message(channels[topic], log_time=stamp, publish_time=stamp, data=json.dumps(message).encode())
            count += 1
        writer.finish()  # type: ignore[no-untyped-call]
    return count


def write_samples(path: str | os.PathLike[str], samples: Any, topic_prefix: str = "/triaxon") -> int:
    """A ServoLoop run's samples (loop.samples()) as a decoded capture: the
    force sent on {prefix}/request/force and the state on {prefix}/reply/state, so that a
    run and its capture open side by side. Returns the messages written."""

    def messages() -> Iterable[tuple[str, int, dict[str, Any]]]:
        for row in samples:
            stamp = int(round(float(row["t"]) * 1e9))
            yield f"{topic_prefix}/request/force", stamp, {"force": [float(v) for v in row["force"]]}
            yield f"{topic_prefix}/reply/state", stamp, {"position": [float(v) for v in row["position"]],
                                                   "velocity": [float(v) for v in row["velocity"]]}

    return write_json_messages(os.fspath(path), messages(), {"tessary.samples": {"source": "ServoLoop"}})


# --- the command -----------------------------------------------------------------


def main(args: Any) -> int:
    rec = record(Recording(port=args.port, link=args.link, output=args.output, duration=args.duration,
                           kind={"arm": "triaxon", "handle": "handle", None: ""}[args.kind]))
    size = os.path.getsize(rec.output)
    print(f"{rec.output}: {rec.counts[TO_DEVICE]} bytes to the device, {rec.counts[FROM_DEVICE]} from it, "
          f"{size} bytes written; {rec.reason}", file=sys.stderr)
    return 1 if rec.hung_up else 0
