"""The module as Python sees it: import, registration, the properties of
every class and the pinned signatures and docstrings; then the conventions
every call shares: binding messages, conversions, panics."""

import importlib.metadata
import inspect
import threading
import types
import weakref

import pytest

import torvan
from conftest import run_python
from torvan import _torvan
from torvan._torvan import (AtomicBoolean, AtomicInteger, Channel, ConcurrentMap, RwLock, RwLockReadGuard,
                            RwLockWriteGuard, ThreadPool, select)

# Registration order; per class: a sample instance, whether Python may call
# the class, subclass it, subscript it and take weak references to instances.
CLASSES = {
    "Channel": (lambda: Channel(), "call generic"),
    "RecvOp": (lambda: Channel().recv_op(), "generic"),
    "SendOp": (lambda: Channel().send_op(1), "generic"),
    "ConcurrentMap": (lambda: ConcurrentMap(), "call generic subclass"),
    "ThreadPool": (lambda: ThreadPool(1), "call weakref"),
    "AtomicInteger": (lambda: AtomicInteger(), "call"),
    "AtomicBoolean": (lambda: AtomicBoolean(), "call"),
    "RwLock": (lambda: RwLock(), "call"),
    "RwLockReadGuard": (lambda: RwLock().read(), ""),
    "RwLockWriteGuard": (lambda: RwLock().write(), ""),
}

SIGNATURES = {
    Channel: "(capacity=None)",
    select: "(ops, timeout=None)",
    AtomicInteger: "(value=0)",
    AtomicBoolean: "(value=False)",
    AtomicInteger.compare_and_set: "(self, /, expected, new_value, ordering=None)",
    ThreadPool: "(num_workers=None)",
    ThreadPool.submit: "(self, /, func, *args, **kwargs)",
    ThreadPool.shutdown: "(self, /, wait=True, cancel_futures=False)",
    ThreadPool.map: "(self, /, fn, *iterables, timeout=None, chunksize=1)",
    ThreadPool.__exit__: "(self, /, _exc_type, _exc_val, _exc_tb)",
    RwLockReadGuard.__exit__: "(self, /, _exc_type, _exc_value, _traceback)",
    RwLockWriteGuard.__exit__: "(self, /, _exc_type, _exc_value, _traceback)",
}

DOCSTRINGS = {  # the whole text, or its start where it ends in "..."
    AtomicInteger: "A thread-safe, lock-free 64-bit signed integer...",
    AtomicInteger.get: "Load the current value atomically.",
    ThreadPool: "An OS-level physical thread pool scheduler for heavy parallel computing.\n...",
    ThreadPool.submit: "Submit a task for parallel execution in the thread pool.\n"
                       "Instantiates and returns a standard `concurrent.futures.Future`.",
    ThreadPool.shutdown: "Shut down the thread pool, dropping the sender and joining all worker threads.",
}


def test_registration_and_reexport():
    assert _torvan.__all__ == [*CLASSES, "select"]
    assert torvan.__all__ == _torvan.__all__
    for name in _torvan.__all__:
        assert getattr(torvan, name) is getattr(_torvan, name)
    assert torvan.__version__ == importlib.metadata.version("torvan")
    assert select.__module__ == "torvan._torvan"
    lines = _torvan.__doc__.splitlines()
    assert len(lines) == 2 and "_torvan" in lines[0]


