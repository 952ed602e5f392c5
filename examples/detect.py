"""List the ports on which a Triaxon arm or a Handle answers.

Usage: python detect.py [FOLDER]

Detection looks at the device files whose names contain "ttyACM" (arms),
"ttyUSB" (wired handles) or "rfcomm" (wireless handles), opens each one,
sends it a wake-up byte and keeps the ports whose answer is that of the
device. A port that stays silent costs about a second, so plug in only what
you need. The paths come back with symbolic links resolved; this script also
shows the name that led to each one.

Without FOLDER it calls the module's detection functions, which look in /dev.
With FOLDER (for example the --link folder of tessary-sim) it calls
tessary.detect(FOLDER), which probes each port there once and gives the same
four lists.
"""

import os
import sys
import time

import TessaryHardwareAPI as api
import tessary


def names_in(folder: str) -> dict[str, list[str]]:
    """Map each resolved candidate path to the name(s) in folder pointing at it."""
    names: dict[str, list[str]] = {}
    for entry in sorted(os.listdir(folder)):
        if any(kind in entry for kind in ("ttyACM", "ttyUSB", "rfcomm")):
            path = os.path.join(folder, entry)
            names.setdefault(os.path.realpath(path), []).append(path)
    return names


def show(title: str, ports: list[str], names: dict[str, list[str]]) -> None:
    print(f"{title}:")
    if not ports:
        print("  (none)")
    for port in ports:
        aliases = [n for n in names.get(port, []) if n != port]
        print(f"  {port}" + (f"  (via {', '.join(aliases)})" if aliases else ""))


folder = sys.argv[1] if len(sys.argv) > 1 else "/dev"
start = time.monotonic()
if len(sys.argv) > 1:
    # Probes each port in the folder once and fills all four lists.
    arms, _, wired, wireless = tessary.detect(folder)
else:
    # Each call probes its candidates in /dev afresh, one port at a time.
    arms = api.detect_triaxons()
    wired = api.detect_wired_handles()
    wireless = api.detect_wireless_handles()
    # detect_handles() would give the wired and the wireless ones in one list.
elapsed = time.monotonic() - start

names = names_in(folder)
show("Triaxon arms", arms, names)
show("wired handles", wired, names)
show("wireless handles", wireless, names)
print(f"detection took {elapsed:.2f} s")
