"""Detection in any folder: the four detection lists from one probe per port.

The module's detect_triaxons() and its siblings look in /dev only, which only
root can fill with links to virtual devices. detect() takes the folder:

    import tessary
    from tessary.sim import Simulator

    with Simulator(triaxons=1, handles=0, link="/tmp/tessary") as sim:
        print(tessary.detect("/tmp/tessary").triaxons)
"""

from __future__ import annotations

import os
from collections.abc import Callable
from typing import NamedTuple

from tessary.ports import candidates


class Detection(NamedTuple):
    """The four detection lists, as the module's four functions give them."""

    triaxons: list[str]
    handles: list[str]
    wired_handles: list[str]
    wireless_handles: list[str]


# probe(path, kind) -> whether the device answered; kind is "arm", "wired
# handle" or "wireless handle".
Probe = Callable[[str, str], bool]


def probe(path: str, kind: str) -> bool:
    """The module's probe for this kind of port (an arm's waits up to 3 s, a
    handle's up to 5 s). The path goes to it as bytes, so any name works."""
    import TessaryHardwareAPI as api

    check = api.probe_triaxon if kind == "arm" else api.probe_handle
    return check(os.fsencode(path))


def detect(dev: str | os.PathLike[str] | None = None, *, probe: Probe = probe) -> Detection:
    """Probe every candidate port in `dev` (default /dev) once, one at a time,
    and return the four lists that detect_triaxons(), detect_handles(),
    detect_wired_handles() and detect_wireless_handles() would give if that
    folder were /dev: the paths with links resolved, in name order (the
    module's functions keep the directory's order). Names that are not UTF-8
    are probed too and come back as os.fsdecode gives them.

    A folder that cannot be listed raises OSError (the module's functions
    return nothing for a missing /dev). `probe` replaces the per-port probe,
    for tools that report each port as it goes.
    """
    found = Detection([], [], [], [])
    for path, kind in candidates(os.fspath(dev) if dev is not None else "/dev"):
        if not probe(path, kind):
            continue
        resolved = os.path.realpath(path)
        if kind == "arm":
            found.triaxons.append(resolved)
        else:
            found.handles.append(resolved)
            (found.wired_handles if kind == "wired handle" else found.wireless_handles).append(resolved)
    return found
