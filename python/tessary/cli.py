"""The `tessary` command: list, detect, query and watch Triaxon arms and Handle tools.

    tessary ports [--json] [--all]    ports and their facts, without opening any
    tessary detect [--json]           probe each candidate port, one line per port
    tessary info PORT                 an arm's identity and readings, or a handle's information
    tessary watch PORT [--csv FILE]   live state of an arm (zero force) or a handle's status
    tessary udev-rule PORT            a udev rule giving access and low latency
    tessary sim ...                   the virtual devices (tessary-sim)
    tessary record PORT --link PATH -o FILE.mcap [--duration S]
                                      forward a program's bytes to PORT and record them
    tessary decode FILE.mcap [--csv | -o DECODED.mcap]
                                      a capture's frames, decoded
    tessary ros [PORT] [--sim] ...    the arm (and a handle) as a ROS 2 node (the ros extra)
    tessary teleop --leader NODE --follower NODE   teleoperation between two such nodes

Failures end in one line on standard error and exit status 1, told from the
stream's state (tessary.session).
"""

from __future__ import annotations

import argparse
import csv
import dataclasses
import json
import math
import os
import re
import shlex
import sys
import time
import uuid

from tessary import __version__, detection
from tessary.ports import Port, list_ports, port_facts
from tessary.session import Failure, busy_hint, check_port, device_kind, import_api, listener, lost, open_stream
from tessary.sim import find_binary

PROG = "tessary"
ZERO_FORCE = [0.0, 0.0, 0.0]
ARM_MODEL_NUMBER = 4


# --- helpers -----------------------------------------------------------------


def roots(args):
    """The folders the port facts come from; only `ports` and `detect` take --dev."""
    return {"dev": getattr(args, "dev", "/dev"), "sys": args.sys, "proc": args.proc}


def shown(path: str) -> str:
    """A path fit to print: bytes of a name that are not UTF-8 as \\xNN."""
    return os.fsencode(path).decode("utf-8", "backslashreplace")


def open_device(args):
    """The module, the kind of device on args.port and a stream open on it."""
    kind = device_kind(args.port, args.kind)
    check_port(args.port, **roots(args))
    api = import_api()
    return api, kind, open_stream(api, args.port)


def identifier_text(value: uuid.UUID) -> str:
    """The identifier, and its bytes as text when they spell some (as firmware ids do)."""
    raw = value.bytes.rstrip(b"\0")
    if raw and all(32 <= b < 127 for b in raw):
        return f'{value} ("{raw.decode()}")'
    return str(value)


def print_fields(rows):
    width = max(len(name) for name, _ in rows)
    for name, value in rows:
        print(f"{name:<{width}}  {value}")


# --- ports -------------------------------------------------------------------


def port_state(port: Port) -> str:
    if not port.exists:
        return "no device file"
    if port.busy:
        return busy_hint(port)
    if not port.can_open:
        return f"no access: join group {port.group}" if port.group else "no access"
    return "ok"


def cmd_ports(args):
    ports = list_ports(**roots(args), all=args.all)
    if args.json:
        print(json.dumps([dict(dataclasses.asdict(p), usb_id=p.usb_id) for p in ports], indent=2))
        return 0
    if not ports:
        print("no ttyACM, ttyUSB or rfcomm ports" + (" and no other serial ports" if args.all else ""))
        return 0
    header = ("PORT", "KIND", "DRIVER", "USB", "LOCATION", "SERIAL", "STATE")
    rows = [(shown(p.path), p.kind, p.driver, p.usb_id, p.location,
             p.serial_number, port_state(p)) for p in ports]
    widths = [max(len(str(v or "-")) for v in column) for column in zip(header, *rows)]
    indent = " " * (widths[0] + 2)
    for i, row in enumerate([header, *rows]):
        print("  ".join(f"{v or '-':<{w}}" for v, w in zip(row, widths)).rstrip())
        if i == 0:
            continue
        port = ports[i - 1]
        described = " ".join(v for v in (port.manufacturer, port.product) if v)
        for extra in (described, port.by_id):
            if extra:
                print(indent + extra)
    return 0


