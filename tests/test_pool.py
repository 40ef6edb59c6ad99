"""ThreadPool: construction, tasks and their futures, what each task sees of
its thread and context, shutdown, cancellation, borrow conflicts and
destruction."""

import concurrent.futures
import contextvars
import gc
import os
import sys
import threading
import time
import weakref

import pytest

from conftest import (JOIN_TIMEOUT, Token, eventually, join_all, os_thread_count, pool_making_futures, refcounts,
                      scaled, start_threads, thread_state)

from torvan import ThreadPool

TIMEOUT = JOIN_TIMEOUT


@pytest.fixture
def pool():
    p = ThreadPool(2)
    yield p
    p.shutdown()


@pytest.mark.parametrize("make, workers", [
    (lambda: ThreadPool(), os.cpu_count()),
    (lambda: ThreadPool(None), os.cpu_count()),
    (lambda: ThreadPool(num_workers=3), 3),
])
def test_worker_count_runs_that_many_tasks_at_once(make, workers):
    # Every task waits at a barrier for all the others: only as many workers as
    # there are tasks can get them all through.
    p = make()
    barrier = threading.Barrier(workers)
    futures = [p.submit(barrier.wait, TIMEOUT) for _ in range(workers)]
    assert sorted(f.result(TIMEOUT) for f in futures) == list(range(workers))
    p.shutdown()


def test_one_worker_runs_tasks_one_after_another_in_submission_order():
    p = ThreadPool(1)
    order, running = [], []

    def task(i):
        running.append(i)
        assert len(running) == 1
        order.append(i)
        running.pop()

    futures = [p.submit(task, i) for i in range(200)]
    for f in futures:
        f.result(TIMEOUT)
    p.shutdown()
    assert order == list(range(200))


@pytest.mark.thread_unsafe(reason="counts the process's threads, which other threads change")
@pytest.mark.parametrize("count, error, message", [
    (0, ValueError, "num_workers must be greater than zero"),
    (-3, ValueError, "num_workers must be greater than zero"),
    (2**63, OverflowError, None),
    (1.5, TypeError, None),
    ("2", TypeError, None),
    (2**62, MemoryError, None),  # no room for the handles: refused before any thread starts
])
def test_bad_worker_counts_fail_without_starting_threads(count, error, message):
    before = os_thread_count()
    with pytest.raises(error) as info:
        ThreadPool(count)
    if message is not None:
        assert str(info.value) == message
    if error in (OverflowError, TypeError):
        assert "while processing 'num_workers'" in info.value.__notes__
    assert os_thread_count() == before


def test_results_exceptions_and_arguments(pool):
    assert pool.submit(lambda: 42).result(TIMEOUT) == 42
    assert pool.submit(lambda *a, **k: (a, k)).result(TIMEOUT) == ((), {})
    assert pool.submit(lambda *a, **k: (a, k), 1, 2, x=3).result(TIMEOUT) == ((1, 2), {"x": 3})
    assert pool.submit(func=lambda x=0: x + 1).result(TIMEOUT) == 1

    for raised in (KeyError("boom"), KeyboardInterrupt(), SystemExit(3)):
        def fail():
            raise raised

        future = pool.submit(fail)
        assert isinstance(future, concurrent.futures.Future)
        assert future.exception(TIMEOUT) is raised
        with pytest.raises(type(raised)) as info:
            future.result()
        assert info.value is raised

    # Not callable: found out inside the task, like any other failure of the call.
    assert isinstance(pool.submit(17).exception(TIMEOUT), TypeError)
    started, gate = threading.Event(), threading.Event()
    future = pool.submit(lambda: started.set() or gate.wait(TIMEOUT))
    assert started.wait(TIMEOUT)
    assert future.running() and not future.done()
    gate.set()
    assert future.result(TIMEOUT) is True


