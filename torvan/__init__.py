"""Concurrency primitives for free-threaded CPython.

The primitives live in the native module :mod:`torvan._torvan` and are
re-exported here, beside what the package adds in Python: the exception
classes of channels, ``PanicException`` and ``ThreadPoolExecutor``.
"""

# ThreadPool.submit imports contextvars on every call. Imported here first, so
# that no submit performs its first import: a fork at that moment would leave
# the child an import lock held by a thread it does not have.
import contextvars  # noqa: F401

# First: the native module raises these classes once this module is loaded.
from torvan._errors import ChannelClosed, ChannelEmpty, ChannelFull
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
from torvan._executor import ThreadPoolExecutor
from torvan._version import __version__

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
    "ChannelClosed",
    "ChannelEmpty",
    "ChannelFull",
    "PanicException",
    "ThreadPoolExecutor",
]


def _panic_exception() -> type[BaseException]:
    # The native module creates PanicException on its first internal failure
    # and does not expose it; a release load is refused with one, so the
    # type is found by asking for one.
    try:
        AtomicInteger().get("release")
    except BaseException as failure:  # noqa: BLE001 - the very type is wanted
        return type(failure)
    raise ImportError("torvan._torvan did not refuse a release load")


PanicException = _panic_exception()
"""Raised when native code called from Python fails internally. It derives from
BaseException, like SystemExit, so that ``except Exception`` does not catch it."""
