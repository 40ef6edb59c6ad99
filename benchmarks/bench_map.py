"""ConcurrentMap beside a plain dict (internally synchronised on 3.14t), a
dict guarded by a threading.Lock and the peers' concurrent dictionaries.

Every thread works on a key of its own, chosen to fall into a different shard
of the map, so the 2-thread rows show how the map scales when threads do not
share a shard. Each thread makes its key and value itself (objects a thread
creates have cheap, thread-local reference counts on 3.14t, and nothing of
one thread shares a cache line with another's). The containers also hold a
thousand other entries, so lookups are not on a toy table."""

from __future__ import annotations

import itertools
import random
import threading
from itertools import repeat

from benchmarks import peers
from benchmarks.harness import case, peer, stdlib, torvan
from torvan import ConcurrentMap

GROUP = "ConcurrentMap"
THREADS = (1, 2, 4)
SHARDS = 16
FILLER = 1000


def shard_of(key: str) -> int:
    return (hash(key) & (2**64 - 1)) % SHARDS


def thread_key_names(count: int) -> list[str]:
    """One str key per thread, each in a different shard of a 16-shard map."""
    names, shards, n = [], set(), 0
    while len(names) < count:
        name = f"key-{n}"
        if shard_of(name) not in shards:
            shards.add(shard_of(name))
            names.append(name)
        n += 1
    return names


def fresh_copy(text: str) -> str:
    """An equal string made by the calling thread (not the interned original)."""
    return (text + ".")[:-1]


class Shared:
    """What one measurement shares: the container, a lock, each thread's key name."""

    def __init__(self, container, threads: int):
        self.container = container
        self.lock = threading.Lock()
        self.names = thread_key_names(threads)
        for i in range(FILLER):
            self.put(f"filler-{i}", i)

    def put(self, key, value):
        if isinstance(self.container, ConcurrentMap):
            self.container.set(key, value)
        else:
            self.container[key] = value


# An operation is given (shared, key, value, ops) in the worker thread, with
# the key already stored when `present` is set, and runs the timed loop.
def implementations(present: bool, map_loop, dict_loop, locked_loop, peer_loops=True):
    """torvan, dict, locked dict, the peers (whose dictionaries take the dict
    loop) and the call floor. `peer_loops` False skips peers without the
    operation."""
    def factory(loop):
        def workload(shared, i, ops):
            name = shared.names[i]

            def body():
                key, value = fresh_copy(name if present else f"absent-{name}"), object()
                if present:
                    shared.put(key, value)
                loop(shared, key, value, ops)

            return body

        return workload

    impls = [torvan("ConcurrentMap", factory(map_loop), setup=lambda t: Shared(ConcurrentMap(SHARDS), t)),
             stdlib("dict", factory(dict_loop), setup=lambda t: Shared({}, t)),
             stdlib("threading.Lock + dict", factory(locked_loop), setup=lambda t: Shared({}, t))]
    if peers.ft_concurrency is None:
        impls.append(peer("ft_utils ConcurrentDict", skipped=peers.FT_UTILS_MISSING))
    else:
        impls.append(peer("ft_utils ConcurrentDict", factory(dict_loop),
                          setup=lambda t: Shared(peers.ft_concurrency.ConcurrentDict(), t)))
    if peers.cereggii is None:
        impls.append(peer("cereggii AtomicDict", skipped=peers.CEREGGII_MISSING))
    elif peer_loops is True:
        impls.append(peer("cereggii AtomicDict", factory(dict_loop),
                          setup=lambda t: Shared(peers.cereggii.AtomicDict(), t)))
    else:
        impls.append(peer("cereggii AtomicDict", skipped=peer_loops))
    return impls + [floor()]


def floor():
    """The cheapest call Python can make, sharing nothing between threads: its
    2-thread row shows how much parallelism the machine gave this run."""

    def workload(shared, i, ops):
        def body():
            call = itertools.count().__next__
            for _ in repeat(None, ops):
                call()

        return body

    return stdlib("call floor (machine's parallelism)", workload)