def test_context_variables_reach_the_task_and_do_not_leak_back(pool):
    var = contextvars.ContextVar("var", default="unset")
    var.set("submitter")

    def task():
        seen = var.get()
        var.set("task")
        return seen

    assert pool.submit(task).result(TIMEOUT) == "submitter"
    assert var.get() == "submitter"
    # Each task has its own copy: the first task's change reaches no other.
    assert pool.submit(var.get).result(TIMEOUT) == "submitter"


@pytest.mark.thread_unsafe(reason="replaces contextvars.copy_context for the whole process")
def test_each_task_finds_a_fresh_thread():
    # One worker: every task runs on the same operating-system thread, yet
    # none sees what the task before it left in the thread's state.
    p = ThreadPool(1)
    local = threading.local()
    var = contextvars.ContextVar("var", default="fresh")

    def leave_state_behind():
        local.value = "left"
        sys.settrace(lambda *a: None)
        sys.setprofile(lambda *a: None)
        sys.set_asyncgen_hooks(firstiter=lambda g: None)
        threading.current_thread()  # registers a dummy thread through a thread-local
        return threading.get_native_id()

    def look():
        return (getattr(local, "value", "fresh"), sys.gettrace(), sys.getprofile(),
                tuple(sys.get_asyncgen_hooks()), var.get(), threading.get_native_id())

    def leave_local_only():
        local.value = "left"

    # Queued behind the task that leaves its state: the worker goes on to it
    # without waiting, and then again after waiting for it.
    hold = threading.Event()
    leaving = p.submit(lambda: hold.wait(TIMEOUT) and leave_state_behind())
    looking = p.submit(look)
    hold.set()
    first = leaving.result(TIMEOUT)
    assert looking.result(TIMEOUT) == ("fresh", None, None, (None, None), "fresh", first)
    hold = threading.Event()
    leaving = p.submit(lambda: hold.wait(TIMEOUT) and leave_local_only())
    looking = p.submit(look)
    hold.set()
    assert looking.result(TIMEOUT)[0] == "fresh"
    p.submit(leave_state_behind).result(TIMEOUT)
    assert p.submit(look).result(TIMEOUT) == ("fresh", None, None, (None, None), "fresh", first)

    # Tasks that run without a copied context (copying failed) find none of
    # the context variables set outside one: by an earlier such task, or by a
    # done callback, which runs on the worker after the task's context is left.
    gate = threading.Event()
    future = p.submit(gate.wait, TIMEOUT)
    future.add_done_callback(lambda f: var.set("left"))
    gate.set()
    future.result(TIMEOUT)
    real_copy = contextvars.copy_context
    contextvars.copy_context = None
    try:
        assert p.submit(var.get).result(TIMEOUT) == "fresh"
        p.submit(var.set, "left").result(TIMEOUT)
        assert p.submit(var.get).result(TIMEOUT) == "fresh"
    finally:
        contextvars.copy_context = real_copy
    p.shutdown()


def test_a_running_asyncio_loop_or_task_is_not_handed_to_the_next_task():
    import asyncio
    from asyncio import events, tasks

    p = ThreadPool(1)
    loop = asyncio.new_event_loop()
    marker = object()

    def leave_loop_set():
        events._set_running_loop(marker)

    def leave_task_entered():
        events._set_running_loop(loop)
        tasks._enter_task(loop, marker)

    def look():
        running = events._get_running_loop()
        return running, running is not None and tasks.current_task(running)

    try:
        p.submit(leave_loop_set).result(TIMEOUT)
        assert p.submit(look).result(TIMEOUT) == (None, False)
        p.submit(leave_task_entered).result(TIMEOUT)
        assert p.submit(look).result(TIMEOUT) == (None, False)
        # asyncio.run() on the same worker afterwards finds no task in the way.
        assert p.submit(asyncio.run, asyncio.sleep(0, "ran")).result(TIMEOUT) == "ran"
    finally:
        p.shutdown()
        loop.close()


