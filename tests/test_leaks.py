"""Leak checks: operations repeated keep memory flat; references come back on success and on every failure path."""

from __future__ import annotations

import array
import asyncio
import concurrent.futures
import contextlib
import ctypes
import ctypes.util
import functools
import itertools
import logging
import operator
import threading
import tracemalloc
import weakref

import pytest

from conftest import (JOIN_TIMEOUT, SANITIZED, Boom, Key, RaisingKey, Token, eventually, join_all, os_thread_count,
                      outcome_of, pool_making_futures, refcounts, run_in_thread, scaled, settle, start_threads)
from torvan import (AtomicBoolean, AtomicInteger, Channel, ChannelClosed, ChannelEmpty, ChannelFull, ConcurrentMap,
                    RecvOp, RwLock, SendOp, ThreadPool, ThreadPoolExecutor, select)

pytestmark = pytest.mark.thread_unsafe  # global measures see every thread's work

# 4 bytes a call above a floor for one-off allocations: 16 bytes or one small object a call fail. Slow groups
# run fewer calls and still cross the floors.
REPEAT = scaled(100_000)
REPEAT_SLOW = scaled(6_000)
REPEAT_THREADS = scaled(1_500)
BYTES_PER_CALL = 4
TRACED_FLOOR = 64 * 1024
C_HEAP_FLOOR = 16 * 1024

# Measured by tracemalloc and glibc's mallinfo2 (exact where the resident set moves in whole pages; the sanitizers
# replace malloc).
libc = ctypes.CDLL(ctypes.util.find_library("c"))
mallinfo2 = None if SANITIZED else getattr(libc, "mallinfo2", None)
if mallinfo2 is not None:
    mallinfo2.restype = type("MallInfo2", (ctypes.Structure,), {"_fields_": [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]})


def c_heap_in_use() -> int:
    return (info := mallinfo2()).uordblks + info.hblkhd


def measure(batch, calls: int, starts_threads: bool = False) -> dict:
    """`batch(calls)` once to warm up (free lists, pools, caches), measured natively, then traced."""
    threads = os_thread_count() if starts_threads else None  # threads coming and going free their stacks late

    def smallest_growth(used, floor):
        # Memory kept for reuse (channel blocks, the C library's caches, the interpreter's tables) grows at a new
        # peak only, a leak in every batch: a batch over the limit is measured again, up to 3 times.
        growths = []
        while len(growths) < 3 and (not growths or growths[-1] > allowed(floor, calls)):
            before = used()
            batch(calls)
            settle(threads)
            growths.append(used() - before)
        return min(growths)

    batch(calls)
    settle(threads)
    growth = {"c_heap": None if mallinfo2 is None else smallest_growth(c_heap_in_use, C_HEAP_FLOOR)}
    tracemalloc.start()
    try:
        batch(calls)  # traced from here on, the interpreter frees some of it late
        settle(threads)
        growth["traced"] = smallest_growth(lambda: tracemalloc.get_traced_memory()[0], TRACED_FLOOR)
    finally:
        tracemalloc.stop()
    return growth


def allowed(floor: int, calls: int) -> int:
    return max(floor, BYTES_PER_CALL * calls)


def problems(growth: dict, calls: int) -> list[str]:
    return [f"{key} grew by {growth[key]} bytes" for key, floor in (("traced", TRACED_FLOOR), ("c_heap", C_HEAP_FLOOR))
            if growth[key] is not None and growth[key] > allowed(floor, calls)]


def repeat(*ops):
    def batch(calls):
        for _ in range(calls):
            for op in ops:
                op()

    return batch


def raises(expected, fn, *args, **kwargs):
    """An operation that must fail with `expected` (a type, or a name: PanicException is not exported)."""
    def op():
        outcome = outcome_of(fn, *args, **kwargs)
        assert outcome.partition(":")[0] == getattr(expected, "__name__", expected), (fn, outcome)

    return op


# Each group calls every operation it names once per call: a leak in any of them is a leak of the group.
GROUPS = {}


def group(name, calls=REPEAT, starts_threads=False):
    return lambda factory: GROUPS.setdefault(name, (factory, calls, starts_threads))