def lookups(present: bool):
    def map_loop(shared, key, value, ops):
        get = shared.container.get
        for _ in repeat(None, ops):
            get(key)

    def dict_loop(shared, key, value, ops):
        get = shared.container.get
        for _ in repeat(None, ops):
            get(key)

    def locked_loop(shared, key, value, ops):
        get, lock = shared.container.get, shared.lock
        for _ in repeat(None, ops):
            with lock:
                get(key)

    return implementations(present, map_loop, dict_loop, locked_loop)


@case(GROUP, "get (hit)", threads=THREADS, ops=200_000)
def get_hit():
    return lookups(present=True)


@case(GROUP, "get (miss)", threads=THREADS, ops=200_000)
def get_miss():
    return lookups(present=False)


@case(GROUP, "set (existing key)", threads=THREADS, ops=200_000, note="dict: d[k] = v")
def set_existing():
    def map_loop(shared, key, value, ops):
        put = shared.container.set
        for _ in repeat(None, ops):
            put(key, value)

    def dict_loop(shared, key, value, ops):
        d = shared.container
        for _ in repeat(None, ops):
            d[key] = value

    def locked_loop(shared, key, value, ops):
        d, lock = shared.container, shared.lock
        for _ in repeat(None, ops):
            with lock:
                d[key] = value

    return implementations(True, map_loop, dict_loop, locked_loop)


@case(GROUP, "set + delete (churn)", threads=THREADS, ops=20_000,
      note="one op = insert an absent key, then delete it; a 3.14t dict pays in proportion to its size here")
def churn():
    def map_loop(shared, key, value, ops):
        put, delete = shared.container.set, shared.container.delete
        for _ in repeat(None, ops):
            put(key, value)
            delete(key)

    def dict_loop(shared, key, value, ops):
        d = shared.container
        for _ in repeat(None, ops):
            d[key] = value
            del d[key]

    def locked_loop(shared, key, value, ops):
        d, lock = shared.container, shared.lock
        for _ in repeat(None, ops):
            with lock:
                d[key] = value
            with lock:
                del d[key]

    return implementations(False, map_loop, dict_loop, locked_loop)


@case(GROUP, "get_or_insert (present)", threads=THREADS, ops=200_000, note="dict: setdefault")
def get_or_insert():
    def map_loop(shared, key, value, ops):
        get_or_insert = shared.container.get_or_insert
        for _ in repeat(None, ops):
            get_or_insert(key, value)

    def dict_loop(shared, key, value, ops):
        setdefault = shared.container.setdefault
        for _ in repeat(None, ops):
            setdefault(key, value)

    def locked_loop(shared, key, value, ops):
        setdefault, lock = shared.container.setdefault, shared.lock
        for _ in repeat(None, ops):
            with lock:
                setdefault(key, value)

    return implementations(True, map_loop, dict_loop, locked_loop,
                           peer_loops="cereggii AtomicDict has no setdefault (get_or_insert)")


# Threads sharing one map and one set of keys ----------------------------------
#
# The keys and values are made by the main thread, so every thread that
# touches them writes reference counts on lines another thread made; each
# thread visits the shared keys in an order of its own.

SHARED_KEYS = 1024
CACHE_KEYS = 20_000


class SharedKeys:
    """A container filled with SHARED_KEYS keys and each thread's visiting order."""

    def __init__(self, container, threads: int, key_of, value_of, ops: int):
        self.container = container
        self.lock = threading.Lock()
        self.keys = [key_of(n) for n in range(SHARED_KEYS)]
        for n, key in enumerate(self.keys):
            put(container, key, value_of(n))
        self.orders = [random.Random(i).choices(self.keys, k=ops) for i in range(threads)]


def put(container, key, value):
    if isinstance(container, ConcurrentMap):
        container.set(key, value)
    else:
        container[key] = value


