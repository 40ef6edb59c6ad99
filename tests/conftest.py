"""What every test file shares: threads joined with a deadline, a fresh
interpreter to run code in, waiting helpers and the objects tests feed to the
module (colliding keys, watched tokens, raising finalizers)."""

import gc
import os
import subprocess
import sys
import threading
import time

import pytest

# Under sanitizers everything runs several times slower; stress tests scale down.
SANITIZED = bool(os.environ.get("TORVAN_SANITIZED"))
JOIN_TIMEOUT = 120.0 if SANITIZED else 60.0


def scaled(n: int) -> int:
    """Iteration counts for stress tests, smaller under sanitizers."""
    return max(1, n // 10) if SANITIZED else n


def start_threads(targets, *, args=()):
    threads = [threading.Thread(target=t, args=args, daemon=True) for t in targets]
    for t in threads:
        t.start()
    return threads


def join_all(threads, timeout: float = JOIN_TIMEOUT) -> None:
    """Join every thread within a shared deadline; a hang fails the test."""
    deadline = time.monotonic() + timeout
    for t in threads:
        t.join(max(0.0, deadline - time.monotonic()))
    alive = [t.name for t in threads if t.is_alive()]
    assert not alive, f"threads still running after {timeout}s: {alive}"


def run_in_thread(fn):
    """fn() on a fresh thread, joined with a timeout; its result, or its exception re-raised."""
    result = {}

    def body():
        try:
            result["value"] = fn()
        except BaseException as exc:  # noqa: BLE001 - re-raised below
            result["error"] = exc

    join_all(start_threads([body]))
    if "error" in result:
        # Popped: kept in `result`, the exception and this frame would form a
        # cycle that holds the caller's objects until a collection on any thread.
        raise result.pop("error")
    return result.get("value")


@pytest.fixture
def run_threads():
    """Run callables on threads started together behind a barrier, join them
    with a timeout and re-raise the first exception any of them raised."""

    def run(*callables, timeout: float = JOIN_TIMEOUT):
        barrier = threading.Barrier(len(callables))
        errors = []

        def wrap(fn):
            def body():
                try:
                    barrier.wait(timeout)
                    fn()
                except BaseException as exc:  # noqa: BLE001 - re-raised below
                    errors.append(exc)

            return body

        join_all(start_threads([wrap(fn) for fn in callables]), timeout)
        if errors:
            raise errors[0]

    return run


def run_python(code: str, timeout: float = 120.0, *, args=(), env=None, clean=False, raw=False):
    """Run code (or, with args, a script and its arguments) in a fresh
    interpreter without the source tree on sys.path. It must exit with status
    0, and with `clean` also print nothing on standard error. Returns its
    standard output stripped, or with `raw` the completed process."""
    command = [sys.executable, "-P", "-X", "faulthandler", *(["-c", code] if code is not None else []), *args]
    done = subprocess.run(command, capture_output=True, text=True, timeout=timeout, env=env)
    assert done.returncode == 0 and not (clean and done.stderr), (
        f"exit {done.returncode}\nstdout:\n{done.stdout}\nstderr:\n{done.stderr[-20000:]}")
    return done if raw else done.stdout.strip()


def outcome_of(call, *args, **kwargs) -> str:
    """The name and text of what `call` raised, keeping no reference to the
    exception (whose traceback would hold the arguments)."""
    try:
        call(*args, **kwargs)
    except BaseException as exc:  # noqa: BLE001 - described to the caller
        return f"{type(exc).__name__}: {exc}"
    return "returned"


# Waiting ----------------------------------------------------------------------------


def thread_state(native_id: int, pid: str = "self") -> str | None:
    """The kernel's state letter of a thread ("S" while it sleeps), None once gone."""
    try:
        with open(f"/proc/{pid}/task/{native_id}/stat") as f:
            # The command name may hold spaces; the state follows its closing parenthesis.
            return f.read().rpartition(")")[2].split()[0]
    except OSError:
        return None


def wait_until_sleeping(*threads, timeout: float = JOIN_TIMEOUT) -> None:
    """Returns once every thread sleeps in the kernel (or has ended). Called
    after a thread signalled that it is about to block, it makes the blocked
    interleaving the likely one; assertions must hold either way."""
    deadline = time.monotonic() + timeout
    for t in threads:
        while t.is_alive() and thread_state(t.native_id) not in ("S", "D", None):
            assert time.monotonic() < deadline, f"{t.name} never blocked"
            time.sleep(0.001)


def eventually(condition, what: str, timeout: float = JOIN_TIMEOUT) -> None:
    """For what the module does in the background with no event to wait for."""
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, f"timed out waiting until {what}"
        time.sleep(0.001)


def os_thread_count() -> int:
    return len(os.listdir("/proc/self/task"))


def settle() -> None:
    """Frees cycles and merges reference counts that other threads dropped."""
    gc.collect()
    gc.collect()


def refcounts(*objects):
    settle()
    return [sys.getrefcount(o) for o in objects]


def pool_making_futures(monkeypatch, future_class, workers=1):
    """A ThreadPool whose tasks get futures of future_class: a pool looks the
    class up once, when it is made."""
    import concurrent.futures

    from torvan import ThreadPool

    monkeypatch.setattr(concurrent.futures, "Future", future_class)
    pool = ThreadPool(workers)
    monkeypatch.undo()
    return pool


@pytest.fixture
def unraisable(monkeypatch):
    """The exceptions reported through sys.unraisablehook (from any thread)."""
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", lambda report: reports.append(report.exc_value))
    return reports


# Objects fed to the module ------------------------------------------------------------


class Boom(Exception):
    pass


class Token:
    """An object whose references are counted and whose release is watched."""


class RaisingDel:
    """A finalizer that raises: the exception must reach sys.unraisablehook only."""

    def __del__(self):
        raise Boom("del")


class Key:
    """Equal by name; all Keys collide on `hash_value` unless told otherwise.
    `raises` makes comparing it raise, `on_eq` runs once inside __eq__
    (reentrancy), `log` records (left, right) of every comparison."""

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
    """Collides with every Key; comparing it raises. Not a Key, so that a
    stored Key on the left answers without asking it."""

    def __init__(self, name):
        self.name = name

    def __hash__(self):
        return 7

    def __eq__(self, other):
        raise Boom(self.name)


class RaisingHash:
    def __hash__(self):
        raise Boom("hash")