class Raising:  # as a key, a truth value or a timeout
    def __hash__(self):
        raise Boom("hash")

    __bool__ = __float__ = __hash__


def _noop(*args, **kwargs):
    return args


@group("atomics: construction and every method")
def atomic_methods():
    a, b = AtomicInteger(3), AtomicBoolean()

    def op():
        AtomicInteger(), AtomicInteger(-7), a.get(), a.get("acquire"), a.set(5, "release"), a.fetch_add(2, "relaxed")
        a.add_and_get(3), a.fetch_sub(1, ordering="acq_rel"), a.sub_and_get(1), a.increment(), a.decrement()
        a.get_and_set(2**62), a.compare_and_set(2**62, 1, "seq_cst"), a.fetch_add_relaxed(1), a.add_and_get_relaxed(1)
        a.fetch_sub_relaxed(1), a.sub_and_get_relaxed(1), a.increment_relaxed(), a.decrement_relaxed(), repr(a), str(a)
        AtomicBoolean(True), b.get(), b.get("Acquire"), b.set(True, "release"), b.get_and_set(False), repr(b), str(b)
        b.compare_and_set(False, True, "acq_rel"), int(a), operator.index(a), bool(a), bool(b)

    return repeat(op)


@group("atomics: every failure", calls=REPEAT_SLOW)
def atomic_failures():
    a, b = AtomicInteger(), AtomicBoolean()
    return repeat(
        raises(ValueError, a.get, "RELAXED"), raises("PanicException", a.get, "release"),
        raises("PanicException", a.set, 1, "acquire"), raises(TypeError, a.fetch_add, "x"),
        raises(OverflowError, AtomicInteger, 2**63), raises(TypeError, a.get, 1, 2), raises(TypeError, a.get, foo=1),
        raises(TypeError, a.compare_and_set), raises(TypeError, AtomicBoolean, 1),
        raises(ValueError, b.set, True, "bogus"), raises("PanicException", b.set, True, "acq_rel"))


@group("ConcurrentMap: construction, lookups, counts and mutations on fresh keys and by identity")
def map_operations():
    m, value = ConcurrentMap(4), object()
    m.set("present", 1)

    def op():
        ConcurrentMap(), ConcurrentMap(shard_count=3), m.shard_count, m.get("present"), m.get("absent")
        m.get_val("present"), m.get_val("absent"), m.contains_key("present"), m.len(), len(m), ConcurrentMap[str, int]
        key = ("k", object())  # a new key object each time
        m.set(key, value)
        m.set(key, 2)  # replaced by identity
        m.set(("k", key[1]), 3)  # replaced through an equal key
        m.get_or_insert(key, 4)
        m.pop_val(key)
        m.get_or_insert(key, value)
        m.delete(key), m.delete(key)  # the second finds nothing

    return repeat(op)