# --- detect ------------------------------------------------------------------


def cmd_detect(args):
    import_api()  # one clear line when the module is missing, before any probe
    probed = 0

    def probe(path, kind):
        """tessary.detect's probe, with a line per port and the port facts first."""
        nonlocal probed
        probed += 1
        port = port_facts(path, **roots(args))
        if not port.exists or port.busy or not port.can_open:
            print(f"{shown(path)}: {kind}: skipped, {port_state(port)}", file=sys.stderr, flush=True)
            return False
        print(f"{shown(path)}: {kind}: probing ...", end="", file=sys.stderr, flush=True)
        start = time.monotonic()
        answered = detection.probe(path, kind)
        verdict = "found" if answered else "no answer"
        print(f" {verdict} ({time.monotonic() - start:.2f} s)", file=sys.stderr, flush=True)
        return answered

    found = detection.detect(args.dev, probe=probe)._asdict()
    if not probed:
        print("no ttyACM, ttyUSB or rfcomm ports to probe", file=sys.stderr)
    if args.json:
        print(json.dumps(found, indent=2))
    else:
        print_fields([(name.replace("_", " ") + ":", " ".join(map(shown, paths)) or "-")
                      for name, paths in found.items()])
    return 0


# --- info --------------------------------------------------------------------


def arm_info(api, stream, path):
    arm = api.Triaxon(stream)
    device_id, model, hardware, firmware, _ = arm.device_wakeup()
    # All zeros is what a failed exchange gives; no arm says that.
    if lost(api, stream) or (device_id, model) == (0, 0):
        raise Failure(f"{path}: no arm answering")
    if model != ARM_MODEL_NUMBER:
        raise Failure(f"{path}: the device answering is not an arm (model number {model})")
    readings = []
    for query in (arm.get_device_id, arm.get_firmware_version, arm.get_temperature,
                  arm.get_power_status, arm.get_device_orientation):
        readings.append(query())
        why = lost(api, stream)
        if why:
            raise Failure(f"{path}: the arm stopped answering: {why}")
    identifier, firmware_id, temperature, powered, orientation = readings
    print_fields(
        [
            *identity_fields(path, device_id, model, hardware, firmware),
            ("identifier", identifier),
            ("firmware id", identifier_text(firmware_id)),
            ("temperature", f"{temperature:.2f}"),
            ("power", "powered" if powered else "not powered"),
            ("orientation", " ".join(f"{q:+.4f}" for q in orientation)),
        ]
    )


def identity_fields(path, device_id, model, hardware, firmware):
    """The rows both kinds of device answer a wake-up with."""
    return [
        ("port", shown(path)),
        ("device id", device_id_text(device_id)),
        ("model number", model),
        ("hardware version", hardware),
        ("firmware version", firmware),
    ]


def handle_info(api, stream, path):
    handle = listener(api, stream)
    handle.SendDeviceWakeup()
    handle.Receive()
    failed = lost(api, stream)
    if handle.info:
        remaining, device_id, model, hardware, firmware = handle.info
        print_fields(
            [
                *identity_fields(path, device_id, model, hardware, firmware),
                ("tool data remaining", remaining),
            ]
        )
    elif handle.status:
        print_status(path, handle.status)
    elif handle.error:
        raise Failure(f"{path}: the handle answered with error code {handle.error[1]}")
    elif failed:
        raise Failure(f"{path}: no handle answering")
    else:
        raise Failure(f"{path}: the device answering is not a handle")


def device_id_text(device_id: int) -> str:
    """Device ids in hex, as the protocol documentation writes them (0x7100)."""
    return f"0x{device_id:04x}"


def print_status(path, status):
    device_id, quaternion, error_flag, hall, data = status
    print_fields(
        [
            ("port", shown(path)),
            ("device id", device_id_text(device_id)),
            ("quaternion", " ".join(f"{q:+.4f}" for q in quaternion)),
            ("error flag", error_flag),
            ("hall effect sensor level", hall),
            ("user data", data.hex(" ") or "-"),
        ]
    )


