"""ThreadPool: construction, tasks and their futures, what each task sees of its thread, shutdown, destruction."""

import asyncio
import concurrent.futures
import contextvars
import gc
import itertools
import os
import sys
import threading
import time
import weakref
from asyncio import events, tasks

import pytest

from conftest import (EMULATED, JOIN_TIMEOUT as TIMEOUT, Token, eventually, join_all, os_thread_count,
                      os_thread_count_is, outcome_of, pool_making_futures, refcounts, scaled, start_threads,
                      thread_state, wait_until_sleeping)

from torvan import ThreadPool

SELF_JOIN = "failed to join thread: Resource deadlock avoided (os error 35)"  # told so instead of hanging


@pytest.mark.thread_unsafe(reason="counts the process's threads, which other threads change")
@pytest.mark.parametrize("make, workers", [
    (lambda: ThreadPool(), os.cpu_count()),
    (lambda: ThreadPool(None), os.cpu_count()),
    (lambda: ThreadPool(num_workers=3), 3),
])
def test_worker_count_starts_that_many_threads_running_tasks_at_once(make, workers):
    # Each task waits at a barrier for all the others: only that many workers get them through.
    before = os_thread_count()
    p = make()
    assert os_thread_count() - before == workers
    barrier = threading.Barrier(workers)
    futures = [p.submit(barrier.wait, TIMEOUT) for _ in range(workers)]
    assert sorted(f.result(TIMEOUT) for f in futures) == list(range(workers))
    p.shutdown()


@pytest.mark.thread_unsafe(reason="counts the process's threads, which other threads change")
@pytest.mark.parametrize("call, error, message", [
    (lambda p: ThreadPool(0), ValueError, "num_workers must be greater than zero"),
    (lambda p: ThreadPool(-3), ValueError, "num_workers must be greater than zero"),
    (lambda p: ThreadPool(2**63), OverflowError, "while processing 'num_workers'"),
    (lambda p: ThreadPool(1.5), TypeError, "while processing 'num_workers'"),
    (lambda p: ThreadPool("2"), TypeError, "while processing 'num_workers'"),
    (lambda p: ThreadPool(2**62), MemoryError, None),  # no room for the handles: refused before any thread starts
    (lambda p: p.shutdown(wait=1), TypeError, "while processing 'wait'"),
    (lambda p: p.shutdown(cancel_futures=0), TypeError, "while processing 'cancel_futures'"),
    (lambda p: p.shutdown(wait=None), TypeError, "while processing 'wait'"),
])
def test_bad_arguments_start_no_threads_and_change_nothing(call, error, message):
    p = ThreadPool(1)
    before = os_thread_count()
    with pytest.raises(error) as info:
        call(p)
    assert message is None or message in (str(info.value), *getattr(info.value, "__notes__", ()))
    assert os_thread_count() == before
    assert p.submit(lambda: 5).result(TIMEOUT) == 5
    p.shutdown()


def test_results_exceptions_arguments_and_context():
    pool = ThreadPool(2)
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
    # Not callable: found out inside the task, like any other failure of the call.
    assert isinstance(pool.submit(17).exception(TIMEOUT), TypeError)
    started, gate = threading.Event(), threading.Event()
    future = pool.submit(lambda: started.set() or gate.wait(TIMEOUT))
    assert started.wait(TIMEOUT)
    assert future.running() and not future.done()
    gate.set()
    assert future.result(TIMEOUT) is True

    # The submitter's context variables reach the task, whose changes reach no one else.
    var = contextvars.ContextVar("var", default="unset")
    var.set("submitter")
    assert pool.submit(lambda: (var.get(), var.set("task"))[0]).result(TIMEOUT) == "submitter"
    assert var.get() == "submitter"
    assert pool.submit(var.get).result(TIMEOUT) == "submitter"
    pool.shutdown()


