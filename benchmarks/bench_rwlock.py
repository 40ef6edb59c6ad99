"""RwLock guards beside threading.Lock, threading.RLock and a peer
reader-writer lock: the uncontended enter/exit cost, and a shared table read
by many threads and written by few.

Loop bodies copy what they use into locals first: reading a closure cell
takes a reference to its object, which threads sharing that object would
contend on, whatever the lock under test."""

from __future__ import annotations

import threading
from itertools import repeat

from benchmarks import peers
from benchmarks.harness import case, peer, stdlib, torvan
from torvan import RwLock

GROUP = "RwLock"
TABLE_SIZE = 64
WRITE_EVERY = 20  # one write in twenty operations: 95% reads


def enter_guard(method: str):
    """`with lock.<method>(): pass`, a new guard each time."""

    def workload(lock, i, ops):
        def body(make=getattr(lock, method), ops=ops):
            for _ in repeat(None, ops):
                with make():
                    pass

        return body

    return workload


def enter_lock(lock, i, ops):
    """`with lock: pass` for a lock that is its own context manager."""

    def body(lock=lock, ops=ops):
        for _ in repeat(None, ops):
            with lock:
                pass

    return body


def enter_context(context_type):
    """`with Context(lock): pass`, the peer's context objects."""

    def workload(lock, i, ops):
        def body(context=context_type, lock=lock, ops=ops):
            for _ in repeat(None, ops):
                with context(lock):
                    pass

        return body

    return workload


def peer_rwlock(name: str, workload_for):
    if peers.ft_synchronization is None:
        return peer(f"ft_utils {name}", skipped=peers.FT_UTILS_MISSING)
    sync = peers.ft_synchronization
    return peer(f"ft_utils {name}", workload_for(sync), setup=lambda t: sync.RWLock())


@case(GROUP, "uncontended `with lock.read():`", threads=(1,), ops=200_000,
      note="torvan's figure includes the read() call that makes the guard")
def uncontended_read():
    return [
        torvan("with lock.read():", enter_guard("read"), setup=lambda t: RwLock()),
        stdlib("with threading.Lock():", enter_lock, setup=lambda t: threading.Lock()),
        stdlib("with threading.RLock():", enter_lock, setup=lambda t: threading.RLock()),
        peer_rwlock("with RWReadContext(lock):", lambda sync: enter_context(sync.RWReadContext)),
    ]


@case(GROUP, "uncontended `with lock.write():`", threads=(1,), ops=200_000,
      note="torvan's figure includes the write() call that makes the guard")
def uncontended_write():
    return [
        torvan("with lock.write():", enter_guard("write"), setup=lambda t: RwLock()),
        stdlib("with threading.Lock():", enter_lock, setup=lambda t: threading.Lock()),
        stdlib("with threading.RLock():", enter_lock, setup=lambda t: threading.RLock()),
        peer_rwlock("with RWWriteContext(lock):", lambda sync: enter_context(sync.RWWriteContext)),
    ]


class Table:
    """A shared table and the lock that guards it."""

    __slots__ = ("lock", "data")

    def __init__(self, lock):
        self.lock = lock
        self.data = dict.fromkeys(range(TABLE_SIZE), 0)


def phase_of(i: int, write_every: int) -> int:
    # Threads write at different points of their loops.
    return i % write_every if write_every else -1


def guards_on_table(write_every: int):
    """torvan: `with lock.read():` around a lookup, `with lock.write():`
    around an update every `write_every` operations (0: never)."""

    def workload(table, i, ops):
        def body(data=table.data, read=table.lock.read, write=table.lock.write, ops=ops, size=TABLE_SIZE,
                 every=write_every, phase=phase_of(i, write_every)):
            for n in range(ops):
                if every and n % every == phase:
                    with write():
                        data[n % size] = n
                else:
                    with read():
                        data[n % size]

        return body

    return workload