def cmd_info(args):
    api, kind, stream = open_device(args)
    (arm_info if kind == "arm" else handle_info)(api, stream, args.port)
    return 0


# --- watch -------------------------------------------------------------------

ARM_COLUMNS = ["time_s", "position_x", "position_y", "position_z", "velocity_x", "velocity_y", "velocity_z"]
# The quaternion in wire order, scalar first.
HANDLE_COLUMNS = ["time_s", "device_id", "quaternion_w", "quaternion_x", "quaternion_y", "quaternion_z",
                  "error_flag", "hall_effect_sensor_level", "user_data"]


def arm_sampler(api, stream):
    arm = api.Triaxon(stream)

    def sample():
        position, velocity = arm.end_effector_force(ZERO_FORCE)
        values = position + velocity
        shown = "position " + " ".join(f"{v:+.5f}" for v in position)
        shown += "  velocity " + " ".join(f"{v:+.5f}" for v in velocity)
        return [f"{v:.9g}" for v in values], shown

    return ARM_COLUMNS, sample


def handle_sampler(api, stream):
    handle = listener(api, stream)

    def sample():
        handle.status = None
        handle.RequestStatus()
        handle.Receive()
        if handle.status is None:
            return None, None
        device_id, quaternion, error_flag, hall, data = handle.status
        row = [device_id, *(f"{q:.9g}" for q in quaternion), error_flag, hall, data.hex()]
        shown = "quaternion " + " ".join(f"{q:+.4f}" for q in quaternion)
        shown += f"  error {error_flag}  hall {hall}"
        return row, shown

    return HANDLE_COLUMNS, sample


def cmd_watch(args):
    api, kind, stream = open_device(args)
    columns, sample = (arm_sampler if kind == "arm" else handle_sampler)(api, stream)

    out = open(args.csv, "w", newline="") if args.csv else None
    writer = csv.writer(out) if out else None
    if writer:
        writer.writerow(columns)
    live = sys.stdout.isatty()
    refresh = 0.1 if live else 1.0  # a file gets one line a second, a terminal one refreshed line
    period = 1.0 / args.rate
    count = shown_count = 0
    failed = None
    start = time.monotonic()
    shown_at = next_at = start
    end = start + args.duration if args.duration else None
    try:
        while end is None or time.monotonic() < end:
            now = time.monotonic()
            row, text = sample()
            failed = lost(api, stream)
            if failed:
                break
            if row is not None:
                count += 1
                if writer:
                    writer.writerow([f"{now - start:.6f}", *row])
                if now - shown_at >= refresh:
                    rate = (count - shown_count) / (now - shown_at)
                    line = f"{text}  {rate:7.1f} Hz"
                    print("\r" + line if live else line, end="" if live else "\n", flush=True)
                    shown_at, shown_count = now, count
            next_at += period
            pause = next_at - time.monotonic()
            if pause > 0:
                time.sleep(pause)
            else:
                next_at = time.monotonic()  # behind: do not try to catch up in a burst
    except KeyboardInterrupt:
        pass
    finally:
        if out:
            out.close()
    seconds = time.monotonic() - start
    if live:
        print()
    if failed:
        what = "arm" if kind == "arm" else "handle"
        raise Failure(f"{args.port}: no {what} answering" if count == 0 else
                      f"{args.port}: the {what} stopped answering after {count} samples: {failed}")
    print(f"{count} samples in {seconds:.2f} s ({count / seconds if seconds else 0:.1f} Hz)")
    return 0


# --- udev-rule ---------------------------------------------------------------


