"""Leak checks: every public operation repeated keeps memory flat, and the
references the module takes (items, keys, values, callables, arguments) come
back to their baseline on success and on every failure path.

Memory is measured three ways over a batch that follows a warm-up batch of the
same size (so that free lists, allocator pools and caches have settled): what
the Python allocators still hold (tracemalloc), the resident set
(/proc/self/statm) and the bytes in use on the C heap (glibc's mallinfo2,
exact where the resident set moves in whole pages). The native measures are
skipped under sanitizers, whose allocator replaces both."""

from __future__ import annotations

import array
import asyncio
import ctypes
import ctypes.util
import gc
import itertools
import os
import sys
import threading
import time
import tracemalloc
import weakref
from dataclasses import dataclass

import pytest

from conftest import (JOIN_TIMEOUT, SANITIZED, Boom, Key, RaisingHash, RaisingKey, Token, eventually, join_all,
                      os_thread_count, outcome_of, pool_making_futures, refcounts, run_in_thread, scaled, start_threads)
from torvan import AtomicBoolean, AtomicInteger, Channel, ConcurrentMap, RecvOp, RwLock, SendOp, ThreadPool, select

# Global measures (memory, reference counts) see every thread's work.
pytestmark = pytest.mark.thread_unsafe

REPEAT = scaled(100_000)
# Fewer calls where each call is slow: groups that raise 10 to 30 exceptions
# per call, calls that wait for another thread, calls that start threads. The
# limits below are per call, so they still catch 16 bytes per call.
REPEAT_FAILURES = scaled(10_000)
REPEAT_CROSS_THREAD = scaled(10_000)
REPEAT_THREADS = scaled(1_500)
TIMEOUT = JOIN_TIMEOUT

# A leak of 16 bytes (or one small object) per call must fail: the limits
# allow 4 bytes per call, and never less than a floor above the noise of
# one-off allocations (a dict resize, a new allocator page).
BYTES_PER_CALL = 4
TRACED_FLOOR = 64 * 1024
C_HEAP_FLOOR = 16 * 1024
RSS_LIMIT = 1 << 20  # pages: 16 bytes per call are 1.6 MB over 100k calls


# Measuring -------------------------------------------------------------------


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def _c_heap_probe():
    if SANITIZED or not sys.platform.startswith("linux"):
        return None
    libc = ctypes.CDLL(ctypes.util.find_library("c"))
    mallinfo2 = getattr(libc, "mallinfo2", None)
    if mallinfo2 is None:
        return None
    mallinfo2.restype = MallInfo2

    def in_use():
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    return in_use


c_heap_in_use = _c_heap_probe()


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def settle(threads: int | None = None) -> None:
    """Waits (briefly) until only `threads` OS threads are left, so native
    threads still winding down (a pool's joiner, workers of a dropped pool)
    have freed what they hold, then frees cycles and merges reference counts
    that other threads dropped."""
    if threads is not None:
        deadline = time.monotonic() + 10
        while os_thread_count() > threads and time.monotonic() < deadline:
            time.sleep(0.001)
    gc.collect()
    gc.collect()


@dataclass
class Growth:
    calls: int
    traced: int
    rss: int | None
    c_heap: int | None

    def traced_limit(self) -> int:
        return max(TRACED_FLOOR, BYTES_PER_CALL * self.calls)

    def c_heap_limit(self) -> int:
        return max(C_HEAP_FLOOR, BYTES_PER_CALL * self.calls)

    def problems(self) -> list[str]:
        found = []
        if self.traced > self.traced_limit():
            found.append(f"Python allocations grew by {self.traced} bytes")
        if self.c_heap is not None and self.c_heap > self.c_heap_limit():
            found.append(f"the C heap grew by {self.c_heap} bytes")
        # The resident set moves with allocator pages that other threads keep
        # or release; it is the judge only where the C heap cannot be read.
        if self.c_heap is None and self.rss is not None and self.rss > RSS_LIMIT:
            found.append(f"the resident set grew by {self.rss} bytes")
        return found


