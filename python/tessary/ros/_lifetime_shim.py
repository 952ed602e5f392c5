"""TEMPORARY SHIM, to be deleted when the module's effects take `lifetime`.

Emulates from Python what the effects will do on the servo thread: an effect
made with `lifetime` seconds renders zero force once that long has passed
since its last change (a property set or renew()). A watcher thread zeroes
it (every 1 ms), so the force ends up to a few milliseconds later than it
will natively. The node reaches the module's effect as `.native`.
"""

from __future__ import annotations

import threading
import time
from typing import Any

# What zeroes each kind of effect, and the properties to put back on renew().
_ZEROED = {"ConstantForce": {"force": (0.0, 0.0, 0.0)}, "Spring": {"stiffness": 0.0, "damping": 0.0}}
_watched: list[Expiring] = []
_lock = threading.Lock()
_watcher: threading.Thread | None = None


def _watch() -> None:
    while True:
        time.sleep(0.001)
        with _lock:
            for effect in _watched:
                effect._check()


class Expiring:
    def __init__(self, native: Any, lifetime: float | None) -> None:
        global _watcher
        object.__setattr__(self, "native", native)
        object.__setattr__(self, "_lifetime", lifetime)
        object.__setattr__(self, "_since", time.monotonic())
        object.__setattr__(self, "_saved", None)
        with _lock:
            _watched.append(self)
            if _watcher is None:
                _watcher = threading.Thread(target=_watch, daemon=True, name="lifetime-shim")
                _watcher.start()

    def __getattr__(self, name: str) -> Any:
        saved = self._saved
        if saved is not None and name in saved:
            return saved[name]
        return getattr(self.native, name)

    def __setattr__(self, name: str, value: Any) -> None:
        with _lock:
            if name == "lifetime":
                object.__setattr__(self, "_lifetime", value)
            else:
                if self._saved is not None:
                    self._saved[name] = value
                    self._restore()
                setattr(self.native, name, value)
            object.__setattr__(self, "_since", time.monotonic())

    @property
    def lifetime(self) -> float | None:
        return self._lifetime

    @property
    def expired(self) -> bool:
        return self._lifetime is not None and time.monotonic() - self._since >= self._lifetime

    def renew(self) -> None:
        with _lock:
            object.__setattr__(self, "_since", time.monotonic())
            self._restore()

    def _restore(self) -> None:
        if self._saved is not None:
            saved: dict[str, Any] = self._saved
            for name, value in saved.items():
                setattr(self.native, name, value)
            object.__setattr__(self, "_saved", None)

    def _check(self) -> None:
        if self._saved is None and self.expired:
            zero = _ZEROED[type(self.native).__name__]
            object.__setattr__(self, "_saved", {name: getattr(self.native, name) for name in zero})
            for name, value in zero.items():
                setattr(self.native, name, value)


def effect(api: Any, kind: str, *args: Any, lifetime: float | None = None) -> Any:
    """api.<kind>(*args, lifetime=...): the module's own when it takes it, else the shim's."""
    cls = getattr(api, kind)
    try:
        return cls(*args, lifetime=lifetime)
    except TypeError:
        return Expiring(cls(*args), lifetime)


def native(effect: Any) -> Any:
    """What ServoLoop.add takes."""
    return getattr(effect, "native", effect)