@pytest.mark.thread_unsafe(reason="replaces contextvars.copy_context for the whole process")
def test_each_task_finds_a_fresh_thread(monkeypatch):
    # One worker, so one OS thread, yet no task sees what the one before it left in the thread's state.
    p = ThreadPool(1)
    local, var = threading.local(), contextvars.ContextVar("var", default="fresh")
    loop, marker = asyncio.new_event_loop(), object()

    def leave_state_behind():
        local.value = "left"
        sys.settrace(lambda *a: None)
        sys.setprofile(lambda *a: None)
        sys.set_asyncgen_hooks(firstiter=lambda g: None)
        threading.current_thread()  # registers a dummy thread through a thread-local
        events._set_running_loop(loop)
        tasks._enter_task(loop, marker)

    def look():
        running = events._get_running_loop()
        return (getattr(local, "value", "fresh"), sys.gettrace(), sys.getprofile(), tuple(sys.get_asyncgen_hooks()),
                var.get(), running, running is not None and tasks.current_task(running), threading.get_native_id())

    fresh = ("fresh", None, None, (None, None), "fresh", None, False, p.submit(threading.get_native_id).result(TIMEOUT))
    # The look is queued behind the leaving task (the worker goes on to it without waiting), or comes after it.
    for leave, queued in itertools.product([leave_state_behind, lambda: setattr(local, "value", "left"),
                                            lambda: events._set_running_loop(marker)], [True, False]):
        hold = threading.Event()
        left = p.submit(lambda: hold.wait(TIMEOUT) and leave())
        if not queued:
            hold.set()
            assert left.exception(TIMEOUT) is None
        looked = p.submit(look)
        hold.set()
        assert left.exception(TIMEOUT) is None and looked.result(TIMEOUT) == fresh
    # asyncio.run() on the same worker finds no loop or task in the way.
    assert p.submit(asyncio.run, asyncio.sleep(0, "ran")).result(TIMEOUT) == "ran"
    loop.close()

    # Tasks run without a copied context (copying failed) find none of the variables set outside one:
    # by an earlier such task, or by a done callback, which runs on the worker after the task's context.
    hold = threading.Event()
    p.submit(hold.wait, TIMEOUT).add_done_callback(lambda f: var.set("left"))
    hold.set()
    monkeypatch.setattr(contextvars, "copy_context", None)
    assert p.submit(var.get).result(TIMEOUT) == "fresh"
    p.submit(var.set, "left").result(TIMEOUT)
    assert p.submit(var.get).result(TIMEOUT) == "fresh"
    p.shutdown()


def test_many_submitters_at_once_and_one_worker_keeps_submission_order(run_threads):
    p = ThreadPool(2)
    per_thread, results = scaled(5_000), []

    def submitter():
        futures = [p.submit(pow, i, 2) for i in range(per_thread)]
        results.append(sum(f.result(TIMEOUT) for f in futures))

    run_threads(submitter, submitter, submitter)
    count = scaled(100_000)  # and many from one thread
    futures = [p.submit(int, i) for i in range(count)]
    assert sum(f.result(TIMEOUT) for f in futures) == count * (count - 1) // 2
    p.shutdown()
    assert results == [sum(i * i for i in range(per_thread))] * 3

    p, order, running = ThreadPool(1), [], threading.Lock()

    def task(i):
        assert running.acquire(blocking=False)
        order.append(i)
        running.release()

    assert all(f.exception(TIMEOUT) is None for f in [p.submit(task, i) for i in range(200)])
    p.shutdown()
    assert order == list(range(200))


def slow(i):
    time.sleep(0.01)
    return i


class Gated:
    # Tasks that report their start and block until the gate opens.
    def __init__(self, pool, count, started):
        self.gate, self.started, self.called = threading.Event(), threading.Semaphore(0), []
        self.futures = [pool.submit(self.task, i) for i in range(count)]
        for _ in range(started):
            assert self.started.acquire(timeout=TIMEOUT)

    def task(self, i):
        self.called.append(i)
        self.started.release()
        assert self.gate.wait(TIMEOUT)
        return i


