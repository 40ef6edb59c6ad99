"""RwLock and its guards: the guard protocol, exclusion between threads,
thread binding, self-deadlock detection and destruction of entered guards."""

import gc
import threading
import time

import pytest

from conftest import JOIN_TIMEOUT, join_all, run_in_thread, scaled, start_threads
from torvan._torvan import RwLock

WOULD_DEADLOCK = "RwLock would deadlock: this thread already holds it"
UNSENDABLE_DROP = "_torvan::lock::{} is unsendable, but is being dropped on another thread"
# A thread blocked inside __enter__ gives no sign but not coming out; this
# long makes it likely that it got there. Assertions hold either way.
GRACE = 0.2


def free(lock):
    """True once another thread could take the write lock."""
    def take():
        with lock.write():
            return True

    return run_in_thread(take)


def hold_elsewhere(lock, kind):
    """Enters a guard on a helper thread and holds it until the returned event
    is set; also returns a function that sets it and joins the helper."""
    inside, release = threading.Event(), threading.Event()

    def holder():
        with getattr(lock, kind)():
            inside.set()
            release.wait(JOIN_TIMEOUT)

    threads = start_threads([holder])
    assert inside.wait(JOIN_TIMEOUT)

    def finish():
        release.set()
        join_all(threads)

    return release, finish


def assert_waits_for_other_thread(lock, held, wanted):
    """A `wanted` guard on this thread waits until another thread has left its
    `held` guard (after GRACE)."""
    release, finish = hold_elsewhere(lock, held)
    timer = threading.Timer(GRACE, release.set)
    timer.start()
    try:
        with getattr(lock, wanted)():
            assert release.is_set()
    finally:
        finish()
        timer.join(JOIN_TIMEOUT)


@pytest.mark.parametrize("kind", ["read", "write"])
class TestGuardProtocol:
    def test_enter_exit_reuse_and_misuse(self, kind):
        lock = RwLock()
        guard = getattr(lock, kind)()
        assert free(lock)  # making a guard acquires nothing
        assert guard.__exit__(None, None, None) is None  # exit before enter: nothing happens
        for _ in range(2):  # reusable
            with guard as bound:
                assert bound is guard
                with pytest.raises(RuntimeError, match="^Lock guard already entered$"):
                    guard.__enter__()
            assert guard.__exit__(None, None, None) is None  # a second exit changes nothing
            assert free(lock)  # held once, released once
        with pytest.raises(KeyError):
            with guard:
                raise KeyError("not suppressed")
        assert free(lock)

    def test_argument_errors(self, kind):
        with pytest.raises(TypeError, match=r"^RwLock.__new__\(\) takes 0 positional arguments but 1 was given$"):
            RwLock(1)
        guard = getattr(RwLock(), kind)()
        for args in ((), (None,) * 4):
            with pytest.raises(TypeError, match="missing 3 required positional arguments|takes 3 positional"):
                guard.__exit__(*args)
        with pytest.raises(TypeError):
            getattr(RwLock(), kind)(1)

    @pytest.mark.thread_unsafe(reason="gc.collect() returns at once while another thread collects")
    def test_guard_outlives_its_lock_object(self, kind):
        lock = RwLock()
        guard = getattr(lock, kind)()
        del lock
        gc.collect()
        with guard:
            pass

    def test_use_from_another_thread_panics(self, kind):
        lock = RwLock()
        guard = getattr(lock, kind)()
        path = f"_torvan::lock::{type(guard).__name__}"
        with pytest.raises(BaseException) as info:
            run_in_thread(guard.__enter__)
        assert type(info.value).__name__ == "PanicException"
        assert f"{path} is unsendable, but sent to another thread" in str(info.value)
        del info  # its traceback holds this frame: the guard must go on its own thread
        guard.__enter__()
        with pytest.raises(BaseException, match="is unsendable"):
            run_in_thread(lambda: guard.__exit__(None, None, None))
        guard.__exit__(None, None, None)  # the foreign exit released nothing: this one does
        assert free(lock)

    def test_inside_own_write_raises_instead_of_waiting(self, kind):
        lock = RwLock()
        guard = getattr(lock, kind)()
        with lock.write():
            with pytest.raises(RuntimeError) as info:
                guard.__enter__()
            assert str(info.value) == WOULD_DEADLOCK
            del info  # its traceback holds this frame: the guard must go on its own thread
            assert guard.__exit__(None, None, None) is None  # nothing was acquired
        assert free(lock)
        with guard:
            pass

    def test_dropping_an_entered_guard_releases(self, kind):
        lock = RwLock()
        guard = getattr(lock, kind)()
        guard.__enter__()
        del guard
        assert free(lock)
        with lock.write():  # this thread's own records were updated too
            pass

    @pytest.mark.thread_unsafe(reason="replaces sys.unraisablehook for the whole process")
    @pytest.mark.parametrize("entered", [True, False])
    def test_guard_outliving_its_thread_is_released_where_dropped(self, kind, entered, unraisable):
        lock = RwLock()
        box = []
        run_in_thread(lambda: box.append(getattr(lock, kind)().__enter__() if entered else getattr(lock, kind)()))
        box.clear()  # the last reference, on a thread other than the owner
        name = "RwLockReadGuard" if kind == "read" else "RwLockWriteGuard"
        assert [(type(r), str(r)) for r in unraisable] == [(RuntimeError, UNSENDABLE_DROP.format(name))]
        assert free(lock)