@pytest.mark.parametrize("name", CLASSES)
def test_class_properties(name):
    cls, (make, traits) = getattr(_torvan, name), CLASSES[name]
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__base__ is object and "__dict__" not in cls.__dict__
    # Types are not frozen; the attribute name is this thread's own.
    attribute = f"some_attribute_for_test_{threading.get_ident()}"
    setattr(cls, attribute, 1)
    assert getattr(cls, attribute) == 1
    delattr(cls, attribute)
    if "call" not in traits:
        with pytest.raises(TypeError):
            cls()
    if "subclass" in traits:
        sub = type("Sub", (cls,), {})
        assert type(sub[str, int]()) is sub
    else:
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
    if "generic" in traits:
        args = (str, int) if name == "ConcurrentMap" else (int,)
        alias = cls[args]
        assert type(alias) is types.GenericAlias and alias.__origin__ is cls and alias.__args__ == args
        if "call" in traits:
            assert type(alias()) is cls  # an alias can still be called to make an instance
    else:
        with pytest.raises(TypeError):
            cls[int]
    obj = make()
    with pytest.raises(AttributeError):
        obj.anything = 1
    if "weakref" in traits:
        assert weakref.ref(obj)() is obj
        obj.shutdown()
    else:
        with pytest.raises(TypeError):
            weakref.ref(obj)


@pytest.mark.parametrize("pinned", [*SIGNATURES, *DOCSTRINGS], ids=lambda f: f.__qualname__)
def test_signatures_and_docstrings(pinned):
    if pinned in SIGNATURES:
        assert str(inspect.signature(pinned)) == SIGNATURES[pinned]
    if pinned in DOCSTRINGS:
        doc = DOCSTRINGS[pinned]
        assert pinned.__doc__.startswith(doc[:-3]) if doc.endswith("...") else pinned.__doc__ == doc


def test_import_keeps_the_gil_disabled_reuses_types_and_refuses_subinterpreters():
    code = """
import sys, importlib
import concurrent.interpreters as interpreters
import torvan._torvan as a
print(sys._is_gil_enabled())
first = a.AtomicInteger
del sys.modules['torvan._torvan']
b = importlib.import_module('torvan._torvan')
print(b is not a and b.AtomicInteger is first)
interp = interpreters.create()
try:
    interp.exec('import torvan._torvan')
except interpreters.ExecutionFailed as exc:
    print(exc.excinfo.type.__name__, exc.excinfo.msg)
finally:
    interp.close()
"""
    gil, reused, refused = run_python(code).splitlines()
    assert (gil, reused) == ("False", "True")
    assert refused.startswith("ImportError") and "subinterpreters" in refused


# Conventions every call shares ----------------------------------------------------------


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


def numpy_named(**namespace):
    return type("bool_", (), {"__module__": "numpy", **namespace})()


