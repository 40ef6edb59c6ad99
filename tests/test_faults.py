"""Faults: objects destroyed on threads other than their creators, long
chains of them, and exceptions raised by the Python code the module calls
(__eq__, __hash__, __del__, tasks and their futures) at every point where it
calls it. The module stays consistent, each exception goes where it belongs
(to the caller, to the task's future, or to sys.unraisablehook for a
finalizer), nothing crashes."""

from __future__ import annotations

import collections.abc
import concurrent.futures
import threading
import weakref

import pytest

from conftest import (JOIN_TIMEOUT, SANITIZED, Boom, Key, RaisingDel, Token, eventually, outcome_of,
                      pool_making_futures, refcounts, run_in_thread, run_python, scaled, settle)
from torvan import AtomicBoolean, AtomicInteger, Channel, ConcurrentMap, RwLock, ThreadPool, select

# Most tests replace sys.unraisablehook or count references: one at a time.
pytestmark = pytest.mark.thread_unsafe

TIMEOUT = JOIN_TIMEOUT


# Destruction on other threads ----------------------------------------------------


class Specimen:
    """One object of a module class, with what it holds watched.
    `survivor_check` exercises what shared the object's native state, which
    must keep working once the object is gone."""

    def __init__(self, obj, contents=(), survivor_check=None):
        self.obj = obj
        self.watchers = [weakref.finalize(c, lambda: None) for c in contents]
        self.survivor_check = survivor_check or (lambda: None)


def channel_specimen():
    ch = Channel()
    items = [Token() for _ in range(3)]
    for item in items:
        ch.send(item)
    return Specimen(ch, items)


def recv_op_specimen():
    ch = Channel(4)
    items = [Token(), Token()]
    for item in items:
        ch.send(item)
    op = ch.recv_op()
    return Specimen(op, items)  # the channel went first: the op holds the last receiver


def send_op_specimen():
    ch = Channel()
    item = Token()
    op = ch.send_op(item)
    receiver = ch.recv_op()

    def check():
        # Dropping the op took nothing from its channel.
        ch.send("after")
        assert select([receiver]) == (0, "after")

    return Specimen(op, [item], check)


def map_specimen():
    m = ConcurrentMap(4)
    key, value = Token(), Token()
    m.set(key, value)
    return Specimen(m, [key, value])


def pool_specimen():
    pool = ThreadPool(1)
    arg = Token()
    gate = threading.Event()
    futures = [pool.submit(gate.wait, TIMEOUT), pool.submit(lambda a: None, arg)]
    gate.set()
    cleared = []
    reference = weakref.ref(pool, cleared.append)

    def check():
        assert [f.result(0) for f in futures] == [True, None]  # ran before the drop returned
        assert cleared == [reference]

    return Specimen(pool, [arg], check)


def rwlock_specimen():
    lock = RwLock()
    with lock.write():
        pass
    return Specimen(lock)


SPECIMENS = {
    "Channel": channel_specimen,
    "RecvOp": recv_op_specimen,
    "SendOp": send_op_specimen,
    "ConcurrentMap": map_specimen,
    "ThreadPool": pool_specimen,
    "AtomicInteger": lambda: Specimen(AtomicInteger(5)),
    "AtomicBoolean": lambda: Specimen(AtomicBoolean(True)),
    "RwLock": rwlock_specimen,
}


def made_on_an_ended_thread(make):
    return run_in_thread(make)


def made_in_a_pool_task(make):
    pool = ThreadPool(1)
    try:
        return pool.submit(make).result(TIMEOUT)
    finally:
        pool.shutdown()


def dropped_here(box):
    box.clear()


def dropped_on_another_thread(box):
    run_in_thread(box.clear)


def dropped_in_a_pool_task(box):
    pool = ThreadPool(1)
    pool.submit(box.clear).result(TIMEOUT)
    pool.shutdown()


# An object made on a thread that has ended is released by whichever thread
# drops it last; one made by a live thread (this one, or a pool worker, whose
# thread state outlives its tasks) goes back to that thread's care.
SCENARIOS = {
    "made on an ended thread, dropped here": (made_on_an_ended_thread, dropped_here),
    "made on an ended thread, dropped in a pool task": (made_on_an_ended_thread, dropped_in_a_pool_task),
    "made here, dropped on another thread": (lambda make: make(), dropped_on_another_thread),
    "made in a pool task, dropped here": (made_in_a_pool_task, dropped_here),
}


@pytest.mark.parametrize("scenario", SCENARIOS)
@pytest.mark.parametrize("kind", SPECIMENS)
def test_destroyed_on_another_thread(kind, scenario, unraisable):
    make, drop = SCENARIOS[scenario]
    specimen = make(SPECIMENS[kind])
    box = [specimen.obj]
    specimen.obj = None
    drop(box)
    settle()
    assert not any(w.alive for w in specimen.watchers), "what the object held was not released"
    specimen.survivor_check()
    assert unraisable == []


