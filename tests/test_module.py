"""The module as Python sees it (import, classes, pinned signatures), and what every call shares (binding, panics)."""

import importlib.metadata
import inspect
import shutil
import subprocess
import types
import weakref
from pathlib import Path

import pytest

import torvan
from conftest import run_python
from torvan import _torvan
from torvan._torvan import (AtomicBoolean, AtomicInteger, Channel, ConcurrentMap, RwLock, RwLockReadGuard,
                            RwLockWriteGuard, ThreadPool, select)

# Registration order; per class a sample instance, and may Python call, subclass, subscript it, weakly refer to one?
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
PINNED = {  # signature, docstring (the whole text, or its start where it ends in "..."); None: not pinned
    Channel: ("(capacity=None)", None),
    select: ("(ops, timeout=None)", None),
    AtomicInteger: ("(value=0)", "A thread-safe, lock-free 64-bit signed integer..."),
    AtomicInteger.get: (None, "Load the current value atomically."),
    AtomicBoolean: ("(value=False)", None),
    AtomicInteger.compare_and_set: ("(self, /, expected, new_value, ordering=None)", None),
    ThreadPool: ("(num_workers=None)", "An OS-level physical thread pool scheduler for heavy parallel computing.\n..."),
    ThreadPool.submit: ("(self, /, func, *args, **kwargs)", "Submit a task for parallel execution in the thread pool.\n"
                        "Instantiates and returns a standard `concurrent.futures.Future`."),
    ThreadPool.shutdown: ("(self, /, wait=True, cancel_futures=False)",
                          "Shut down the thread pool, dropping the sender and joining all worker threads."),
    RwLockReadGuard.__exit__: ("(self, /, _exc_type, _exc_value, _traceback)", None),
    RwLockWriteGuard.__exit__: ("(self, /, _exc_type, _exc_value, _traceback)", None),
}


class TestTypes:
    def test_registration_and_reexport(self):
        assert _torvan.__all__ == [*CLASSES, "select"]
        assert torvan.__all__ == [*_torvan.__all__, "ChannelClosed", "ChannelEmpty", "ChannelFull", "PanicException",
                                  "ThreadPoolExecutor"]
        assert all(getattr(torvan, name) is getattr(_torvan, name) for name in _torvan.__all__)
        # The pool has submit and shutdown and nothing else: the executor habits are ThreadPoolExecutor's.
        assert {name for name in vars(ThreadPool) if not name.startswith("__")} == {"submit", "shutdown"}
        assert not {"__enter__", "__exit__", "__repr__"} & set(vars(ThreadPool))
        assert (torvan.__version__, select.__module__) == (importlib.metadata.version("torvan"), "torvan._torvan")
        assert len(_torvan.__doc__.splitlines()) == 2 and "_torvan" in _torvan.__doc__.splitlines()[0]

    @pytest.mark.parametrize("name", CLASSES)
    def test_class_properties(self, name):
        cls, (make, traits) = getattr(_torvan, name), CLASSES[name]
        assert (cls.__module__, cls.__name__, cls.__qualname__, cls.__base__) == ("builtins", name, name, object)
        assert "__dict__" not in cls.__dict__ and not cls.__flags__ & 1 << 8  # Py_TPFLAGS_IMMUTABLETYPE: not frozen
        args, obj = (str, int) if name == "ConcurrentMap" else (int,), make()
        with pytest.raises(AttributeError):
            obj.anything = 1
        attempts = {"call": cls, "subclass": lambda: type("Sub", (cls,), {}), "generic": lambda: cls[args],
                    "weakref": lambda: weakref.ref(obj)}
        for refused in set(attempts) - set(traits.split()):
            with pytest.raises(TypeError):
                attempts[refused]()
        made = {trait: attempts[trait]() for trait in traits.split() if trait != "call"}
        assert "subclass" not in made or type(made["subclass"][str, int]()) is made["subclass"]
        if alias := made.get("generic"):
            assert type(alias) is types.GenericAlias and alias.__origin__ is cls and alias.__args__ == args
            assert "call" not in traits or type(alias()) is cls  # an alias can still be called to make an instance
        if "weakref" in made:
            assert made["weakref"]() is obj
            obj.shutdown()

    @pytest.mark.parametrize("pinned", PINNED, ids=lambda f: f.__qualname__)
    def test_signatures_and_docstrings(self, pinned):
        signature, doc = PINNED[pinned]
        assert signature is None or str(inspect.signature(pinned)) == signature
        assert doc is None or (pinned.__doc__.startswith(doc[:-3]) if doc.endswith("...") else pinned.__doc__ == doc)

    def test_import_keeps_the_gil_disabled_reuses_types_and_refuses_subinterpreters(self):
        code = """
import sys, importlib, concurrent.interpreters as interpreters, torvan._torvan as a
print(sys._is_gil_enabled())
del sys.modules['torvan._torvan']
b = importlib.import_module('torvan._torvan')
print(b is not a and b.AtomicInteger is a.AtomicInteger)
interp = interpreters.create()
try:
    interp.exec('import torvan._torvan')
except interpreters.ExecutionFailed as exc:
    print(exc.excinfo.type.__name__, exc.excinfo.msg)
interp.close()
"""
        gil, reused, refused = run_python(code).splitlines()
        assert (gil, reused, refused.split()[0]) == ("False", "True", "ImportError") and "subinterpreters" in refused