# (call, exception type, its exact text, its notes): argument binding in the
# order its checks run (surplus positionals, then keywords, then missing
# ones), and the conversions every method shares.
FAILING_CALLS = [
    (lambda: AtomicInteger().get(1, 2), TypeError,
     "AtomicInteger.get() takes from 0 to 1 positional arguments but 2 were given", None),
    (lambda: AtomicInteger().fetch_add_relaxed(1, 2), TypeError,
     "AtomicInteger.fetch_add_relaxed() takes 1 positional arguments but 2 were given", None),
    (lambda: AtomicInteger(1, 2), TypeError,
     "AtomicInteger.__new__() takes from 0 to 1 positional arguments but 2 were given", None),
    (lambda: AtomicInteger().increment_relaxed(1), TypeError,
     "AtomicInteger.increment_relaxed() takes no arguments (1 given)", None),
    (lambda: AtomicInteger().get(foo=1), TypeError, "AtomicInteger.get() got an unexpected keyword argument 'foo'", None),
    (lambda: AtomicInteger().get(**{"f\0o": 1}), TypeError,
     "AtomicInteger.get() got an unexpected keyword argument 'f\0o'", None),
    (lambda: AtomicInteger().compare_and_set(1, expected=2), TypeError,
     "AtomicInteger.compare_and_set() got multiple values for argument 'expected'", None),
    (lambda: AtomicInteger().set(), TypeError, "AtomicInteger.set() missing 1 required positional argument: 'value'", None),
    (lambda: AtomicInteger().compare_and_set(), TypeError,
     "AtomicInteger.compare_and_set() missing 2 required positional arguments: 'expected' and 'new_value'", None),
    (lambda: AtomicInteger().compare_and_set(ordering="relaxed", expected=1), TypeError,
     "AtomicInteger.compare_and_set() missing 1 required positional argument: 'new_value'", None),
    (lambda: AtomicInteger().set(1, 2, 3, foo=1), TypeError,
     "AtomicInteger.set() takes from 1 to 2 positional arguments but 3 were given", None),
    (lambda: AtomicInteger().set(foo=1), TypeError, "AtomicInteger.set() got an unexpected keyword argument 'foo'", None),
    *[(lambda v=v: AtomicInteger().fetch_add(v), error, None, ["while processing 'delta'"])
      for v, error in [(1.5, TypeError), ("x", TypeError), (None, TypeError), (2**63, OverflowError),
                       (-(2**63) - 1, OverflowError)]],
    (lambda: AtomicInteger(2**63), OverflowError, None, ["while processing 'value'"]),
    (lambda: AtomicInteger().set(Index(ZeroDivisionError("boom"))), ZeroDivisionError, "boom",
     ["while processing 'value'"]),
    *[(lambda v=v: AtomicBoolean(v), TypeError, None, ["while processing 'value'"]) for v in (0, None, "True", 1.0)],
    (lambda: AtomicBoolean(1), TypeError, "'int' object is not an instance of 'bool'", ["while processing 'value'"]),
    (lambda: AtomicBoolean().set(None), TypeError, "'None' is not an instance of 'bool'", ["while processing 'value'"]),
    (lambda: AtomicBoolean(numpy_named()), TypeError, "object of type 'bool_' does not define a '__bool__' conversion",
     ["while processing 'value'"]),
    (lambda: AtomicInteger().get(ordering=1), TypeError, "'int' object is not an instance of 'str'",
     ["while processing 'ordering'"]),
    (lambda: AtomicInteger().get(ordering="\ud800"), UnicodeEncodeError, None, ["while processing 'ordering'"]),
]


@pytest.mark.parametrize("call, error, message, notes", FAILING_CALLS)
def test_failing_calls(call, error, message, notes):
    with pytest.raises(error) as info:
        call()
    assert type(info.value) is error
    if message is not None:
        assert str(info.value) == message
    assert getattr(info.value, "__notes__", None) == notes


def test_accepted_conversions():
    a = AtomicInteger(value=3)
    assert a.compare_and_set(new_value=9, expected=3, ordering="seq_cst") is True and a.get(ordering=None) == 9
    assert a.fetch_add(True) == 9 and a.add_and_get(Index(7)) == 17
    assert AtomicInteger(-(2**63)).get() == -(2**63)
    assert AtomicInteger(4).get(ordering=type("Name", (str,), {})("acquire")) == 4
    assert AtomicBoolean(numpy_named(__bool__=lambda self: True)).get() is True
    np = pytest.importorskip("numpy")
    assert AtomicBoolean(np.True_).get() is True and AtomicBoolean(np.bool_(False)).get() is False
    with pytest.raises(TypeError):
        AtomicBoolean(np.int64(1))


def test_panic_is_a_base_exception_made_once_and_not_exported():
    panics = []
    for call in (lambda: AtomicInteger().get(ordering="release"), lambda: AtomicInteger().set(1, ordering="acq_rel")):
        try:
            try:
                call()
            except Exception:  # noqa: BLE001 - the point of the test: it must not catch a panic
                pytest.fail("except Exception caught a panic")
        except BaseException as exc:  # noqa: BLE001
            panics.append(exc)
    assert type(panics[0]) is type(panics[1]) and type(panics[0]).__name__ == "PanicException"
    assert panics[0].args == ("there is no such thing as a release load",) and type(panics[0]).__doc__
    assert "PanicException" not in _torvan.__all__ and not hasattr(_torvan, "PanicException")
