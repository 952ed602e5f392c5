"""Small /dev, /sys and /proc trees in a folder, shaped as Linux lays out serial ports.

    dev, sys, proc = make_tree(tmp_path)

- ttyUSB0: an FTDI adapter (ftdi_sio) with every USB fact and a by-id link;
- ttyACM0: a modem-class port (cdc_acm) without a manufacturer string;
- rfcomm0: a Bluetooth link, no USB facts (a lock request waiting on it holds nothing);
- ttyACM1: a device file without sysfs facts, group-only permissions;
- ttyUSB1: busy, another process (HOLDER, named HOLDER_NAME) holds a lock on it;
- ttyACM2: known to sysfs, missing from the device folder;
- ttyS0: not a candidate, a UART listed with --all; ttyS1: a placeholder without one (type 0).
"""

import os

USB = "devices/pci0000:00/0000:00:14.0/usb1"
HOLDER = 4242
HOLDER_NAME = "arm-logger"


def _write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text + "\n")


def _link(path, target):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    os.symlink(os.path.relpath(target, os.path.dirname(path)), path)


def _usb_device(sys, name, facts):
    for attr, value in facts.items():
        _write(f"{sys}/{USB}/{name}/{attr}", value)


def _tty(sys, name, device):
    """The class folder of tty `name` whose device is `device` (None: a virtual tty)."""
    folder = f"{sys}/{device}/tty/{name}" if device else f"{sys}/devices/virtual/tty/{name}"
    _write(f"{folder}/dev", "0:0")
    if device:
        _link(f"{folder}/device", f"{sys}/{device}")
    _link(f"{sys}/class/tty/{name}", folder)


def make_tree(root):
    root = str(root)
    dev, sys, proc = f"{root}/dev", f"{root}/sys", f"{root}/proc"
    _usb_device(sys, "", {"idVendor": "1d6b", "idProduct": "0002"})  # the root hub: walking up must stop before it

    _usb_device(sys, "1-1", {"idVendor": "0403", "idProduct": "6001", "manufacturer": "FTDI",
                             "product": "FT232R USB UART", "serial": "A50285BI"})
    port = f"{USB}/1-1/1-1:1.0/ttyUSB0"
    os.makedirs(f"{sys}/{port}")
    _link(f"{sys}/{port}/driver", f"{sys}/bus/usb-serial/drivers/ftdi_sio")
    os.makedirs(f"{sys}/bus/usb-serial/drivers/ftdi_sio")
    _tty(sys, "ttyUSB0", port)

    _usb_device(sys, "1-2", {"idVendor": "2e8a", "idProduct": "000a", "product": "Triaxon", "serial": "E6614C311B"})
    interface = f"{USB}/1-2/1-2:1.0"
    os.makedirs(f"{sys}/bus/usb/drivers/cdc_acm")
    os.makedirs(f"{sys}/{interface}")
    _link(f"{sys}/{interface}/driver", f"{sys}/bus/usb/drivers/cdc_acm")
    _tty(sys, "ttyACM0", interface)

    _tty(sys, "rfcomm0", None)
    _tty(sys, "ttyACM2", None)
    _tty(sys, "ttyS0", "devices/pnp0/00:00")
    _write(f"{sys}/class/tty/ttyS0/type", "4")
    _tty(sys, "ttyS1", "devices/platform/serial8250")
    _write(f"{sys}/class/tty/ttyS1/type", "0")

    for name in ("ttyUSB0", "ttyACM0", "rfcomm0", "ttyACM1", "ttyUSB1", "ttyS0"):
        _write(f"{dev}/{name}", "")
    os.chmod(f"{dev}/ttyACM1", 0o060)
    _link(f"{dev}/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", f"{dev}/ttyUSB0")

    def lock_key(name):
        st = os.stat(f"{dev}/{name}")
        return f"{os.major(st.st_dev):02x}:{os.minor(st.st_dev):02x}:{st.st_ino}"

    _write(f"{proc}/{HOLDER}/comm", HOLDER_NAME)
    _write(f"{proc}/locks", "\n".join([
        "1: POSIX  ADVISORY  WRITE 1 00:00:1 0 EOF",
        f"2: FLOCK  ADVISORY  WRITE {HOLDER} {lock_key('ttyUSB1')} 0 EOF",
        f"2: -> FLOCK  ADVISORY  WRITE 77 {lock_key('rfcomm0')} 0 EOF",
    ]))
    return dev, sys, proc
