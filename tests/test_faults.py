"""Faults: objects destroyed on threads other than their creators, long chains of them, and exceptions raised by
the Python code the module calls; each exception goes where it belongs and nothing crashes."""

from __future__ import annotations

import asyncio
import collections.abc
import concurrent.futures
import functools
import threading
import weakref
from concurrent.futures.thread import BrokenThreadPool

import pytest

from conftest import (JOIN_TIMEOUT, SANITIZED, Boom, Key, RaisingDel, Token, eventually, outcome_of,
                      pool_making_futures, refcounts, run_in_thread, run_python, settle)
from torvan import AtomicBoolean, AtomicInteger, Channel, ConcurrentMap, RwLock, ThreadPool, ThreadPoolExecutor, select

pytestmark = pytest.mark.thread_unsafe  # most tests replace sys.unraisablehook or count references


# A specimen: (an object of a module class, what it holds, a check of what shared its state and outlives it).
def channel_specimen(capacity=None, op=False):
    ch, items = Channel(capacity), [Token(), Token()]
    for item in items:
        ch.send(item)
    return ch.recv_op() if op else ch, items, None  # the op holds the last receiver once the channel is gone


def send_op_specimen():
    ch, item = Channel(), Token()
    op, receiver = ch.send_op(item), ch.recv_op()
    return op, [item], lambda: ch.send("after") is None and select([receiver]) == (0, "after")  # took nothing


def map_specimen():
    m, key, value = ConcurrentMap(4), Token(), Token()
    m.set(key, value)
    return m, [key, value], None


def pool_specimen():
    pool, arg, gate, cleared = ThreadPool(1), Token(), threading.Event(), []
    futures = [pool.submit(gate.wait, JOIN_TIMEOUT), pool.submit(lambda a: None, arg)]  # run before the drop returns
    gate.set()
    reference = weakref.ref(pool, cleared.append)
    return pool, [arg], lambda: [f.result(0) for f in futures] == [True, None] and cleared == [reference]


def awaiting_task_specimen():
    # A task waits in asend() on a loop closed under it; its item goes with it, and the channel keeps nothing.
    ch, loop, item = Channel(1), asyncio.new_event_loop(), Token()
    ch.send("filler")
    loop.set_exception_handler(lambda loop, context: None)  # "Task was destroyed but it is pending!"

    async def park():
        task = asyncio.ensure_future(ch.asend(item))
        await asyncio.sleep(0)
        await asyncio.sleep(0)
        return task

    task = loop.run_until_complete(park())
    loop.close()
    return task, [item], lambda: ch.try_recv() == "filler" and ch.try_send("after") is None and ch.recv() == "after"


def executor_specimen():
    # Dropped without a shutdown, it does not wait: its worker runs the queue, then lets go of the tasks' arguments.
    executor, arg, gate = ThreadPoolExecutor(1, "specimen", initializer=Token), Token(), threading.Event()
    futures = [executor.submit(gate.wait, JOIN_TIMEOUT), executor.submit(lambda a: threading.current_thread().name, arg)]
    released = weakref.finalize(arg, lambda: None)
    gate.set()

    def check():
        eventually(lambda: not released.alive, "the worker let go of the queued task's argument")
        return [f.result(0) for f in futures] == [True, "specimen_0"]

    return executor, [], check


def rwlock_specimen():
    lock = RwLock()
    lock.write().__enter__().__exit__(None, None, None)  # used: this thread keeps its records of it
    return lock, [], None


SPECIMENS = {
    "Channel": channel_specimen,
    "RecvOp": lambda: channel_specimen(4, op=True),
    "SendOp": send_op_specimen,
    "ConcurrentMap": map_specimen,
    "ThreadPool": pool_specimen,
    "ThreadPoolExecutor": executor_specimen,
    "AtomicInteger": lambda: (AtomicInteger(5), [], None),
    "AtomicBoolean": lambda: (AtomicBoolean(True), [], None),
    "RwLock": rwlock_specimen,
    "awaiting task": awaiting_task_specimen,
}


def in_a_pool_task(fn):
    return ThreadPool(1).submit(fn).result(JOIN_TIMEOUT)  # the pool dropped at once: its drop waits for the task


