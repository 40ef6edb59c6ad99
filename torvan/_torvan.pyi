"""Type stubs for the native module torvan._torvan."""

from collections.abc import Callable, Coroutine, Sequence
from concurrent.futures import Future
from types import GenericAlias, TracebackType
from typing import Any, Generic, Literal, ParamSpec, Self, TypeVar, final, overload, type_check_only

from typing_extensions import disjoint_base

__all__ = [
    "Channel",
    "RecvOp",
    "SendOp",
    "ConcurrentMap",
    "ThreadPool",
    "AtomicInteger",
    "AtomicBoolean",
    "RwLock",
    "RwLockReadGuard",
    "RwLockWriteGuard",
    "select",
]

_P = ParamSpec("_P")
_T = TypeVar("_T")
_T_co = TypeVar("_T_co", covariant=True)
_K = TypeVar("_K")
_V = TypeVar("_V")
_T0 = TypeVar("_T0")
_T1 = TypeVar("_T1")
_T2 = TypeVar("_T2")
_T3 = TypeVar("_T3")
_T4 = TypeVar("_T4")

_Ordering = Literal["relaxed", "Relaxed", "release", "Release", "acquire", "Acquire", "acq_rel", "AcqRel", "seq_cst", "SeqCst"]

@final
class Channel(Generic[_T]):
    """A thread-safe, lock-free message passing channel built on a native multi-producer multi-consumer channel engine.
    Supports bounded, unbounded, and unbuffered (capacity=0) rendezvous modes."""

    def __new__(cls, capacity: int | None = None) -> Self: ...
    @property
    def capacity(self) -> int | None:
        """The capacity given at creation; None for an unbounded channel."""
    @property
    def closed(self) -> bool:
        """True once close() has been called: sends are refused from then on."""
    def __len__(self) -> int:
        """The number of items buffered now: a snapshot, like queue.Queue.qsize()."""
    def __bool__(self) -> Literal[True]:
        """Always true, empty or not, like a queue.Queue."""
    def send(self, item: _T, timeout: float | None = None) -> None:
        """Block and send an item into the channel. Releases the GIL while waiting."""
    def recv(self, timeout: float | None = None) -> _T:
        """Block and receive an item from the channel. Releases the GIL while waiting.

        # Concurrency & Closing Behavior
        When multiple worker threads are blocked on `recv()` when `close()` is called,
        all threads are unblocked simultaneously. Any buffered items in the channel
        are drained by the unblocked threads until empty. Threads calling `recv()` after
        the buffer is drained will receive `PyValueError("Channel is closed and empty")`."""
    def try_send(self, item: _T) -> None:
        """Non-blocking send. Raises RuntimeError if full, ValueError if closed.

        The errors are torvan.ChannelFull (also a queue.Full) and torvan.ChannelClosed
        (also a queue.ShutDown)."""
    def try_recv(self) -> _T:
        """Non-blocking receive. Raises RuntimeError if empty, ValueError if closed.

        The errors are torvan.ChannelEmpty (also a queue.Empty) and torvan.ChannelClosed
        (also a queue.ShutDown)."""
    def send_timeout(self, item: _T, timeout: float) -> None:
        """Block and send an item with a timeout. Releases the GIL."""
    def recv_timeout(self, timeout: float) -> _T:
        """Block and receive an item with a timeout. Releases the GIL."""
    def close(self) -> None:
        """Close the channel for sending. Drops sender and unblocks pending receivers.
        Note: Receiver remains active to allow draining any remaining buffered items."""
    def recv_op(self) -> RecvOp[_T]:
        """Create a Receive Operation wrapper for `select()`.
        Remains available after `close()` to allow draining existing items in the channel buffer."""
    def send_op(self, item: _T) -> SendOp[_T]:
        """Create a Send Operation wrapper for `select()`."""
    def __iter__(self) -> Self: ...
    def __next__(self) -> _T: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        _exc_type: type[BaseException] | None,
        _exc_val: BaseException | None,
        _exc_tb: TracebackType | None,
    ) -> None: ...
    def arecv(self, timeout: float | None = None) -> Coroutine[Any, Any, _T]:
        """Async version of recv() for compatibility with asyncio event loops."""
    def asend(self, item: _T, timeout: float | None = None) -> Coroutine[Any, Any, None]:
        """Async version of send() for compatibility with asyncio event loops."""
    def __aiter__(self) -> Self: ...
    def __anext__(self) -> Coroutine[Any, Any, _T]: ...
    def __class_getitem__(cls, item: Any, /) -> GenericAlias:
        """See PEP 585"""

