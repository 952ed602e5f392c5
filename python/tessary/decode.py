"""`tessary decode`: a capture's frames, read by the library's own framing.

    tessary decode FILE.mcap [--csv | -o DECODED.mcap]

One row per request and per reply (or handle message), in time order, with
the time since the first chunk, the request-to-reply time and the decoded
fields. Bytes that are no frame and replies the library rejects are rows of
their own, flagged with why. -o writes the rows as JSON channels with JSON
schemas: /{kind}/request/{name} and /{kind}/reply/{name} for decoded frames
(/triaxon/request/force, /triaxon/reply/state, ...), /{kind}/flagged for the rest.
"""

from __future__ import annotations

import bisect
import csv
import json
import sys
from dataclasses import dataclass, field
from typing import Any, Iterator

from tessary.record import FROM_DEVICE, TO_DEVICE, Capture, read_capture, write_json_messages
from tessary.session import Failure, import_api

# Handle commands that a message answers.
ANSWERED = ("wakeup", "status_request")


@dataclass
class Exchange:
    """A request and what the device sent until the next request."""

    request: dict[str, Any]  # a frame of decode_requests, with its "time" (ns)
    reply: list[tuple[int, bytes]] = field(default_factory=list)  # (ns, bytes) chunks

    @property
    def reply_bytes(self) -> bytes:
        return b"".join(data for _, data in self.reply)


def _time_at(starts: list[tuple[int, int]], offset: int) -> int:
    """The time of the chunk holding byte `offset`."""
    return starts[bisect.bisect_right(starts, (offset, 1 << 62)) - 1][1]


def exchanges(api: Any, capture: Capture) -> tuple[list[tuple[int, bytes]], list[Exchange]]:
    """The device's chunks before any request, and each request with the
    chunks that came after it and before the next one."""
    data, starts = capture.stream(TO_DEVICE)
    result = []
    for frame in api.decode_requests(capture.kind or "triaxon", data):
        frame["time"] = _time_at(starts, frame["offset"])
        frame["bytes"] = data[frame["offset"]:frame["offset"] + frame["size"]]
        result.append(Exchange(frame))
    times = [e.request["time"] for e in result]
    leading: list[tuple[int, bytes]] = []
    for stamp, direction, chunk in capture.chunks:
        if direction != FROM_DEVICE:
            continue
        i = bisect.bisect_right(times, stamp) - 1
        (result[i].reply if i >= 0 else leading).append((stamp, chunk))
    return leading, result


@dataclass
class Row:
    time: int  # ns, monotonic
    direction: str  # "request" or "reply"
    name: str
    fields: dict[str, Any]
    error: str | None
    hex: str
    latency_us: float | None = None


def _flag(stamp: int, direction: str, data: bytes, error: str) -> Row:
    return Row(stamp, direction, "stray", {}, error, data.hex(" ").upper())


def decode(capture: Capture) -> list[Row]:
    api = import_api()
    leading, pairs = exchanges(api, capture)
    rows = [_flag(leading[0][0], "reply", b"".join(c for _, c in leading), "before any request")] if leading else []
    for pair in pairs:
        r = pair.request
        rows.append(Row(r["time"], "request", r["name"], r["fields"], r["error"], r["hex"]))
    if capture.kind == "handle":
        rows += _handle_messages(api, capture, pairs)
    else:
        for pair in pairs:
            if not pair.reply:
                if pair.request["error"] is None:
                    rows.append(Row(pair.request["time"], "reply", pair.request["name"], {}, "no reply", ""))
                continue
            reply = pair.reply_bytes
            frame = api.decode_reply(pair.request["bytes"], reply)
            ends = [stamp for stamp, _ in pair.reply]
            offsets = [sum(len(c) for _, c in pair.reply[:k]) for k in range(len(pair.reply))]
            end = ends[bisect.bisect_right(offsets, max(frame["size"] - 1, 0)) - 1]
            rows.append(Row(end, "reply", frame["name"], frame["fields"], frame["error"], frame["hex"],
                            (end - pair.request["time"]) / 1e3))
            if frame.get("trailing"):
                rows.append(Row(ends[-1], "reply", "stray", {}, "after the reply", frame["trailing"]))
    rows.sort(key=lambda row: (row.time, row.direction != "request"))
    return rows


