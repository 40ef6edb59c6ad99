"""ThreadPool: shutdown, cancellation, borrow conflicts and destruction."""

import gc
import os
import threading
import time
import weakref

import pytest

from conftest import JOIN_TIMEOUT, join_all, scaled, start_threads

from torvan import ThreadPool

TIMEOUT = JOIN_TIMEOUT


def native_thread_count() -> int:
    return len(os.listdir("/proc/self/task"))


def wait_until(condition, what: str) -> None:
    deadline = time.monotonic() + TIMEOUT
    while not condition():
        assert time.monotonic() < deadline, f"timed out waiting until {what}"
        time.sleep(0.001)


def sleeping(thread: threading.Thread) -> bool:
    """True when the thread is asleep in the kernel (blocked in a wait)."""
    with open(f"/proc/self/task/{thread.native_id}/stat") as f:
        return f.read().rsplit(")", 1)[1].split()[0] == "S"


def slow(i):
    time.sleep(0.01)
    return i


class Gated:
    """Tasks that report when they start and block until the gate opens."""

    def __init__(self):
        self.gate = threading.Event()
        self.started = threading.Semaphore(0)
        self.called = []

    def task(self, i):
        self.called.append(i)
        self.started.release()
        assert self.gate.wait(TIMEOUT)
        return i

    def wait_started(self, count):
        for _ in range(count):
            assert self.started.acquire(timeout=TIMEOUT)


@pytest.mark.thread_unsafe(reason="counts the process's threads, which other threads change")
def test_shutdown_waits_for_every_queued_task_and_ends_the_workers():
    before = native_thread_count()
    p = ThreadPool(2)
    futures = [p.submit(slow, i) for i in range(10)]
    assert p.shutdown() is None
    assert [f.result(0) for f in futures] == list(range(10))
    assert native_thread_count() == before
    # Shut down for good: a second call does nothing, submit is refused.
    assert p.shutdown() is None
    with pytest.raises(RuntimeError, match="^ThreadPool is shutdown$"):
        p.submit(slow, 0)


@pytest.mark.parametrize("wait", [True, False])
def test_cancel_futures_cancels_what_is_still_queued(wait):
    p = ThreadPool(2)
    gated = Gated()
    futures = [p.submit(gated.task, i) for i in range(10)]
    gated.wait_started(2)
    if wait:
        # shutdown waits for the running tasks: it runs on a thread of its
        # own, and the gate opens once it sleeps in that wait (flag set).
        closer = start_threads([lambda: shutdown_past_probes(p, cancel_futures=True)])[0]
        wait_until(lambda: shutdown_in_progress(p) and sleeping(closer), "shutdown waits for the workers")
        gated.gate.set()
        join_all([closer])
    else:
        p.shutdown(wait=False, cancel_futures=True)
        gated.gate.set()
        for f in futures:
            concurrent_wait(f)
    assert sorted(gated.called) == [0, 1]
    assert [f.result(0) for f in futures[:2]] == [0, 1]
    assert all(f.cancelled() for f in futures[2:])


def shutdown_in_progress(p) -> bool:
    """Probes with a submit: refused while a shutdown holds the pool (a
    probe accepted before that is cancelled or run like any queued task)."""
    try:
        p.submit(int)
    except RuntimeError as exc:
        assert str(exc) == "Already mutably borrowed"
        return True
    return False


def shutdown_past_probes(p, **arguments) -> None:
    """shutdown on a thread of its own while the test probes the pool: a
    probe's submit holds the pool for a moment, and a shutdown that meets it
    is refused with "Already borrowed" and tried again."""
    while True:
        try:
            p.shutdown(**arguments)
            return
        except RuntimeError as exc:
            assert str(exc) == "Already borrowed"


def concurrent_wait(future):
    wait_until(future.done, "the future completes")


def test_shutdown_without_wait_returns_at_once_and_a_later_shutdown_does_not_wait():
    p = ThreadPool(1)
    gated = Gated()
    futures = [p.submit(gated.task, i) for i in range(3)]
    gated.wait_started(1)
    p.shutdown(wait=False)
    p.shutdown(wait=True)  # the first shutdown handed the workers on: nothing to wait for
    assert not futures[0].done()
    gated.gate.set()
    assert [f.result(TIMEOUT) for f in futures] == [0, 1, 2]