# What select() gives back for an operation: the item for a receive, None for a send.
@type_check_only
class _SelectOp(Generic[_T_co]): ...

@final
class RecvOp(_SelectOp[_T_co]):
    """An operation descriptor for receiving from a channel inside `select()`."""

    def __class_getitem__(cls, item: Any, /) -> GenericAlias:
        """See PEP 585"""

@final
class SendOp(_SelectOp[None], Generic[_T_co]):
    """An operation descriptor for sending to a channel inside `select()`."""

    def __class_getitem__(cls, item: Any, /) -> GenericAlias:
        """See PEP 585"""

# A tuple of operations gives the position of the one performed together with
# that operation's own result type; any other sequence gives an int position.
@overload
def select(ops: tuple[_SelectOp[_T0]], timeout: float | None = None) -> tuple[Literal[0], _T0]: ...
@overload
def select(
    ops: tuple[_SelectOp[_T0], _SelectOp[_T1]], timeout: float | None = None
) -> tuple[Literal[0], _T0] | tuple[Literal[1], _T1]: ...
@overload
def select(
    ops: tuple[_SelectOp[_T0], _SelectOp[_T1], _SelectOp[_T2]], timeout: float | None = None
) -> tuple[Literal[0], _T0] | tuple[Literal[1], _T1] | tuple[Literal[2], _T2]: ...
@overload
def select(
    ops: tuple[_SelectOp[_T0], _SelectOp[_T1], _SelectOp[_T2], _SelectOp[_T3]], timeout: float | None = None
) -> tuple[Literal[0], _T0] | tuple[Literal[1], _T1] | tuple[Literal[2], _T2] | tuple[Literal[3], _T3]: ...
@overload
def select(
    ops: tuple[_SelectOp[_T0], _SelectOp[_T1], _SelectOp[_T2], _SelectOp[_T3], _SelectOp[_T4]],
    timeout: float | None = None,
) -> (
    tuple[Literal[0], _T0]
    | tuple[Literal[1], _T1]
    | tuple[Literal[2], _T2]
    | tuple[Literal[3], _T3]
    | tuple[Literal[4], _T4]
): ...
@overload
def select(ops: Sequence[_SelectOp[_T]], timeout: float | None = None) -> tuple[int, _T]:
    """Block until one of the channel operations (recv_op or send_op) is ready, or until optional timeout expires.
    Multiplexes several channel operations: waits on all of them at once and performs exactly one.

    When the operation selected is on a closed channel, the ValueError raised is a torvan.ChannelClosed
    whose `index` is that operation's position in `ops`."""

