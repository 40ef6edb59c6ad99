"""ConcurrentMap on one thread: construction, references, order, subclasses and Python callbacks."""

import gc
import os
import sys
import weakref

import pytest

from conftest import Boom, Key, RaisingKey, Token, outcome_of, run_in_thread, run_python
from torvan import ConcurrentMap


def test_shard_count_default_follows_available_processors_and_huge_ones_fail():
    expected = 16
    while expected < len(os.sched_getaffinity(0)):
        expected *= 2
    assert ConcurrentMap().shard_count == ConcurrentMap(shard_count=None).shard_count == expected
    assert ConcurrentMap(3).shard_count == 3 and ConcurrentMap(1000).shard_count == 1000
    # A subprocess: pinned to one processor, and AddressSanitizer must be told to fail huge requests.
    code = ("import os; os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})\n"
            "from torvan import ConcurrentMap\n"
            "print(ConcurrentMap().shard_count)\n"
            "for huge in (2**62, 2**58, 2**50, 2**64 - 1):\n"
            "    try:\n"
            "        ConcurrentMap(huge)\n"
            "    except MemoryError:\n"
            "        print('MemoryError')\n")
    env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":allocator_may_return_null=1")
    assert run_python(code, env=env).split() == ["16"] + ["MemoryError"] * 4


@pytest.mark.parametrize("bad, error", [(0, ValueError), (-1, OverflowError), (2**64, OverflowError),
                                        (1.5, TypeError), ("3", TypeError)])
def test_bad_shard_count(bad, error):
    with pytest.raises(error) as info:
        ConcurrentMap(bad)
    if bad == 0:
        assert str(info.value) == "shard_count must be greater than zero"
    else:
        assert info.value.__notes__ == ["while processing 'shard_count'"]


def test_arguments_and_protocols():
    m = ConcurrentMap()
    m.set(key="k", value=1)
    assert m.get_or_insert(key="j", default=2) == 2 and m.pop_val(key="j") == (True, 2)
    assert outcome_of(m.get_or_insert, "k") == (
        "TypeError: ConcurrentMap.get_or_insert() missing 1 required positional argument: 'default'")
    unsupported = (lambda: m["k"], lambda: iter(m), lambda: "k" in m)
    assert {outcome_of(call).split(":")[0] for call in unsupported} == {"TypeError"}
    assert outcome_of(m.set, [], 1) == "TypeError: unhashable type: 'list'"
    assert m.items() == [("k", 1)]
    assert ConcurrentMap.__repr__ is object.__repr__  # the length is the only protocol slot besides construction


def test_map_holds_exactly_one_reference_to_each_key_and_value():
    m = ConcurrentMap()
    key, value, default = Token(), Token(), Token()
    base = [sys.getrefcount(o) for o in (key, value, default)]

    def counts():
        now = [sys.getrefcount(o) for o in (key, value, default)]
        return [n - b for n, b in zip(now, base)]

    m.set(key, value)
    m.set(key, value)  # the same value again keeps one reference
    m.get(key), m.get_val(key), m.contains_key(key), m.get_or_insert(key, default), m.keys(), m.items(), m.values()
    assert counts() == [1, 1, 0]  # a found default is not kept
    m.set(key, 0)
    assert counts() == [1, 0, 0]
    for _ in range(3):  # by an exact str key, hashed in place, too
        m.set("k", value)
    assert counts() == [1, 1, 0] and m.get("k") is value
    m.set("k", None)
    m.set(key, value)
    m.delete(key)
    assert counts() == [0, 0, 0]
    m.set(key, value)
    assert m.pop_val(key) == (True, value)
    assert counts() == [0, 0, 0]  # the map's reference went with the tuple
    m.set(key, value)
    del m
    assert counts() == [0, 0, 0]  # the dropped map released both


@pytest.mark.parametrize("shards", [3, 16])
def test_keys_land_in_the_shard_their_types_hash_gives_and_list_in_shard_order(shards):
    # Exact str and int keys are hashed in place. With one int in each other shard the listing is certain; a key in
    # a wrong shard would share one with an int, listed in either order.
    def fresh(text):
        return "".join([text[:1], text[1:]])  # an equal str whose hash is not computed yet

    makers = [lambda: -1, lambda: 2**30 - 1, lambda: 1 - 2**30, lambda: 2**30, lambda: 2**62 + 7,
              lambda: fresh("shard"), lambda: fresh("other key"), lambda: fresh("x"),
              lambda: type("Hashed", (int,), {"__hash__": lambda self: 2})(7)]
    for make in makers:
        shard = (hash(make()) % 2**64) % shards  # unsigned: hash(-1) == -2 is 2**64 - 2
        for _ in range(20):
            m, key = ConcurrentMap(shards), make()
            for other in range(shards):
                if other != shard:
                    m.set(other, None)
            m.set(key, None)
            assert m.keys() == [key if s == shard else s for s in range(shards)]
            assert m.get_val(make()) == (True, None) and m.get(-2 if key == -1 else "absent") is None


