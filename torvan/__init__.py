"""Concurrency primitives for free-threaded CPython.

Everything public lives in the native module :mod:`torvan._torvan` and is
re-exported here.
"""

from torvan import _torvan
from torvan._torvan import *  # noqa: F401,F403

__all__ = list(_torvan.__all__)
