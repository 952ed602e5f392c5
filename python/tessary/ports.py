"""Facts about the serial ports that detection would probe, without opening any.

Everything comes from the file system: the device folder (/dev), sysfs (/sys)
and the kernel's lock table (/proc/locks). Opening a port would raise DTR and
may reset or wake the device on it; reading these files touches nothing.

    from tessary.ports import list_ports
    for port in list_ports():
        print(port.path, port.kind, port.usb_id, port.location, port.can_open, port.busy)

The roots are parameters so that tests can point them at small fake trees.
"""

from __future__ import annotations

import grp
import os
import re
import stat
from collections.abc import Callable
from dataclasses import dataclass

# os.access, or a stand-in for tests: (path, mode) -> allowed.
Access = Callable[[str, int], bool]

# The markers the library's detection classifies names by: the first found
# anywhere in the name decides.
KINDS = (("ttyACM", "arm"), ("ttyUSB", "wired handle"), ("rfcomm", "wireless handle"))
# Unix98 pseudo-terminal slaves (/dev/pts/N) have these major numbers.
PTY_MAJORS = range(136, 144)


@dataclass(frozen=True)
class Port:
    path: str  # as found in the device folder, e.g. /dev/ttyUSB0
    name: str  # its file name
    kind: str | None  # "arm", "wired handle" or "wireless handle": how detection probes it
    by_id: str | None  # stable /dev/serial/by-id link to it
    driver: str | None  # kernel driver, e.g. ftdi_sio, cdc_acm, pty
    vendor_id: str | None  # USB ids as sysfs spells them: four hex digits
    product_id: str | None
    manufacturer: str | None
    product: str | None
    serial_number: str | None
    exists: bool  # the device file is there (sysfs may know ports that /dev lacks)
    can_open: bool  # this user may open it for reading and writing
    group: str | None  # when not: the group whose members may
    busy: bool  # another process holds a lock on it, so opening fails (EBUSY)
    holder: int | None  # that process's id, when the kernel tells it
    holder_name: str | None  # and its name (/proc/PID/comm), when readable
    location: str | None  # USB bus path of the port's interface, e.g. 1-1.2:1.0: tells apart
    # two adapters that have no serial number, and stays while the same socket is used
    pty: bool  # a pseudo-terminal (tessary-sim's devices, and links to them)

    @property
    def usb_id(self) -> str | None:
        if self.vendor_id and self.product_id:
            return f"{self.vendor_id}:{self.product_id}"
        return None


def kind_of(name: str) -> str | None:
    for marker, kind in KINDS:
        if marker in name:
            return kind
    return None


def candidates(dev: str = "/dev") -> list[tuple[str, str]]:
    """(path, kind) of each name in the device folder that carries a marker, as
    detection would probe them, sorted by name. Raises OSError when the folder
    cannot be listed. Names that are not UTF-8 come as os.fsdecode gives them:
    os.fsencode(path) is the name again."""
    found = []
    for name in sorted(os.listdir(dev), key=_natural):
        kind = kind_of(name)
        if kind:
            found.append((os.path.join(dev, name), kind))
    return found


def list_ports(
    dev: str = "/dev", sys: str = "/sys", proc: str = "/proc", access: Access = os.access, all: bool = False
) -> list[Port]:
    """Every ttyACM, ttyUSB and rfcomm port that sysfs or the device folder knows;
    with all=True the other serial ports too (ttyS, ttyAMA, ...), whose kind is
    None: detection never probes them.

    Sorted by name, numbers in names compared as numbers (ttyUSB2 before
    ttyUSB10). Links in the device folder whose names carry a marker count too,
    as they do for detection. Raises OSError when the device folder cannot be
    listed.
    """
    names = {os.path.basename(path) for path, _ in candidates(dev)}
    tty = os.path.join(sys, "class", "tty")
    try:
        known = os.listdir(tty)
    except OSError:
        known = []
    names.update(n for n in known if kind_of(n) or (all and _serial_hardware(os.path.join(tty, n))))
    by_id = _by_id_links(dev)
    locks = _locks(proc)
    return [_facts(os.path.join(dev, n), sys, proc, access, by_id, locks) for n in sorted(names, key=_natural)]


def port_facts(path: str, dev: str = "/dev", sys: str = "/sys", proc: str = "/proc", access: Access = os.access) -> Port:
    """The same facts for one path, whatever its name (kind is None when the
    name has no marker)."""
    return _facts(path, sys, proc, access, _by_id_links(dev), _locks(proc))


def _natural(name: str) -> list[int | str]:
    return [int(part) if part.isdigit() else part for part in re.split(r"(\d+)", name)]


def _serial_hardware(folder: str) -> bool:
    """A tty with a device behind it (not a console, pty or virtual terminal),
    less the ttyS placeholders of serial8250 that have no UART (type 0)."""
    return os.path.exists(os.path.join(folder, "device")) and _read(os.path.join(folder, "type")) != "0"


def _read(path: str) -> str | None:
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read().strip() or None
    except OSError:
        return None