def test_many_submitters_at_once(run_threads):
    p = ThreadPool(2)
    per_thread = scaled(5_000)
    results = []

    def submitter():
        futures = [p.submit(pow, i, 2) for i in range(per_thread)]
        results.append(sum(f.result(TIMEOUT) for f in futures))

    run_threads(submitter, submitter, submitter)
    count = scaled(100_000)  # and many from one thread
    futures = [p.submit(int, i) for i in range(count)]
    assert sum(f.result(TIMEOUT) for f in futures) == count * (count - 1) // 2
    p.shutdown()
    assert results == [sum(i * i for i in range(per_thread))] * 3


@pytest.mark.thread_unsafe(reason="replaces concurrent.futures.Future for the whole process")
def test_a_future_that_cannot_be_made_fails_submit_and_queues_nothing(monkeypatch):
    class Refused(concurrent.futures.Future):
        def __init__(self):
            raise LookupError("no future today")

    p = pool_making_futures(monkeypatch, Refused)
    called = []
    with pytest.raises(LookupError, match="no future today"):
        p.submit(called.append, 1)
    p.shutdown()
    assert called == []


def test_with_block_shuts_down_waiting_for_the_queued_tasks():
    with ThreadPool(2) as p:
        assert list(p.map(pow, [2, 3], [5, 2])) == [32, 9]
    with pytest.raises(RuntimeError, match="ThreadPool is shutdown"):
        p.submit(int)

    gate = threading.Event()
    with pytest.raises(LookupError):
        with ThreadPool(1) as p:
            futures = [p.submit(gate.wait, TIMEOUT)] + [p.submit(int, i) for i in range(5)]
            gate.set()
            raise LookupError  # propagates, after the queued tasks have run
    assert [f.result(0) for f in futures] == [True, 0, 1, 2, 3, 4]


def test_map_keeps_input_order_and_raises_each_error_at_its_turn():
    # The second call finishes first; the results still come in input order,
    # and the iterables stop at the shortest.
    pool = ThreadPool(2)
    second_done = threading.Event()

    def call(i, divisor):
        if i == 0:
            assert second_done.wait(TIMEOUT)
        elif i == 1:
            second_done.set()
        return i // divisor

    results = pool.map(call, [0, 1, 2, 3, 4], [1, 1, 0, 1])
    assert next(results) == 0
    assert next(results) == 1
    with pytest.raises(ZeroDivisionError):
        next(results)
    assert list(pool.map(call, [0, 1, 3], [1, 1, 1, 1], timeout=TIMEOUT, chunksize=7)) == [0, 1, 3]
    assert list(pool.map(int)) == list(pool.map(int, [])) == []
    with pytest.raises(TypeError, match="ThreadPool.map\\(\\) got an unexpected keyword argument 'buffer'"):
        pool.map(int, [1], buffer=1)
    pool.shutdown()
    for iterables in ([1],), ():
        with pytest.raises(RuntimeError, match="ThreadPool is shutdown"):
            pool.map(int, *iterables)


@pytest.mark.thread_unsafe(reason="replaces concurrent.futures.Future for the whole process")
@pytest.mark.parametrize("leave", ["timeout", "close"])
def test_map_cancels_what_has_not_started_when_left_early(monkeypatch, leave):
    made = []

    class Recorded(concurrent.futures.Future):
        def __init__(self):
            super().__init__()
            made.append(self)

    p = pool_making_futures(monkeypatch, Recorded)
    gate = threading.Event()
    timeout = 1.0
    started = time.monotonic()
    ran = []

    def call(i):
        ran.append(i)
        return gate.wait(TIMEOUT) if i == 1 else i

    results = p.map(call, range(4), timeout=timeout)
    if leave == "timeout":
        # Counted from the call: past the deadline, a wait ends at once
        # rather than after another `timeout`.
        gate.wait(max(0.0, started + timeout - time.monotonic()))
        before = time.monotonic()
        with pytest.raises(TimeoutError):
            list(results)
        assert time.monotonic() - before < timeout
    else:
        assert next(results) == 0
        results.close()
    assert all(f.cancelled() for f in made[2:])
    gate.set()
    p.shutdown()
    assert 0 in ran and not {2, 3} & set(ran)


