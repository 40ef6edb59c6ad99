"""Shared by the test files: threads joined with a deadline, a fresh interpreter, waits, objects fed to the module."""

import concurrent.futures
import gc
import os
import subprocess
import sys
import threading
import time

import pytest

from torvan import ThreadPool

# Under sanitizers everything runs several times slower; stress tests scale down.
SANITIZED = bool(os.environ.get("TORVAN_SANITIZED"))
JOIN_TIMEOUT = 120.0 if SANITIZED else 60.0
# Under qemu-user (make arm-python-tests): a joined thread stays listed in /proc/self/task for a moment, and a few
# things some tests rely on are not emulated.
EMULATED = bool(os.environ.get("TORVAN_EMULATED"))


def scaled(n: int) -> int:
    return max(1, n // 10) if SANITIZED else n


def start_threads(targets, *, args=()):
    threads = [threading.Thread(target=t, args=args, daemon=True) for t in targets]
    for t in threads:
        t.start()
    return threads


def join_all(threads, timeout: float = JOIN_TIMEOUT) -> None:
    deadline = time.monotonic() + timeout
    for t in threads:
        t.join(max(0.0, deadline - time.monotonic()))
    assert not (alive := [t.name for t in threads if t.is_alive()]), f"threads still running after {timeout}s: {alive}"


def run_in_threads(*callables, timeout: float = JOIN_TIMEOUT) -> list:
    """Callables on threads started together, joined with a timeout: their results, or the first exception."""
    barrier, results, errors = threading.Barrier(len(callables)), [None] * len(callables), []

    def body(i, fn):
        try:
            barrier.wait(timeout)
            results[i] = fn()
        except BaseException as exc:  # noqa: BLE001 - re-raised below
            errors.append(exc)

    join_all(start_threads([lambda i=i, fn=fn: body(i, fn) for i, fn in enumerate(callables)]), timeout)
    if errors:
        # Popped: kept, the exception's traceback and this frame would form a cycle holding the caller's objects.
        raise errors.pop(0)
    return results


def run_in_thread(fn):
    return run_in_threads(fn)[0]


run_threads = pytest.fixture(name="run_threads")(lambda: run_in_threads)


def run_python(code: str, timeout: float = 120.0, *, args=(), env=None, clean=False, raw=False):
    """Code (or a script in args) in a fresh interpreter that must exit 0 (and with `clean` write no stderr)."""
    command = [sys.executable, "-P", "-X", "faulthandler", *(["-c", code] if code is not None else []), *args]
    done = subprocess.run(command, capture_output=True, text=True, timeout=timeout, env=env)
    assert done.returncode == 0 and not (clean and done.stderr), (
        f"exit {done.returncode}\nstdout:\n{done.stdout}\nstderr:\n{done.stderr[-20000:]}")
    return done if raw else done.stdout.strip()


def outcome_of(call, *args, **kwargs) -> str:
    """What `call` raised, as text: keeping the exception would keep the arguments in its traceback."""
    try:
        call(*args, **kwargs)
    except BaseException as exc:  # noqa: BLE001 - described to the caller
        return f"{type(exc).__name__}: {exc}"
    return "returned"


def thread_state(native_id: int, pid: str = "self") -> str | None:
    """The kernel's state letter of a thread ("S" while it sleeps), None once gone."""
    try:
        with open(f"/proc/{pid}/task/{native_id}/stat") as f:
            return f.read().rpartition(")")[2].split()[0]  # the command name may hold spaces
    except OSError:
        return None


def eventually(condition, what: str, timeout: float = JOIN_TIMEOUT) -> None:
    """For what the module does in the background with no event to wait for."""
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, f"timed out waiting until {what}"
        time.sleep(0.001)


def wait_until_sleeping(*threads, timeout: float = JOIN_TIMEOUT) -> None:
    """Makes blocking the likely interleaving once threads said they will block; assertions hold either way."""
    for t in threads:
        eventually(lambda: not t.is_alive() or thread_state(t.native_id) in ("S", "D", None), "blocked", timeout)


def os_thread_count() -> int:
    return len(os.listdir("/proc/self/task"))


def os_thread_count_is(count: int) -> bool:
    """After joins; under emulation the joined threads' last moments are awaited."""
    if EMULATED:
        eventually(lambda: os_thread_count() == count, f"{count} OS threads are left")
    return os_thread_count() == count


def settle(threads: int | None = None) -> None:
    """Frees cycles and merges dropped reference counts, once only `threads` OS threads (briefly awaited) are left."""
    deadline = time.monotonic() + 10
    while threads is not None and os_thread_count() > threads and time.monotonic() < deadline:
        time.sleep(0.001)
    gc.collect()
    gc.collect()


def refcounts(*objects):
    settle()
    return [sys.getrefcount(o) for o in objects]


def pool_making_futures(monkeypatch, future_class, workers=1):
    """A ThreadPool whose futures are of future_class: a pool looks the class up when it is made."""
    monkeypatch.setattr(concurrent.futures, "Future", future_class)
    pool = ThreadPool(workers)
    monkeypatch.undo()
    return pool


@pytest.fixture
def unraisable(monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", lambda report: reports.append(report.exc_value))
    return reports


class Boom(Exception):
    pass


class Token:
    """An object whose references are counted and whose release is watched."""


class RaisingDel:
    def __del__(self):
        raise Boom("del")


class Key:
    """Equal by name, colliding on hash_value; `raises` on comparing, `on_eq` runs once in __eq__, `log` records."""

    def __init__(self, name, hash_value=7, raises=None, on_eq=None, log=None):
        self.name, self.hash_value, self.raises, self.on_eq, self.log = name, hash_value, raises, on_eq, log
        self.hash_calls = 0

    def __hash__(self):
        self.hash_calls += 1
        return self.hash_value

    def __eq__(self, other):
        if self.log is not None:
            self.log.append((self.name, getattr(other, "name", other)))
        if self.on_eq is not None:
            hook, self.on_eq = self.on_eq, None
            hook()
        if self.raises is not None:
            raise self.raises
        return isinstance(other, Key) and self.name == other.name


class RaisingKey:
    """Collides with every Key and raises when compared; not a Key, so a stored Key on the left answers alone."""

    __init__, __hash__ = Key.__init__, Key.__hash__

    def __eq__(self, other):
        raise Boom(self.name)