def _by_id_links(dev: str) -> dict[str, str]:
    folder = os.path.join(dev, "serial", "by-id")
    try:
        links = sorted(os.listdir(folder))
    except OSError:
        return {}
    found: dict[str, str] = {}
    for link in links:
        found.setdefault(os.path.realpath(os.path.join(folder, link)), os.path.join(folder, link))
    return found


def _locks(proc: str) -> dict[tuple[int, int, int], int | None]:
    """(device major, minor, inode) -> holder pid, from the kernel's lock table.

    Lines look like "1: FLOCK  ADVISORY  WRITE 1234 00:1a:3 0 EOF"; the device
    numbers are hex, the inode decimal. Waiting requests ("1: -> FLOCK ...")
    hold nothing.
    """
    held: dict[tuple[int, int, int], int | None] = {}
    try:
        with open(os.path.join(proc, "locks")) as f:
            lines = f.readlines()
    except OSError:
        return held
    own = os.getpid()
    for line in lines:
        fields = line.split()
        if len(fields) < 6 or fields[1] == "->":
            continue
        try:
            pid = int(fields[4])
            major, minor, inode = fields[5].split(":")
            key = (int(major, 16), int(minor, 16), int(inode))
        except ValueError:
            continue
        if pid != own:
            held.setdefault(key, pid if pid > 0 else None)  # open-file-description locks show -1
    return held


def _sys_dir(path: str, st: os.stat_result | None, sys: str) -> str | None:
    """The port's folder in sysfs: by device number for a real device node,
    else by the name of the file the path leads to."""
    if st is not None and stat.S_ISCHR(st.st_mode):
        folder = os.path.join(sys, "dev", "char", f"{os.major(st.st_rdev)}:{os.minor(st.st_rdev)}")
        if os.path.isdir(folder):
            return folder
    folder = os.path.join(sys, "class", "tty", os.path.basename(os.path.realpath(path)))
    return folder if os.path.isdir(folder) else None


def _usb_device(device: str, sys: str) -> tuple[str, str | None] | tuple[None, None]:
    """Walks up from the port's device to the USB device that carries it: the
    first folder with idVendor (the parent of the interface for ttyACM, of the
    port's interface for ttyUSB). Returns it and the interface below it."""
    top = os.path.realpath(os.path.join(sys, "devices"))
    folder, below = device, None
    while folder.startswith(top + os.sep):
        if os.path.isfile(os.path.join(folder, "idVendor")):
            return folder, below
        folder, below = os.path.dirname(folder), folder
    return None, None


def _process_name(proc: str, pid: int | None) -> str | None:
    return _read(os.path.join(proc, str(pid), "comm")) if pid else None


def _facts(
    path: str,
    sys: str,
    proc: str,
    access: Access,
    by_id: dict[str, str],
    locks: dict[tuple[int, int, int], int | None],
) -> Port:
    name = os.path.basename(path)
    try:
        st = os.stat(path)
    except OSError:
        st = None

    driver = usb = interface = None
    folder = _sys_dir(path, st, sys)
    device = os.path.join(folder, "device") if folder else None
    if device and os.path.exists(device):
        device = os.path.realpath(device)
        # Newer kernels put a serial-base port between a UART's tty and its device.
        while os.path.basename(os.path.realpath(os.path.join(device, "subsystem"))) == "serial-base":
            device = os.path.dirname(device)
        if os.path.exists(os.path.join(device, "driver")):
            driver = os.path.basename(os.path.realpath(os.path.join(device, "driver")))
        usb, interface = _usb_device(device, sys)

    def usb_attr(attr: str) -> str | None:
        return _read(os.path.join(usb, attr)) if usb else None

    can_open = st is not None and access(path, os.R_OK | os.W_OK)
    group = None
    if st is not None and not can_open and st.st_mode & 0o060 == 0o060:
        try:
            group = grp.getgrgid(st.st_gid).gr_name
        except KeyError:
            group = str(st.st_gid)
    holder = busy = None
    if st is not None:
        key = (os.major(st.st_dev), os.minor(st.st_dev), st.st_ino)
        busy = key in locks
        holder = locks.get(key)

    pty = st is not None and stat.S_ISCHR(st.st_mode) and os.major(st.st_rdev) in PTY_MAJORS
    return Port(
        path=path,
        name=name,
        kind=kind_of(name),
        by_id=by_id.get(os.path.realpath(path)),
        driver=driver or ("pty" if pty else None),  # the kernel's name for the pty driver
        vendor_id=usb_attr("idVendor"),
        product_id=usb_attr("idProduct"),
        manufacturer=usb_attr("manufacturer"),
        product=usb_attr("product"),
        serial_number=usb_attr("serial"),
        exists=st is not None,
        can_open=bool(can_open),
        group=group,
        busy=bool(busy),
        holder=holder,
        holder_name=_process_name(proc, holder),
        location=os.path.basename(interface or usb) if usb else None,
        pty=pty,
    )