def udev_rule(port: Port) -> tuple[str, str]:
    """The rule text and the file name to install it under."""
    match = f'ATTRS{{idVendor}}=="{port.vendor_id}", ATTRS{{idProduct}}=="{port.product_id}"'
    if port.serial_number:
        match += f', ATTRS{{serial}}=="{port.serial_number}"'
    described = ", ".join(v for v in (port.usb_id, port.serial_number and f"serial {port.serial_number}") if v)
    name = " ".join(v for v in (port.manufacturer, port.product) if v) or "device"
    lines = [
        f"# {name} ({described}), seen as {port.path}",
        "# Group access, and ModemManager leaves the port alone.",
        f'SUBSYSTEM=="tty", {match}, GROUP="dialout", MODE="0660", ENV{{ID_MM_DEVICE_IGNORE}}="1"',
    ]
    if port.driver == "ftdi_sio" or port.vendor_id == "0403":
        lines += [
            "# FTDI adapters hold received bytes up to 16 ms by default; 1 ms allows hundreds of round trips a second.",
            f'ACTION=="add", SUBSYSTEM=="usb-serial", DRIVER=="ftdi_sio", {match}, ATTR{{latency_timer}}="1"',
        ]
    tail = "-".join(v for v in (port.vendor_id, port.product_id, port.serial_number) if v)
    return "\n".join(lines) + "\n", f"60-tessary-{re.sub(r'[^A-Za-z0-9_.-]', '_', tail)}.rules"


def cmd_udev_rule(args):
    port = port_facts(args.port, **roots(args))
    if not port.exists:
        raise Failure(f"{args.port}: no such port")
    if not port.usb_id:
        raise Failure(f"{args.port}: not a USB device: a udev rule matches by USB vendor, product and serial")
    text, file_name = udev_rule(port)
    sys.stdout.write(text)
    sys.stdout.flush()
    # The same command again, with any folders it was given.
    again = [PROG, "udev-rule", args.port]
    for name, folder in roots(args).items():
        if folder != f"/{name}":
            again += [f"--{name}", folder]
    # The commands go to standard error, so standard output is the rule file itself.
    print(
        f"\nTo install it:\n"
        f"  {shlex.join(again)} | sudo tee /etc/udev/rules.d/{file_name}\n"
        f"  sudo udevadm control --reload-rules\n"
        f"  sudo udevadm trigger\n"
        f"Then unplug and replug the device. To open it without root, be a member of dialout"
        f" (sudo usermod -aG dialout $USER, then log in again).",
        file=sys.stderr,
    )
    return 0


# --- sim ---------------------------------------------------------------------


def run_sim(arguments):
    if "--replay" in arguments:  # a capture's device, played by tessary.replay
        from tessary import replay

        sys.exit(replay.main(arguments))
    try:
        binary = find_binary()  # the lookup tessary.sim.Simulator uses
    except FileNotFoundError as error:
        raise Failure(str(error)) from None
    sys.stdout.flush()
    os.execv(binary, ["tessary-sim", *arguments])


def _command(name):
    """A command's module, imported when it runs (record and decode need mcap)."""
    import importlib

    return importlib.import_module(f"tessary.{name}")


# --- ros, teleop --------------------------------------------------------------


def run_ros(command, arguments):
    """rclpy is imported only here, from the command's own module."""
    from tessary.ros import require_rclpy
    require_rclpy()
    if command == "ros":
        from tessary.ros.node import main as run
    else:
        from tessary.ros.teleop import main as run
    return run(arguments)


# --- entry -------------------------------------------------------------------


def above_zero(text: str) -> float:
    """A finite number above 0 (nan, inf, 0 and below are refused)."""
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"must be a finite number above 0, not {text!r}")
    return value


