"""A 1 kHz control loop that watches its connection: the one to copy.

Usage: python supervised_loop.py PORT [--seconds S] [--stiffness N_PER_M] [--give-up S]

The loop holds the end effector at the point where it starts with a soft
spring, one `end_effector_force` exchange per millisecond, and looks at the
stream's state after every exchange. A failed exchange returns zeros, which
look exactly like an arm at rest, so the result alone can never be trusted:

- `LinkState.OPEN`: every exchange has succeeded.
- `LinkState.TIMED_OUT`: the arm did not answer within the 1000 ms read
  budget. The port is still there, so the loop reopens it at once and
  carries on with the same Triaxon, once a wake-up shows that the arm
  answers again.
- `LinkState.HUNG_UP`, `FAILED` or `CLOSED`: the arm was unplugged or
  powered off, the line failed, or the port was closed. The loop tries to
  reopen the port every half second until the arm answers again, or gives up
  after --give-up seconds. `stream.error` says why.

Whatever ends the loop (its time is up, it gave up, Ctrl-C, SIGTERM or an
error), the arm is sent zero force before the port is closed.
"""

import argparse
import signal
import sys
import time

import TessaryHardwareAPI as api

MAX_FORCE = 5.0  # N: never command more than this
RETRY = 0.5  # s between attempts to reopen a port that went away
TRIAXON_MODEL = 4  # the model number a Triaxon reports at wake-up

parser = argparse.ArgumentParser(description="A supervised 1 kHz control loop on a Triaxon arm.")
parser.add_argument("port", help="the arm's serial port, e.g. /dev/ttyACM0")
parser.add_argument("--seconds", type=float, default=10.0, help="loop duration (default 10)")
parser.add_argument("--stiffness", type=float, default=200.0, help="holding spring in N/m (default 200)")
parser.add_argument("--give-up", type=float, default=5.0,
                    help="seconds to keep trying to reopen a port that went away (default 5)")
args = parser.parse_args()

# SIGTERM ends the loop the way Ctrl-C does, so the zero force goes out.
signal.signal(signal.SIGTERM, lambda *_: sys.exit("stopped by SIGTERM"))


def answers(arm: api.Triaxon) -> bool:
    """True when an arm answers the wake-up on a freshly opened port."""
    return arm.device_wakeup()[1] == TRIAXON_MODEL


def reconnect(stream: api.SerialStream, arm: api.Triaxon, give_up: float) -> bool:
    """Reopen the port until the arm answers; False once give_up seconds passed."""
    deadline = time.monotonic() + give_up
    while True:
        if stream.reopen() and answers(arm):
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(RETRY)


def clamp(force: float) -> float:
    return max(-MAX_FORCE, min(MAX_FORCE, force))


exchanges = timeouts = hangups = 0
with api.SerialStream(args.port) as stream:  # closed on the way out, whatever happens
    arm = api.Triaxon(stream)
    if not stream.is_open or not answers(arm):
        sys.exit(f"no Triaxon answered on {args.port}")
    home, _ = arm.end_effector_force([0.0, 0.0, 0.0])
    force = [0.0, 0.0, 0.0]
    start = time.perf_counter()
    next_tick = start
    try:
        while time.perf_counter() - start < args.seconds:
            position, velocity = arm.end_effector_force(force)
            state = stream.state
            if state is api.LinkState.OPEN:
                exchanges += 1
                force = [clamp(args.stiffness * (h - p)) for h, p in zip(home, position)]
            else:
                force = [0.0, 0.0, 0.0]  # this reply was zeros, not a position
                if state is api.LinkState.TIMED_OUT:
                    timeouts += 1
                    print(f"time-out after {exchanges} exchanges: reopening {stream.port}", flush=True)
                else:
                    hangups += 1
                    print(f"{state.name.lower().replace('_', '-')} after {exchanges} exchanges: "
                          f"{stream.port} went away ({stream.error})", flush=True)
                lost = time.perf_counter()
                if not reconnect(stream, arm, args.give_up):
                    sys.exit(f"gave up: no Triaxon on {stream.port} for {time.perf_counter() - lost:.1f} s")
                print(f"reconnected after {time.perf_counter() - lost:.2f} s", flush=True)
                next_tick = time.perf_counter()
            next_tick += 0.001  # absolute deadlines keep the mean rate at 1 kHz
            pause = next_tick - time.perf_counter()
            if pause > 0:
                time.sleep(pause)
    except KeyboardInterrupt:
        print("stopped by Ctrl-C", flush=True)
    finally:
        # Zero force, on a line where the arm answers: a dead stream would
        # drop it unsent.
        if not stream.good and stream.reopen():
            answers(arm)
        if stream.good:
            arm.end_effector_force([0.0, 0.0, 0.0])
        elapsed = time.perf_counter() - start
        print(f"zero force {'sent' if stream.good else 'NOT sent: the arm is unreachable'}; "
              f"{exchanges} exchanges in {elapsed:.2f} s ({exchanges / elapsed:.0f} Hz), "
              f"{timeouts} time-outs, {hangups} hang-ups", flush=True)