@disjoint_base
class ConcurrentMap(Generic[_K, _V]):
    """A highly concurrent, thread-safe hash map with dynamically configurable shard count.
    Each shard is protected by a Mutex. Python callbacks (like `__eq__` and `__hash__`)
    are executed entirely OUTSIDE the shard locks, preventing any lock-ordering
    or recursive deadlocks in multi-threaded GIL-free environments."""

    def __new__(cls, shard_count: int | None = None) -> Self: ...
    @property
    def shard_count(self) -> int:
        """The number of shards, fixed when the map is created."""
    def get(self, key: _K) -> _V | None:
        """Retrieve the value associated with the key."""
    def get_val(self, key: _K) -> tuple[Literal[True], _V] | tuple[Literal[False], None]:
        """Retrieve the value associated with the key as a tuple (found, value)."""
    def get_or_insert(self, key: _K, default: _V) -> _V:
        """Atomically get the existing value for key, or insert default and return default if absent."""
    def set(self, key: _K, value: _V) -> None:
        """Set the value for the key."""
    def delete(self, key: _K) -> bool:
        """Delete the key from the map. Returns True if the key was present, otherwise False."""
    def pop_val(self, key: _K) -> tuple[Literal[True], _V] | tuple[Literal[False], None]:
        """Atomically remove and return the key's value.
        Returns `(true, value)` if found, or `(false, None)` if absent."""
    def contains_key(self, key: _K) -> bool:
        """Check if the key exists in the map."""
    def len(self) -> int:
        """Return the total number of elements across all shards.
        Note: Under concurrent modifications, this represents a weakly-consistent
        snapshot and may return an approximate value rather than a global atomic freeze."""
    def clear(self) -> None:
        """Clear all elements from the map."""
    def keys(self) -> list[_K]:
        """Retrieve all keys in the map.
        Note: Returns a weakly-consistent snapshot collected shard-by-shard."""
    def values(self) -> list[_V]:
        """Retrieve all values in the map.
        Note: Returns a weakly-consistent snapshot collected shard-by-shard."""
    def items(self) -> list[tuple[_K, _V]]:
        """Retrieve all key-value tuples in the map.
        Note: Returns a weakly-consistent snapshot collected shard-by-shard."""
    def __len__(self) -> int: ...
    def __class_getitem__(cls, item: Any, /) -> GenericAlias:
        """See PEP 585"""

@final
class ThreadPool:
    """An OS-level physical thread pool scheduler for heavy parallel computing.
    Avoids GIL contention and allows true parallel multi-threaded execution.
    Supports CPython weak references and reclaims its resources automatically when it is destroyed.

    Workers are native threads started with the pool (one per online processor
    by default). Each task runs in a copy of the submitter's context variables
    and finds a fresh thread: nothing a previous task left in `threading.local`
    objects or other per-thread state. A pool dropped without `shutdown` waits
    for its queued tasks; pools still alive at interpreter exit are shut down
    with `wait=True` before finalization.
    """

    def __new__(cls, num_workers: int | None = None) -> Self: ...
    def submit(self, func: Callable[_P, _T], *args: _P.args, **kwargs: _P.kwargs) -> Future[_T]:
        """Submit a task for parallel execution in the thread pool.
        Instantiates and returns a standard `concurrent.futures.Future`."""
    def shutdown(self, wait: bool = True, cancel_futures: bool = False) -> None:
        """Shut down the thread pool, dropping the sender and joining all worker threads."""

