"""Waiting until a thread is blocked, for tests that act on blocked callers.

On Linux the kernel's view of the thread (/proc) tells when it sleeps; tests
call this after the thread signalled that it is about to block, so a sleeping
thread is (all but certainly) sleeping in the call under test. Assertions
must hold whether or not it got there; this only makes the interesting
interleaving the likely one."""

import os
import time

from conftest import JOIN_TIMEOUT


def _state(native_id: int) -> str | None:
    try:
        with open(f"/proc/self/task/{native_id}/stat") as f:
            # The command name may hold spaces; the state follows its closing parenthesis.
            return f.read().rpartition(")")[2].split()[0]
    except OSError:
        return None


def wait_until_sleeping(*threads, timeout: float = JOIN_TIMEOUT) -> None:
    """Return once every thread sleeps in the kernel (or has ended)."""
    if not os.path.isdir("/proc/self/task"):
        time.sleep(0.2)  # no kernel view here: give the threads a moment
        return
    deadline = time.monotonic() + timeout
    for t in threads:
        while t.is_alive() and _state(t.native_id) not in ("S", "D", None):
            assert time.monotonic() < deadline, f"{t.name} never blocked"
            time.sleep(0.001)
