"""Type stubs for the native module torvan._torvan."""

from collections.abc import Callable, Coroutine, Sequence
from concurrent.futures import Future
from types import TracebackType
from typing import Any, Literal, ParamSpec, TypeVar

__all__: list[str]

_P = ParamSpec("_P")
_T = TypeVar("_T")

_Ordering = Literal["relaxed", "Relaxed", "release", "Release", "acquire", "Acquire", "acq_rel", "AcqRel", "seq_cst", "SeqCst"]

class Channel:
    """A thread-safe, lock-free message passing channel built on a native multi-producer multi-consumer channel engine.
    Supports bounded, unbounded, and unbuffered (capacity=0) rendezvous modes."""

    def __new__(cls, capacity: int | None = None) -> Channel: ...
    @property
    def capacity(self) -> int | None:
        """The capacity given at creation; None for an unbounded channel."""
    def send(self, item: Any, timeout: float | None = None) -> None:
        """Block and send an item into the channel. Releases the GIL while waiting."""
    def recv(self, timeout: float | None = None) -> Any:
        """Block and receive an item from the channel. Releases the GIL while waiting.

        # Concurrency & Closing Behavior
        When multiple worker threads are blocked on `recv()` when `close()` is called,
        all threads are unblocked simultaneously. Any buffered items in the channel
        are drained by the unblocked threads until empty. Threads calling `recv()` after
        the buffer is drained will receive `PyValueError("Channel is closed and empty")`."""
    def try_send(self, item: Any) -> None:
        """Non-blocking send. Raises RuntimeError if full, ValueError if closed."""
    def try_recv(self) -> Any:
        """Non-blocking receive. Raises RuntimeError if empty, ValueError if closed."""
    def send_timeout(self, item: Any, timeout: float) -> None:
        """Block and send an item with a timeout. Releases the GIL."""
    def recv_timeout(self, timeout: float) -> Any:
        """Block and receive an item with a timeout. Releases the GIL."""
    def close(self) -> None:
        """Close the channel for sending. Drops sender and unblocks pending receivers.
        Note: Receiver remains active to allow draining any remaining buffered items."""
    def recv_op(self) -> RecvOp:
        """Create a Receive Operation wrapper for `select()`.
        Remains available after `close()` to allow draining existing items in the channel buffer."""
    def send_op(self, item: Any) -> SendOp:
        """Create a Send Operation wrapper for `select()`."""
    def __iter__(self) -> Channel: ...
    def __next__(self) -> Any: ...
    def __enter__(self) -> Channel: ...
    def __exit__(
        self,
        _exc_type: type[BaseException] | None,
        _exc_val: BaseException | None,
        _exc_tb: TracebackType | None,
    ) -> None: ...
    def arecv(self, timeout: float | None = None) -> Coroutine[Any, Any, Any]:
        """Async version of recv() for compatibility with asyncio event loops."""
    def asend(self, item: Any, timeout: float | None = None) -> Coroutine[Any, Any, None]:
        """Async version of send() for compatibility with asyncio event loops."""
    def __aiter__(self) -> Channel: ...
    def __anext__(self) -> Coroutine[Any, Any, Any]: ...

class RecvOp:
    """An operation descriptor for receiving from a channel inside `select()`."""

class SendOp:
    """An operation descriptor for sending to a channel inside `select()`."""

def select(ops: Sequence[RecvOp | SendOp], timeout: float | None = None) -> tuple[int, Any]:
    """Block until one of the channel operations (recv_op or send_op) is ready, or until optional timeout expires.
    Multiplexes several channel operations: waits on all of them at once and performs exactly one."""