def random_gets(key_of, value_of, ops: int):
    def setup_with(make):
        return lambda t: SharedKeys(make(), t, key_of, value_of, ops)

    def bound_get(shared, i, n):
        def body(get=shared.container.get, order=shared.orders[i]):
            for key in order:
                get(key)

        return body

    def method_get(shared, i, n):
        def body(m=shared.container, order=shared.orders[i]):
            for key in order:
                m.get(key)

        return body

    def locked_get(shared, i, n):
        def body(get=shared.container.get, lock=shared.lock, order=shared.orders[i]):
            for key in order:
                with lock:
                    get(key)

        return body

    impls = [torvan("ConcurrentMap, `get = m.get`", bound_get, setup=setup_with(lambda: ConcurrentMap(SHARDS))),
             torvan("ConcurrentMap, `m.get(k)`", method_get, setup=setup_with(lambda: ConcurrentMap(SHARDS))),
             stdlib("dict, `get = d.get`", bound_get, setup=setup_with(dict)),
             stdlib("threading.Lock + dict", locked_get, setup=setup_with(dict))]
    if peers.ft_concurrency is None:
        impls.append(peer("ft_utils ConcurrentDict", skipped=peers.FT_UTILS_MISSING))
    else:
        impls.append(peer("ft_utils ConcurrentDict", bound_get, setup=setup_with(peers.ft_concurrency.ConcurrentDict)))
    if peers.cereggii is None:
        impls.append(peer("cereggii AtomicDict", skipped=peers.CEREGGII_MISSING))
    else:
        impls.append(peer("cereggii AtomicDict", bound_get, setup=setup_with(peers.cereggii.AtomicDict)))
    return impls


RANDOM_OPS = 200_000
# Keys and values beyond the small ints, which are immortal and shared for free.
KEY_KINDS = {"str keys": lambda n: f"user:{n}", "int keys": lambda n: 10**6 + n}
VALUE_KINDS = {"int values": lambda n: 10**7 + n, "object values": lambda n: object()}


def register_random_gets():
    for key_kind, key_of in KEY_KINDS.items():
        for value_kind, value_of in VALUE_KINDS.items():
            case(GROUP, f"shared keys, random get ({key_kind}, {value_kind})", threads=THREADS, ops=RANDOM_OPS,
                 note=f"{SHARED_KEYS} keys and their values made by the main thread; each thread gets them in "
                      "an order of its own")(lambda k=key_of, v=value_of: random_gets(k, v, RANDOM_OPS))


register_random_gets()


class Cache:
    """An empty cache over CACHE_KEYS shared str keys, each thread's random visiting order."""

    def __init__(self, container, threads: int, ops: int):
        self.container = container
        self.lock = threading.Lock()
        keys = [f"page:{n}" for n in range(CACHE_KEYS)]
        self.orders = [random.Random(i).choices(keys, k=ops) for i in range(threads)]


CACHE_OPS = 100_000


@case(GROUP, "shared cache (get, else get_or_insert)", threads=THREADS, ops=CACHE_OPS,
      note=f"a cache of {CACHE_KEYS} str keys filled by the threads as they miss; dict: get, else setdefault")
def shared_cache():
    def setup_with(make):
        return lambda t: Cache(make(), t, CACHE_OPS)

    def get_else(insert: str):
        """get, else the container's own insert-if-absent (get_or_insert, setdefault)."""

        def loop(shared, i, ops):
            def body(get=shared.container.get, insert=getattr(shared.container, insert), order=shared.orders[i]):
                for key in order:
                    value = get(key)
                    if value is None:
                        value = insert(key, (key, len(key)))

            return body

        return loop

    map_loop, dict_loop = get_else("get_or_insert"), get_else("setdefault")

    def locked_loop(shared, i, ops):
        def body(d=shared.container, lock=shared.lock, order=shared.orders[i]):
            for key in order:
                with lock:
                    value = d.get(key)
                    if value is None:
                        value = d[key] = (key, len(key))

        return body

    impls = [torvan("ConcurrentMap", map_loop, setup=setup_with(lambda: ConcurrentMap(SHARDS))),
             stdlib("dict", dict_loop, setup=setup_with(dict)),
             stdlib("threading.Lock + dict", locked_loop, setup=setup_with(dict))]
    if peers.ft_concurrency is None:
        impls.append(peer("ft_utils ConcurrentDict", skipped=peers.FT_UTILS_MISSING))
    else:
        impls.append(peer("ft_utils ConcurrentDict", dict_loop, setup=setup_with(peers.ft_concurrency.ConcurrentDict)))
    impls.append(peer("cereggii AtomicDict", skipped="cereggii AtomicDict has no setdefault (get_or_insert)")
                 if peers.cereggii is not None else peer("cereggii AtomicDict", skipped=peers.CEREGGII_MISSING))
    return impls