def _handle_messages(api: Any, capture: Capture, pairs: list[Exchange]) -> Iterator[Row]:
    data, starts = capture.stream(FROM_DEVICE)
    waiting = [p.request["time"] for p in pairs if p.request["name"] in ANSWERED]
    for frame in api.decode_messages(data):
        end = _time_at(starts, frame["offset"] + max(frame["size"] - 1, 0))
        asked = [t for t in waiting if t <= end]
        latency = None
        if asked and frame["error"] is None:
            latency = (end - asked[0]) / 1e3
            waiting.remove(asked[0])
        yield Row(end, "reply", frame["name"], frame["fields"], frame["error"], frame["hex"], latency)


def _text(value: Any) -> str:
    if isinstance(value, float):
        return f"{value:.6g}"
    if isinstance(value, list):
        return "[" + ", ".join(_text(v) for v in value) + "]"
    return str(value)


def print_rows(rows: list[Row], origin: int, out: Any) -> None:
    for row in rows:
        arrow = ">" if row.direction == "request" else "<"
        latency = f"{row.latency_us:9.0f} us" if row.latency_us is not None else " " * 12
        what = "FLAGGED " + row.error if row.error else " ".join(f"{k}={_text(v)}" for k, v in row.fields.items())
        print(f"{(row.time - origin) / 1e9:11.6f}  {arrow} {row.name:<16} {latency}  {what}"
              + (f"  | {row.hex}" if row.hex else ""), file=out)


def write_csv(rows: list[Row], origin: int, out: Any) -> None:
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(["time_s", "direction", "name", "latency_us", "fields", "error", "bytes"])
    for row in rows:
        writer.writerow([f"{(row.time - origin) / 1e9:.6f}", row.direction, row.name,
                         "" if row.latency_us is None else f"{row.latency_us:.1f}",
                         json.dumps(row.fields, separators=(",", ":")), row.error or "", row.hex])


def decoded_messages(rows: list[Row], kind: str) -> Iterator[tuple[str, int, dict[str, Any]]]:
    """The rows as write_json_messages takes them; the same topics and fields
    as record.write_samples, so that a ServoLoop run and a capture of it line up."""
    for row in rows:
        if row.error:
            yield f"/{kind}/flagged", row.time, {"direction": row.direction, "name": row.name, "error": row.error,
                                                 "bytes": row.hex}
        else:
            message = dict(row.fields)
            if row.latency_us is not None:
                message["latency_us"] = row.latency_us
            yield f"/{kind}/{row.direction}/{row.name}", row.time, message


def main(args: Any) -> int:
    capture = read_capture(args.capture)
    if not capture.kind:
        raise Failure(f"{args.capture}: the capture does not say whether it is an arm's or a handle's")
    rows = decode(capture)
    origin = capture.chunks[0][0] if capture.chunks else 0
    if capture.truncated:
        print(f"tessary decode: {args.capture} was cut short (the recorder did not stop cleanly); "
              "read up to its last flushed chunk", file=sys.stderr)
    if args.output:
        metadata = {k: v for k, v in capture.metadata.items()}
        count = write_json_messages(args.output, decoded_messages(rows, capture.kind), metadata)
        print(f"{args.output}: {count} messages", file=sys.stderr)
    elif args.csv:
        write_csv(rows, origin, sys.stdout)
    else:
        info = capture.metadata.get("tessary.capture", {})
        print(f"# {capture.kind} on {capture.port}, recorded {info.get('start_time', '?')}, "
              f"library {info.get('library_version', '?')}")
        print_rows(rows, origin, sys.stdout)
    flagged = sum(1 for row in rows if row.error)
    if flagged:
        print(f"tessary decode: {flagged} flagged rows", file=sys.stderr)
    return 0