class ConcurrentMap:
    """A highly concurrent, thread-safe hash map with dynamically configurable shard count.
    Each shard is protected by a Mutex. Python callbacks (like `__eq__` and `__hash__`)
    are executed entirely OUTSIDE the shard locks, preventing any lock-ordering
    or recursive deadlocks in multi-threaded GIL-free environments."""

    def __new__(cls, shard_count: int | None = None) -> ConcurrentMap: ...
    @property
    def shard_count(self) -> int:
        """The number of shards, fixed when the map is created."""
    def get(self, key: object) -> Any:
        """Retrieve the value associated with the key."""
    def get_val(self, key: object) -> tuple[bool, Any]:
        """Retrieve the value associated with the key as a tuple (found, value)."""
    def get_or_insert(self, key: object, default: Any) -> Any:
        """Atomically get the existing value for key, or insert default and return default if absent."""
    def set(self, key: object, value: Any) -> None:
        """Set the value for the key."""
    def delete(self, key: object) -> bool:
        """Delete the key from the map. Returns True if the key was present, otherwise False."""
    def pop_val(self, key: object) -> tuple[bool, Any]:
        """Atomically remove and return the key's value.
        Returns `(true, value)` if found, or `(false, None)` if absent."""
    def contains_key(self, key: object) -> bool:
        """Check if the key exists in the map."""
    def len(self) -> int:
        """Return the total number of elements across all shards.
        Note: Under concurrent modifications, this represents a weakly-consistent
        snapshot and may return an approximate value rather than a global atomic freeze."""
    def clear(self) -> None:
        """Clear all elements from the map."""
    def keys(self) -> list[Any]:
        """Retrieve all keys in the map.
        Note: Returns a weakly-consistent snapshot collected shard-by-shard."""
    def values(self) -> list[Any]:
        """Retrieve all values in the map.
        Note: Returns a weakly-consistent snapshot collected shard-by-shard."""
    def items(self) -> list[tuple[Any, Any]]:
        """Retrieve all key-value tuples in the map.
        Note: Returns a weakly-consistent snapshot collected shard-by-shard."""
    def __len__(self) -> int: ...

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

    def __new__(cls, num_workers: int | None = None) -> ThreadPool: ...
    def submit(self, func: Callable[_P, _T], *args: _P.args, **kwargs: _P.kwargs) -> Future[_T]:
        """Submit a task for parallel execution in the thread pool.
        Instantiates and returns a standard `concurrent.futures.Future`."""
    def shutdown(self, wait: bool = True, cancel_futures: bool = False) -> None:
        """Shut down the thread pool, dropping the sender and joining all worker threads."""

class AtomicInteger:
    """A thread-safe, lock-free 64-bit signed integer using CPU atomic operations.

    All methods use sequentially consistent ordering by default; pass
    ``ordering="relaxed"`` or use the ``*_relaxed`` shortcuts for the fastest path.
    Arithmetic wraps in two's complement.
    """

    def __new__(cls, value: int = 0) -> AtomicInteger: ...
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

class AtomicBoolean:
    """A thread-safe, lock-free boolean variable using CPU atomic operations."""

    def __new__(cls, value: bool = False) -> AtomicBoolean: ...
    def get(self, ordering: _Ordering | None = None) -> bool:
        """Load the current boolean value atomically."""
    def set(self, value: bool, ordering: _Ordering | None = None) -> None:
        """Store a new boolean value atomically."""
    def get_and_set(self, new_value: bool, ordering: _Ordering | None = None) -> bool:
        """Atomically swap the value with a new one and return the OLD value."""
    def compare_and_set(self, expected: bool, new_value: bool, ordering: _Ordering | None = None) -> bool:
        """Atomically compare the current value to expected, and if equal, swap with new_value."""

class RwLock:
    """A native reader-writer lock for free-threaded Python.

    Allows multiple concurrent readers or a single exclusive writer.
    Context-manager guards (`with lock.read():` / `with lock.write():`) ensure exception-safe RAII scoping.
    """

    def __new__(cls) -> RwLock: ...
    def read(self) -> RwLockReadGuard:
        """Prepare a read lock guard. Acquisition occurs upon entering the context."""
    def write(self) -> RwLockWriteGuard:
        """Prepare a write lock guard. Acquisition occurs upon entering the context."""

class RwLockReadGuard:
    """A context-manager guard for holding shared read access of an RwLock.

    Bound to the thread that made it. If it is destroyed while entered on
    another thread, the read access is released there, but the owner's read
    depth cannot be lowered from that thread: the owner's later reads may
    pass waiting writers.
    """

    def __enter__(self) -> RwLockReadGuard:
        """Enter the read lock context."""
    def __exit__(
        self,
        _exc_type: type[BaseException] | None,
        _exc_value: BaseException | None,
        _traceback: TracebackType | None,
    ) -> None:
        """Exit the read lock context, releasing the lock."""

class RwLockWriteGuard:
    """A context-manager guard for holding exclusive write access of an RwLock.

    Bound to the thread that made it. If it is destroyed while entered on
    another thread, the write access is released there.
    """

    def __enter__(self) -> RwLockWriteGuard:
        """Enter the write lock context."""
    def __exit__(
        self,
        _exc_type: type[BaseException] | None,
        _exc_value: BaseException | None,
        _traceback: TracebackType | None,
    ) -> None:
        """Exit the write lock context, releasing the lock."""
