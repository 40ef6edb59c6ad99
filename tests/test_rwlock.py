"""RwLock and its guards: the guard protocol, exclusion between threads,
thread binding, self-deadlock detection and destruction of entered guards."""

import gc
import inspect
import sys
import threading
import time

import pytest

from conftest import JOIN_TIMEOUT, join_all, scaled, start_threads
from torvan._torvan import RwLock, RwLockReadGuard, RwLockWriteGuard

WOULD_DEADLOCK = "RwLock would deadlock: this thread already holds it"
# The only observable sign of a thread blocked inside __enter__ is that it has
# not come out yet; give it this long to get there. Assertions hold either
# way, the delay only makes the situation under test likely.
GRACE = 0.2


def exact(exc_info, message):
    assert str(exc_info.value) == message


def run_in_thread(fn):
    """Run fn on a fresh thread, joined with a timeout; return its result or re-raise."""
    result = {}

    def body():
        try:
            result["value"] = fn()
        except BaseException as exc:  # noqa: BLE001 - re-raised below
            result["error"] = exc

    join_all(start_threads([body]))
    if "error" in result:
        raise result["error"]
    return result.get("value")


def write_completes_elsewhere(lock):
    """True when another thread can take the write lock (the lock is free)."""
    def take():
        with lock.write():
            return True

    return run_in_thread(take)


class TestGuardProtocol:
    def test_constructor_and_guard_types(self):
        with pytest.raises(TypeError) as info:
            RwLock(1)
        exact(info, "RwLock.__new__() takes 0 positional arguments but 1 was given")
        with pytest.raises(TypeError):
            RwLock(x=1)
        lock = RwLock()
        assert type(lock.read()) is RwLockReadGuard
        assert type(lock.write()) is RwLockWriteGuard
        with pytest.raises(TypeError):
            lock.read(1)

    def test_with_binds_the_guard_itself(self):
        lock = RwLock()
        guard = lock.read()
        with guard as bound:
            assert bound is guard
        with lock.write() as bound:
            assert type(bound) is RwLockWriteGuard

    @pytest.mark.parametrize("kind", ["read", "write"])
    def test_exit_argument_errors(self, kind):
        guard = getattr(RwLock(), kind)()
        name = type(guard).__name__
        with pytest.raises(TypeError) as info:
            guard.__exit__()
        exact(info, f"{name}.__exit__() missing 3 required positional arguments: "
                    "'_exc_type', '_exc_value', and '_traceback'")
        with pytest.raises(TypeError) as info:
            guard.__exit__(None, None)
        exact(info, f"{name}.__exit__() missing 1 required positional argument: '_traceback'")
        with pytest.raises(TypeError) as info:
            guard.__exit__(None, None, None, None)
        exact(info, f"{name}.__exit__() takes 3 positional arguments but 4 were given")

    @pytest.mark.parametrize("kind", ["read", "write"])
    def test_exit_without_enter_is_a_no_op(self, kind):
        lock = RwLock()
        guard = getattr(lock, kind)()
        assert guard.__exit__(None, None, None) is None
        assert write_completes_elsewhere(lock)
        guard.__enter__()
        assert guard.__exit__(ValueError, ValueError("x"), None) is None
        assert guard.__exit__(None, None, None) is None  # a second exit changes nothing
        assert write_completes_elsewhere(lock)

    @pytest.mark.parametrize("kind", ["read", "write"])
    def test_entering_twice_raises_and_holds_once(self, kind):
        lock = RwLock()
        guard = getattr(lock, kind)()
        guard.__enter__()
        with pytest.raises(RuntimeError) as info:
            guard.__enter__()
        exact(info, "Lock guard already entered")
        guard.__exit__(None, None, None)
        # Held once, so one exit freed it: this thread may write again.
        with lock.write():
            pass

    @pytest.mark.parametrize("kind", ["read", "write"])
    def test_guard_is_reusable(self, kind):
        lock = RwLock()
        guard = getattr(lock, kind)()
        for _ in range(3):
            with guard:
                pass
            assert write_completes_elsewhere(lock)

    def test_exception_in_body_propagates_and_frees_the_lock(self):
        lock = RwLock()
        with pytest.raises(KeyError):
            with lock.write():
                raise KeyError("boom")
        with pytest.raises(KeyError):
            with lock.read():
                raise KeyError("boom")
        assert write_completes_elsewhere(lock)

    def test_making_a_guard_acquires_nothing(self):
        lock = RwLock()
        reader, writer = lock.read(), lock.write()
        assert write_completes_elsewhere(lock)
        del reader, writer

    def test_guards_outlive_their_lock_object(self):
        lock = RwLock()
        reader, writer = lock.read(), lock.write()
        del lock
        gc.collect()
        with writer:
            pass
        with reader:
            pass

    def test_docstrings_and_signatures(self):
        assert str(inspect.signature(RwLock)) == "()"
        assert RwLock.read.__doc__ == "Prepare a read lock guard. Acquisition occurs upon entering the context."
        assert RwLock.write.__doc__ == "Prepare a write lock guard. Acquisition occurs upon entering the context."
        assert RwLockReadGuard.__enter__.__doc__ == "Enter the read lock context."
        assert RwLockWriteGuard.__exit__.__doc__ == "Exit the write lock context, releasing the lock."
        assert str(inspect.signature(RwLockReadGuard.__exit__)) == "(self, /, _exc_type, _exc_value, _traceback)"
        assert RwLock.__doc__.splitlines()[1] == "Allows multiple concurrent readers or a single exclusive writer."
        assert RwLockReadGuard.__doc__.startswith(
            "A context-manager guard for holding shared read access of an RwLock.\n"
            "Since it keeps references to local FFI contexts, it is marked as `unsendable`.")