def parser():
    # The system folders, replaceable for tests; hidden from the help.
    where = argparse.ArgumentParser(add_help=False)
    where.add_argument("--sys", default="/sys", help=argparse.SUPPRESS)
    where.add_argument("--proc", default="/proc", help=argparse.SUPPRESS)
    listed = argparse.ArgumentParser(add_help=False, parents=[where])
    listed.add_argument("--dev", default="/dev", metavar="DIR", help="device folder to look in (default /dev)")
    kind = argparse.ArgumentParser(add_help=False)
    kind.add_argument("--kind", choices=("arm", "handle"), help="device on the port, when its name does not tell")

    top = argparse.ArgumentParser(prog=PROG, description="Find, query and watch Triaxon arms and Handle tools.")
    top.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    ports = commands.add_parser("ports", parents=[listed],
                                help="list serial ports and their facts without opening them")
    ports.add_argument("--json", action="store_true", help="print JSON")
    ports.add_argument("--all", action="store_true",
                       help="also list the other serial ports (ttyS, ttyAMA, ...), which detection never probes")
    ports.set_defaults(run=cmd_ports)

    detect = commands.add_parser("detect", parents=[listed], help="probe each candidate port for an arm or a handle")
    detect.add_argument("--json", action="store_true", help="print the results as JSON")
    detect.set_defaults(run=cmd_detect)

    info = commands.add_parser("info", parents=[where, kind], help="an arm's identity and readings, or a handle's information")
    info.add_argument("port", metavar="PORT")
    info.set_defaults(run=cmd_info)

    watch = commands.add_parser("watch", parents=[where, kind], help="an arm's state under zero force, or a handle's status, live")
    watch.add_argument("port", metavar="PORT")
    watch.add_argument("--csv", metavar="FILE", help="record every sample, with a header line")
    watch.add_argument("--rate", type=above_zero, default=100.0, metavar="HZ", help="exchanges a second (default 100)")
    watch.add_argument("--duration", type=above_zero, metavar="S", help="stop after S seconds (default: at Ctrl-C)")
    watch.set_defaults(run=cmd_watch)

    udev = commands.add_parser("udev-rule", parents=[where], help="print a udev rule for the device on PORT")
    udev.add_argument("port", metavar="PORT")
    udev.set_defaults(run=cmd_udev_rule)

    rec = commands.add_parser("record", parents=[kind], help="forward a program's bytes to PORT through a link, and record them")
    rec.add_argument("port", metavar="PORT")
    rec.add_argument("--link", required=True, metavar="PATH", help="the link to make, for the program to open instead of PORT")
    rec.add_argument("-o", "--output", required=True, metavar="FILE.mcap", help="the capture to write")
    rec.add_argument("--duration", type=above_zero, metavar="S", help="stop after S seconds (default: at Ctrl-C)")
    rec.set_defaults(run=lambda args: _command("record").main(args))

    dec = commands.add_parser("decode", help="a capture's requests and replies, decoded by the library")
    dec.add_argument("capture", metavar="FILE.mcap")
    out = dec.add_mutually_exclusive_group()
    out.add_argument("--csv", action="store_true", help="print CSV")
    out.add_argument("-o", "--output", metavar="DECODED.mcap", help="write an MCAP of JSON channels")
    dec.set_defaults(run=lambda args: _command("decode").main(args))

    commands.add_parser("sim", help="run the virtual devices (tessary-sim; its options follow)", add_help=False)
    commands.add_parser("ros", help="the arm (and a handle) as a ROS 2 node (tessary ros --help)", add_help=False)
    commands.add_parser("teleop", help="bilateral teleoperation between two tessary ros nodes", add_help=False)
    return top


def main(argv=None) -> int:
    argv = sys.argv[1:] if argv is None else list(argv)
    try:
        if argv[:1] == ["sim"]:  # everything after it belongs to tessary-sim
            run_sim(argv[1:])
        if argv[:1] in (["ros"], ["teleop"]):  # ROS arguments pass through to rclpy
            return run_ros(argv[0], argv[1:])
        args = parser().parse_args(argv)
        return args.run(args)
    except Failure as failure:
        print(f"{PROG}: {failure}", file=sys.stderr)
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (`tessary ports | head`): stop quietly, as
        # other command-line tools do, without a second error on exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 141
    except OSError as error:
        where = f"{error.filename}: " if error.filename else ""
        print(f"{PROG}: {where}{error.strerror or error}", file=sys.stderr)
    except Exception as error:  # still one line, never a traceback
        print(f"{PROG}: unexpected {type(error).__name__}: {error}", file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main())