def measure(batch, calls: int, starts_threads: bool = False) -> Growth:
    """`batch(calls)` runs the operation `calls` times: once to warm up, once
    measured natively and twice traced. Threads that come and go leave stacks
    and allocator arenas resident, so the resident set is not compared for
    batches that start them (the C heap still is)."""
    threads = os_thread_count() if starts_threads else None
    batch(calls)
    settle(threads)
    native = not SANITIZED and not starts_threads
    rss_before = rss_bytes() if native else 0
    heap_before = c_heap_in_use() if c_heap_in_use else 0
    batch(calls)
    settle(threads)
    rss = rss_bytes() - rss_before if native else None
    c_heap = c_heap_in_use() - heap_before if c_heap_in_use else None
    tracemalloc.start()
    try:
        batch(calls)
        settle(threads)
        traced = tracemalloc.get_traced_memory()[0]
        # The interpreter frees some memory late (deferred frees, objects last
        # dropped by threads that are gone), leaving a varying residue after
        # any batch; a second traced batch measures only what every batch adds.
        batch(calls)
        settle(threads)
        traced = tracemalloc.get_traced_memory()[0] - traced
    finally:
        tracemalloc.stop()
    return Growth(calls, traced, rss, c_heap)


def repeat(op):
    def batch(calls):
        for _ in range(calls):
            op()

    return batch


def raises(exc_type, fn, *args, **kwargs):
    """An operation that must fail with exc_type (matched by name for
    PanicException, which the module does not export)."""

    def op():
        try:
            fn(*args, **kwargs)
        except BaseException as exc:  # noqa: BLE001 - checked below
            expected = type(exc).__name__ == exc_type if isinstance(exc_type, str) else isinstance(exc, exc_type)
            if not expected:
                raise
            return
        raise AssertionError(f"{fn!r} did not raise {exc_type}")

    return op


def sequence(*ops):
    def op():
        for each in ops:
            each()

    return op


# The operations, grouped: each group calls every method it names once per
# call, so a leak in any of them shows as a leak of the group.

GROUPS = {}


def group(name, calls=REPEAT, starts_threads=False):
    def register(factory):
        GROUPS[name] = (factory, calls, starts_threads)
        return factory

    return register


class RaisingTruth:
    def __bool__(self):
        raise Boom("bool")


class KeyWithRaisingTruth(Key):
    __hash__ = Key.__hash__

    def __eq__(self, other):
        return RaisingTruth()


@group("AtomicInteger: construction and every method")
def atomic_integer_methods():
    a = AtomicInteger(3)
    return repeat(sequence(
        lambda: AtomicInteger(), lambda: AtomicInteger(-7),
        a.get, lambda: a.get("acquire"), lambda: a.set(5, "release"), lambda: a.fetch_add(2, "relaxed"),
        lambda: a.add_and_get(3), lambda: a.fetch_sub(1, ordering="acq_rel"), lambda: a.sub_and_get(1),
        a.increment, a.decrement, lambda: a.get_and_set(2**62), lambda: a.compare_and_set(2**62, 1, "seq_cst"),
        lambda: a.fetch_add_relaxed(1), lambda: a.add_and_get_relaxed(1), lambda: a.fetch_sub_relaxed(1),
        lambda: a.sub_and_get_relaxed(1), a.increment_relaxed, a.decrement_relaxed, lambda: repr(a),
        lambda: str(a)))


@group("AtomicInteger: every failure", calls=REPEAT_FAILURES)
def atomic_integer_failures():
    a = AtomicInteger()
    return repeat(sequence(
        raises(ValueError, a.get, "RELAXED"), raises("PanicException", a.get, "release"),
        raises("PanicException", a.set, 1, "acquire"), raises(TypeError, a.fetch_add, "x"),
        raises(OverflowError, AtomicInteger, 2**63), raises(TypeError, a.get, 1, 2),
        raises(TypeError, a.get, foo=1), raises(TypeError, a.compare_and_set)))


