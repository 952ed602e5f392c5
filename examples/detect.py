"""List the ports on which a Triaxon arm or a Handle answers.

Usage: python detect.py

Detection looks at the device files in /dev whose names contain "ttyACM"
(arms), "ttyUSB" (wired handles) or "rfcomm" (wireless handles), opens each
one, sends it a wake-up byte and keeps the ports whose answer is that of the
device. A port that stays silent costs about a second, so plug in only what
you need. The paths come back with symbolic links resolved; this script also
shows the name under /dev that led to each one.
"""

import os
import time

import TessaryHardwareAPI as api


def names_in_dev() -> dict[str, list[str]]:
    """Map each resolved candidate path to the /dev name(s) pointing at it."""
    names: dict[str, list[str]] = {}
    for entry in sorted(os.listdir("/dev")):
        if any(kind in entry for kind in ("ttyACM", "ttyUSB", "rfcomm")):
            path = os.path.join("/dev", entry)
            names.setdefault(os.path.realpath(path), []).append(path)
    return names


def show(title: str, ports: list[str], names: dict[str, list[str]]) -> None:
    print(f"{title}:")
    if not ports:
        print("  (none)")
    for port in ports:
        aliases = [n for n in names.get(port, []) if n != port]
        print(f"  {port}" + (f"  (via {', '.join(aliases)})" if aliases else ""))


start = time.monotonic()
# Each call probes its candidates afresh, one port at a time.
arms = api.detect_triaxons()
wired = api.detect_wired_handles()
wireless = api.detect_wireless_handles()
# detect_handles() would give the wired and the wireless ones in one list.
elapsed = time.monotonic() - start

names = names_in_dev()
show("Triaxon arms", arms, names)
show("wired handles", wired, names)
show("wireless handles", wireless, names)
print(f"detection took {elapsed:.2f} s")
