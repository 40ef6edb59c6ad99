"""RwLock and its guards: protocol, exclusion, thread binding, self-deadlock detection, destruction."""

import re
import threading

import pytest

from conftest import (JOIN_TIMEOUT, eventually, join_all, outcome_of, run_in_thread, scaled, start_threads,
                      wait_until_sleeping)
from torvan._torvan import RwLock

WOULD_DEADLOCK = "RuntimeError: RwLock would deadlock: this thread already holds it"
DROPPED = "_torvan::lock::{} is unsendable, but is being dropped on another thread"


def free(lock):  # True once another thread could take the write lock
    return run_in_thread(lambda: lock.write().__enter__().__exit__(None, None, None) is None)


def hold_elsewhere(lock, release, *kinds, hold=JOIN_TIMEOUT):
    """Guards of these kinds held at once, each on a thread, until `release` or `hold` s: (threads, kinds held)."""
    all_in, holding = threading.Barrier(len(kinds) + 1, timeout=JOIN_TIMEOUT), []

    def holder(kind):
        with getattr(lock, kind)():
            holding.append(kind)
            all_in.wait()  # broken unless the guards are held at once
            release.wait(hold)
            holding.remove(kind)

    threads = start_threads([lambda kind=kind: holder(kind) for kind in kinds])
    all_in.wait()
    return threads, holding


def assert_waits(lock, held, wanted):
    threads, holding = hold_elsewhere(lock, threading.Event(), *held, hold=0.2)
    try:
        with getattr(lock, wanted)():  # likely blocks for the 0.2 s held; the assertion holds either way
            assert holding == []  # entered only once every other guard was left
    finally:
        join_all(threads)


@pytest.mark.parametrize("kind", ["read", "write"])
class TestGuardProtocol:
    def test_enter_exit_reuse_and_misuse(self, kind):
        assert outcome_of(RwLock, 1) == "TypeError: RwLock.__new__() takes 0 positional arguments but 1 was given"
        lock = RwLock()
        guard = getattr(lock, kind)()
        assert free(lock)  # making a guard acquires nothing
        assert guard.__exit__(None, None, None) is None  # exit before enter: nothing happens
        for _ in range(2):  # reusable
            with guard as bound:
                assert bound is guard and outcome_of(guard.__enter__) == "RuntimeError: Lock guard already entered"
            assert guard.__exit__(None, None, None) is None  # a second exit changes nothing
            assert free(lock)  # held once, released once
        with pytest.raises(KeyError):
            with guard:
                raise KeyError("not suppressed")
        assert free(lock)
        for args in ((), (None,) * 4):
            with pytest.raises(TypeError, match="missing 3 required positional arguments|takes 3 positional"):
                guard.__exit__(*args)
        guard.__enter__()
        del guard, bound  # dropping an entered guard releases it and this thread's records
        assert free(lock)
        with lock.write():
            pass
        with getattr(RwLock(), kind)():  # the guard holds the only reference to its lock
            pass

    @pytest.mark.thread_unsafe(reason="replaces sys.unraisablehook for the whole process")
    def test_bound_to_its_thread(self, kind, unraisable):
        lock = RwLock()
        guard = getattr(lock, kind)()
        with pytest.raises(BaseException) as info:
            run_in_thread(guard.__enter__)
        assert type(info.value).__name__ == "PanicException"
        assert f"_torvan::lock::{type(guard).__name__} is unsendable, but sent to another thread" in str(info.value)
        del info  # its traceback holds this frame: the guard must go on its own thread
        guard.__enter__()
        assert "is unsendable" in outcome_of(run_in_thread, lambda: guard.__exit__(None, None, None))
        guard.__exit__(None, None, None)  # the foreign exit released nothing: this one does
        assert free(lock) and unraisable == []
        # A guard, entered or not, that outlives its thread is released where it is dropped.
        box = []
        run_in_thread(lambda: box.extend([getattr(lock, kind)().__enter__(), getattr(lock, kind)()]))
        box.clear()  # the last references, on a thread other than the owner
        assert [(type(r), str(r)) for r in unraisable] == [(RuntimeError, DROPPED.format(type(guard).__name__))] * 2
        assert free(lock)


@pytest.mark.parametrize("kind", ["read", "write"])
def test_a_guard_made_after_others_died_starts_afresh(kind):
    # A thread makes a guard from the last one it dropped: nothing of the dead one (its lock, its held access, its
    # entered state) may carry over.
    a, b = RwLock(), RwLock()
    for dropped_entered in (False, True):
        guard = getattr(a, kind)()
        guard.__enter__()
        if not dropped_entered:
            guard.__exit__(None, None, None)
        del guard  # released if still entered
        guard = getattr(b, kind)()
        with guard:  # not "already entered"
            with a.write():  # a is free
                pass
            assert outcome_of(b.write().__enter__) == WOULD_DEADLOCK  # b is what this thread holds
        del guard
        assert free(a) and free(b)