@group("AtomicBoolean: construction, every method and failure", calls=REPEAT_FAILURES)
def atomic_boolean():
    b = AtomicBoolean()
    return repeat(sequence(
        lambda: AtomicBoolean(True), b.get, lambda: b.get("Acquire"), lambda: b.set(True, "release"),
        lambda: b.get_and_set(False), lambda: b.compare_and_set(False, True, "acq_rel"), lambda: repr(b),
        lambda: str(b), raises(TypeError, AtomicBoolean, 1), raises(ValueError, b.set, True, "bogus"),
        raises("PanicException", b.set, True, "acq_rel")))


@group("ConcurrentMap: construction, lookups and counts")
def map_lookups():
    m = ConcurrentMap(4)
    m.set("present", 1)
    return repeat(sequence(
        lambda: ConcurrentMap(), lambda: ConcurrentMap(shard_count=3), lambda: m.shard_count,
        lambda: m.get("present"), lambda: m.get("absent"), lambda: m.get_val("present"),
        lambda: m.get_val("absent"), lambda: m.contains_key("present"), lambda: m.len(), lambda: len(m),
        lambda: ConcurrentMap[str, int]))


@group("ConcurrentMap: mutations on fresh keys and by identity")
def map_mutations():
    m = ConcurrentMap(4)
    value = object()

    def op():
        key = ("k", object())  # a new key object each time
        m.set(key, value)
        m.set(key, 2)  # replaced by identity
        m.set(("k", key[1]), 3)  # replaced through an equal key
        m.get_or_insert(key, 4)
        m.pop_val(key)
        m.get_or_insert(key, value)
        m.delete(key)
        m.delete(key)

    return repeat(op)


