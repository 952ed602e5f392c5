"""A device played on the master side of a pseudo-terminal.

The module under test opens ``FakeDevice.path`` (the slave side), so line
settings, time-outs and hang-ups behave as on a real port. A worker thread
captures every byte the module sends and answers scripted requests.
"""

import os
import select
import threading
import time
import tty


class FakeDevice:
    def __init__(self, hold_slave=True):
        master, slave = os.openpty()
        # Raw from the start: nothing is echoed or translated before the
        # library configures the line itself.
        tty.setraw(slave)
        self.path = os.ttyname(slave)
        self._master = master
        self._slave = slave if hold_slave else None
        if not hold_slave:
            os.close(slave)
        os.set_blocking(master, False)
        self._lock = threading.Condition()
        self._captured = bytearray()
        self._matched = 0
        self._rules = []  # (request_len, reply, delay)
        self._answers = {}  # code -> (request_len, reply)
        self._pending = []  # (when, bytes)
        self.hangups = 0
        self._closed = False
        self._stop = False
        self._wake_r, self._wake_w = os.pipe()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    # -- scripting -----------------------------------------------------
    def send(self, data):
        """Write bytes to the module at once."""
        with self._lock:
            self._write(bytes(data))

    def send_after(self, delay, data):
        """Write bytes from the worker thread after `delay` seconds."""
        with self._lock:
            self._schedule(delay, bytes(data))

    def expect(self, request_len, reply, delay=0.0):
        """Once `request_len` more bytes arrived, answer with `reply`."""
        with self._lock:
            self._rules.append((request_len, bytes(reply), delay))
            self._match()

    def answer(self, code, request_len, reply):
        """Answer every request starting with `code` (not claimed by expect)."""
        with self._lock:
            self._answers[code] = (request_len, bytes(reply))
            self._match()

    def captured(self):
        with self._lock:
            return bytes(self._captured)

    def wait_captured(self, n, timeout=2.0):
        with self._lock:
            self._lock.wait_for(lambda: len(self._captured) >= n, timeout)
            return bytes(self._captured)

    def hang_up(self):
        """Close the master: the module's side of the line hangs up."""
        with self._lock:
            if self._closed:
                return
            self._closed = True
            if self._slave is not None:
                os.close(self._slave)
                self._slave = None
            os.close(self._master)
        os.write(self._wake_w, b"x")

    def close(self):
        self.hang_up()
        with self._lock:
            self._stop = True
        os.write(self._wake_w, b"x")
        self._thread.join()
        os.close(self._wake_r)
        os.close(self._wake_w)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # -- worker ----------------------------------------------------------
    def _write(self, data):
        if self._closed:
            return
        view = memoryview(data)
        while view:
            try:
                n = os.write(self._master, view)
                view = view[n:]
            except BlockingIOError:
                time.sleep(0.0002)
            except OSError:
                return

    def _schedule(self, delay, data):
        self._pending.append((time.monotonic() + delay, data))
        os.write(self._wake_w, b"x")

    def _match(self):
        while True:
            waiting = len(self._captured) - self._matched
            if self._rules:
                request_len, reply, delay = self._rules[0]
                if waiting < request_len:
                    return
                self._matched += request_len
                self._rules.pop(0)
                self._schedule(delay, reply)
                continue
            if waiting == 0:
                return
            code = self._captured[self._matched]
            if code not in self._answers:
                self._matched += 1
                continue
            request_len, reply = self._answers[code]
            if waiting < request_len:
                return
            self._matched += request_len
            self._schedule(0.0, reply)

    def _run(self):
        other_side_open = self._slave is not None
        while True:
            with self._lock:
                if self._stop:
                    return
                now = time.monotonic()
                timeout = 0.05
                due = [p for p in self._pending if p[0] <= now]
                self._pending = [p for p in self._pending if p[0] > now]
                for _, data in due:
                    self._write(data)
                for when, _ in self._pending:
                    timeout = min(timeout, when - now)
                closed = self._closed
            fds = [self._wake_r] if closed else [self._master, self._wake_r]
            try:
                ready, _, _ = select.select(fds, [], [], max(timeout, 0.0005))
            except OSError:
                continue  # hang_up closed the master meanwhile
            if self._wake_r in ready:
                os.read(self._wake_r, 1024)
            if closed:
                continue
            try:
                data = os.read(self._master, 4096)
            except BlockingIOError:
                other_side_open = True
                continue
            except OSError:
                # EIO: no slave descriptor is open (the module closed the port).
                with self._lock:
                    if other_side_open:
                        self.hangups += 1
                        self._lock.notify_all()
                other_side_open = False
                time.sleep(0.001)
                continue
            with self._lock:
                other_side_open = True
                self._captured += data
                self._match()
                self._lock.notify_all()
