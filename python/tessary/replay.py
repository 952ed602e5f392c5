"""The device of a capture, played back: `tessary-sim --replay FILE.mcap`.

    tessary-sim --replay FILE.mcap [--link DIR] [--timing recorded|asap]
                [--on-divergence stop|continue] [--hang-up-at-end]

One virtual device on a pseudo-terminal, announced as tessary-sim announces
its devices (a JSON line, then the ready line). It answers the n-th request
with what the captured device sent after the n-th request, after the
recorded delay (--timing recorded, the default) or at once (asap). Requests
are compared frame by frame (the library's request framing); one that
differs is logged on standard error with its index, the expected bytes and
the bytes received, and then the device hangs up and the program exits 1
(stop, the default) or it answers as recorded and goes on (continue). After
the last recorded request the device falls silent, as the captured one did,
or hangs up (--hang-up-at-end) and the program exits 0. SIGINT and SIGTERM
end it, removing its link.
"""

from __future__ import annotations

import argparse
import json
import os
import select
import signal
import sys
import time
import tty
from typing import Any

PROG = "tessary-sim"
LINK_NAMES = {"triaxon": "ttyACM-sim0", "handle": "ttyUSB-sim0"}


class _Stop(Exception):
    pass


def _raise_stop(signum: int, frame: object) -> None:
    raise _Stop


def _hex(data: bytes) -> str:
    return data.hex(" ").upper() or "(nothing)"


def parse(argv: list[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog=f"{PROG} --replay", description="Play back a captured device.")
    parser.add_argument("--replay", required=True, metavar="FILE.mcap", help="the capture (tessary record)")
    parser.add_argument("--link", metavar="DIR", help="make a link to the device's pty in DIR")
    parser.add_argument("--timing", choices=("recorded", "asap"), default="recorded",
                        help="answer after the recorded delays (default) or at once")
    parser.add_argument("--on-divergence", choices=("stop", "continue"), default="stop",
                        help="after a request that differs from the capture: hang up and exit 1 (default), or go on")
    parser.add_argument("--hang-up-at-end", action="store_true",
                        help="hang up after the last recorded reply instead of falling silent")
    return parser.parse_args(argv)


def main(argv: list[str] | None = None) -> int:
    args = parse(sys.argv[1:] if argv is None else argv)
    from tessary.decode import exchanges
    from tessary.record import read_capture
    from tessary.session import Failure, import_api

    try:
        api = import_api()
        capture = read_capture(args.replay)
        if capture.kind not in LINK_NAMES:
            raise Failure(f"{args.replay}: the capture does not say whether it is an arm's or a handle's")
        _, recorded = exchanges(api, capture)
    except (Failure, OSError) as error:
        print(f"{PROG}: {error}", file=sys.stderr)
        return 1
    return Replay(api, capture.kind, recorded, args).run()


class Replay:
    def __init__(self, api: Any, kind: str, recorded: list[Any], args: argparse.Namespace) -> None:
        self.api, self.kind, self.recorded, self.args = api, kind, recorded, args
        self.index = 0
        self.diverged = 0

    def run(self) -> int:
        master, slave = os.openpty()
        tty.setraw(slave)
        pty = os.ttyname(slave)
        link = None
        if self.args.link:
            os.makedirs(self.args.link, exist_ok=True)
            link = os.path.join(self.args.link, LINK_NAMES[self.kind])
            try:
                os.symlink(pty, link)
            except FileExistsError:
                print(f"{PROG}: {link} already exists", file=sys.stderr)
                return 1
        old = {s: signal.signal(s, _raise_stop) for s in (signal.SIGINT, signal.SIGTERM)}
        status = 0
        try:
            print(json.dumps({"kind": self.kind, "pty": pty, "link": link}), flush=True)
            print(json.dumps({"ready": True, "devices": 1, "replay": self.args.replay,
                              "requests": len(self.recorded)}), flush=True)
            status = self.serve(master)
        except _Stop:
            pass
        finally:
            for s, handler in old.items():
                signal.signal(s, handler)
            for fd in (master, slave):
                os.close(fd)
            if link:
                try:
                    if os.readlink(link) == pty:
                        os.unlink(link)
                except OSError:
                    pass
        if self.diverged:
            print(f"{PROG}: {self.diverged} requests differed from the capture", file=sys.stderr)
        return status

    def serve(self, master: int) -> int:
        """Answers until the capture ends (then None: silent) or a stop."""
        pending = b""
        while True:
            select.select([master], [], [])
            received = time.monotonic()
            try:
                pending += os.read(master, 4096)
            except OSError:
                continue  # nobody has the pty open: EIO until someone does
            frames = self.api.decode_requests(self.kind, pending)
            if frames and frames[-1]["error"] == "short request":
                frames.pop()  # the rest of it is on its way
            used = frames[-1]["offset"] + frames[-1]["size"] if frames else 0
            for frame in frames:
                got = pending[frame["offset"]:frame["offset"] + frame["size"]]
                if self.index >= len(self.recorded):
                    continue  # past the capture's end: silent
                expected = self.recorded[self.index]
                if got != expected.request["bytes"]:
                    self.diverged += 1
                    print(f"{PROG}: divergence at request {self.index}: expected "
                          f"{_hex(expected.request['bytes'])}, received {_hex(got)}", file=sys.stderr, flush=True)
                    if self.args.on_divergence == "stop":
                        return 1
                self.answer(master, expected, received)
                self.index += 1
                if self.index == len(self.recorded) and self.args.hang_up_at_end:
                    return 0
            pending = pending[used:]

    def answer(self, master: int, exchange: Any, received: float) -> None:
        start = exchange.request["time"]
        for stamp, data in exchange.reply:
            if self.args.timing == "recorded":
                wait = received + (stamp - start) / 1e9 - time.monotonic()
                if wait > 0:
                    time.sleep(wait)
            os.write(master, data)


if __name__ == "__main__":
    sys.exit(main())