def shutdown_in_progress(p) -> bool:
    # A probing submit is refused while a shutdown holds the pool (one accepted before runs or is cancelled).
    return outcome_of(p.submit, int) == "RuntimeError: Already mutably borrowed"


@pytest.mark.thread_unsafe(reason="counts the process's threads, which other threads change")
def test_shutdown_waits_for_every_queued_task_and_ends_the_workers():
    before = os_thread_count()
    p = ThreadPool(2)
    futures = [p.submit(slow, i) for i in range(10)]
    assert p.shutdown(wait=True, cancel_futures=False) is None
    assert [f.result(0) for f in futures] == list(range(10)) and os_thread_count_is(before)
    # Shut down for good: a second call does nothing, submit is refused.
    assert p.shutdown() is None and outcome_of(p.submit, slow, 0) == "RuntimeError: ThreadPool is shutdown"


@pytest.mark.parametrize("wait, cancel", [(True, True), (False, True), (False, False)])
def test_shutdown_cancels_or_runs_what_is_still_queued(wait, cancel):
    p = ThreadPool(2)
    gated = Gated(p, 10, started=2)
    if wait:
        # shutdown waits on a thread of its own, while submit and shutdown fail at once; then the gate opens.
        closer = start_threads([lambda: p.shutdown(cancel_futures=cancel)])[0]
        eventually(lambda: shutdown_in_progress(p) and thread_state(closer.native_id) == "S", "shutdown waits")
        assert outcome_of(p.shutdown) == "RuntimeError: Already borrowed"
        gated.gate.set()
        join_all([closer])
    else:
        p.shutdown(wait=False, cancel_futures=cancel)
        p.shutdown(wait=True)  # the first shutdown handed the workers on: nothing to wait for
        assert not any(f.done() for f in gated.futures[:2])
        gated.gate.set()
        for f in gated.futures:
            eventually(f.done, "the future completes")
    kept = 2 if cancel else 10
    assert sorted(gated.called) == [f.result(0) for f in gated.futures[:kept]] == list(range(kept))
    assert all(f.cancelled() for f in gated.futures[kept:])
    assert not concurrent.futures.wait(gated.futures, 0).not_done  # the cancelled ones notified their waiters too


@pytest.mark.thread_unsafe(reason="counts references")
def test_shutdown_succeeds_while_threads_keep_submitting_and_they_get_only_the_documented_errors(monkeypatch):
    func, arg = (lambda x: pow(x, 2)), Token()
    before = refcounts(func, arg)
    for _ in range(scaled(20)):
        p = ThreadPool(2)
        accepted, errors, go = [], [], threading.Barrier(4)

        def submitter():
            go.wait(TIMEOUT)
            while True:
                try:
                    accepted.append((p.submit(func, 3), 9) if len(accepted) % 2 else (p.submit(pow, arg, 2), None))
                except RuntimeError as exc:
                    errors.append(str(exc))
                    if str(exc) == "ThreadPool is shutdown":
                        return

        def closer():
            go.wait(TIMEOUT)
            eventually(lambda: len(accepted) >= 300, "submitting is in full swing")
            p.shutdown()  # one attempt: it waits for the submits in progress and turns later ones away

        join_all(start_threads([submitter] * 3 + [closer]))
        assert set(errors) <= {"Already mutably borrowed", "ThreadPool is shutdown"}
        assert errors.count("ThreadPool is shutdown") == 3
        # Every accepted task ran (or, for the Token, failed) before shutdown returned.
        assert all(f.done() and (f.exception(0) is None) == (expected == 9) for f, expected in accepted)
        assert all(f.result(0) == 9 for f, expected in accepted if expected)
        del accepted
    assert refcounts(func, arg) == before
    # A shutdown from inside a submit of the same pool on the same thread cannot wait for it: refused at once.
    holder = []
    p = pool_making_futures(monkeypatch, lambda: holder[0].shutdown())
    holder.append(p)
    assert outcome_of(p.submit, int) == "RuntimeError: Already borrowed"
    p.shutdown()


