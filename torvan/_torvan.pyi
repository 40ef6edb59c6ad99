"""Type stubs for the native module torvan._torvan."""

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
