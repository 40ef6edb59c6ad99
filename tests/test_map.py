"""ConcurrentMap: construction, the operations, listings, shard order,
subclassing and bad input."""

import gc
import inspect
import os
import sys
import weakref

import pytest

from conftest import run_python
from torvan import ConcurrentMap


class Token:
    """A value that can be watched through a weak reference."""


def shard_of(key, shard_count):
    return (hash(key) & (2**64 - 1)) % shard_count


class TestConstruction:
    def test_default_shard_count_follows_available_processors(self):
        n = len(os.sched_getaffinity(0))
        expected = 16
        while expected < n:
            expected *= 2
        assert ConcurrentMap().shard_count == expected
        assert ConcurrentMap(None).shard_count == expected
        assert ConcurrentMap(shard_count=None).shard_count == expected

    def test_default_on_one_processor_is_sixteen(self):
        code = "import os; os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})\n" \
               "from torvan import ConcurrentMap; print(ConcurrentMap().shard_count)"
        assert run_python(code) == "16"

    def test_explicit_count_is_taken_unchanged(self):
        assert ConcurrentMap(3).shard_count == 3
        assert ConcurrentMap(shard_count=1).shard_count == 1
        assert ConcurrentMap(1000).shard_count == 1000

    def test_zero_shards(self):
        with pytest.raises(ValueError, match="^shard_count must be greater than zero$"):
            ConcurrentMap(0)

    @pytest.mark.parametrize("bad, error", [(-1, OverflowError), (2**64, OverflowError), (1.5, TypeError),
                                            ("3", TypeError), (object(), TypeError)])
    def test_bad_shard_count_types_and_ranges(self, bad, error):
        with pytest.raises(error) as info:
            ConcurrentMap(bad)
        assert "while processing 'shard_count'" in getattr(info.value, "__notes__", [])

    def test_unallocatable_shard_array_raises_memory_error(self):
        # In a subprocess, because AddressSanitizer's allocator aborts on
        # such requests unless told to fail them like the system allocator.
        code = (
            "from torvan import ConcurrentMap\n"
            "for huge in (2**62, 2**58, 2**50, 2**64 - 1):\n"
            "    try:\n"
            "        ConcurrentMap(huge)\n"
            "    except MemoryError:\n"
            "        print('MemoryError')\n"
        )
        env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":allocator_may_return_null=1")
        assert run_python(code, env=env).split() == ["MemoryError"] * 4

    def test_argument_errors(self):
        with pytest.raises(TypeError, match=r"^ConcurrentMap.__new__\(\) takes from 0 to 1 positional arguments but 2 were given$"):
            ConcurrentMap(1, 2)
        with pytest.raises(TypeError, match=r"^ConcurrentMap.__new__\(\) got an unexpected keyword argument 'shards'$"):
            ConcurrentMap(shards=2)
        m = ConcurrentMap()
        with pytest.raises(TypeError, match=r"^ConcurrentMap.get\(\) missing 1 required positional argument: 'key'$"):
            m.get()
        with pytest.raises(TypeError, match=r"^ConcurrentMap.set\(\) missing 1 required positional argument: 'value'$"):
            m.set(1)
        with pytest.raises(TypeError, match=r"^ConcurrentMap.get_or_insert\(\) missing 2 required positional arguments: 'key' and 'default'$"):
            m.get_or_insert()
        with pytest.raises(TypeError, match=r"^ConcurrentMap.delete\(\) takes 1 positional arguments but 2 were given$"):
            m.delete(1, 2)
        with pytest.raises(TypeError):
            m.len(1)
        assert len(m) == 0

    def test_parameters_by_name(self):
        m = ConcurrentMap()
        m.set(key="k", value=1)
        assert m.get(key="k") == 1
        assert m.get_or_insert(key="j", default=2) == 2
        assert m.get_val(key="j") == (True, 2)
        assert m.contains_key(key="k")
        assert m.pop_val(key="k") == (True, 1)
        assert m.delete(key="j")

    def test_signatures_and_docstrings(self):
        assert str(inspect.signature(ConcurrentMap)) == "(shard_count=None)"
        assert str(inspect.signature(ConcurrentMap.get_or_insert)) == "(self, /, key, default)"
        assert ConcurrentMap.__doc__.startswith("A highly concurrent, thread-safe hash map")
        assert ConcurrentMap.delete.__doc__ == \
            "Delete the key from the map. Returns True if the key was present, otherwise False."
        assert ConcurrentMap.pop_val.__doc__ == "Atomically remove and return the key's value.\n" \
            "Returns `(true, value)` if found, or `(false, None)` if absent."
        assert ConcurrentMap.len.__doc__.endswith("rather than a global atomic freeze.")

    def test_no_subscript_iteration_or_containment_protocol(self):
        m = ConcurrentMap()
        m.set(1, 1)
        with pytest.raises(TypeError):
            m[1]
        with pytest.raises(TypeError):
            iter(m)
        with pytest.raises(TypeError):
            1 in m