def dropped_while_unwinding(box):
    # On the stack when the division fails, they are freed with the exception in flight: it must stay as it is.
    with pytest.raises(ZeroDivisionError):
        [box.pop() for _ in range(len(box))] + [1 / 0]


# Made on an ended thread, an object is released where it is dropped last; made by a live one (this one, a pool
# worker), it goes back to that thread's care.
SCENARIOS = {
    "made on an ended thread, dropped here": (run_in_thread, list.clear),
    "made on an ended thread, dropped in a pool task": (run_in_thread, lambda box: in_a_pool_task(box.clear)),
    "made here, dropped on another thread": (lambda make: make(), lambda box: run_in_thread(box.clear)),
    "made in a pool task, dropped here": (in_a_pool_task, list.clear),
    "made here, dropped while an exception propagates": (lambda make: make(), dropped_while_unwinding),
}


def boxed(obj, contents, check):
    return [obj], [weakref.finalize(c, lambda: None) for c in contents], check or (lambda: True)


@pytest.mark.parametrize("scenario", SCENARIOS)
@pytest.mark.parametrize("kind", SPECIMENS)
def test_destroyed_on_another_thread_or_while_unwinding(kind, scenario, unraisable):
    make, drop = SCENARIOS[scenario]
    box, watchers, check = boxed(*make(SPECIMENS[kind]))
    drop(box)
    settle()
    assert not any(w.alive for w in watchers), "what the object held was not released"
    assert check()
    assert unraisable == []


@pytest.mark.parametrize("kind", ["read", "write"])
def test_guard_of_another_thread_dropped_while_an_exception_propagates(kind, unraisable):
    lock = RwLock()
    dropped_while_unwinding([run_in_thread(getattr(lock, kind))])
    assert len(unraisable) == 1 and "is unsendable" in str(unraisable[0])


# Each link makes a new outermost object that holds the chain so far, `cur`.
CHAINS = {
    "Channel()": "outer = Channel(); outer.send(cur); cur = outer",
    "Channel(n)": "outer = Channel(1); outer.send(cur); cur = outer",
    "RecvOp": "outer = Channel(); outer.send(cur); cur = outer.recv_op()",
    "SendOp": "outer = Channel(1); cur = outer.send_op(cur)",
    "ConcurrentMap": "outer = ConcurrentMap(1); outer.set(0, cur); cur = outer",
    "map, channel, map": "outer = Channel(); outer.send(cur); cur = ConcurrentMap(1); cur.set(0, outer)",
}


def test_long_chains_are_freed_without_recursing():
    # The outermost object frees the whole chain without recursing, on the main thread and on a pool worker.
    main_depth = 200_000 if SANITIZED else 400_000  # either far beyond what a recursion survives
    out = run_python(f"""
import weakref
from torvan import Channel, ConcurrentMap, ThreadPool

Innermost = type("Innermost", (), {{}})

def freed(link, depth):
    names = {{"Channel": Channel, "ConcurrentMap": ConcurrentMap, "cur": Innermost()}}
    innermost, step = weakref.ref(names["cur"]), compile(link, "link", "exec")
    for _ in range(depth):
        exec(step, names)
    names.clear()
    return innermost() is None

pool = ThreadPool(1)
for name, link in {CHAINS!r}.items():
    print(name, freed(link, {main_depth}), pool.submit(freed, link, 100_000).result())
""")
    assert out.splitlines() == [f"{name} True True" for name in CHAINS]


def test_finalizers_raising_while_channels_and_maps_release_go_to_the_hook(unraisable):
    ch, m, op = Channel(), ConcurrentMap(), Channel(1).send_op(RaisingDel())
    for _ in range(3):
        ch.send(RaisingDel())
    m.set("k", RaisingDel())
    box = [ch, m, op]
    del ch, m, op
    dropped_while_unwinding(box)
    assert [type(r) for r in unraisable] == [Boom] * 5
    # The last receiver, in a RecvOp, takes the buffered items with it.
    ch = Channel(2)
    ch.send(RaisingDel())
    receiver = ch.recv_op()
    del ch
    assert len(unraisable) == 5
    del receiver
    assert len(unraisable) == 6