class TestExclusion:
    def test_readers_share_and_a_writer_waits_for_both(self):
        lock = RwLock()
        both_in = threading.Barrier(3, timeout=JOIN_TIMEOUT)
        release = threading.Event()
        log = []

        def reader():
            with lock.read():
                both_in.wait()  # breaks unless both readers hold the lock at once
                release.wait(JOIN_TIMEOUT)
                log.append("reader out")

        def writer():
            with lock.write():
                log.append("writer in")

        readers = start_threads([reader, reader])
        both_in.wait()
        writers = start_threads([writer])
        time.sleep(GRACE)
        assert log == []
        release.set()
        join_all(readers + writers)
        assert log == ["reader out", "reader out", "writer in"]

    def test_a_writer_keeps_readers_out(self):
        lock = RwLock()
        log = []
        started = threading.Event()

        def reader():
            started.set()
            with lock.read():
                log.append("reader in")

        with lock.write():
            threads = start_threads([reader])
            assert started.wait(JOIN_TIMEOUT)
            time.sleep(GRACE)
            log.append("writer out")
        join_all(threads)
        assert log == ["writer out", "reader in"]

    def test_nested_read_passes_a_waiting_writer(self):
        lock = RwLock()
        writer_started = threading.Event()
        log = []

        def writer():
            writer_started.set()
            with lock.write():
                log.append("writer")

        with lock.read():
            threads = start_threads([writer])
            assert writer_started.wait(JOIN_TIMEOUT)
            time.sleep(GRACE)  # let the writer queue up
            with lock.read():  # would wait forever behind the writer without the read-depth exception
                log.append("nested read")
        join_all(threads)
        assert log == ["nested read", "writer"]

    def test_read_depth_counts_reads_of_other_locks(self):
        # A thread reading one lock passes a waiting writer on another lock
        # that is held shared: the depth is over all locks.
        mine, shared = RwLock(), RwLock()
        holder_in, holder_release, writer_started = threading.Event(), threading.Event(), threading.Event()
        log = []

        def holder():
            with shared.read():
                holder_in.set()
                holder_release.wait(JOIN_TIMEOUT)

        def writer():
            writer_started.set()
            with shared.write():
                log.append("writer")

        threads = start_threads([holder])
        assert holder_in.wait(JOIN_TIMEOUT)
        threads += start_threads([writer])
        assert writer_started.wait(JOIN_TIMEOUT)
        time.sleep(GRACE)
        try:
            with mine.read():
                with shared.read():
                    log.append("reader")
        finally:
            holder_release.set()
            join_all(threads)
        assert log == ["reader", "writer"]

    def test_counters_stay_consistent_under_contention(self, run_threads):
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
    @pytest.mark.parametrize("inner", ["read", "write"])
    def test_inside_own_write(self, inner):
        lock = RwLock()
        with lock.write():
            guard = getattr(lock, inner)()
            with pytest.raises(RuntimeError) as info:
                guard.__enter__()
            exact(info, WOULD_DEADLOCK)
            # Nothing was acquired: the guard can be exited harmlessly.
            assert guard.__exit__(None, None, None) is None
        assert write_completes_elsewhere(lock)
        with guard:  # and entered normally once the lock is free
            pass

    def test_write_inside_own_read(self):
        lock = RwLock()
        with lock.read():
            with lock.read():
                with pytest.raises(RuntimeError) as info:
                    with lock.write():
                        pass
                exact(info, WOULD_DEADLOCK)
        assert write_completes_elsewhere(lock)

    def test_reads_of_another_thread_are_not_mistaken_for_own(self):
        lock = RwLock()
        inside, release = threading.Event(), threading.Event()

        def reader():
            with lock.read():
                inside.set()
                release.wait(JOIN_TIMEOUT)

        threads = start_threads([reader])
        assert inside.wait(JOIN_TIMEOUT)
        timer = threading.Timer(GRACE, release.set)
        timer.start()
        try:
            with lock.write():  # waits for the other reader instead of raising
                assert release.is_set()
        finally:
            release.set()
            timer.join(JOIN_TIMEOUT)
            join_all(threads)

    def test_many_locks_read_at_once(self):
        locks = [RwLock() for _ in range(12)]
        guards = [lock.read() for lock in locks]
        for guard in guards:
            guard.__enter__()
        for lock in locks:
            with pytest.raises(RuntimeError):
                lock.write().__enter__()
        for guard in reversed(guards):
            guard.__exit__(None, None, None)
        for lock in locks:
            with lock.write():
                pass


