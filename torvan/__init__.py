"""Concurrency primitives for free-threaded CPython.

Everything public lives in the native module :mod:`torvan._torvan` and is
re-exported here.
"""

from torvan._torvan import *
from torvan._torvan import __all__ as __all__
from torvan._version import __version__