def test_item_finalizer_uses_its_channel_while_the_channel_discards_it(unraisable):
    # Run as the last receiver goes, the finalizer sends on the channel through an operation it holds: cleanly refused.
    ch, outcomes = Channel(), []

    class SendsOnDel:
        def __del__(self):
            outcomes.append(outcome_of(select, [self.op], timeout=0))

    item = SendsOnDel()
    item.op = ch.send_op("late")
    ch.send(item)
    del item
    run_in_thread(lambda: None)  # nothing else holds the channel's receiver
    del ch
    settle()
    assert outcomes == ["ChannelClosed: Selected channel is closed"]
    assert unraisable == []


def test_finalizers_raising_in_task_references_go_to_the_hook(unraisable):
    class RaisingCall(RaisingDel):
        def __call__(self, *args, **kwargs):
            return "called"

    pool, gate = ThreadPool(1), threading.Event()
    pool.submit(gate.wait, JOIN_TIMEOUT)
    cancelled = pool.submit(RaisingDel)  # never runs
    assert cancelled.cancel()
    gate.set()
    assert pool.submit(RaisingCall(), RaisingDel(), key=RaisingDel()).result(JOIN_TIMEOUT) == "called"
    assert pool.submit(int, "7").result(JOIN_TIMEOUT) == 7  # the worker carries on
    gate = threading.Event()
    pool.submit(gate.wait, JOIN_TIMEOUT)
    cancelled = pool.submit(print, RaisingDel())
    pool.shutdown(wait=False, cancel_futures=True)
    gate.set()
    eventually(cancelled.done, "the queued task is cancelled")
    assert cancelled.cancelled()
    settle()
    assert [type(r) for r in unraisable] == [Boom] * 4


def call(m, operation, key):
    return getattr(m, operation)(key, *(["new"] if operation in ("set", "get_or_insert") else []))


@pytest.mark.parametrize("operation", ["get", "get_val", "contains_key", "set", "get_or_insert", "delete", "pop_val"])
@pytest.mark.parametrize("position", range(4))
def test_eq_raising_at_any_position_of_the_bucket(operation, position):
    m, stored, values, probe = ConcurrentMap(2), [Key(f"s{i}") for i in range(4)], [Token() for _ in range(4)], Key("p")
    for key, value in zip(stored, values):
        m.set(key, value)
    stored[position].raises = Boom(f"s{position}")  # compared in bucket order: the ones before answer
    before, counts = m.items(), refcounts(probe, *stored, *values)
    assert outcome_of(call, m, operation, probe) == f"Boom: s{position}"
    stored[position].raises = None  # with its traceback
    assert refcounts(probe, *stored, *values) == counts and m.items() == before
    call(m, operation, probe)  # the same call succeeds once nothing raises
    assert len(m) == len(before) + (operation in ("set", "get_or_insert"))


@pytest.mark.parametrize("operation", ["set", "get_or_insert", "delete", "pop_val"])
def test_eq_raising_in_a_later_pass(operation):
    # The first pass lets in (from __eq__) a key that raises in the next pass: the outer call fails, changing nothing.
    m = ConcurrentMap(1)
    late = Key("late", raises=KeyboardInterrupt())
    first = Key("first", on_eq=lambda: m.set(late, "late"))
    m.set(first, "first")
    with pytest.raises(KeyboardInterrupt):
        call(m, operation, Key("probe"))
    assert m.items() == [(first, "first"), (late, "late")]


def test_futures_whose_completion_raises_are_discarded_unseen(monkeypatch, capfd):
    # Whatever completing or cancelling the future raises, last thing for a task, must not stop the worker.
    calls = []

    class Refusing(concurrent.futures.Future):
        def set_result(self, result):
            calls.append("set_result")
            raise Boom("set_result")

        def set_exception(self, exception):
            calls.append("set_exception")
            raise KeyboardInterrupt

        def cancel(self):
            calls.append("cancel")
            raise SystemExit

    pool, started, gate = pool_making_futures(monkeypatch, Refusing), threading.Event(), threading.Event()
    pool.submit(int, "1")
    pool.submit(lambda: 1 / 0)
    pool.submit(lambda: started.set() or gate.wait(JOIN_TIMEOUT))
    pool.submit(int)  # still queued when the pool is shut down: cancelled
    assert started.wait(JOIN_TIMEOUT)  # one worker: the tasks before have been completed
    pool.shutdown(wait=False, cancel_futures=True)
    gate.set()
    eventually(lambda: len(calls) == 4, "the last task is cancelled")
    assert calls == ["set_result", "set_exception", "set_result", "cancel"]
    assert capfd.readouterr() == ("", "")