@final
class AtomicInteger:
    """A thread-safe, lock-free 64-bit signed integer using CPU atomic operations.

    All methods use sequentially consistent ordering by default; pass
    ``ordering="relaxed"`` or use the ``*_relaxed`` shortcuts for the fastest path.
    Arithmetic wraps in two's complement.
    """

    def __new__(cls, value: int = 0) -> Self: ...
    def get(self, ordering: _Ordering | None = None) -> int:
        """Load the current value atomically."""
    def set(self, value: int, ordering: _Ordering | None = None) -> None:
        """Store a new value atomically."""
    def fetch_add(self, delta: int, ordering: _Ordering | None = None) -> int:
        """Atomically add delta to the value and return the OLD value."""
    def fetch_add_relaxed(self, delta: int) -> int:
        """Fast-path relaxed fetch_add."""
    def add_and_get(self, delta: int, ordering: _Ordering | None = None) -> int:
        """Atomically add delta to the value and return the NEW value."""
    def add_and_get_relaxed(self, delta: int) -> int:
        """Fast-path relaxed add_and_get."""
    def fetch_sub(self, delta: int, ordering: _Ordering | None = None) -> int:
        """Atomically subtract delta from the value and return the OLD value."""
    def fetch_sub_relaxed(self, delta: int) -> int:
        """Fast-path relaxed fetch_sub."""
    def sub_and_get(self, delta: int, ordering: _Ordering | None = None) -> int:
        """Atomically subtract delta from the value and return the NEW value."""
    def sub_and_get_relaxed(self, delta: int) -> int:
        """Fast-path relaxed sub_and_get."""
    def increment(self, ordering: _Ordering | None = None) -> int:
        """Atomically increment the value by 1 and return the NEW value."""
    def increment_relaxed(self) -> int:
        """Fast-path relaxed increment."""
    def decrement(self, ordering: _Ordering | None = None) -> int:
        """Atomically decrement the value by 1 and return the NEW value."""
    def decrement_relaxed(self) -> int:
        """Fast-path relaxed decrement."""
    def get_and_set(self, new_value: int, ordering: _Ordering | None = None) -> int:
        """Atomically swap the value with a new one and return the OLD value."""
    def compare_and_set(self, expected: int, new_value: int, ordering: _Ordering | None = None) -> bool:
        """Atomically compare the current value to expected, and if equal, swap with new_value.
        Returns True if the swap succeeded, otherwise False."""
    def __int__(self) -> int:
        """The value, loaded as get() loads it."""
    def __index__(self) -> int:
        """The value, loaded as get() loads it: the counter serves where an int is expected."""
    def __bool__(self) -> bool:
        """True unless the value, loaded as get() loads it, is 0."""

@final
class AtomicBoolean:
    """A thread-safe, lock-free boolean variable using CPU atomic operations."""

    def __new__(cls, value: bool = False) -> Self: ...
    def get(self, ordering: _Ordering | None = None) -> bool:
        """Load the current boolean value atomically."""
    def set(self, value: bool, ordering: _Ordering | None = None) -> None:
        """Store a new boolean value atomically."""
    def get_and_set(self, new_value: bool, ordering: _Ordering | None = None) -> bool:
        """Atomically swap the value with a new one and return the OLD value."""
    def compare_and_set(self, expected: bool, new_value: bool, ordering: _Ordering | None = None) -> bool:
        """Atomically compare the current value to expected, and if equal, swap with new_value."""
    def __bool__(self) -> bool:
        """The flag, loaded as get() loads it."""

@final
class RwLock:
    """A native reader-writer lock for free-threaded Python.

    Allows multiple concurrent readers or a single exclusive writer.
    Context-manager guards (`with lock.read():` / `with lock.write():`) ensure exception-safe RAII scoping.
    """

    def __new__(cls) -> Self: ...
    def read(self) -> RwLockReadGuard:
        """Prepare a read lock guard. Acquisition occurs upon entering the context."""
    def write(self) -> RwLockWriteGuard:
        """Prepare a write lock guard. Acquisition occurs upon entering the context."""

@final
class RwLockReadGuard:
    """A context-manager guard for holding shared read access of an RwLock.

    Bound to the thread that made it. If it is destroyed while entered on
    another thread, the read access is released there, but the owner's read
    depth cannot be lowered from that thread: the owner's later reads may
    pass waiting writers.
    """

    def __enter__(self) -> Self:
        """Enter the read lock context."""
    def __exit__(
        self,
        _exc_type: type[BaseException] | None,
        _exc_value: BaseException | None,
        _traceback: TracebackType | None,
    ) -> None:
        """Exit the read lock context, releasing the lock."""

@final
class RwLockWriteGuard:
    """A context-manager guard for holding exclusive write access of an RwLock.

    Bound to the thread that made it. If it is destroyed while entered on
    another thread, the write access is released there.
    """

    def __enter__(self) -> Self:
        """Enter the write lock context."""
    def __exit__(
        self,
        _exc_type: type[BaseException] | None,
        _exc_value: BaseException | None,
        _traceback: TracebackType | None,
    ) -> None:
        """Exit the write lock context, releasing the lock."""