@group("ConcurrentMap: comparison passes over a long colliding bucket", calls=REPEAT // 4)
def map_comparison_passes():
    m = ConcurrentMap(2)
    for i in range(12):
        m.set(Key(f"stored{i}"), i)
    present = Key("stored11")

    def op():
        probe = Key("probe")
        m.get(present), m.get_val(probe), m.contains_key(Key("stored5"))
        m.set(probe, 1)
        m.set(Key("probe"), 2)
        m.get_or_insert(Key("probe"), 3)
        m.pop_val(Key("probe"))
        m.get_or_insert(probe, 4)
        m.delete(Key("probe"))

    return repeat(op)


@group("ConcurrentMap: listings and clear", calls=REPEAT // 10)
def map_listings():
    m = ConcurrentMap()
    for i in range(40):
        m.set(i, str(i))

    def op():
        m.keys(), m.values(), m.items()
        scratch = ConcurrentMap(2)
        for i in range(5):
            scratch.set(i, i)
        scratch.clear()

    return repeat(op)


@group("ConcurrentMap: failing __hash__, __eq__ and truth tests", calls=REPEAT_FAILURES)
def map_failures():
    m = ConcurrentMap(1)
    m.set(RaisingKey("r"), 2)
    t = ConcurrentMap(1)
    t.set(KeyWithRaisingTruth("t"), 3)
    ops = []
    for name in ("get", "get_val", "contains_key", "delete", "pop_val"):
        ops.append(raises(Boom, getattr(m, name), RaisingHash()))
        ops.append(raises(Boom, getattr(m, name), Key("probe")))
        ops.append(raises(Boom, getattr(t, name), Key("probe")))
    for name in ("set", "get_or_insert"):
        ops.append(raises(Boom, getattr(m, name), RaisingHash(), 0))
        ops.append(raises(Boom, getattr(m, name), Key("probe"), 0))
        ops.append(raises(Boom, getattr(t, name), Key("probe"), 0))
    ops += [raises(TypeError, m.get, []), raises(ValueError, ConcurrentMap, 0), raises(TypeError, m.set, 1)]
    return repeat(sequence(*ops))


@group("Channel: construction of each flavour, dropped with items inside, close, iteration, `with`")
def channel_construction():
    def op():
        Channel(), Channel(0), Channel(capacity=4).capacity, Channel[int](), RecvOp[int], SendOp[int]
        bounded = Channel(2)
        bounded.send(1)
        bounded.close()
        with Channel() as ch:
            for i in range(3):
                ch.send(i)
        for _ in ch:
            pass
        ch.close()
        full = Channel()
        full.send(1)

    return repeat(op)


@group("Channel: send, recv and their timed and non-blocking forms")
def channel_send_recv():
    unbounded, bounded = Channel(), Channel(8)

    def op():
        for ch in (unbounded, bounded):
            ch.send(1)
            ch.send(2, timeout=1.0)
            ch.send_timeout(3, 1)
            ch.try_send(4)
            ch.recv(), ch.recv(timeout=1.0), ch.recv_timeout(1.5), ch.try_recv()

    return repeat(op)


@group("Channel: every failure of send and recv", calls=REPEAT_FAILURES)
def channel_failures():
    empty, full, rendezvous, closed = Channel(), Channel(1), Channel(0), Channel(1)
    full.send(0)
    closed.send(0)
    closed.close()
    for_closed = Channel()
    for_closed.close()
    item = object()
    return repeat(sequence(
        raises(RuntimeError, empty.try_recv), raises(TimeoutError, empty.recv, 0),
        raises(TimeoutError, empty.recv_timeout, 0), raises(RuntimeError, full.try_send, item),
        raises(TimeoutError, full.send, item, 0), raises(TimeoutError, full.send_timeout, item, 0),
        raises(RuntimeError, rendezvous.try_send, item), raises(TimeoutError, rendezvous.send, item, 0),
        raises(ValueError, closed.send, item), raises(ValueError, closed.try_send, item),
        raises(ValueError, closed.send_op, item), raises(ValueError, for_closed.recv),
        raises(ValueError, for_closed.try_recv), raises(ValueError, empty.recv, -1),
        raises("PanicException", empty.recv, float("nan")), raises(TypeError, empty.send, item, "1"),
        raises(ValueError, Channel, -1)))


@group("Channel: blocking waits answered by another thread", calls=REPEAT_CROSS_THREAD)
def channel_blocking():
    ping, pong, rendezvous = Channel(1), Channel(), Channel(0)

    def run(calls):
        def partner():
            for _ in range(calls):
                pong.send(ping.recv())
                rendezvous.send(rendezvous.recv(timeout=TIMEOUT))

        threads = start_threads([partner])
        for i in range(calls):
            ping.send(i)
            pong.recv(timeout=TIMEOUT)
            rendezvous.send(i, timeout=TIMEOUT)
            rendezvous.recv()
        join_all(threads)

    return run


@group("select: RecvOp and SendOp objects and every outcome", calls=REPEAT_FAILURES)
def select_outcomes():
    ready, idle, full, closed = Channel(), Channel(), Channel(1), Channel()
    full.send(0)
    closed.close()
    item = object()
    idle_op, full_op, closed_op = idle.recv_op(), full.send_op(item), closed.recv_op()

    def op():
        assert idle and full and closed  # alive: a dropped Channel closes its operations
        ready.send(item)
        select([idle_op, ready.recv_op(), full_op])
        select((ready.send_op(item), idle_op), timeout=1.0)
        ready.recv()
        raises(TimeoutError, select, [idle_op, full_op], 0)()
        raises(ValueError, select, [closed_op])()
        raises(ValueError, select, [])()
        raises(TypeError, select, [idle_op, item])()
        raises(TypeError, select, "ab")()

    return repeat(op)


@group("select: blocking waits answered by another thread", calls=REPEAT_CROSS_THREAD)
def select_blocking():
    requests, replies, idle = Channel(0), Channel(0), Channel()

    def run(calls):
        def partner():
            for _ in range(calls):
                select([requests.recv_op(), idle.recv_op()], timeout=TIMEOUT)
                select([replies.send_op("reply"), idle.recv_op()])

        threads = start_threads([partner])
        for i in range(calls):
            select([requests.send_op(i), idle.recv_op()])
            replies.recv(timeout=TIMEOUT)
        join_all(threads)

    return run


@group("RwLock: construction, guards, nesting and misuse", calls=REPEAT // 4)
def rwlock_guards():
    lock = RwLock()

    def op():
        RwLock()
        with lock.read():
            with lock.read():
                pass
            raises(RuntimeError, lock.write().__enter__)()
        with lock.write() as guard:
            raises(RuntimeError, guard.__enter__)()
        lock.read(), lock.write()
        guard.__exit__(None, None, None)

    return repeat(op)


@group("RwLock: waits for another thread's guard", calls=REPEAT_CROSS_THREAD)
def rwlock_waits():
    lock = RwLock()
    turn = [Channel(0), Channel(0)]

    def run(calls):
        # The partner tells this thread when it holds the lock and lets it go
        # at once, so that this thread usually finds it held and waits
        # (detached) to be woken.
        def partner():
            for _ in range(calls):
                with lock.write():
                    turn[0].send(None)
                turn[1].recv(timeout=TIMEOUT)

        threads = start_threads([partner])
        for i in range(calls):
            turn[0].recv(timeout=TIMEOUT)
            with (lock.read() if i % 2 else lock.write()):
                pass
            turn[1].send(None)
        join_all(threads)

    return run


def _noop(*args, **kwargs):
    return args


def _failing(*args, **kwargs):
    raise Boom("task")


@group("ThreadPool: submit with and without arguments, tasks that raise", calls=REPEAT_FAILURES)
def pool_submit():
    pool = ThreadPool(1)

    def run(calls):
        for i in range(calls):
            pool.submit(_noop)
            pool.submit(_noop, 1, "two", three=3)
            last = pool.submit(func=_failing)
            mapped = pool.map(_noop, (1, 2), "ab", timeout=TIMEOUT)
            if i % 256 == 255:
                last.exception(TIMEOUT)  # one worker: everything before it has run too
                assert list(mapped) == [(1, "a"), (2, "b")]
            # Otherwise dropped unread; its calls run all the same.
        last.exception(TIMEOUT)

    return run


@group("ThreadPool: submit and shutdown refused", calls=REPEAT_FAILURES)
def pool_refusals():
    closed = ThreadPool(1)
    closed.shutdown()
    return repeat(sequence(
        raises(RuntimeError, closed.submit, _noop, 1, x=2), closed.shutdown,
        lambda: closed.shutdown(wait=False, cancel_futures=True), raises(TypeError, closed.shutdown, 1),
        raises(TypeError, closed.submit), raises(RuntimeError, closed.map, _noop, (1,)),
        raises(TypeError, closed.map, _noop, (1,), wait=1), raises(RuntimeError, closed.map, _noop),
        lambda: closed.__exit__(None, None, None)))


@group("ThreadPool: construction, shutdown and drop", calls=REPEAT_THREADS, starts_threads=True)
def pool_lifecycle():
    ends = itertools.cycle([
        lambda p: None,  # dropped at once: waits for its task
        lambda p: p.shutdown(wait=True),
        lambda p: p.shutdown(wait=False, cancel_futures=True),
        lambda p: p.__exit__(None, None, None),
    ])

    def op():
        pool = ThreadPool(num_workers=1)
        pool.submit(_noop, 1)
        next(ends)(pool)

    return repeat(op)


# Half the usual count: each call waits on the event loop eight times, and 16
# bytes per call still exceed the floor.
@group("Channel: asyncio awaits, waits, hand-overs, cancellations and timeouts", calls=REPEAT_FAILURES // 2)
def channel_asyncio():
    buffered, rendezvous = Channel(1), Channel(0)

    async def cancelled(awaitable):
        task = asyncio.ensure_future(awaitable)
        await asyncio.sleep(0)
        task.cancel()
        try:
            await task
        except asyncio.CancelledError:
            pass

    def run(calls):
        async def main():
            for i in range(calls):
                await buffered.asend(i)
                waiting = asyncio.ensure_future(buffered.asend(i))
                await asyncio.sleep(0)
                await buffered.arecv()
                await waiting
                async for _ in buffered:
                    break
                receiving = asyncio.ensure_future(rendezvous.arecv(timeout=TIMEOUT))
                await asyncio.sleep(0)
                await rendezvous.asend(i)
                await receiving
                await cancelled(rendezvous.arecv())
                await cancelled(rendezvous.asend(i))
                try:
                    await buffered.arecv(timeout=1e-6)
                except TimeoutError:
                    pass

        asyncio.run(main())

    return run


@pytest.mark.parametrize("name", GROUPS)
def test_memory_stays_flat(name):
    factory, calls, starts_threads = GROUPS[name]
    growth = measure(factory(), calls, starts_threads)
    assert not growth.problems(), f"{name}, {calls} calls: {growth}"


class TestTheMeasureCatchesSmallLeaks:
    """The limits above are only worth something if a leak of 16 bytes or one
    small object per call breaks them."""

    @pytest.mark.skipif(c_heap_in_use is None, reason="needs glibc's heap statistics")
    def test_sixteen_native_bytes_per_call(self):
        libc = ctypes.CDLL(ctypes.util.find_library("c"))
        libc.malloc.restype = ctypes.c_void_p
        # Addresses kept in a preallocated array, so no Python object grows.
        leaked = array.array("Q", [0]) * (4 * REPEAT)
        slots = itertools.count()

        def leak():
            leaked[next(slots)] = libc.malloc(16)

        growth = measure(repeat(leak), REPEAT)
        for address in leaked:
            libc.free(ctypes.c_void_p(address))
        assert growth.c_heap > growth.c_heap_limit() and growth.rss > RSS_LIMIT, growth
        assert "the C heap grew" in " ".join(growth.problems()), growth

    def test_one_small_python_object_per_call(self):
        kept = []
        growth = measure(repeat(lambda: kept.append(object())), REPEAT)
        assert growth.traced > growth.traced_limit(), growth


# References ---------------------------------------------------------------------


def released(obj) -> weakref.finalize:
    return weakref.finalize(obj, lambda: None)


class Callable(Token):
    def __init__(self, body):
        self.body = body

    def __call__(self, *args, **kwargs):
        return self.body(*args, **kwargs)


# Failure paths: each case makes (calls, watched objects, a check of what is
# left); every call must fail with the outcome given (or with anything, for
# None), and afterwards every watched object has its references back.


def map_failing_hash():
    m, key, value = ConcurrentMap(), RaisingHash(), Token()
    calls = [(m.set, (key, value), "Boom: hash"), (m.get_or_insert, (key, value), "Boom: hash")]
    return calls, [key, value], lambda: len(m) == 0


def channel_full_and_closed():
    full, rendezvous, item = Channel(1), Channel(0), Token()
    full.send(0)

    async def send_to_closed():
        await full.asend(item, 1.0)

    op = rendezvous.send_op(item)
    calls = [(full.try_send, (item,), "RuntimeError: Channel is full"), (full.send, (item, 0.01), "TimeoutError"),
             (full.send, (item, -1), "ValueError"), (rendezvous.try_send, (item,), "RuntimeError"),
             (rendezvous.send, (item, 0), "TimeoutError"), (rendezvous.send_timeout, (item, 0.01), "TimeoutError"),
             (select, ([op], 0.01), "TimeoutError"), (full.close, (), "returned"),
             (full.send, (item,), "ValueError"), (full.try_send, (item,), "ValueError"),
             (full.send_op, (item,), "ValueError"), (lambda: asyncio.run(send_to_closed()), (), "ValueError: Channel is closed")]
    return calls, [item], lambda: full.recv() == 0 and op


def channel_receiver_gone(capacity):
    # A SendOp keeps a sender; with the Channel and its receiver gone the
    # engine reports the channel disconnected, and the buffered items went
    # with the last receiver.
    ch = Channel(capacity)
    item, buffered = Token(), Token()
    if capacity != 0:
        ch.send(buffered)
    gone = weakref.finalize(buffered, lambda: None)
    op = ch.send_op(item)
    del ch, buffered
    return [(select, ([op],), "ValueError: Selected channel is closed")], [item], lambda: not gone.alive


def channel_failed_receives():
    rendezvous, bounded, item = Channel(0), Channel(2), Token()
    bounded.send(item)
    calls = [(rendezvous.try_recv, (), "RuntimeError"), (rendezvous.recv, (0,), "TimeoutError"),
             (rendezvous.recv, (0.01,), "TimeoutError"), (select, ([rendezvous.recv_op()], 0), "TimeoutError"),
             (bounded.close, (), "returned")]
    return calls, [item], lambda: bounded.recv() is item


def failing_conversions():
    class NotSeconds:
        def __float__(self):
            raise Boom("seconds")

    ch = Channel()
    item, op, send = Token(), ch.recv_op(), Channel(1).send_op(Token())
    calls = [(ch.send, (item, "1"), None), (ch.send, (item, NotSeconds()), None), (ch.send_timeout, (item, None), None),
             (ch.send, (item, float("nan")), None), (ch.asend, (item, "1"), None), (select, ([op, op], "1"), None),
             (select, ([op], NotSeconds()), None), (select, ([op], float("inf")), None),
             (select, ([send, send, "not an op"],), "TypeError")]
    return calls, [item, op, send], lambda: ch.try_send("x") is None and ch.recv() == "x"


def select_unsent_items():
    full, ready, item = Channel(1), Channel(), Token()
    full.send(0)
    op = full.send_op(item)
    ready.send("r")
    calls = [(select, ([op, ready.recv_op()],), "returned"), (select, ([op], 0), "TimeoutError"),
             (full.close, (), "returned"), (select, ([op],), "ValueError: Selected channel is closed")]
    return calls, [item], lambda: full.recv() == 0


def pool_refusals(monkeypatch):
    import concurrent.futures

    func, arg, kwarg = Token(), Token(), Token()
    closed = ThreadPool(1)
    closed.shutdown()

    class Refused(concurrent.futures.Future):
        def __init__(self):
            raise Boom("no future")

    refusing = pool_making_futures(monkeypatch, Refused)
    calls = [(closed.submit, (func, arg), "RuntimeError: ThreadPool is shutdown"),
             (lambda: refusing.submit(func, arg, key=kwarg), (), "Boom: no future"), (refusing.shutdown, (), "returned")]
    return calls, [func, arg, kwarg], lambda: True


FAILURE_CASES = {
    "map: failing hash": map_failing_hash,
    "channel: full, rendezvous and closed sends": channel_full_and_closed,
    **{f"channel({c}): every receiver gone": lambda c=c: channel_receiver_gone(c) for c in (None, 1, 0)},
    "channel: failed receives": channel_failed_receives,
    "channel and select: failing conversions": failing_conversions,
    "select: unsent items stay with their SendOp": select_unsent_items,
    "pool: refused submissions": pool_refusals,
}


@pytest.mark.parametrize("case", FAILURE_CASES)
def test_failure_paths_keep_no_reference(case, monkeypatch):
    factory = FAILURE_CASES[case]
    calls, watched, check = factory(monkeypatch) if factory is pool_refusals else factory()
    before = refcounts(*watched)
    for call, args, expected in calls:
        outcome = outcome_of(call, *args)
        assert outcome.startswith(expected) if expected else outcome != "returned", (call, outcome)
    del call, args
    assert refcounts(*watched) == before
    assert check()


def test_reference_dropped_by_an_ending_thread_is_released_at_the_next_attach():
    # A thread's last event loop is remembered per thread and released at
    # thread exit, detached: the release is deferred, and the next thread
    # that attaches (any call that waits) must carry it out.
    loops = []

    def wait_on_a_loop():
        loop, ch = asyncio.new_event_loop(), Channel()
        loops.append(loop)

        async def main():
            waiting = asyncio.ensure_future(ch.arecv())
            await asyncio.sleep(0)
            ch.send("item")
            return await waiting

        assert loop.run_until_complete(main()) == "item"
        loop.close()

    for _ in range(2):  # a second deferred release after the first drain
        threads = os_thread_count()
        run_in_thread(wait_on_a_loop)
        eventually(lambda: os_thread_count() <= threads, "the thread has ended")
        with pytest.raises(TimeoutError):
            Channel().recv(timeout=0.001)
        settle()
        assert weakref.getweakrefcount(loops[-1]) == 0, "the loop's weak reference was never released"


def test_tasks_of_a_pool_shut_down_without_waiting_then_dropped_are_released():
    pool = ThreadPool(2)
    gate = threading.Event()
    pool.submit(gate.wait, TIMEOUT)
    args = [Token() for _ in range(10)]
    watchers = [released(a) for a in args]
    for a in args:
        pool.submit(_noop, a)  # futures dropped at once
    pool.shutdown(wait=False)
    del pool, args, a
    gate.set()
    eventually(lambda: settle() or not any(w.alive for w in watchers), "the tasks are released")


class TestUnderContention:
    """Racing threads take every path at once (timeouts, closes, passes that
    lose a match, cancelled tasks); afterwards every reference is back."""

    def test_channels_and_select_racing_close(self, run_threads):
        items = [Token() for _ in range(8)]
        before = refcounts(*items)
        rounds = scaled(300)
        for _ in range(3):
            channels = [Channel(), Channel(2), Channel(0)]
            stop = threading.Event()

            def sender(offset):
                def body():
                    for n in range(rounds):
                        ch = channels[n % 3]
                        item = items[(n + offset) % len(items)]
                        try:
                            if n % 4 == 0:
                                select([ch.send_op(item), channels[(n + 1) % 3].send_op(item)], timeout=0.001)
                            elif n % 4 == 1:
                                ch.try_send(item)
                            else:
                                ch.send(item, timeout=0.001)
                        except (TimeoutError, RuntimeError, ValueError):
                            pass
                    stop.set()

                return body

            def receiver():
                while not stop.is_set():
                    for ch in channels:
                        try:
                            if ch is channels[2]:
                                select([ch.recv_op(), channels[1].recv_op()], timeout=0.001)
                            else:
                                ch.recv(timeout=0.001)
                        except (TimeoutError, ValueError):
                            pass
                for ch in channels:
                    ch.close()

            run_threads(sender(0), sender(3), receiver)
            del channels
        assert refcounts(*items) == before

    def test_map_mutations_racing_on_one_bucket_with_failing_comparisons(self, run_threads):
        # Every seventh comparison raises: the failed calls change nothing,
        # and the map stays consistent.
        m = ConcurrentMap(1)
        comparisons, failures = AtomicInteger(), AtomicInteger()

        class Flaky(Key):
            __hash__ = Key.__hash__

            def __eq__(self, other):
                if comparisons.increment() % 7 == 0:
                    raise Boom("flaky")
                return isinstance(other, Key) and self.name == other.name

        keys = [Flaky(f"k{i}") for i in range(6)]
        twins = [Flaky(k.name) for k in keys]  # equal, distinct objects
        values = [Token() for _ in range(4)]
        before = refcounts(*keys, *twins, *values)
        rounds = scaled(3000)

        def mutator(seed):
            def body():
                for n in range(rounds):
                    i = (n * 7 + seed) % len(keys)
                    key = keys[i] if n % 2 else twins[i]
                    value = values[(n + seed) % len(values)]
                    try:
                        match n % 5:
                            case 0:
                                m.set(key, value)
                            case 1:
                                m.get_or_insert(key, value)
                            case 2:
                                m.pop_val(key)
                            case 3:
                                m.delete(key)
                            case 4:
                                m.get(key)
                    except Boom:
                        failures.increment()

            return body

        run_threads(*[mutator(seed) for seed in range(4)])
        names = [k.name for k in m.keys()]
        assert len(names) == len(set(names)) == len(m) == len(m.items()), "two equal keys stored"
        assert failures.get() > 0
        m.clear()
        assert refcounts(*keys, *twins, *values) == before


@pytest.mark.parametrize("kind", ["map", "channel"])
def test_cycles_through_contents_stay_until_broken(kind):
    # No class takes part in cyclic garbage collection: a cycle through a
    # map's contents or a channel's items stays until the program breaks it.
    container, token = ConcurrentMap() if kind == "map" else Channel(), Token()
    put = (lambda item: container.set(id(item), item)) if kind == "map" else container.send
    put(container)
    token.owner = container
    put(token)
    watch = weakref.ref(token)
    del container, token
    settle()
    assert watch() is not None
    container = watch().owner
    if kind == "map":
        container.clear()
    else:
        container.close()
        assert len(list(container)) == 2
    del container
    settle()
    assert watch() is None