def test_shutdown_with_wait_from_one_of_its_own_tasks_fails_and_a_later_one_still_waits():
    p = ThreadPool(1)  # one worker: the caller is the first the shutdown joins, so the queued tasks wait
    submitted, gate = threading.Event(), threading.Event()
    future = p.submit(lambda: submitted.wait(TIMEOUT) and p.shutdown())
    queued = [p.submit(gate.wait, TIMEOUT) for _ in range(3)]
    submitted.set()
    exc = future.exception(TIMEOUT)
    assert (type(exc).__name__, str(exc)) == ("PanicException", SELF_JOIN)
    assert outcome_of(p.submit, print) == "RuntimeError: ThreadPool is shutdown"
    # The workers the failed shutdown could not join are waited for by the next shutdown(wait=True).
    closer = start_threads([p.shutdown])[0]
    wait_until_sleeping(closer)
    assert closer.is_alive() and not any(f.done() for f in queued)
    gate.set()
    join_all([closer])
    assert [f.result(0) for f in queued] == [True] * 3
    p.shutdown()  # everything joined: returns at once


def test_shutdown_from_a_task_on_a_later_worker_joins_the_earlier_ones_first():
    # Whichever worker runs the shutdown, those before it in the join order are joined (draining the queue)
    # and the caller's own join fails.
    p = ThreadPool(2)
    submitted = threading.Event()
    future = p.submit(lambda: submitted.wait(TIMEOUT) and p.shutdown())
    queued = [p.submit(int, str(i)) for i in range(20)]
    submitted.set()
    exc = future.exception(TIMEOUT)
    assert (type(exc).__name__, str(exc)) == ("PanicException", SELF_JOIN)
    p.shutdown()
    assert [f.result(0) for f in queued] == list(range(20))


@pytest.mark.thread_unsafe(reason="counts the process's threads, and relies on gc.collect() collecting")
def test_a_dropped_pool_ends_its_workers_also_when_dropped_by_its_own_task():
    # The weak reference is cleared once the pool's own workers (by thread id: a thread an earlier test left
    # may end meanwhile) have ended and every task is done.
    before = set(os.listdir("/proc/self/task"))
    p = ThreadPool(2)
    workers = set(os.listdir("/proc/self/task")) - before
    futures, seen = [p.submit(slow, i) for i in range(4)], []
    ref = weakref.ref(p, lambda r: seen.append((workers & set(os.listdir("/proc/self/task")),
                                                 all(f.done() for f in futures))))
    assert ref() is p and len(workers) == 2
    del p
    gc.collect()
    assert ref() is None
    # Under qemu-user the joined workers are listed a moment longer: there they are awaited.
    assert [(not left or EMULATED, done) for left, done in seen] == [(True, True)]
    eventually(lambda: not workers & set(os.listdir("/proc/self/task")), "the workers have ended")
    # Destroyed on one of its own workers, within the release that drops the last reference (not later on the
    # thread that made it): that worker is not joined (it is the caller), the other is; the queue drains.
    before = os_thread_count()
    holder, destroyed_on = [ThreadPool(2)], []
    ref = weakref.ref(holder[0], lambda r: destroyed_on.append(threading.get_ident()))
    gate = threading.Event()
    first = holder[0].submit(lambda: (gate.wait(TIMEOUT), holder.clear(), destroyed_on == [threading.get_ident()]))
    rest = [holder[0].submit(slow, i) for i in range(4)]
    gate.set()
    assert first.result(TIMEOUT) == (True, None, True) and ref() is None
    assert [f.result(TIMEOUT) for f in rest] == list(range(4))
    eventually(lambda: os_thread_count() == before, "the released worker ends")
    for i in range(scaled(50)):
        p = ThreadPool(2)
        future = p.submit(pow, i, 2)
        if i % 2:
            p.shutdown(wait=bool(i % 3))
        del p
        assert future.result(TIMEOUT) == i * i
    eventually(lambda: os_thread_count() == before, "every worker and joiner ends")