class TestDroppedWhileAnExceptionPropagates:
    """A frame that unwinds drops its objects with the exception in flight:
    their deallocators must neither lose nor replace it."""

    @pytest.mark.parametrize("kind", SPECIMENS)
    def test_every_class(self, kind, unraisable):
        specimen = SPECIMENS[kind]()
        box = [specimen.obj]
        specimen.obj = None

        def unwind():
            return [box.pop(), 1 / 0]  # the object is on the stack when the division fails

        with pytest.raises(ZeroDivisionError):
            unwind()
        settle()
        assert not any(w.alive for w in specimen.watchers)
        specimen.survivor_check()
        assert unraisable == []

    @pytest.mark.parametrize("kind", ["read", "write"])
    def test_guard_of_another_thread(self, kind, unraisable):
        lock = RwLock()
        box = [run_in_thread(getattr(lock, kind))]

        def unwind():
            return [box.pop(), 1 / 0]

        with pytest.raises(ZeroDivisionError):
            unwind()
        assert len(unraisable) == 1 and "is unsendable" in str(unraisable[0])

    def test_contents_whose_finalizers_raise(self, unraisable):
        ch, m = Channel(), ConcurrentMap()
        ch.send(RaisingDel())
        m.set("k", RaisingDel())
        box = [ch, m]
        del ch, m

        def unwind():
            return [box.pop(), box.pop(), 1 / 0]

        with pytest.raises(ZeroDivisionError):
            unwind()
        assert [type(r) for r in unraisable] == [Boom, Boom]


# Long chains of objects that hold one another ------------------------------------


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
    # Freeing the outermost object frees the whole chain, on the main thread
    # and on a pool worker (2 MiB stack), without recursing once per link.
    main_depth = 200_000 if SANITIZED else 400_000  # either far beyond what a recursion survives
    freed = "\n".join(f"""
def freed_{i}(depth):
    cur = Innermost()
    innermost = weakref.ref(cur)
    for _ in range(depth):
        {link}
    del cur, outer
    return innermost() is None
print({name!r}, freed_{i}({main_depth}), pool.submit(freed_{i}, 100_000).result())
""" for i, (name, link) in enumerate(CHAINS.items()))
    out = run_python(f"""
import weakref
from torvan import Channel, ConcurrentMap, ThreadPool

class Innermost:
    pass

pool = ThreadPool(1)
{freed}""")
    assert out.splitlines() == [f"{name} True True" for name in CHAINS]


# Finalizers that raise while the module releases references ----------------------


class TestRaisingFinalizers:
    def test_channel_releases(self, unraisable):
        ch = Channel()
        for _ in range(3):
            ch.send(RaisingDel())
        op = Channel(1).send_op(RaisingDel())
        del ch, op
        assert [type(r) for r in unraisable] == [Boom] * 4
        # The last receiver, in a RecvOp, takes the buffered items with it.
        ch = Channel(2)
        ch.send(RaisingDel())
        receiver = ch.recv_op()
        del ch
        assert len(unraisable) == 4
        del receiver
        assert len(unraisable) == 5

    def test_item_finalizer_uses_its_channel_while_the_channel_discards_it(self, unraisable):
        # The item's finalizer runs while the last receiver goes: it sends on
        # the same channel through an operation it holds, and fails cleanly.
        ch = Channel()
        outcomes = []

        class SendsOnDel:
            def __del__(self):
                try:
                    select([self.op], timeout=0)
                except ValueError as exc:
                    outcomes.append(str(exc))

        item = SendsOnDel()
        item.op = ch.send_op("late")
        ch.send(item)
        del item
        run_in_thread(lambda: None)  # nothing else holds the channel's receiver
        del ch
        settle()
        assert outcomes == ["Selected channel is closed"]
        assert unraisable == []

    def test_task_references(self, unraisable):
        pool = ThreadPool(1)

        class RaisingCall(RaisingDel):
            def __call__(self, *args, **kwargs):
                return "called"

        gate = threading.Event()
        pool.submit(gate.wait, TIMEOUT)
        cancelled = pool.submit(RaisingDel)  # never runs
        assert cancelled.cancel()
        gate.set()
        future = pool.submit(RaisingCall(), RaisingDel(), key=RaisingDel())
        assert future.result(TIMEOUT) == "called"
        assert pool.submit(int, "7").result(TIMEOUT) == 7  # the worker carries on
        gate = threading.Event()
        pool.submit(gate.wait, TIMEOUT)
        cancelled = pool.submit(print, RaisingDel())
        pool.shutdown(wait=False, cancel_futures=True)
        gate.set()
        eventually(cancelled.done, "the queued task is cancelled")
        assert cancelled.cancelled()
        settle()
        assert [type(r) for r in unraisable] == [Boom] * 4


# Exceptions from __eq__ and __hash__ at every point ----------------------------------


MAP_OPERATIONS = {
    "get": lambda m, k: m.get(k),
    "get_val": lambda m, k: m.get_val(k),
    "contains_key": lambda m, k: m.contains_key(k),
    "set": lambda m, k: m.set(k, "new"),
    "get_or_insert": lambda m, k: m.get_or_insert(k, "new"),
    "delete": lambda m, k: m.delete(k),
    "pop_val": lambda m, k: m.pop_val(k),
}