@pytest.mark.skipif(shutil.which("cmake") is None, reason="needs cmake")
@pytest.mark.parametrize("soabi, refused", [("cpython-314-x86_64-linux-gnu", True), ("cpython-314t-darwin", False)])
def test_a_regular_interpreter_is_refused_before_anything_is_compiled(soabi, refused):
    script = Path(__file__).resolve().parents[1] / "cmake" / "free_threaded.cmake"
    done = subprocess.run(["cmake", f"-DSOABI={soabi}", "-DEXECUTABLE=/usr/bin/python3.14", "-P", str(script)],
                          capture_output=True, text=True, timeout=60)
    assert (done.returncode != 0) == refused
    message = " ".join(done.stderr.split())  # CMake wraps it
    assert ("torvan needs the free-threaded build of CPython 3.14 (python3.14t), but /usr/bin/python3.14 is a "
            "regular build with the global interpreter lock" in message) == refused


def instance(name, module=__name__, **namespace):
    return type(name, (), {"__module__": module, **namespace})()


def boom(self):
    raise ZeroDivisionError("boom")


ATOMIC = AtomicInteger()  # every call below fails before it changes anything
# TypeErrors without notes, in the order the checks run: surplus positionals, then keywords, then missing ones.
BINDING_ERRORS = [
    (lambda: ATOMIC.get(1, 2), "AtomicInteger.get() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda: ATOMIC.fetch_add_relaxed(1, 2),
     "AtomicInteger.fetch_add_relaxed() takes 1 positional arguments but 2 were given"),
    (lambda: AtomicInteger(1, 2), "AtomicInteger.__new__() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda: ATOMIC.increment_relaxed(1), "AtomicInteger.increment_relaxed() takes no arguments (1 given)"),
    (lambda: ATOMIC.get(**{"f\0o": 1}), "AtomicInteger.get() got an unexpected keyword argument 'f\0o'"),
    (lambda: ATOMIC.set(1, value=2), "AtomicInteger.set() got multiple values for argument 'value'"),
    (lambda: ATOMIC.set(), "AtomicInteger.set() missing 1 required positional argument: 'value'"),
    (lambda: ATOMIC.compare_and_set(),
     "AtomicInteger.compare_and_set() missing 2 required positional arguments: 'expected' and 'new_value'"),
    (lambda: ATOMIC.compare_and_set(ordering="relaxed", expected=1),
     "AtomicInteger.compare_and_set() missing 1 required positional argument: 'new_value'"),
    (lambda: ATOMIC.set(1, 2, 3, foo=1), "AtomicInteger.set() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: ATOMIC.set(foo=1), "AtomicInteger.set() got an unexpected keyword argument 'foo'"),
]
# (call, exception type, its text or None, the argument its note names); each argument converted before the ordering.
CONVERSION_ERRORS = [
    *[(lambda v=v: ATOMIC.fetch_add(v), error, None, "delta") for v, error in
      [(1.5, TypeError), ("x", TypeError), (None, TypeError), (2**63, OverflowError), (-(2**63) - 1, OverflowError)]],
    (lambda: ATOMIC.set(instance("Index", __index__=boom)), ZeroDivisionError, "boom", "value"),
    *[(lambda v=v: AtomicBoolean(v), TypeError, None, "value") for v in (0, None, "True", 1.0)],
    (lambda: AtomicBoolean(1), TypeError, "'int' object is not an instance of 'bool'", "value"),
    (lambda: AtomicBoolean().set(None), TypeError, "'None' is not an instance of 'bool'", "value"),
    (lambda: AtomicBoolean(instance("bool_", "numpy")), TypeError,
     "object of type 'bool_' does not define a '__bool__' conversion", "value"),
    (lambda: AtomicBoolean(instance("int64", "numpy", __bool__=lambda self: True)), TypeError, None, "value"),
    (lambda: ATOMIC.get(ordering=1), TypeError, "'int' object is not an instance of 'str'", "ordering"),
    (lambda: ATOMIC.get(ordering="\ud800"), UnicodeEncodeError, None, "ordering"),
    (lambda: ATOMIC.set("x", ordering="bogus"), TypeError, None, "value"),
    (lambda: AtomicBoolean().compare_and_set(True, 1, ordering="bogus"), TypeError, None, "new_value"),
]


class TestCalls:
    @pytest.mark.parametrize("call, error, message, argument",
                             [(call, TypeError, message, None) for call, message in BINDING_ERRORS] + CONVERSION_ERRORS)
    def test_failing_calls(self, call, error, message, argument):
        with pytest.raises(error) as info:
            call()
        assert type(info.value) is error and message in (None, str(info.value))
        assert getattr(info.value, "__notes__", None) == ([f"while processing '{argument}'"] if argument else None)

    def test_accepted_conversions(self):
        a = AtomicInteger(value=3)
        assert a.compare_and_set(new_value=9, expected=3, ordering="seq_cst") is True and a.get(ordering=None) == 9
        assert a.fetch_add(True) == 9 and a.add_and_get(instance("Index", __index__=lambda self: 7)) == 17
        assert AtomicInteger(4).get(ordering=type("Name", (str,), {})("acquire")) == 4
        for name, value in (("bool_", True), ("bool", False)):  # numpy's boolean scalars, known by type name and module
            assert AtomicBoolean(instance(name, "numpy", __bool__=lambda self, value=value: value)).get() is value

    def test_panic_is_a_base_exception_made_once_and_not_exported(self):
        with pytest.raises(BaseException) as load:
            AtomicInteger().get(ordering="release")
        with pytest.raises(BaseException) as store:
            AtomicInteger().set(1, ordering="acq_rel")
        assert type(load.value) is type(store.value) and type(load.value).__doc__
        assert not isinstance(load.value, Exception)  # `except Exception` must not catch a panic
        assert load.value.args == ("there is no such thing as a release load",)
        assert "PanicException" not in _torvan.__all__ and not hasattr(_torvan, "PanicException")
        assert type(load.value) is torvan.PanicException and torvan.PanicException.__name__ == "PanicException"