class TestOperations:
    def test_absent_key(self):
        m = ConcurrentMap()
        assert m.get("x") is None
        assert m.get_val("x") == (False, None)
        assert m.contains_key("x") is False
        assert m.delete("x") is False
        assert m.pop_val("x") == (False, None)
        assert len(m) == 0

    def test_none_value_is_present(self):
        m = ConcurrentMap()
        m.set("k", None)
        assert m.get("k") is None
        assert m.get_val("k") == (True, None)
        assert m.contains_key("k")

    def test_equal_key_replaces_value_but_keeps_stored_key(self):
        m = ConcurrentMap()
        k, k2 = (1, "".join("ab")), (1, "".join("ab"))
        assert k is not k2
        m.set(k, 1)
        m.set(k2, 2)
        assert len(m) == 1
        assert m.get(k) == 2
        assert m.keys()[0] is k

    def test_equal_keys_of_different_types(self):
        m = ConcurrentMap()
        m.set(1, "int")
        m.set(1.0, "float")
        m.set(True, "bool")
        assert m.items() == [(1, "bool")]
        assert type(m.keys()[0]) is int

    def test_get_or_insert_returns_the_default_object_itself(self):
        m = ConcurrentMap()
        d, e = Token(), Token()
        assert m.get_or_insert("k", d) is d
        assert m.get_or_insert("k", e) is d
        assert m.get("k") is d
        assert len(m) == 1

    def test_pop_val_and_delete_remove_once(self):
        m = ConcurrentMap()
        v = Token()
        m.set("k", v)
        found, value = m.pop_val("k")
        assert found is True and value is v
        assert m.pop_val("k") == (False, None)
        m.set("k", 1)
        assert m.delete("k") is True
        assert m.delete("k") is False

    def test_references_are_released(self):
        m = ConcurrentMap()
        key, value = Token(), Token()
        watch = weakref.ref(value)
        base_key, base_value = sys.getrefcount(key), sys.getrefcount(value)
        m.set(key, value)
        assert sys.getrefcount(key) == base_key + 1 and sys.getrefcount(value) == base_value + 1
        for _ in range(3):
            m.get(key), m.get_val(key), m.contains_key(key), m.get_or_insert(key, 0), m.keys(), m.items()
        assert sys.getrefcount(key) == base_key + 1 and sys.getrefcount(value) == base_value + 1
        m.set(key, 0)
        assert sys.getrefcount(value) == base_value
        m.set(key, value)
        m.delete(key)
        assert sys.getrefcount(key) == base_key and sys.getrefcount(value) == base_value
        m.set(key, value)
        del value
        del m
        assert watch() is None
        assert sys.getrefcount(key) == base_key

    def test_unhashable_key_fails_every_operation(self):
        m = ConcurrentMap()
        m.set("k", 1)
        for call in (lambda: m.get([]), lambda: m.get_val([]), lambda: m.contains_key([]), lambda: m.set([], 1),
                     lambda: m.delete([]), lambda: m.pop_val([]), lambda: m.get_or_insert([], 1)):
            with pytest.raises(TypeError, match="unhashable type: 'list'"):
                call()
        assert m.items() == [("k", 1)]


