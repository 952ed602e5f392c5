"""Facts about the serial ports that detection would probe, without opening any.

Everything comes from the file system: the device folder (/dev), sysfs (/sys)
and the kernel's lock table (/proc/locks). Opening a port would raise DTR and
may reset or wake the device on it; reading these files touches nothing.

    from tessary.ports import list_ports
    for port in list_ports():
        print(port.path, port.kind, port.usb_id, port.can_open, port.busy)

The roots are parameters so that tests can point them at small fake trees.
"""

from __future__ import annotations

import grp
import os
import re
import stat
from dataclasses import dataclass

# The markers the library's detection classifies names by: the first found
# anywhere in the name decides.
KINDS = (("ttyACM", "arm"), ("ttyUSB", "wired handle"), ("rfcomm", "wireless handle"))


@dataclass(frozen=True)
class Port:
    path: str  # as found in the device folder, e.g. /dev/ttyUSB0
    name: str  # its file name
    kind: str | None  # "arm", "wired handle" or "wireless handle": how detection probes it
    by_id: str | None  # stable /dev/serial/by-id link to it
    driver: str | None  # kernel driver, e.g. ftdi_sio, cdc_acm
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


def list_ports(dev="/dev", sys="/sys", proc="/proc", access=os.access) -> list[Port]:
    """Every ttyACM, ttyUSB and rfcomm port that sysfs or the device folder knows.

    Sorted by name, numbers in names compared as numbers (ttyUSB2 before
    ttyUSB10). Links in the device folder whose names carry a marker count too,
    as they do for detection.
    """
    names = set()
    for folder in (os.path.join(sys, "class", "tty"), dev):
        try:
            names.update(n for n in os.listdir(folder) if kind_of(n))
        except OSError:
            pass
    by_id = _by_id_links(dev)
    locks = _locks(proc)
    return [_facts(os.path.join(dev, n), sys, access, by_id, locks) for n in sorted(names, key=_natural)]


def port_facts(path: str, dev="/dev", sys="/sys", proc="/proc", access=os.access) -> Port:
    """The same facts for one path, whatever its name (kind is None when the
    name has no marker)."""
    return _facts(path, sys, access, _by_id_links(dev), _locks(proc))


def _natural(name):
    return [int(part) if part.isdigit() else part for part in re.split(r"(\d+)", name)]


def _read(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read().strip() or None
    except OSError:
        return None


def _by_id_links(dev):
    folder = os.path.join(dev, "serial", "by-id")
    try:
        links = sorted(os.listdir(folder))
    except OSError:
        return {}
    found = {}
    for link in links:
        found.setdefault(os.path.realpath(os.path.join(folder, link)), os.path.join(folder, link))
    return found


def _locks(proc):
    """(device major, minor, inode) -> holder pid, from the kernel's lock table.

    Lines look like "1: FLOCK  ADVISORY  WRITE 1234 00:1a:3 0 EOF"; the device
    numbers are hex, the inode decimal. Waiting requests ("1: -> FLOCK ...")
    hold nothing.
    """
    held = {}
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


def _sys_dir(path, st, sys):
    """The port's folder in sysfs: by device number for a real device node,
    else by the name of the file the path leads to."""
    if st is not None and stat.S_ISCHR(st.st_mode):
        folder = os.path.join(sys, "dev", "char", f"{os.major(st.st_rdev)}:{os.minor(st.st_rdev)}")
        if os.path.isdir(folder):
            return folder
    folder = os.path.join(sys, "class", "tty", os.path.basename(os.path.realpath(path)))
    return folder if os.path.isdir(folder) else None


def _usb_device(device, sys):
    """Walks up from the port's device to the USB device that carries it: the
    first folder with idVendor (an interface for ttyACM, the port's interface's
    parent for ttyUSB)."""
    top = os.path.realpath(os.path.join(sys, "devices"))
    folder = device
    while folder.startswith(top + os.sep):
        if os.path.isfile(os.path.join(folder, "idVendor")):
            return folder
        folder = os.path.dirname(folder)
    return None


def _facts(path, sys, access, by_id, locks):
    name = os.path.basename(path)
    try:
        st = os.stat(path)
    except OSError:
        st = None

    driver = usb = None
    folder = _sys_dir(path, st, sys)
    device = os.path.join(folder, "device") if folder else None
    if device and os.path.exists(device):
        device = os.path.realpath(device)
        if os.path.exists(os.path.join(device, "driver")):
            driver = os.path.basename(os.path.realpath(os.path.join(device, "driver")))
        usb = _usb_device(device, sys)

    def usb_attr(attr):
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

    return Port(
        path=path,
        name=name,
        kind=kind_of(name),
        by_id=by_id.get(os.path.realpath(path)),
        driver=driver,
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
    )
