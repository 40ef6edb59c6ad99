"""ThreadPool: construction, tasks and their futures, and what each task sees
of its thread and context."""

import concurrent.futures
import contextvars
import inspect
import os
import sys
import threading
import time

import pytest

from conftest import JOIN_TIMEOUT, scaled

from torvan import ThreadPool

TIMEOUT = JOIN_TIMEOUT


def native_thread_count() -> int:
    return len(os.listdir("/proc/self/task"))


@pytest.fixture
def pool():
    p = ThreadPool(2)
    yield p
    p.shutdown()


def test_signatures_and_docstrings():
    assert str(inspect.signature(ThreadPool)) == "(num_workers=None)"
    assert str(inspect.signature(ThreadPool.submit)) == "(self, /, func, *args, **kwargs)"
    assert str(inspect.signature(ThreadPool.shutdown)) == "(self, /, wait=True, cancel_futures=False)"
    assert ThreadPool.__doc__.startswith("An OS-level physical thread pool scheduler for heavy parallel computing.\n")
    assert ThreadPool.submit.__doc__ == (
        "Submit a task for parallel execution in the thread pool.\n"
        "Instantiates and returns a standard `concurrent.futures.Future`.")
    assert ThreadPool.shutdown.__doc__ == (
        "Shut down the thread pool, dropping the sender and joining all worker threads.")
    assert str(inspect.signature(ThreadPool.map)) == "(self, /, fn, *iterables, timeout=None, chunksize=1)"
    assert str(inspect.signature(ThreadPool.__exit__)) == "(self, /, _exc_type, _exc_val, _exc_tb)"


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
    before = native_thread_count()
    with pytest.raises(error) as info:
        ThreadPool(count)
    if message is not None:
        assert str(info.value) == message
    if error in (OverflowError, TypeError):
        assert "while processing 'num_workers'" in info.value.__notes__
    assert native_thread_count() == before


def test_results_exceptions_and_arguments(pool):
    assert pool.submit(lambda: 42).result(TIMEOUT) == 42
    assert pool.submit(lambda *a, **k: (a, k)).result(TIMEOUT) == ((), {})
    assert pool.submit(lambda *a, **k: (a, k), 1, 2, x=3).result(TIMEOUT) == ((1, 2), {"x": 3})
    assert pool.submit(func=lambda x=0: x + 1).result(TIMEOUT) == 1

    raised = KeyError("boom")

    def fail():
        raise raised

    future = pool.submit(fail)
    assert isinstance(future, concurrent.futures.Future)
    assert future.exception(TIMEOUT) is raised
    with pytest.raises(KeyError) as info:
        future.result()
    assert info.value is raised

    # Not callable: found out inside the task, like any other failure of the call.
    assert isinstance(pool.submit(17).exception(TIMEOUT), TypeError)


def test_future_runs_with_its_task(pool):
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

    first = p.submit(leave_state_behind).result(TIMEOUT)
    assert p.submit(look).result(TIMEOUT) == ("fresh", None, None, (None, None), "fresh", first)
    p.submit(leave_local_only).result(TIMEOUT)
    assert p.submit(look).result(TIMEOUT)[0] == "fresh"

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


def test_many_trivial_tasks_all_complete(pool):
    count = scaled(100_000)
    futures = [pool.submit(int, i) for i in range(count)]
    assert sum(f.result(TIMEOUT) for f in futures) == count * (count - 1) // 2


def test_many_submitters_at_once(run_threads):
    p = ThreadPool(2)
    per_thread = scaled(5_000)
    results = []

    def submitter():
        futures = [p.submit(pow, i, 2) for i in range(per_thread)]
        results.append(sum(f.result(TIMEOUT) for f in futures))

    run_threads(submitter, submitter, submitter)
    p.shutdown()
    assert results == [sum(i * i for i in range(per_thread))] * 3


@pytest.mark.thread_unsafe(reason="gc.collect() returns at once while another thread collects")
def test_task_references_are_released():
    import gc
    import weakref

    class Payload:
        pass

    p = ThreadPool(2)
    payload = Payload()
    watcher = weakref.ref(payload)
    future = p.submit(lambda item: None, payload)
    future.result(TIMEOUT)
    del payload, future
    p.shutdown()
    gc.collect()
    assert watcher() is None


@pytest.mark.thread_unsafe(reason="replaces concurrent.futures.Future for the whole process")
def test_a_future_that_cannot_be_made_fails_submit_and_queues_nothing(monkeypatch):
    class Refused(concurrent.futures.Future):
        def __init__(self):
            raise LookupError("no future today")

    monkeypatch.setattr(concurrent.futures, "Future", Refused)
    p = ThreadPool(1)  # looks the class up now
    monkeypatch.undo()
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

    monkeypatch.setattr(concurrent.futures, "Future", Recorded)
    p = ThreadPool(1)  # looks the class up now
    monkeypatch.undo()
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