@pytest.mark.thread_unsafe(reason="replaces sys.unraisablehook for the whole process")
def test_threads_reuse_only_their_own_dead_guards(run_threads, unraisable):
    # Each thread makes its guards from its own dead ones, bound to it; the one a thread keeps when it ends is
    # let go of silently, wherever that happens.
    lock, rounds = RwLock(), scaled(2000)

    def churn():
        for _ in range(rounds):
            with lock.read():
                pass
            guard = lock.write()
            with guard:
                pass

    run_threads(churn, churn, churn)
    assert free(lock)  # any call drains what the ended threads let go of
    assert unraisable == []


@pytest.mark.parametrize("held, wanted", [("write", "read"), ("read", "write"), ("write", "write"),
                                          ("read read", "write")])
def test_a_guard_waits_for_other_threads_conflicting_guards(held, wanted):
    lock = RwLock()
    with lock.write():  # its release must not leave this thread recorded as the writer
        pass
    assert_waits(lock, held.split(), wanted)


@pytest.mark.parametrize("outer_lock", ["same", "other"])
def test_nested_read_passes_a_waiting_writer(outer_lock):
    # The read depth counts reads of all locks: a read of another lock passes a writer queued behind others' reads.
    lock, other, log, release = RwLock(), RwLock(), [], threading.Event()
    threads = hold_elsewhere(lock, release, "read")[0] if outer_lock == "other" else []

    def writer():
        with lock.write():
            log.append("writer")

    try:
        with (lock if outer_lock == "same" else other).read():
            threads += start_threads([writer])
            wait_until_sleeping(threads[-1])  # the writer has likely queued up
            with lock.read():  # would wait behind the writer without the exception
                log.append("nested read")
    finally:
        release.set()
        join_all(threads)
    assert log == ["nested read", "writer"]


def test_repr_shows_the_readers_and_the_writer():
    lock, release = RwLock(), threading.Event()
    assert re.fullmatch(r"<RwLock readers=0 writer=none at 0x[0-9a-f]+>", repr(lock))
    threads, _ = hold_elsewhere(lock, release, "read", "read")
    assert repr(lock).startswith("<RwLock readers=2 writer=none ")
    writer = start_threads([lambda: lock.write().__enter__().__exit__(None, None, None)])
    eventually(lambda: repr(lock).startswith("<RwLock readers=2 writer=waiting "), "the writer queues")
    release.set()
    join_all(threads + writer)
    with lock.write():
        assert repr(lock).startswith("<RwLock readers=0 writer=held ")


def test_self_deadlock_raises_and_acquires_nothing():
    locks = [RwLock() for _ in range(12)]  # more than a thread keeps on hand
    guards = [lock.read().__enter__() for lock in locks]
    assert {outcome_of(lock.write().__enter__) for lock in locks} == {WOULD_DEADLOCK}
    guards.clear()  # dropped entered guards release their reads
    assert all(free(lock) for lock in locks)
    lock, guards = locks[0], [locks[0].read(), locks[0].write()]
    with lock.write():
        for guard in guards:
            assert outcome_of(guard.__enter__) == WOULD_DEADLOCK
            assert guard.__exit__(None, None, None) is None  # nothing was acquired
    assert free(lock)
    for guard in guards:
        with guard:
            pass


@pytest.mark.thread_unsafe(reason="replaces sys.unraisablehook for the whole process")
def test_owner_reads_released_elsewhere_are_not_its_own(unraisable):
    # The owner cannot be told at once that another thread released its read: no false error from that record.
    lock, turns = RwLock(), threading.Barrier(2, timeout=JOIN_TIMEOUT)
    box = [lock.read().__enter__()]

    def dropper():
        guard = box[0]  # a reference of this thread's own, the last once the owner lets go
        turns.wait()
        turns.wait()
        del guard

    threads = start_threads([dropper])
    turns.wait()
    box.clear()
    turns.wait()
    join_all(threads)
    assert [str(r) for r in unraisable] == [DROPPED.format("RwLockReadGuard")]
    assert_waits(lock, ["read"], "write")  # another thread's read: waits, no false error from the stale record
    with lock.read():  # the owner's own reads still count
        assert outcome_of(lock.write().__enter__) == WOULD_DEADLOCK