class TestThreadBinding:
    @pytest.mark.parametrize("kind,path", [("read", "_torvan::lock::RwLockReadGuard"),
                                           ("write", "_torvan::lock::RwLockWriteGuard")])
    def test_use_from_another_thread_panics(self, kind, path):
        lock = RwLock()
        guard = getattr(lock, kind)()

        def enter():
            guard.__enter__()

        with pytest.raises(BaseException) as info:
            run_in_thread(enter)
        assert type(info.value).__name__ == "PanicException"
        assert f"{path} is unsendable, but sent to another thread" in str(info.value)
        assert not isinstance(info.value, Exception)

        # Entered by its owner, a foreign exit panics too and releases nothing.
        guard.__enter__()
        with pytest.raises(BaseException) as info:
            run_in_thread(lambda: guard.__exit__(None, None, None))
        assert type(info.value).__name__ == "PanicException"
        guard.__exit__(None, None, None)
        assert write_completes_elsewhere(lock)


class TestDestruction:
    @pytest.mark.parametrize("kind", ["read", "write"])
    def test_dropping_an_entered_guard_on_its_thread_releases(self, kind):
        lock = RwLock()
        guard = getattr(lock, kind)()
        guard.__enter__()
        del guard
        assert write_completes_elsewhere(lock)
        with lock.write():  # this thread's bookkeeping was updated too
            pass

    @pytest.mark.parametrize("kind", ["read", "write"])
    def test_entered_guard_outliving_its_thread_is_released_where_dropped(self, kind, monkeypatch):
        lock = RwLock()
        box = []

        def owner():
            guard = getattr(lock, kind)()
            guard.__enter__()
            box.append(guard)

        run_in_thread(owner)
        reports = []
        monkeypatch.setattr(sys, "unraisablehook", lambda report: reports.append(report.exc_value))
        box.clear()  # the last reference, dropped on this thread
        gc.collect()
        assert len(reports) == 1
        name = "RwLockReadGuard" if kind == "read" else "RwLockWriteGuard"
        assert isinstance(reports[0], RuntimeError)
        assert str(reports[0]) == f"_torvan::lock::{name} is unsendable, but is being dropped on another thread"
        assert write_completes_elsewhere(lock)
        with lock.write():
            pass

    def test_owner_may_write_after_its_read_guard_was_dropped_elsewhere(self, monkeypatch):
        # The owner still runs but cannot learn of the release; its stale
        # record of the read must not turn into a false deadlock error.
        lock = RwLock()
        box = []
        taken, let_go, dropped = threading.Event(), threading.Event(), threading.Event()
        reports = []
        monkeypatch.setattr(sys, "unraisablehook", lambda report: reports.append(report.exc_value))

        def dropper():
            # A reference of this thread's own, so that once the owner lets go
            # of its references, the last one goes here.
            guard = box[0]
            taken.set()
            assert let_go.wait(JOIN_TIMEOUT)
            del guard
            dropped.set()

        guard = lock.read()
        guard.__enter__()
        box.append(guard)
        threads = start_threads([dropper])
        assert taken.wait(JOIN_TIMEOUT)
        box.clear()
        del guard
        let_go.set()
        assert dropped.wait(JOIN_TIMEOUT)
        join_all(threads)
        assert [str(r) for r in reports] == [
            "_torvan::lock::RwLockReadGuard is unsendable, but is being dropped on another thread"]

        # With another thread reading, the write must wait, not raise.
        other_in, other_release = threading.Event(), threading.Event()

        def other_reader():
            with lock.read():
                other_in.set()
                other_release.wait(JOIN_TIMEOUT)

        threads = start_threads([other_reader])
        assert other_in.wait(JOIN_TIMEOUT)
        timer = threading.Timer(GRACE, other_release.set)
        timer.start()
        try:
            with lock.write():
                assert other_release.is_set()
        finally:
            other_release.set()
            timer.join(JOIN_TIMEOUT)
            join_all(threads)
        with lock.read():  # and the owner's own reads still count
            with pytest.raises(RuntimeError):
                lock.write().__enter__()
