"""tessary.ports on fake /dev, /sys and /proc trees: the facts of each port, read without opening it."""

import grp
import os

import pytest

from porttree import HOLDER, HOLDER_NAME, make_tree
from tessary.ports import Port, list_ports, port_facts

NO_USB = dict(vendor_id=None, product_id=None, manufacturer=None, product=None, serial_number=None, location=None)
FREE = dict(exists=True, can_open=True, group=None, busy=False, holder=None, holder_name=None, pty=False)

EXPECTED = {
    "rfcomm0": dict(kind="wireless handle", by_id=None, driver=None, **NO_USB, **FREE),
    "ttyACM0": dict(kind="arm", by_id=None, driver="cdc_acm", vendor_id="2e8a", product_id="000a",
                    manufacturer=None, product="Triaxon", serial_number="E6614C311B", location="1-2:1.0", **FREE),
    "ttyACM1": dict(kind="arm", by_id=None, driver=None, **NO_USB, exists=True, can_open=False,
                    group="GROUP", busy=False, holder=None, holder_name=None, pty=False),
    "ttyACM2": dict(kind="arm", by_id=None, driver=None, **NO_USB, exists=False, can_open=False,
                    group=None, busy=False, holder=None, holder_name=None, pty=False),
    "ttyUSB0": dict(kind="wired handle", by_id="BY_ID", driver="ftdi_sio", vendor_id="0403", product_id="6001",
                    manufacturer="FTDI", product="FT232R USB UART", serial_number="A50285BI", location="1-1:1.0",
                    **FREE),
    "ttyUSB1": dict(kind="wired handle", by_id=None, driver=None, **NO_USB, exists=True, can_open=True,
                    group=None, busy=True, holder=HOLDER, holder_name=HOLDER_NAME, pty=False),
}


@pytest.fixture
def tree(tmp_path):
    dev, sys_root, proc = make_tree(tmp_path)

    def deny_acm1(path, mode):  # the tests may run as root, who may open anything
        return not path.endswith("ttyACM1") and os.access(path, mode)

    return dict(dev=dev, sys=sys_root, proc=proc, access=deny_acm1)


def expected(name, tree):
    facts = dict(EXPECTED[name])
    if facts["by_id"]:
        facts["by_id"] = f"{tree['dev']}/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"
    if facts["group"]:
        facts["group"] = grp.getgrgid(os.stat(f"{tree['dev']}/ttyACM1").st_gid).gr_name
    return Port(path=f"{tree['dev']}/{name}", name=name, **facts)


def test_every_candidate_from_sysfs_and_the_device_folder_in_name_order(tree):
    ports = list_ports(**tree)
    assert [p.name for p in ports] == sorted(EXPECTED)  # ttyS0 is no candidate


@pytest.mark.parametrize("name", sorted(EXPECTED))
def test_facts_of_each_port(tree, name):
    (port,) = [p for p in list_ports(**tree) if p.name == name]
    assert port == expected(name, tree)
    assert port_facts(port.path, **tree) == port


def test_usb_id_and_a_link_named_like_a_port(tree):
    ftdi = port_facts(f"{tree['dev']}/ttyUSB0", **tree)
    assert ftdi.usb_id == "0403:6001"
    assert port_facts(f"{tree['dev']}/rfcomm0", **tree).usb_id is None
    # A link with a marker in its name is a candidate, and has its target's facts.
    os.symlink("ttyUSB0", f"{tree['dev']}/ttyUSB-mine")
    (mine,) = [p for p in list_ports(**tree) if p.name == "ttyUSB-mine"]
    assert (mine.kind, mine.usb_id, mine.by_id, mine.driver) == ("wired handle", "0403:6001", ftdi.by_id, "ftdi_sio")


def test_other_serial_ports_only_when_asked(tree):
    # ttyS0 has a UART behind it; ttyS1 is a placeholder without one (type 0).
    others = [p for p in list_ports(**tree, all=True) if p.kind is None]
    assert [(p.name, p.driver, p.exists) for p in others] == [("ttyS0", None, True)]


def test_a_pseudo_terminal_and_links_to_it_are_marked(tree):
    master, slave = os.openpty()
    try:
        os.symlink(os.ttyname(slave), f"{tree['dev']}/ttyACM-sim0")
        (linked,) = [p for p in list_ports(**tree) if p.name == "ttyACM-sim0"]
        assert (linked.pty, linked.kind, linked.driver, linked.location) == (True, "arm", "pty", None)
    finally:
        os.close(master)
        os.close(slave)


def test_missing_roots(tmp_path):
    # No sysfs or lock table: the device folder alone. No device folder: an error, not "no ports".
    assert list_ports(dev=str(tmp_path), sys=str(tmp_path / "no-sys"), proc=str(tmp_path / "no-proc")) == []
    with pytest.raises(FileNotFoundError):
        list_ports(dev=str(tmp_path / "no-dev"))