@group("ConcurrentMap: comparison passes over a long colliding bucket, listings and clear", calls=REPEAT // 10)
def map_passes_and_listings():
    m = ConcurrentMap(2)
    for i in range(12):
        m.set(Key(f"stored{i}"), i)
    present = Key("stored11")

    def op():
        probe = Key("probe")
        m.get(present), m.get_val(probe), m.contains_key(Key("stored5"))
        m.set(probe, 1), m.set(Key("probe"), 2), m.get_or_insert(Key("probe"), 3)
        m.pop_val(Key("probe"))
        m.get_or_insert(probe, 4)
        m.delete(Key("probe"))
        m.keys(), m.values(), m.items()
        scratch = ConcurrentMap(2)
        for i in range(5):
            scratch.set(i, i)
        scratch.clear()

    return repeat(op)


@group("ConcurrentMap: failing __hash__, __eq__ and truth tests", calls=REPEAT_SLOW)
def map_failures():
    m, t = ConcurrentMap(1), ConcurrentMap(1)
    m.set(RaisingKey("r"), 2)
    t.set(type("TruthRaising", (Key,), {"__hash__": Key.__hash__, "__eq__": lambda self, other: Raising()})("t"), 3)
    ops = [raises(TypeError, m.get, []), raises(ValueError, ConcurrentMap, 0), raises(TypeError, m.set, 1)]
    for name in ("get", "get_val", "contains_key", "delete", "pop_val", "set", "get_or_insert"):
        extra = (0,) if name in ("set", "get_or_insert") else ()
        ops += [raises(Boom, getattr(m, name), Raising(), *extra), raises(Boom, getattr(m, name), Key("p"), *extra),
                raises(Boom, getattr(t, name), Key("p"), *extra)]
    return repeat(*ops)


@group("Channel: each flavour made, dropped full, closed, iterated, used in with, sent and received")
def channel_operations():
    unbounded, bounded = Channel(), Channel(8)

    def op():
        Channel(), Channel(0), Channel(capacity=4).capacity, Channel[int](), RecvOp[int], SendOp[int]
        Channel(2).send(1)
        with Channel() as ch:
            ch.send(0), ch.send(1), ch.send(2)
        for _ in ch:
            pass
        ch.close()
        Channel().send(1)
        for ch in (unbounded, bounded):
            ch.send(1)
            ch.send(2, timeout=1.0)
            ch.send_timeout(3, 1)
            ch.try_send(4)
            len(ch), ch.closed, bool(ch), repr(ch)
            ch.recv(), ch.recv(timeout=1.0), ch.recv_timeout(1.5), ch.try_recv()

    return repeat(op)


@group("Channel and select: every failure, RecvOp and SendOp objects and every select outcome", calls=REPEAT_SLOW)
def channel_failures():
    empty, full, rendezvous, closed, ready = Channel(), Channel(1), Channel(0), Channel(1), Channel()
    full.send(0)
    closed.send(0)
    closed.close()
    for_closed = Channel()
    for_closed.close()
    item = object()
    idle_op, full_op, closed_op = empty.recv_op(), full.send_op(item), for_closed.recv_op()

    def select_outcomes():
        ready.send(item)
        select([idle_op, ready.recv_op(), full_op])
        select((ready.send_op(item), idle_op), timeout=1.0)
        ready.recv()

    # Waits that register before their deadline ends them: a registration left behind keeps its waiter's record.
    expiring = itertools.cycle([lambda: empty.recv(1e-4), lambda: full.send(item, 1e-4),
                                lambda: select([idle_op, full_op], 1e-4), lambda: rendezvous.send(item, 1e-4)])

    return repeat(
        raises(ChannelEmpty, empty.try_recv), raises(TimeoutError, empty.recv, 0),
        raises(TimeoutError, empty.recv_timeout, 0), raises(ChannelFull, full.try_send, item),
        raises(TimeoutError, full.send, item, 0), raises(TimeoutError, full.send_timeout, item, 0),
        raises(ChannelFull, rendezvous.try_send, item), raises(TimeoutError, rendezvous.send, item, 0),
        raises(ChannelClosed, closed.send, item), raises(ChannelClosed, closed.try_send, item),
        raises(ChannelClosed, closed.send_op, item), raises(ChannelClosed, for_closed.recv),
        raises(ChannelClosed, for_closed.try_recv), raises(ValueError, empty.recv, -1),
        raises("PanicException", empty.recv, float("nan")), raises(TypeError, empty.send, item, "1"),
        raises(ValueError, Channel, -1), select_outcomes, raises(TimeoutError, select, [idle_op, full_op], 0),
        raises(TimeoutError, lambda: next(expiring)()),
        raises(ChannelClosed, select, [closed_op]), raises(ValueError, select, []),
        raises(TypeError, select, [idle_op, item]), raises(TypeError, select, "ab"))


@group("Channel, select, RwLock: waits answered by another thread; guards, nesting, misuse", calls=REPEAT_SLOW)
def blocking_waits():
    ping, pong, rendezvous, requests, replies, idle = Channel(1), Channel(), *(Channel(0) for _ in range(3)), Channel()
    lock, held, released, own_lock = RwLock(), Channel(0), Channel(0), RwLock()

    def partner(calls):
        for _ in range(calls):
            pong.send(ping.recv())
            rendezvous.send(rendezvous.recv(timeout=JOIN_TIMEOUT))
            select([requests.recv_op(), idle.recv_op()], timeout=JOIN_TIMEOUT)
            select([replies.send_op("reply"), idle.recv_op()])
            # The lock goes once the other thread knows it is held: that one usually waits (detached) for it.
            with lock.write():
                held.send(None)
            released.recv(timeout=JOIN_TIMEOUT)

    def run(calls):
        threads = start_threads([lambda: partner(calls)])
        for i in range(calls):
            ping.send(i)
            pong.recv(timeout=JOIN_TIMEOUT)
            rendezvous.send(i, timeout=JOIN_TIMEOUT)
            rendezvous.recv()
            select([requests.send_op(i), idle.recv_op()])
            replies.recv(timeout=JOIN_TIMEOUT)
            held.recv(timeout=JOIN_TIMEOUT)
            with (lock.read() if i % 2 else lock.write()):
                pass
            released.send(None)
            with own_lock.read():
                with own_lock.read():
                    pass
                raises(RuntimeError, own_lock.write().__enter__)()
            with own_lock.write() as guard:
                raises(RuntimeError, guard.__enter__)()
            RwLock(), own_lock.read(), own_lock.write(), repr(lock)
            guard.__exit__(None, None, None)
        join_all(threads)

    return run


@group("ThreadPool and ThreadPoolExecutor: submit with and without arguments, map, failing tasks, refusals",
       calls=REPEAT_SLOW)
def pool_submit():
    pool, closed, executor = ThreadPool(1), ThreadPool(1), ThreadPoolExecutor(1, initializer=_noop, initargs=(1,))
    closed_executor = ThreadPoolExecutor(1)
    refusals = repeat(*[step for c in (closed, closed_executor) for step in (
        c.shutdown, raises(RuntimeError, c.submit, _noop, 1, x=2), raises(TypeError, c.submit),
        lambda c=c: c.shutdown(wait=False, cancel_futures=True))], raises(TypeError, closed.shutdown, 1),
        raises(ValueError, executor.map, _noop, (1,), buffersize=0),
        raises(TypeError, executor.map, _noop, (1,), buffersize=1.0))

    def run(calls):
        for _ in range(calls):
            pool.submit(func=_noop)
            for submitter in (pool, executor):
                submitter.submit(_noop, 1, "two", three=3)
            mapped = executor.map(_noop, (1, 2, 3), "abc", buffersize=2)
            assert list(executor.map(_noop, (1,), timeout=JOIN_TIMEOUT)) == [(1,)]
            assert next(mapped) == (1, "a")  # the rest dropped unread: cancelled or run, and released either way
            # One worker each: what came before has run. Queues kept short, as in steady use, hold few blocks for reuse.
            for submitter in (pool, executor):
                submitter.submit(int, "not a number").exception(JOIN_TIMEOUT)
        refusals(calls)

    return run


@group("ThreadPool and ThreadPoolExecutor: made, named, initialized, broken, shut down and dropped",
       calls=REPEAT_THREADS // 3, starts_threads=True)  # three pools a call
def pool_lifecycle():
    def broken():
        raise Boom("initializer")

    # The first end drops them at once: the drop waits for the task.
    ends = itertools.cycle([(lambda p: None,) * 2, (lambda p: p.shutdown(wait=True),) * 2,
                            (lambda p: p.shutdown(True, True), lambda e: e.__exit__(None, None, None)),
                            (lambda p: p.shutdown(wait=False, cancel_futures=True),) * 2])

    def op():
        end_pool, end_executor = next(ends)
        pool = ThreadPool(num_workers=1)
        pool.submit(_noop, 1)
        end_pool(pool)
        executor = ThreadPoolExecutor(max_workers=1, thread_name_prefix="leak", initializer=_noop)
        executor.submit(threading.current_thread).result(JOIN_TIMEOUT)
        end_executor(executor)
        failing = ThreadPoolExecutor(1, initializer=broken)
        failing.submit(_noop).exception(JOIN_TIMEOUT)
        failing.shutdown()

    def batch(calls):
        # Kept by the test's log capture, the broken executors' records would grow as a leak would.
        with pytest.MonkeyPatch.context() as monkeypatch:
            monkeypatch.setattr(logging.getLogger("concurrent.futures"), "disabled", True)
            repeat(op)(calls)

    return batch


@group("Channel: asyncio awaits, waits, hand-overs, cancellations, timeouts and refused steps", calls=REPEAT_SLOW)
def channel_asyncio():
    buffered, rendezvous = Channel(1), Channel(0)

    async def main(calls):
        for i in range(calls):
            await buffered.asend(i)
            waiting = asyncio.ensure_future(buffered.asend(i))
            await asyncio.sleep(0)
            await buffered.arecv()
            await waiting
            async for _ in buffered:
                break
            receiving = asyncio.ensure_future(rendezvous.arecv(timeout=JOIN_TIMEOUT))
            await asyncio.sleep(0)
            await rendezvous.asend(i)
            await receiving
            for pending in (rendezvous.arecv(), rendezvous.asend(i)):  # cancelled while waiting
                task = asyncio.ensure_future(pending)
                await asyncio.sleep(0)
                task.cancel()
                await asyncio.gather(task, return_exceptions=True)
            with contextlib.suppress(TimeoutError):
                await buffered.arecv(timeout=1e-6)
            # Refused: a second await of a waiting awaitable. Closed, it wakes its task, which finds it over.
            awaitable = buffered.arecv()
            task = asyncio.ensure_future(awaitable)
            await asyncio.sleep(0)
            with contextlib.suppress(RuntimeError):
                await awaitable
            awaitable.close()
            await asyncio.gather(task, return_exceptions=True)

    return lambda calls: asyncio.run(main(calls))


# A group runs up to nine batches of thousands of calls, and on a loaded machine (load 8 on 2 cores) a pool group
# took over 5 minutes: every group gets a 20-minute backstop.
@pytest.mark.timeout(1200)
@pytest.mark.parametrize("name", GROUPS)
def test_memory_stays_flat(name):
    factory, calls, starts_threads = GROUPS[name]
    growth = measure(factory(), calls, starts_threads)
    assert not problems(growth, calls), f"{name}, {calls} calls: {growth}"


def test_the_measure_catches_sixteen_native_bytes_or_one_small_object_per_call():
    if mallinfo2 is not None:  # glibc's heap statistics
        libc.malloc_trim(0)  # freed pages earlier tests left would take the leak
        libc.malloc.restype = ctypes.c_void_p
        leaked, slots = array.array("Q", [0]) * (6 * REPEAT), itertools.count()  # no Python object grows
        growth = measure(repeat(lambda: leaked.__setitem__(next(slots), libc.malloc(16))), REPEAT)
        for address in leaked:
            libc.free(ctypes.c_void_p(address))
        assert any("c_heap grew" in p for p in problems(growth, REPEAT)), growth
    kept = []
    growth = measure(repeat(lambda: kept.append(object())), REPEAT)
    assert any("traced grew" in p for p in problems(growth, REPEAT)), growth


# Failure paths: each case makes (calls, watched objects, a check of what is left); every call must end with
# the outcome given (anything but a return, for None), and afterwards every watched object has its references.


def channel_failed_sends_and_receives():
    full, rendezvous, bounded, ready, item, received = Channel(1), Channel(0), Channel(2), Channel(), Token(), Token()
    full.send(0)
    bounded.send(received)
    ready.send("r")
    op, unsent = rendezvous.send_op(item), full.send_op(item)  # unsent items stay with their SendOp

    async def send_to_closed():
        await full.asend(item, 1.0)

    calls = [(full.try_send, (item,), "ChannelFull: Channel is full"), (full.send, (item, 0.01), "TimeoutError"),
             (full.send, (item, -1), "ValueError"), (rendezvous.try_send, (item,), "ChannelFull"),
             (rendezvous.send, (item, 0), "TimeoutError"), (rendezvous.send_timeout, (item, 0.01), "TimeoutError"),
             (select, ([op], 0.01), "TimeoutError"), (select, ([unsent, ready.recv_op()],), "returned"),
             (select, ([unsent], 0), "TimeoutError"), (full.close, (), "returned"),
             (full.send, (item,), "ChannelClosed"), (full.try_send, (item,), "ChannelClosed"),
             (full.send_op, (item,), "ChannelClosed"), (select, ([unsent],), "ChannelClosed: Selected channel is closed"),
             (lambda: asyncio.run(send_to_closed()), (), "ChannelClosed: Channel is closed"),
             (rendezvous.try_recv, (), "ChannelEmpty"), (rendezvous.recv, (0,), "TimeoutError"),
             (rendezvous.recv, (0.01,), "TimeoutError"), (select, ([rendezvous.recv_op()], 0), "TimeoutError"),
             (bounded.close, (), "returned")]
    return calls, [item, received], lambda: full.recv() == 0 and op and unsent and bounded.recv() is received


def every_receiver_gone():
    # A SendOp keeps a sender, refused with room or not; the buffered items went with the Channel, its last receiver.
    items, calls, gone = [Token() for _ in range(3)], [], []
    for capacity, item in zip((None, 100, 0), items):
        ch, buffered = Channel(capacity), Token()
        for _ in range(0 if capacity == 0 else 99):  # several blocks of the unbounded flavour
            ch.send(buffered)
        gone.append(weakref.finalize(buffered, lambda: None))
        calls.append((select, ([ch.send_op(item)],), "ChannelClosed: Selected channel is closed"))
    return calls, items, lambda: not any(g.alive for g in gone)


def failing_hashes_and_conversions():
    ch, m, key = Channel(), ConcurrentMap(), Raising()
    item, op, send = Token(), ch.recv_op(), Channel(1).send_op(Token())
    calls = [(m.set, (key, item), "Boom: hash"), (m.get_or_insert, (key, item), "Boom: hash"),
             (ch.send, (item, "1"), None), (ch.send, (item, Raising()), None), (ch.send_timeout, (item, None), None),
             (ch.send, (item, float("nan")), None), (ch.asend, (item, "1"), None), (select, ([op, op], "1"), None),
             (select, ([op], Raising()), None), (select, ([op], float("inf")), None),
             (select, ([send, send, "not an op"],), "TypeError")]
    return calls, [item, op, send, key], lambda: ch.try_send("x") is None and ch.recv() == "x" and len(m) == 0


def pool_refusals():
    func, arg, kwarg, closed, closed_executor = Token(), Token(), Token(), ThreadPool(1), ThreadPoolExecutor(1)
    closed.shutdown()
    closed_executor.shutdown()
    broken = ThreadPoolExecutor(1, initializer=functools.partial(int, "x"))
    broken.submit(int).exception(JOIN_TIMEOUT)

    class Refused(concurrent.futures.Future):
        def __init__(self):
            raise Boom("no future")

    holder = []
    with pytest.MonkeyPatch.context() as monkeypatch:
        refusing = pool_making_futures(monkeypatch, Refused)
        shutting = pool_making_futures(monkeypatch, lambda: holder[0].shutdown())  # inside its own submit
    holder.append(shutting)
    calls = [(closed.submit, (func, arg), "RuntimeError: ThreadPool is shutdown"),
             (lambda: refusing.submit(func, arg, key=kwarg), (), "Boom: no future"),
             (refusing.shutdown, (), "returned"),
             (lambda: shutting.submit(func, arg, key=kwarg), (), "RuntimeError: Already borrowed"),
             (shutting.shutdown, (), "returned"),
             (closed_executor.submit, (func, arg), "RuntimeError: cannot schedule new futures after shutdown"),
             (lambda: broken.submit(func, arg, key=kwarg), (), "BrokenThreadPool"),
             (lambda: closed_executor.map(func, [arg], buffersize=-1), (), "ValueError: buffersize must be None or > 0"),
             (lambda: ThreadPoolExecutor(1, initializer=arg), (), "TypeError: initializer must be a callable"),
             (broken.shutdown, (), "returned")]
    return calls, [func, arg, kwarg], lambda: True


@pytest.mark.parametrize("factory", [channel_failed_sends_and_receives, every_receiver_gone,
                                     failing_hashes_and_conversions, pool_refusals],
                         ids=lambda f: f.__name__)
def test_failure_paths_keep_no_reference(factory):
    calls, watched, check = factory()
    before = refcounts(*watched)
    for call, args, expected in calls:
        outcome = outcome_of(call, *args)
        assert outcome.startswith(expected) if expected else outcome != "returned", (call, outcome)
    del call, args
    assert refcounts(*watched) == before
    assert check()


def test_reference_dropped_by_an_ending_thread_is_released_at_the_next_attach():
    # A thread's last event loop is remembered per thread and released at thread exit, detached: the release is
    # deferred, and the next thread that attaches (any call that waits) must carry it out.
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
        assert outcome_of(Channel().recv, timeout=0.001).startswith("TimeoutError")
        settle()
        assert weakref.getweakrefcount(loops[-1]) == 0, "the loop's weak reference was never released"


def test_tasks_of_a_pool_shut_down_without_waiting_then_dropped_are_released():
    pool, gate, args = ThreadPool(2), threading.Event(), [Token() for _ in range(10)]
    pool.submit(gate.wait, JOIN_TIMEOUT)
    watchers = [weakref.finalize(a, lambda: None) for a in args]
    for a in args:
        pool.submit(_noop, a)  # futures dropped at once
    pool.shutdown(wait=False)
    del pool, args, a
    gate.set()
    eventually(lambda: settle() or not any(w.alive for w in watchers), "the tasks are released")


def test_channels_and_select_racing_close_keep_no_reference(run_threads):
    # Racing threads take every path at once: timeouts, closes, select passes that lose a match.
    items, rounds = [Token() for _ in range(8)], scaled(300)
    before = refcounts(*items)
    for _ in range(3):
        channels, stop = [Channel(), Channel(2), Channel(0)], threading.Event()

        def sender(offset):
            for n in range(rounds):
                ch, item = channels[n % 3], items[(n + offset) % len(items)]
                with contextlib.suppress(TimeoutError, RuntimeError, ValueError):
                    if n % 4 == 0:
                        select([ch.send_op(item), channels[(n + 1) % 3].send_op(item)], timeout=0.001)
                    else:
                        ch.try_send(item) if n % 4 == 1 else ch.send(item, timeout=0.001)
            stop.set()

        def receiver():
            while not stop.is_set():
                for ch in channels:
                    with contextlib.suppress(TimeoutError, ValueError):
                        select([ch.recv_op(), channels[1].recv_op()], 0.001) if ch is channels[2] else ch.recv(0.001)
            for ch in channels:
                ch.close()

        run_threads(lambda: sender(0), lambda: sender(3), receiver)
        del channels
    assert refcounts(*items) == before


def test_map_mutations_racing_on_one_bucket_with_failing_comparisons_keep_no_reference(run_threads):
    # Every seventh comparison raises: the failed calls change nothing, and the map stays consistent.
    m, comparisons, failures = ConcurrentMap(1), AtomicInteger(), AtomicInteger()

    class Flaky(Key):
        __hash__ = Key.__hash__

        def __eq__(self, other):
            if comparisons.increment() % 7 == 0:
                raise Boom("flaky")
            return isinstance(other, Key) and self.name == other.name

    keys, values = [Flaky(f"k{i}") for i in range(6)], [Token() for _ in range(4)]
    twins = [Flaky(k.name) for k in keys]  # equal, distinct objects
    before = refcounts(*keys, *twins, *values)
    operations = [m.set, m.get_or_insert, lambda k, v: m.pop_val(k), lambda k, v: m.delete(k), lambda k, v: m.get(k)]

    def mutator(seed):
        for n in range(scaled(3000)):
            i = (n * 7 + seed) % len(keys)
            try:
                operations[n % 5](keys[i] if n % 2 else twins[i], values[(n + seed) % len(values)])
            except Boom:
                failures.increment()

    run_threads(*[lambda seed=seed: mutator(seed) for seed in range(4)])
    names = [k.name for k in m.keys()]
    assert len(names) == len(set(names)) == len(m) == len(m.items()), "two equal keys stored"
    assert failures.get() > 0
    m.clear()
    assert refcounts(*keys, *twins, *values) == before
