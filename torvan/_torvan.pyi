"""Type stubs for the native module torvan._torvan."""

from types import TracebackType
from typing import Literal

__all__: list[str]

_Ordering = Literal["relaxed", "Relaxed", "release", "Release", "acquire", "Acquire", "acq_rel", "AcqRel", "seq_cst", "SeqCst"]

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
