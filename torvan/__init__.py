"""Concurrency primitives for free-threaded CPython.

Everything public lives in the native module :mod:`torvan._torvan` and is
re-exported here.
"""

from torvan._torvan import (
    AtomicBoolean,
    AtomicInteger,
    Channel,
    ConcurrentMap,
    RecvOp,
    RwLock,
    RwLockReadGuard,
    RwLockWriteGuard,
    SendOp,
    ThreadPool,
    select,
)
from torvan._version import __version__

# Spelled out, in the native module's order, so that type checkers see them.
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