@pytest.mark.parametrize("operation", MAP_OPERATIONS)
@pytest.mark.parametrize("position", range(4))
def test_eq_raising_at_any_position_of_the_bucket(operation, position):
    m = ConcurrentMap(2)
    stored, values, probe = [Key(f"s{i}") for i in range(4)], [Token() for _ in range(4)], Key("probe")
    for key, value in zip(stored, values):
        m.set(key, value)
    stored[position].raises = Boom(f"s{position}")  # compared in bucket order: the ones before answer
    before, counts = m.items(), refcounts(probe, *stored, *values)
    assert outcome_of(MAP_OPERATIONS[operation], m, probe) == f"Boom: s{position}"
    stored[position].raises = None  # with its traceback
    assert refcounts(probe, *stored, *values) == counts and m.items() == before
    MAP_OPERATIONS[operation](m, probe)  # the same call succeeds once nothing raises
    assert len(m) == len(before) + (operation in ("set", "get_or_insert"))


@pytest.mark.parametrize("operation", ["set", "get_or_insert", "delete", "pop_val"])
def test_eq_raising_in_a_later_pass(operation):
    # The first pass lets a key in (reentrantly, from __eq__) that raises when
    # the next pass compares it: the outer call fails and changes nothing.
    m = ConcurrentMap(1)
    late = Key("late", raises=KeyboardInterrupt())
    first = Key("first", on_eq=lambda: m.set(late, "late"))
    m.set(first, "first")
    with pytest.raises(KeyboardInterrupt):
        MAP_OPERATIONS[operation](m, Key("probe"))
    assert m.items() == [(first, "first"), (late, "late")]


# Exceptions in tasks and their futures ---------------------------------------------


def test_futures_whose_completion_raises_are_discarded_unseen(monkeypatch, capfd):
    # Completing or cancelling the future is the last thing a worker does
    # for a task; whatever that raises must not stop the worker.
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

    pool = pool_making_futures(monkeypatch, Refusing)
    started, gate = threading.Event(), threading.Event()
    pool.submit(int, "1")
    pool.submit(lambda: 1 / 0)
    pool.submit(lambda: started.set() or gate.wait(TIMEOUT))
    pool.submit(int)  # still queued when the pool is shut down: cancelled
    assert started.wait(TIMEOUT)  # one worker: the tasks before have been completed
    pool.shutdown(wait=False, cancel_futures=True)
    gate.set()
    eventually(lambda: len(calls) == 4, "the last task is cancelled")
    assert calls == ["set_result", "set_exception", "set_result", "cancel"]
    assert capfd.readouterr() == ("", "")


@pytest.mark.parametrize("cancelled_by", ["submitter", "shutdown"])
def test_cancelled_futures_are_done_for_wait_and_as_completed(cancelled_by):
    # A cancelled task never runs, and waiting on its future returns; a
    # running task can no longer be cancelled.
    pool, started, gate, ran = ThreadPool(1), threading.Event(), threading.Event(), []
    running = pool.submit(lambda: started.set() or gate.wait(TIMEOUT))
    queued = [pool.submit(ran.append, i) for i in range(3)]
    assert started.wait(TIMEOUT)
    if cancelled_by == "submitter":
        assert all(f.cancel() for f in queued)
    else:
        pool.shutdown(wait=False, cancel_futures=True)
    running_cancelled = running.cancel()
    gate.set()
    done, not_done = concurrent.futures.wait(queued, timeout=TIMEOUT)
    assert done == set(queued) and not not_done
    assert set(concurrent.futures.as_completed(queued, timeout=TIMEOUT)) == set(queued)
    assert all(f.cancelled() for f in queued)
    assert not running_cancelled and running.result(TIMEOUT) is True
    pool.shutdown()
    assert ran == []


def test_done_callbacks_that_raise(caplog):
    pool = ThreadPool(1)
    seen = []

    def callback(kind):
        def run(future):
            seen.append(kind)
            raise kind("from a callback")

        return run

    first = pool.submit(int, "1")
    first.add_done_callback(callback(Boom))  # logged by concurrent.futures
    second = pool.submit(int, "2")
    second.add_done_callback(callback(KeyboardInterrupt))  # not caught there: the worker drops it
    assert pool.submit(int, "3").result(TIMEOUT) == 3
    pool.shutdown()
    assert (first.result(0), second.result(0)) == (1, 2)
    assert seen == [Boom, KeyboardInterrupt]
    assert [r.getMessage().split(" ")[:3] for r in caplog.records] == [["exception", "calling", "callback"]]


# Bad input ------------------------------------------------------------------------------


class Ops(collections.abc.Sequence):
    """A sequence of operations whose length is whatever it says."""

    def __init__(self, ops, length):
        self.ops, self.length = ops, length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, i):
        return self.ops[i]


@pytest.mark.parametrize("length", [2**62, 2**40, 0, Boom("len")])
def test_select_trusts_no_sequence_length(length):
    # The length only sizes the list; the items are what iterating yields.
    idle, ch = Channel(), Channel()
    ch.send("item")
    assert select(Ops([idle.recv_op(), ch.recv_op()], length)) == (1, "item")