@pytest.mark.thread_unsafe(reason="gc.collect() returns at once while another thread collects")
def test_subclasses_are_created_and_freed_with_their_contents():
    class Named(ConcurrentMap):
        pass

    Slotted = type("Slotted", (ConcurrentMap,), {"__slots__": ()})
    m = Named(4)
    m.name = "cache"
    assert m.shard_count == 4 and m.__dict__ == {"name": "cache"} and gc.is_tracked(m)
    value = Token()
    watches = weakref.ref(value), weakref.ref(m)
    m.set("v", value)
    m.me = m  # a cycle through the instance dictionary
    del m, value
    gc.collect()
    assert [w() for w in watches] == [None, None]
    assert outcome_of(setattr, Slotted(2), "anything", 1).startswith("AttributeError")
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


def test_hash_once_per_call_stored_key_on_the_left_and_bucket_order():
    log = []
    m = ConcurrentMap(4)
    stored = [Key(n, log=log) for n in "abc"]
    for k in stored:
        m.set(k, k.name)
    log.clear()
    for op in (m.get, m.get_val, m.contains_key, lambda k: m.set(k, 1), lambda k: m.get_or_insert(k, 2),
               m.pop_val, m.delete):
        for name in ("b", "zz"):  # found after comparisons / absent after comparisons
            probe = Key(name)
            op(probe)
            assert probe.hash_calls == 1
    assert all(k.hash_calls == 1 for k in stored), "stored keys are never hashed again"
    assert {left for left, right in log} <= {"a", "b", "c"} and all(r in ("b", "zz") for _, r in log)
    log.clear()
    assert m.get(Key("c")) == "c"
    assert log == [("a", "c"), ("c", "c")]  # bucket order, first equal key ends it ("b" was popped)
    log.clear()
    m.set(Key("a", hash_value=11), 0)  # equal to "a", same shard, another hash: never compared
    m.set(Key("b"), "again")
    assert log == [("a", "b"), ("c", "b")] and len(m) == 4
    assert [k.name for k in m.keys() if k.hash_value == 7] == ["a", "c", "b"]
    assert [m.get(Key(n)) for n in "abc"] == ["a", "again", "c"] and m.get(Key("a", hash_value=11)) == 0


def test_nan_is_found_by_identity_only_in_mutations():
    m = ConcurrentMap()
    x, d1, d2 = float("nan"), object(), object()
    m.set(x, 1)
    assert m.get(x) is None and m.get_val(x) == (False, None) and not m.contains_key(x)
    m.set(x, 2)
    assert m.values() == [2]
    assert m.delete(x) is True and len(m) == 0
    assert m.get_or_insert(x, d1) is d1 and m.get_or_insert(x, d2) is d1 and len(m) == 1
    m.set(float("nan"), 3)
    assert len(m) == 2 and m.pop_val(float("nan")) == (False, None)
    assert m.pop_val(x)[1] is d1
    r = RaisingKey("r")  # its __eq__ raises: mutations must reach the very same object by identity first
    m.set(r, 1)
    m.set(r, 2)
    assert outcome_of(m.get, r) == "Boom: r"
    assert m.delete(r) and len(m) == 1


class Text(str):  # compared through Python code, never natively
    def __eq__(self, other):
        raise Boom("Text.__eq__")

    __hash__ = str.__hash__