def mutex_on_table(write_every: int):
    """threading.Lock around both."""

    def workload(table, i, ops):
        def body(data=table.data, lock=table.lock, ops=ops, size=TABLE_SIZE, every=write_every,
                 phase=phase_of(i, write_every)):
            for n in range(ops):
                if every and n % every == phase:
                    with lock:
                        data[n % size] = n
                else:
                    with lock:
                        data[n % size]

        return body

    return workload


def contexts_on_table(sync, write_every: int):
    """The peer's read and write context objects."""

    def workload(table, i, ops):
        def body(data=table.data, lock=table.lock, read=sync.RWReadContext, write=sync.RWWriteContext, ops=ops,
                 size=TABLE_SIZE, every=write_every, phase=phase_of(i, write_every)):
            for n in range(ops):
                if every and n % every == phase:
                    with write(lock):
                        data[n % size] = n
                else:
                    with read(lock):
                        data[n % size]

        return body

    return workload


def table_impls(write_every: int):
    impls = [
        torvan("RwLock read()/write() guards", guards_on_table(write_every), setup=lambda t: Table(RwLock())),
        stdlib("threading.Lock", mutex_on_table(write_every), setup=lambda t: Table(threading.Lock())),
    ]
    if peers.ft_synchronization is None:
        impls.append(peer("ft_utils RWLock", skipped=peers.FT_UTILS_MISSING))
    else:
        sync = peers.ft_synchronization
        impls.append(peer("ft_utils RWLock contexts", contexts_on_table(sync, write_every),
                          setup=lambda t: Table(sync.RWLock())))
    return impls


@case(GROUP, "read-mostly table (95% reads)", threads=(1, 2), ops=100_000,
      note="a dict lookup under the read lock; an update under the write lock every 20th operation")
def read_mostly():
    return table_impls(WRITE_EVERY)


@case(GROUP, "read-only table", threads=(1, 2), ops=100_000,
      note="a dict lookup under the read lock; 2 threads against 1 shows how reads scale")
def read_only():
    return table_impls(0)


# Sharing one object between threads ------------------------------------------
#
# On 3.14t `x.method()` writes x's reference count on every call (the bound
# method holds x); an object made by another thread has that count on a line
# all threads write. Binding the method once (`read = lock.read`) leaves only
# what the call itself does. These rows run 1 and 2 threads: ns/op of 2
# threads against 1 shows how far the operation scales.

def with_bound_read(lock_of):
    def workload(shared, i, ops):
        def body(read=lock_of(shared, i).read, ops=ops):
            for _ in repeat(None, ops):
                with read():
                    pass

        return body

    return workload


def with_method_read(lock_of):
    def workload(shared, i, ops):
        def body(lock=lock_of(shared, i), ops=ops):
            for _ in repeat(None, ops):
                with lock.read():
                    pass

        return body

    return workload


def guards_only(lock_of):
    def workload(shared, i, ops):
        def body(read=lock_of(shared, i).read, ops=ops):
            for _ in repeat(None, ops):
                read()

        return body

    return workload


def with_own_mutex(shared, i, ops):
    def body(lock=shared[i], ops=ops):
        for _ in repeat(None, ops):
            with lock:
                pass

    return body


def shared_lock(shared, i):
    return shared


def own_lock(shared, i):
    return shared[i]


@case(GROUP, "2-thread scaling of reads", threads=(1, 2), ops=200_000,
      note="shared: one lock read by every thread; own: a lock per thread. Compare each row's 2-thread "
           "ns/op with its 1-thread ns/op")
def read_scaling():
    return [
        torvan("shared RwLock, `with read():` (bound)", with_bound_read(shared_lock), setup=lambda t: RwLock()),
        torvan("shared RwLock, `with lock.read():`", with_method_read(shared_lock), setup=lambda t: RwLock()),
        torvan("shared RwLock, `read()` guards only (bound)", guards_only(shared_lock), setup=lambda t: RwLock()),
        torvan("own RwLock, `with read():` (bound)", with_bound_read(own_lock),
               setup=lambda t: [RwLock() for _ in range(t)]),
        stdlib("own threading.Lock, `with lock:`", with_own_mutex,
               setup=lambda t: [threading.Lock() for _ in range(t)]),
    ]
