"""The module as Python sees it: import, registration, type properties."""

import importlib.metadata
import inspect
import threading
import types
import weakref

import pytest

from conftest import run_python

import torvan
from torvan import _torvan

ALL_NAMES = [
    "Channel", "RecvOp", "SendOp", "ConcurrentMap", "ThreadPool", "AtomicInteger",
    "AtomicBoolean", "RwLock", "RwLockReadGuard", "RwLockWriteGuard", "select",
]
CONSTRUCTIBLE = {"Channel", "ConcurrentMap", "ThreadPool", "AtomicInteger", "AtomicBoolean", "RwLock"}
REGISTERED = [name for name in _torvan.__all__ if name != "select"]


def test_import_keeps_the_gil_disabled():
    assert run_python("import sys, torvan._torvan, torvan; print(sys._is_gil_enabled())") == "False"


def test_all_lists_registered_names_in_registration_order():
    names = _torvan.__all__
    assert names == ALL_NAMES
    for name in names:
        assert hasattr(_torvan, name)


def test_package_reexports_every_public_name_and_its_version():
    assert torvan.__all__ == _torvan.__all__
    for name in _torvan.__all__:
        assert getattr(torvan, name) is getattr(_torvan, name)
    assert torvan.__version__ == importlib.metadata.version("torvan")


@pytest.mark.parametrize("cls, args", [
    (_torvan.Channel, (int,)),
    (_torvan.RecvOp, (int,)),
    (_torvan.SendOp, (str,)),
    (_torvan.ConcurrentMap, (str, int)),
    (type("Sub", (_torvan.ConcurrentMap,), {}), (str, int)),
])
def test_generic_classes_take_type_arguments_as_the_standard_containers_do(cls, args):
    alias = cls[args]
    assert type(alias) is types.GenericAlias
    assert alias.__origin__ is cls and alias.__args__ == args
    if cls is not _torvan.RecvOp and cls is not _torvan.SendOp:
        assert type(alias()) is cls  # an alias can still be called to make an instance


@pytest.mark.parametrize("name", [n for n in REGISTERED if n not in ("Channel", "RecvOp", "SendOp", "ConcurrentMap")])
def test_other_classes_take_no_type_arguments(name):
    with pytest.raises(TypeError):
        getattr(_torvan, name)[int]


@pytest.mark.parametrize("name", REGISTERED)
def test_class_properties(name):
    cls = getattr(_torvan, name)
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__base__ is object
    # No instance dictionary, no garbage-collector tracking of the class itself.
    assert "__dict__" not in cls.__dict__
    # Attributes may be set on the class object (types are not frozen); the
    # name is this thread's own, as other threads may be doing the same.
    attribute = f"some_attribute_for_test_{threading.get_ident()}"
    setattr(cls, attribute, 1)
    try:
        assert getattr(cls, attribute) == 1
    finally:
        delattr(cls, attribute)


@pytest.mark.parametrize("name", REGISTERED)
def test_only_concurrent_map_is_subclassable(name):
    cls = getattr(_torvan, name)
    if name == "ConcurrentMap":
        type("Sub", (cls,), {})
    else:
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})


@pytest.mark.parametrize("name", [n for n in REGISTERED if n not in CONSTRUCTIBLE])
def test_classes_without_constructor_cannot_be_called(name):
    with pytest.raises(TypeError):
        getattr(_torvan, name)()


def test_instances_have_no_dict_and_weak_references_only_for_thread_pool():
    samples = {
        "Channel": lambda: _torvan.Channel(),
        "RecvOp": lambda: _torvan.Channel().recv_op(),
        "SendOp": lambda: _torvan.Channel().send_op(1),
        "AtomicInteger": lambda: _torvan.AtomicInteger(),
        "AtomicBoolean": lambda: _torvan.AtomicBoolean(),
        "ConcurrentMap": lambda: _torvan.ConcurrentMap(),
        "RwLock": lambda: _torvan.RwLock(),
        "RwLockReadGuard": lambda: _torvan.RwLock().read(),
        "RwLockWriteGuard": lambda: _torvan.RwLock().write(),
        "ThreadPool": lambda: _torvan.ThreadPool(1),
    }
    for name, make in samples.items():
        obj = make()
        with pytest.raises(AttributeError):
            obj.anything = 1
        if name == "ThreadPool":
            assert weakref.ref(obj)() is obj
            obj.shutdown()
        else:
            with pytest.raises(TypeError):
                weakref.ref(obj)


def test_reimport_reuses_the_type_objects():
    code = (
        "import sys, importlib\n"
        "import torvan._torvan as a\n"
        "first = a.AtomicInteger\n"
        "del sys.modules['torvan._torvan']\n"
        "b = importlib.import_module('torvan._torvan')\n"
        "assert b is not a and b.AtomicInteger is first\n"
        "print('ok')\n"
    )
    assert run_python(code) == "ok"


def test_module_refuses_subinterpreters():
    code = (
        "import concurrent.interpreters as interpreters\n"
        "interp = interpreters.create()\n"
        "try:\n"
        "    interp.exec('import torvan._torvan')\n"
        "except interpreters.ExecutionFailed as exc:\n"
        "    print(exc.excinfo.type.__name__, exc.excinfo.msg)\n"
        "finally:\n"
        "    interp.close()\n"
    )
    out = run_python(code)
    assert out.startswith("ImportError"), out
    assert "subinterpreters" in out


def test_signatures():
    assert str(inspect.signature(_torvan.Channel)) == "(capacity=None)"
    assert str(inspect.signature(_torvan.select)) == "(ops, timeout=None)"
    assert _torvan.select.__module__ == "torvan._torvan"
    assert str(inspect.signature(_torvan.AtomicInteger)) == "(value=0)"
    assert str(inspect.signature(_torvan.AtomicBoolean)) == "(value=False)"
    assert str(inspect.signature(_torvan.AtomicInteger.compare_and_set)) == "(self, /, expected, new_value, ordering=None)"
    assert _torvan.AtomicInteger.get.__doc__ == "Load the current value atomically."
    assert _torvan.AtomicInteger.__doc__.startswith("A thread-safe, lock-free 64-bit signed integer")


def test_module_docstring():
    lines = _torvan.__doc__.splitlines()
    assert len(lines) == 2
    assert "_torvan" in lines[0]
