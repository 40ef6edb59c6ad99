"""ConcurrentMap: construction and bad input, reference handling, shard order
of the listings, subclasses. (Single-threaded semantics are also checked
against a dict model in test_map_model.py.)"""

import gc
import os
import sys
import weakref

import pytest

from conftest import run_python
from torvan import ConcurrentMap


class Token:
    """A value that can be watched through a weak reference."""


def test_default_shard_count_follows_available_processors():
    expected = 16
    while expected < len(os.sched_getaffinity(0)):
        expected *= 2
    assert ConcurrentMap().shard_count == ConcurrentMap(shard_count=None).shard_count == expected
    code = ("import os; os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})\n"
            "from torvan import ConcurrentMap; print(ConcurrentMap().shard_count)")
    assert run_python(code) == "16"
    assert ConcurrentMap(3).shard_count == 3 and ConcurrentMap(1000).shard_count == 1000


@pytest.mark.parametrize("bad, error", [(0, ValueError), (-1, OverflowError), (2**64, OverflowError),
                                        (1.5, TypeError), ("3", TypeError)])
def test_bad_shard_count(bad, error):
    with pytest.raises(error) as info:
        ConcurrentMap(bad)
    if bad == 0:
        assert str(info.value) == "shard_count must be greater than zero"
    else:
        assert info.value.__notes__ == ["while processing 'shard_count'"]


def test_unallocatable_shard_array_raises_memory_error():
    # In a subprocess, because AddressSanitizer's allocator aborts on such
    # requests unless told to fail them like the system allocator.
    code = ("from torvan import ConcurrentMap\n"
            "for huge in (2**62, 2**58, 2**50, 2**64 - 1):\n"
            "    try:\n"
            "        ConcurrentMap(huge)\n"
            "    except MemoryError:\n"
            "        print('MemoryError')\n")
    env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":allocator_may_return_null=1")
    assert run_python(code, env=env).split() == ["MemoryError"] * 4


def test_arguments_and_protocols():
    m = ConcurrentMap()
    m.set(key="k", value=1)
    assert m.get_or_insert(key="j", default=2) == 2 and m.pop_val(key="j") == (True, 2)
    with pytest.raises(TypeError, match=r"^ConcurrentMap.get_or_insert\(\) missing 1 required positional argument: 'default'$"):
        m.get_or_insert("k")
    for unsupported in (lambda: m["k"], lambda: iter(m), lambda: "k" in m):
        with pytest.raises(TypeError):
            unsupported()
    with pytest.raises(TypeError, match="unhashable type: 'list'"):
        m.set([], 1)
    assert m.items() == [("k", 1)]


def test_equal_key_keeps_the_first_key_object():
    m = ConcurrentMap()
    k, k2 = (1, "".join("ab")), (1, "".join("ab"))
    m.set(k, 1)
    m.set(k2, 2)
    m.set(1.0, "float")
    m.set(True, "bool")  # equal to 1.0
    assert m.len() == len(m) == 2
    stored = {type(key): key for key in m.keys()}
    assert stored[tuple] is k and m.get(k) == 2
    assert float in stored and m.get(1) == "bool"


def test_map_holds_exactly_one_reference_to_each_key_and_value():
    m = ConcurrentMap()
    key, value = Token(), Token()
    watch = weakref.ref(value)
    base_key, base_value = sys.getrefcount(key), sys.getrefcount(value)
    m.set(key, value)
    for _ in range(3):
        m.get(key), m.get_val(key), m.contains_key(key), m.get_or_insert(key, 0), m.keys(), m.items(), m.values()
    assert (sys.getrefcount(key), sys.getrefcount(value)) == (base_key + 1, base_value + 1)
    m.set(key, 0)
    assert sys.getrefcount(value) == base_value
    m.set(key, value)
    m.delete(key)
    assert (sys.getrefcount(key), sys.getrefcount(value)) == (base_key, base_value)
    m.set(key, value)
    del value, m
    assert watch() is None and sys.getrefcount(key) == base_key


def test_listings_follow_shard_index_order():
    # Shard = unsigned hash value modulo the count; hash(-2) == -2 is 2**64 - 2.
    m = ConcurrentMap(16)
    for k in (2, 17, 16, -2):
        m.set(k, None)
    assert m.keys() == [16, 17, 2, -2]
    m = ConcurrentMap(3)
    for k in (5, -2, 1, 3):
        m.set(k, None)
    assert m.keys() == [3, 1, 5, -2] or m.keys() == [3, 1, -2, 5]  # 5 and -2 share shard 2
    listed = m.keys()
    listed.append(99)
    assert 99 not in m.keys()


@pytest.mark.thread_unsafe(reason="gc.collect() returns at once while another thread collects")
def test_subclasses_are_created_and_freed_with_their_contents():
    class Named(ConcurrentMap):
        def __new__(cls, shard_count=None, name=""):
            return super().__new__(cls, shard_count)

        def __init__(self, shard_count=None, name=""):
            self.name = name

    class Slotted(ConcurrentMap):
        __slots__ = ()

    m = Named(4, name="cache")
    assert m.shard_count == 4 and m.name == "cache" and gc.is_tracked(m)
    value = Token()
    watch_value = weakref.ref(value)
    m.set("v", value)
    m.me = m  # a cycle through the instance dictionary
    watch_map = weakref.ref(m)
    del m, value
    gc.collect()
    assert watch_map() is None and watch_value() is None

    with pytest.raises(AttributeError):
        Slotted(2).anything = 1
    gc.collect()
    base = sys.getrefcount(Named)
    for _ in range(1000):
        Named(1).set(1, 1)
        Slotted(1).set(1, 1)
    gc.collect()  # instances count their type per thread; a collection merges the counts
    assert sys.getrefcount(Named) == base
    watch_type = weakref.ref(Named)
    del Named
    gc.collect()
    assert watch_type() is None