@pytest.mark.parametrize("arguments", [{"wait": 1}, {"cancel_futures": 0}, {"wait": None}])
def test_shutdown_takes_strict_booleans_and_changes_nothing_on_error(arguments):
    p = ThreadPool(1)
    name = next(iter(arguments))
    with pytest.raises(TypeError) as info:
        p.shutdown(**arguments)
    assert f"while processing '{name}'" in info.value.__notes__
    assert p.submit(lambda: 5).result(TIMEOUT) == 5
    p.shutdown()


def test_shutdown_and_submit_fail_at_once_while_a_shutdown_waits():
    p = ThreadPool(1)
    gated = Gated()
    p.submit(gated.task, 0)
    gated.wait_started(1)
    closer = start_threads([lambda: shutdown_past_probes(p)])[0]
    wait_until(lambda: shutdown_in_progress(p), "shutdown holds the pool")
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        p.shutdown()
    gated.gate.set()
    join_all([closer])


def test_submit_racing_shutdown_gets_only_the_documented_errors():
    for _ in range(scaled(20)):
        p = ThreadPool(2)
        accepted, errors = [], []
        go = threading.Barrier(2)

        def submitter():
            go.wait(TIMEOUT)
            while True:
                try:
                    accepted.append(p.submit(pow, 3, 2))
                except RuntimeError as exc:
                    errors.append(str(exc))
                    if str(exc) == "ThreadPool is shutdown":
                        return

        def closer():
            go.wait(TIMEOUT)
            while True:
                try:
                    p.shutdown()
                    return
                except RuntimeError as exc:
                    assert str(exc) == "Already borrowed"

        join_all(start_threads([submitter, closer]))
        assert set(errors) <= {"Already mutably borrowed", "ThreadPool is shutdown"}
        assert errors[-1] == "ThreadPool is shutdown"
        # Every accepted task ran before shutdown returned.
        assert all(f.result(0) == 9 for f in accepted)


@pytest.mark.parametrize("workers", [1, 2])
def test_shutdown_with_wait_from_one_of_its_own_tasks_fails_without_hanging(workers):
    p = ThreadPool(workers)
    # The task shuts down only once submit has returned: while submit still
    # holds the pool, shutdown fails with "Already borrowed" instead.
    submitted = threading.Event()
    future = p.submit(lambda: submitted.wait(TIMEOUT) and p.shutdown())
    submitted.set()
    exc = future.exception(TIMEOUT)
    assert type(exc).__name__ == "PanicException"
    assert str(exc).startswith("failed to join thread: ")
    with pytest.raises(RuntimeError, match="ThreadPool is shutdown"):
        p.submit(print)
    p.shutdown()  # already shut down: returns at once


def test_dropped_pool_runs_its_queued_tasks_before_the_drop_returns():
    p = ThreadPool(2)
    futures = [p.submit(slow, i) for i in range(10)]
    del p
    assert all(f.done() for f in futures)
    assert [f.result() for f in futures] == list(range(10))


@pytest.mark.thread_unsafe(reason="counts the process's threads, and relies on gc.collect() collecting")
def test_weak_reference_is_cleared_only_after_the_workers_ended():
    before = native_thread_count()
    p = ThreadPool(2)
    futures = [p.submit(slow, i) for i in range(4)]
    seen = []
    ref = weakref.ref(p, lambda r: seen.append((native_thread_count(), all(f.done() for f in futures))))
    assert ref() is p
    del p
    gc.collect()
    assert ref() is None
    assert seen == [(before, True)]


@pytest.mark.thread_unsafe(reason="counts the process's threads, which other threads change")
def test_last_reference_dropped_by_its_own_task():
    # The pool is destroyed on one of its own workers: that worker is not
    # joined (it is the caller), the other one is, and the queue still drains.
    before = native_thread_count()
    holder = [ThreadPool(2)]
    gate = threading.Event()
    first = holder[0].submit(lambda: (gate.wait(TIMEOUT), holder.clear()))
    rest = [holder[0].submit(slow, i) for i in range(4)]
    gate.set()
    assert first.result(TIMEOUT) == (True, None)
    assert [f.result(TIMEOUT) for f in rest] == list(range(4))
    wait_until(lambda: native_thread_count() == before, "the released worker ends")


@pytest.mark.thread_unsafe(reason="counts the process's threads, which other threads change")
def test_many_pools_come_and_go():
    before = native_thread_count()
    for i in range(scaled(50)):
        p = ThreadPool(2)
        future = p.submit(pow, i, 2)
        if i % 2:
            p.shutdown(wait=bool(i % 3))
        del p
        assert future.result(TIMEOUT) == i * i
    wait_until(lambda: native_thread_count() == before, "every worker and joiner ends")
