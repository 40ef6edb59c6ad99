import os
import threading

import pytest

# Under sanitizers everything runs several times slower; stress tests scale down.
SANITIZED = bool(os.environ.get("TORVAN_SANITIZED"))
JOIN_TIMEOUT = 120.0 if SANITIZED else 60.0


def scaled(n: int) -> int:
    """Iteration counts for stress tests, smaller under sanitizers."""
    return max(1, n // 10) if SANITIZED else n


def start_threads(targets, *, args=()):
    """Start one thread per target (or per args tuple) and return them."""
    threads = [threading.Thread(target=t, args=args, daemon=True) for t in targets]
    for t in threads:
        t.start()
    return threads


def join_all(threads, timeout: float = JOIN_TIMEOUT) -> None:
    """Join every thread within a shared deadline; a hang fails the test."""
    import time

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


def run_python(code: str, timeout: float = 120.0, **kwargs) -> str:
    """Run code in a fresh interpreter (without the source tree on sys.path)
    and return its standard output, stripped; a failure fails the test."""
    import subprocess
    import sys

    out = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, timeout=timeout, **kwargs)
    assert out.returncode == 0, f"exit {out.returncode}\nstdout:\n{out.stdout}\nstderr:\n{out.stderr}"
    return out.stdout.strip()


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

        threads = start_threads([wrap(fn) for fn in callables])
        join_all(threads, timeout)
        if errors:
            raise errors[0]

    return run
