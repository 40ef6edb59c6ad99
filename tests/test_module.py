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


class raises_exactly:
    """pytest.raises that also checks the message text exactly (notes aside)."""

    def __init__(self, exc_type, message):
        self.raises = pytest.raises(exc_type)
        self.message = message

    def __enter__(self):
        self.info = self.raises.__enter__()
        return self.info

    def __exit__(self, *exc):
        suppressed = self.raises.__exit__(*exc)
        assert str(self.info.value) == self.message
        return suppressed


class TestBindingMessages:
    def test_too_many_positional(self):
        with raises_exactly(TypeError, "AtomicInteger.get() takes from 0 to 1 positional arguments but 2 were given"):
            AtomicInteger().get(1, 2)
        with raises_exactly(TypeError, "AtomicInteger.fetch_add_relaxed() takes 1 positional arguments but 2 were given"):
            AtomicInteger().fetch_add_relaxed(1, 2)
        with raises_exactly(TypeError, "AtomicInteger.__new__() takes from 0 to 1 positional arguments but 2 were given"):
            AtomicInteger(1, 2)

    def test_unexpected_and_duplicate_keywords(self):
        with raises_exactly(TypeError, "AtomicInteger.get() got an unexpected keyword argument 'foo'"):
            AtomicInteger().get(foo=1)
        with raises_exactly(TypeError, "AtomicInteger.get() got an unexpected keyword argument 'f\0o'"):
            AtomicInteger().get(**{"f\0o": 1})
        with raises_exactly(TypeError, "AtomicInteger.compare_and_set() got multiple values for argument 'expected'"):
            AtomicInteger().compare_and_set(1, expected=2)

    def test_missing_arguments_are_all_named(self):
        with raises_exactly(TypeError, "AtomicInteger.set() missing 1 required positional argument: 'value'"):
            AtomicInteger().set()
        with raises_exactly(
            TypeError,
            "AtomicInteger.compare_and_set() missing 2 required positional arguments: 'expected' and 'new_value'",
        ):
            AtomicInteger().compare_and_set()
        with raises_exactly(
            TypeError, "AtomicInteger.compare_and_set() missing 1 required positional argument: 'new_value'"
        ):
            AtomicInteger().compare_and_set(ordering="relaxed", expected=1)

    def test_checks_run_in_order(self):
        # Surplus positionals before keyword problems, keyword problems before missing ones.
        with raises_exactly(TypeError, "AtomicInteger.set() takes from 1 to 2 positional arguments but 3 were given"):
            AtomicInteger().set(1, 2, 3, foo=1)
        with raises_exactly(TypeError, "AtomicInteger.set() got an unexpected keyword argument 'foo'"):
            AtomicInteger().set(foo=1)

    def test_keywords_fill_parameters_by_name(self):
        a = AtomicInteger(value=3)
        assert a.compare_and_set(new_value=9, expected=3, ordering="seq_cst") is True
        assert a.get(ordering=None) == 9

    def test_no_argument_methods_reject_arguments(self):
        with pytest.raises(TypeError):
            AtomicInteger().increment_relaxed(1)


class TestConversions:
    def test_integer_conversion_accepts_int_bool_and_index(self):
        class Index:
            def __index__(self):
                return 7

        a = AtomicInteger()
        assert a.fetch_add(True) == 0 and a.get() == 1
        assert a.add_and_get(Index()) == 8
        assert AtomicInteger(-(2**63)).get() == -(2**63)

    @pytest.mark.parametrize("value, exc_type", [(1.5, TypeError), ("x", TypeError), (None, TypeError),
                                                 (2**63, OverflowError), (-(2**63) - 1, OverflowError)])
    def test_integer_conversion_errors_carry_the_parameter_note(self, value, exc_type):
        with pytest.raises(exc_type) as info:
            AtomicInteger().fetch_add(value)
        assert info.value.__notes__ == ["while processing 'delta'"]
        with pytest.raises(exc_type) as info:
            AtomicInteger(value)
        assert info.value.__notes__ == ["while processing 'value'"]

    def test_failing_index_propagates_unchanged(self):
        class Bad:
            def __index__(self):
                raise ZeroDivisionError("boom")

        with pytest.raises(ZeroDivisionError, match="boom") as info:
            AtomicInteger().set(Bad())
        assert info.value.__notes__ == ["while processing 'value'"]

    @pytest.mark.parametrize("value", [0, 1, None, "True", 1.0])
    def test_strict_bool_rejects_non_bools(self, value):
        with pytest.raises(TypeError, match="is not an instance of 'bool'") as info:
            AtomicBoolean(value)
        assert info.value.__notes__ == ["while processing 'value'"]

    def test_strict_bool_cast_error_text(self):
        with raises_exactly(TypeError, "'int' object is not an instance of 'bool'"):
            AtomicBoolean(1)
        with raises_exactly(TypeError, "'None' is not an instance of 'bool'"):
            AtomicBoolean().set(None)

    def test_numpy_booleans_are_accepted(self):
        np = pytest.importorskip("numpy")
        assert AtomicBoolean(np.True_).get() is True
        assert AtomicBoolean(np.bool_(False)).get() is False
        with pytest.raises(TypeError):
            AtomicBoolean(np.int64(1))

    def test_numpy_named_type_without_bool_conversion(self):
        fake = type("bool_", (), {"__module__": "numpy"})
        with raises_exactly(TypeError, "object of type 'bool_' does not define a '__bool__' conversion"):
            AtomicBoolean(fake())
        truthy = type("bool_", (), {"__module__": "numpy", "__bool__": lambda self: True})
        assert AtomicBoolean(truthy()).get() is True

    def test_text_conversion(self):
        with pytest.raises(TypeError, match="'int' object is not an instance of 'str'") as info:
            AtomicInteger().get(ordering=1)
        assert info.value.__notes__ == ["while processing 'ordering'"]
        with pytest.raises(UnicodeEncodeError) as info:
            AtomicInteger().get(ordering="\ud800")
        assert info.value.__notes__ == ["while processing 'ordering'"]

    def test_str_subclass_is_text(self):
        class Name(str):
            pass

        assert AtomicInteger(4).get(ordering=Name("acquire")) == 4


class TestPanicException:
    def get_panic(self):
        with pytest.raises(BaseException) as info:
            AtomicInteger().get(ordering="release")
        return info.value

    def test_panic_derives_from_base_exception_only(self):
        panic = self.get_panic()
        assert type(panic).__name__ == "PanicException"
        assert isinstance(panic, BaseException) and not isinstance(panic, Exception)
        assert panic.args == ("there is no such thing as a release load",)
        assert type(panic).__doc__

    def test_except_exception_does_not_catch_it(self):
        caught_by = None
        try:
            try:
                AtomicInteger().set(1, ordering="acq_rel")
            except Exception:  # noqa: BLE001 - the point of the test
                caught_by = "Exception"
        except BaseException:  # noqa: BLE001
            caught_by = "BaseException"
        assert caught_by == "BaseException"

    def test_panic_type_is_created_once_and_not_exported(self):
        assert type(self.get_panic()) is type(self.get_panic())
        assert "PanicException" not in _torvan.__all__
        assert not hasattr(_torvan, "PanicException")