# Shutdown and destruction ---------------------------------------------------------


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
    before = os_thread_count()
    p = ThreadPool(2)
    futures = [p.submit(slow, i) for i in range(10)]
    assert p.shutdown() is None
    assert [f.result(0) for f in futures] == list(range(10))
    assert os_thread_count() == before
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
        eventually(lambda: shutdown_in_progress(p) and thread_state(closer.native_id) == "S", "shutdown waits for the workers")
        gated.gate.set()
        join_all([closer])
    else:
        p.shutdown(wait=False, cancel_futures=True)
        gated.gate.set()
        for f in futures:
            eventually(f.done, "the future completes")
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
    eventually(lambda: shutdown_in_progress(p), "shutdown holds the pool")
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        p.shutdown()
    gated.gate.set()
    join_all([closer])


@pytest.mark.thread_unsafe(reason="counts references")
def test_submit_racing_shutdown_gets_only_the_documented_errors():
    func, arg = (lambda x: pow(x, 2)), Token()
    before = refcounts(func, arg)
    for _ in range(scaled(20)):
        p = ThreadPool(2)
        accepted, errors = [], []
        go = threading.Barrier(2)

        def submitter():
            go.wait(TIMEOUT)
            while True:
                try:
                    accepted.append(p.submit(func, 3) if len(accepted) % 2 else p.submit(pow, arg, 2))
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
        # Every accepted task ran (or, for the Token, failed) before shutdown returned.
        assert all(f.done() for f in accepted)
        assert all(f.result(0) == 9 for f in accepted[1::2])
        del accepted
    assert refcounts(func, arg) == before


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


@pytest.mark.thread_unsafe(reason="counts the process's threads, and relies on gc.collect() collecting")
def test_weak_reference_is_cleared_only_after_the_workers_ended():
    # The pool's own workers, by thread id: a thread left by an earlier test
    # may end meanwhile, so the process's thread count proves nothing.
    before = set(os.listdir("/proc/self/task"))
    p = ThreadPool(2)
    workers = set(os.listdir("/proc/self/task")) - before
    futures = [p.submit(slow, i) for i in range(4)]
    seen = []
    ref = weakref.ref(p, lambda r: seen.append((workers & set(os.listdir("/proc/self/task")),
                                                 all(f.done() for f in futures))))
    assert ref() is p and len(workers) == 2
    del p
    gc.collect()
    assert ref() is None
    assert seen == [(set(), True)]


@pytest.mark.thread_unsafe(reason="counts the process's threads, which other threads change")
def test_last_reference_dropped_by_its_own_task():
    # The pool is destroyed on one of its own workers: that worker is not
    # joined (it is the caller), the other one is, and the queue still drains.
    before = os_thread_count()
    holder = [ThreadPool(2)]
    gate = threading.Event()
    first = holder[0].submit(lambda: (gate.wait(TIMEOUT), holder.clear()))
    rest = [holder[0].submit(slow, i) for i in range(4)]
    gate.set()
    assert first.result(TIMEOUT) == (True, None)
    assert [f.result(TIMEOUT) for f in rest] == list(range(4))
    eventually(lambda: os_thread_count() == before, "the released worker ends")


@pytest.mark.thread_unsafe(reason="counts the process's threads, which other threads change")
def test_many_pools_come_and_go():
    before = os_thread_count()
    for i in range(scaled(50)):
        p = ThreadPool(2)
        future = p.submit(pow, i, 2)
        if i % 2:
            p.shutdown(wait=bool(i % 3))
        del p
        assert future.result(TIMEOUT) == i * i
    eventually(lambda: os_thread_count() == before, "every worker and joiner ends")