@pytest.mark.parametrize("cancelled_by", ["submitter", "shutdown"])
def test_cancelled_futures_are_done_for_wait_and_as_completed(cancelled_by):
    # A cancelled task never runs, and waiting on its future returns; a running task can no longer be cancelled.
    pool, started, gate, ran = ThreadPool(1), threading.Event(), threading.Event(), []
    running = pool.submit(lambda: started.set() or gate.wait(JOIN_TIMEOUT))
    queued = [pool.submit(ran.append, i) for i in range(3)]
    assert started.wait(JOIN_TIMEOUT)
    if cancelled_by == "submitter":
        assert all(f.cancel() for f in queued)
    else:
        pool.shutdown(wait=False, cancel_futures=True)
    running_cancelled = running.cancel()
    gate.set()
    assert concurrent.futures.wait(queued, timeout=JOIN_TIMEOUT) == (set(queued), set())
    assert set(concurrent.futures.as_completed(queued, timeout=JOIN_TIMEOUT)) == set(queued)
    assert all(f.cancelled() for f in queued)
    assert not running_cancelled and running.result(JOIN_TIMEOUT) is True
    pool.shutdown()
    assert ran == []


@pytest.mark.parametrize("raised", [Boom("init"), KeyboardInterrupt(), SystemExit(2)], ids=lambda e: type(e).__name__)
def test_executor_initializer_raising_anything_breaks_the_executor_as_the_standard_one(raised, caplog):
    # Logged once; every task not yet started, the one that met it too, fails with BrokenThreadPool; shutdown works.
    gate = threading.Event()

    def initializer():
        gate.wait(JOIN_TIMEOUT)
        raise raised

    executor, ran = ThreadPoolExecutor(2, initializer=initializer), []
    futures = [executor.submit(ran.append, i) for i in range(6)]
    gate.set()
    errors = [f.exception(JOIN_TIMEOUT) for f in futures]
    assert ran == [] and all(type(e) is BrokenThreadPool for e in errors)
    assert str(errors[0]) == "A thread initializer failed, the thread pool is not usable anymore"
    assert outcome_of(executor.submit, int).startswith("BrokenThreadPool")
    executor.shutdown()
    logged = [r for r in caplog.records if r.name == "concurrent.futures"]
    assert 1 <= len(logged) <= 2 and all(r.exc_info[1] is raised for r in logged)  # once per worker that ran it
    assert logged[0].getMessage() == "Exception in initializer:"


def test_done_callbacks_that_raise(caplog):
    pool, seen = ThreadPool(1), []

    def callback(kind, future):
        seen.append(kind)
        raise kind("from a callback")

    gate = threading.Event()
    pool.submit(gate.wait, JOIN_TIMEOUT)  # the callbacks are added before the tasks end
    first, second = pool.submit(int, "1"), pool.submit(int, "2")
    first.add_done_callback(functools.partial(callback, Boom))  # logged by concurrent.futures
    second.add_done_callback(functools.partial(callback, KeyboardInterrupt))  # not caught there: the worker drops it
    gate.set()
    assert pool.submit(int, "3").result(JOIN_TIMEOUT) == 3
    pool.shutdown()
    assert (first.result(0), second.result(0)) == (1, 2)
    assert seen == [Boom, KeyboardInterrupt]
    assert [r.getMessage().split(" ")[:3] for r in caplog.records] == [["exception", "calling", "callback"]]


@pytest.mark.parametrize("length", [2**62, 2**40, 0, Boom("len")])
def test_select_trusts_no_sequence_length(length):
    # The length only sizes the list; the items are what iterating yields.
    idle, ch = Channel(), Channel()
    ch.send("item")

    class Ops(collections.abc.Sequence):
        __getitem__ = [idle.recv_op(), ch.recv_op()].__getitem__

        def __len__(self):
            if isinstance(length, BaseException):
                raise length
            return length

    assert select(Ops()) == (1, "item")