# (stored, probe, found): exact str, int, bytes and float keys compare without Python code; mixed types,
# big ints and subclasses take the Python path. join() and int(str()) make equal objects, not the same one.
@pytest.mark.parametrize("stored, probe, found", [
    ("key", "".join("key"), True), ("key", "kez", False), (b"key", "".join("key").encode(), True),
    (int(str(2**40)), int(str(2**40)), True), (int(str(-(2**62))), int(str(-(2**62))), True),
    (int(str(2**70)), int(str(2**70)), True), (2**61 - 1, 0, False), (2**64, 2**64 + 2**61 - 1, False),
    (-1, -2, False), (1, 1.0, True), (1.0, True, True), (0.0, -0.0, True), (float("inf"), float("inf"), True),
    ((1, "".join("ab")), (1, "".join("ab")), True), ("key", Text("key"), Boom), (Text("key"), "".join("key"), Boom),
])
def test_exact_type_keys_compare_like_python(stored, probe, found):
    m = ConcurrentMap(1)
    m.set(stored, "v")
    reads = (lambda: m.get(probe) == "v", lambda: m.get_val(probe)[0], lambda: m.contains_key(probe),
             lambda: m.get_or_insert(probe, "w") == "v")
    for read in reads:
        if found is Boom:
            with pytest.raises(Boom):
                read()
        else:
            assert read() is found
    assert len(m) == m.len() == (1 if found is not False else 2)  # get_or_insert stored an unequal probe
    if found is True:
        m.set(probe, "x")  # the first key object stays
        assert m.items() == [(stored, "x")] and m.keys()[0] is stored
        assert m.pop_val(probe) == (True, "x") and len(m) == 0


def test_callbacks_reenter_the_map():
    # Callbacks use the same map, on the same shard, during an operation: under a shard lock they would deadlock.
    m = ConcurrentMap(1)
    seen = []
    m.set(Key("a", on_eq=lambda: seen.append((m.get(Key("a")), m.contains_key(Key("zz")), m.len()))), 1)
    assert run_in_thread(lambda: m.get(Key("a"))) == 1
    assert seen == [(1, False, 1)]

    class Probe:
        def __hash__(self):
            m.set("from-hash", m.get(Key("a")))
            return 5

    run_in_thread(lambda: m.set(Probe(), 2))
    assert m.get("from-hash") == 1 and len(m) == 3
    log = []
    m = ConcurrentMap()  # __eq__ inserting a colliding key forces one more pass
    c = Key("c", log=log)
    m.set(Key("a", log=log, on_eq=lambda: m.set(c, "C")), "A")
    run_in_thread(lambda: m.set(Key("p", log=log), "P"))
    # ("a", "c") is the inner set's; the outer set compares c in a second pass, never a again.
    assert log == [("a", "p"), ("a", "c"), ("c", "p")]
    assert [k.name for k in m.keys()] == ["a", "c", "p"]
    m = ConcurrentMap()  # the match is removed before the locked step
    a, b = Key("a"), Key("b")
    a.on_eq, b.on_eq = (lambda: m.delete(a)), (lambda: m.delete(b))
    m.set(a, "old")
    run_in_thread(lambda: m.set(Key("a"), "new"))  # the match is gone: set inserts
    assert m.keys()[0] == a and m.keys()[0] is not a and m.values() == ["new"]
    m.set(b, 1)
    assert run_in_thread(lambda: m.delete(Key("b"))) is False  # gone: delete finds nothing
    assert m.keys()[0] is not b and m.items() == [(a, "new")]


@pytest.mark.parametrize("release", ["set", "delete", "pop_val", "clear", "get", "delete key", "drop"])
def test_finalizers_of_released_references_use_the_map_and_raise(release, unraisable):
    # A finalizer run as the map releases a reference calls the map, then raises:
    # the exception goes to sys.unraisablehook, nowhere else.
    m, other = ConcurrentMap(1), ConcurrentMap(1)

    class Finalized(Key):
        __hash__ = Key.__hash__

        def __del__(self):
            other.set("after", m.get("other") if release != "drop" else 1)
            raise Boom("del")

    m.set("other", 1)
    if release == "get":  # the reader's snapshot holds the last reference to a key its own __eq__ removed
        m.set(Finalized("a", on_eq=lambda: m.delete(Key("a"))), 1)
    elif release == "delete key":
        m.set(Finalized("k"), 1)
    else:
        m.set("k", Finalized("v"))
    if release == "drop":
        del m
    else:
        run_in_thread({"set": lambda: m.set("k", 0), "delete": lambda: m.delete("k"), "pop_val": lambda: m.pop_val("k"),
                       "clear": m.clear, "get": lambda: m.get(Key("a")),
                       "delete key": lambda: m.delete(Key("k"))}[release])
    assert other.get("after") == (None if release == "clear" else 1)
    assert [type(r) for r in unraisable] == [Boom]  # ran once, raised nowhere else