class TestExclusion:
    def test_readers_share_and_a_writer_waits_for_both(self):
        lock = RwLock()
        both_in = threading.Barrier(3, timeout=JOIN_TIMEOUT)
        release = threading.Event()
        log = []

        def reader():
            with lock.read():
                both_in.wait()  # broken unless both readers hold the lock at once
                release.wait(JOIN_TIMEOUT)
                log.append("reader out")

        def writer():
            with lock.write():
                log.append("writer in")

        threads = start_threads([reader, reader])
        both_in.wait()
        threads += start_threads([writer])
        time.sleep(GRACE)
        release.set()
        join_all(threads)
        assert log == ["reader out", "reader out", "writer in"]

    @pytest.mark.parametrize("held, wanted", [("write", "read"), ("read", "write"), ("write", "write")])
    def test_a_guard_waits_for_another_threads_conflicting_guard(self, held, wanted):
        assert_waits_for_other_thread(RwLock(), held, wanted)

    @pytest.mark.parametrize("outer_lock", ["same", "other"])
    def test_nested_read_passes_a_waiting_writer(self, outer_lock):
        # The read depth counts reads of all locks: a read of another lock lets
        # this thread pass a writer queued on a lock that others read.
        lock, other = RwLock(), RwLock()
        log = []
        writer_started = threading.Event()
        release, finish = hold_elsewhere(lock, "read") if outer_lock == "other" else (None, lambda: None)

        def writer():
            writer_started.set()
            with lock.write():
                log.append("writer")

        try:
            with (lock if outer_lock == "same" else other).read():
                threads = start_threads([writer])
                assert writer_started.wait(JOIN_TIMEOUT)
                time.sleep(GRACE)  # let the writer queue up
                with lock.read():  # would wait behind the writer without the exception
                    log.append("nested read")
        finally:
            finish()
        join_all(threads)
        assert log == ["nested read", "writer"]

    def test_pairs_stay_consistent_under_contention(self, run_threads):
        lock = RwLock()
        pair = [0, 0]
        rounds = scaled(3000)
        torn = []

        def writer():
            for _ in range(rounds):
                with lock.write():
                    pair[0] += 1
                    pair[1] += 1

        def reader():
            for _ in range(rounds):
                with lock.read():
                    if pair[0] != pair[1]:
                        torn.append(tuple(pair))

        run_threads(writer, writer, reader, reader)
        assert torn == []
        assert pair == [2 * rounds, 2 * rounds]


class TestSelfDeadlock:
    def test_write_inside_own_reads_of_many_locks(self):
        locks = [RwLock() for _ in range(12)]  # more than a thread keeps on hand
        guards = [lock.read() for lock in locks]
        for guard in guards:
            guard.__enter__()
        with locks[0].read():  # nested reads are fine
            pass
        for lock in locks:
            with pytest.raises(RuntimeError, match=f"^{WOULD_DEADLOCK}$"):
                with lock.write():
                    pass
        for guard in reversed(guards):
            guard.__exit__(None, None, None)
        for lock in locks:
            assert free(lock)

    @pytest.mark.thread_unsafe(reason="replaces sys.unraisablehook for the whole process")
    def test_owner_reads_released_elsewhere_are_not_its_own(self, unraisable):
        # The owner still runs but cannot be told at once that another thread
        # released its read: that stale record must not raise a false error.
        lock = RwLock()
        box = []
        taken, let_go = threading.Event(), threading.Event()

        def dropper():
            guard = box[0]  # a reference of this thread's own, the last once the owner lets go
            taken.set()
            assert let_go.wait(JOIN_TIMEOUT)
            del guard

        box.append(lock.read().__enter__())
        threads = start_threads([dropper])
        assert taken.wait(JOIN_TIMEOUT)
        box.clear()
        let_go.set()
        join_all(threads)
        assert [str(r) for r in unraisable] == [UNSENDABLE_DROP.format("RwLockReadGuard")]
        assert_waits_for_other_thread(lock, "read", "write")  # waits, does not raise
        with lock.read():  # the owner's own reads still count
            with pytest.raises(RuntimeError, match=f"^{WOULD_DEADLOCK}$"):
                lock.write().__enter__()