class TestWholeMap:
    def test_empty_map(self):
        m = ConcurrentMap()
        assert m.len() == 0 and len(m) == 0
        assert m.keys() == [] and m.values() == [] and m.items() == []

    def test_listings_agree_pair_by_pair(self):
        m = ConcurrentMap(7)
        for i in range(200):
            m.set(f"k{i}", i)
        keys, values, items = m.keys(), m.values(), m.items()
        assert len(keys) == m.len() == len(m) == 200
        assert list(zip(keys, values)) == items
        assert all(v == int(k[1:]) for k, v in items)

    def test_keys_follow_shard_index_order(self):
        m = ConcurrentMap(16)
        for k in (2, 17, 16):
            m.set(k, None)
        assert m.keys() == [16, 17, 2]
        # Negative hash values are taken as unsigned: hash(-2) == -2 lands in shard 14.
        m = ConcurrentMap(16)
        for k in (15, -2, 13):
            m.set(k, None)
        assert m.keys() == [13, -2, 15]
        # A count that is not a power of two divides the unsigned value.
        m = ConcurrentMap(3)
        for k in (5, -2, 1, 3, 4):
            m.set(k, None)
        shards = [shard_of(k, 3) for k in m.keys()]
        assert shards == sorted(shards) and shard_of(-2, 3) == 2

    def test_listings_are_new_lists(self):
        m = ConcurrentMap()
        m.set("a", 1)
        keys = m.keys()
        keys.append("b")
        assert m.keys() == ["a"]
        m.set("c", 2)
        assert keys == ["a", "b"]

    def test_clear(self):
        m = ConcurrentMap(4)
        values = [Token() for _ in range(50)]
        watches = [weakref.ref(v) for v in values]
        for i, v in enumerate(values):
            m.set(i, v)
        del values, v
        m.clear()
        assert len(m) == 0 and m.keys() == []
        assert all(w() is None for w in watches)
        assert m.get(3) is None
        m.set(3, "again")
        assert m.items() == [(3, "again")]

    def test_deeply_nested_maps_deallocate_without_recursing(self):
        code = (
            "from torvan import ConcurrentMap\n"
            "m = ConcurrentMap(1)\n"
            "for _ in range(300_000):\n"
            "    n = ConcurrentMap(1); n.set(0, m); m = n\n"
            "del m, n\n"
            "print('ok')\n"
        )
        assert run_python(code) == "ok"


class TestSubclass:
    def test_subclass_has_dict_and_is_tracked(self):
        class Named(ConcurrentMap):
            def __new__(cls, shard_count=None, name=""):
                return super().__new__(cls, shard_count)

            def __init__(self, shard_count=None, name=""):
                self.name = name

        m = Named(4, name="cache")
        assert m.shard_count == 4 and m.name == "cache"
        assert gc.is_tracked(m)
        m.set("k", 1)
        assert m.get("k") == 1 and len(m) == 1
        assert isinstance(m, ConcurrentMap)

    def test_subclass_instances_are_freed_with_their_contents(self):
        class Sub(ConcurrentMap):
            pass

        value = Token()
        watch_value = weakref.ref(value)
        gc.collect()
        base = sys.getrefcount(Sub)
        m = Sub()
        m.set("v", value)
        m.me = m  # a cycle through the instance dictionary
        watch_map = weakref.ref(m)
        del m, value
        gc.collect()
        assert watch_map() is None and watch_value() is None
        for _ in range(1000):
            Sub(1).set(1, 1)
        # Instances count their type per thread; a collection merges the counts.
        gc.collect()
        assert sys.getrefcount(Sub) == base
        watch_type = weakref.ref(Sub)
        del Sub
        gc.collect()
        assert watch_type() is None

    def test_subclass_without_dict(self):
        class Slotted(ConcurrentMap):
            __slots__ = ()

        m = Slotted(2)
        with pytest.raises(AttributeError):
            m.anything = 1
        m.set(1, 2)
        assert m.items() == [(1, 2)]
        del m
