"""ConcurrentMap with Python callbacks: __hash__ once per call, __eq__ outside
the shard locks with the stored key on the left, reentrant callbacks and
finalizers, hash collisions, NaN identity, and failures that leave the map
unchanged."""

import sys

import pytest

from conftest import join_all
from torvan import ConcurrentMap


class Key:
    """Equal by name, with a chosen hash (collisions on purpose). `log`
    records (left, right) of every comparison; `on_eq` runs once inside
    __eq__ (reentrancy)."""

    def __init__(self, name, hash_value=7, log=None, on_eq=None):
        self.name, self.hash_value, self.log, self.on_eq = name, hash_value, log, on_eq
        self.hash_calls = 0

    def __hash__(self):
        self.hash_calls += 1
        return self.hash_value

    def __eq__(self, other):
        if self.log is not None:
            self.log.append((self.name, getattr(other, "name", other)))
        if self.on_eq is not None:
            hook, self.on_eq = self.on_eq, None
            hook()
        return isinstance(other, Key) and self.name == other.name


class Boom(Exception):
    pass


class Raising:
    """__eq__ raises. Not a Key subclass, so a Key on the left is asked first."""

    def __init__(self, name):
        self.name = name

    def __hash__(self):
        return 7

    def __eq__(self, other):
        raise Boom(self.name)


def in_thread(fn, timeout=30.0):
    """Runs fn on a thread, so that a deadlock fails the test instead of hanging it."""
    import threading

    out = []
    t = threading.Thread(target=lambda: out.append(fn()), daemon=True)
    t.start()
    join_all([t], timeout)
    assert out, "the call raised (see the thread's traceback)"
    return out[0]


def names(m):
    return [k.name for k in m.keys()]


def test_hash_once_per_call_and_stored_key_on_the_left():
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


def test_hash_values_decide_buckets():
    m = ConcurrentMap(1)
    log = []
    m.set(Key("a", hash_value=1, log=log), 1)
    m.set(Key("a", hash_value=2, log=log), 2)  # equal by __eq__, but never compared
    assert log == [] and len(m) == 2
    m = ConcurrentMap(16)
    m.set(-1, "x")  # hash(-1) == hash(-2): one bucket, two keys
    m.set(-2, "y")
    assert m.items() == [(-1, "x"), (-2, "y")]


def test_colliding_bucket_keeps_insertion_order():
    m = ConcurrentMap()
    a, b, c = Key("a"), Key("b"), Key("c")
    for k in (a, b, c):
        m.set(k, k.name)
    assert m.delete(Key("b")) and names(m) == ["a", "c"]
    m.set(b, "again")
    assert names(m) == ["a", "c", "b"] and m.len() == 3
    assert [m.get(Key(n)) for n in "abc"] == ["a", "again", "c"]
    for n in "acb":
        assert m.delete(Key(n))
    assert m.keys() == []
    m.set(a, 1)
    assert m.items() == [(a, 1)]


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


class Text(str):
    """A str whose __eq__ runs Python code: never compared natively."""

    def __eq__(self, other):
        raise Boom("Text.__eq__")

    __hash__ = str.__hash__


def fresh(text):
    return (text + ".")[:-1]  # equal, not the same object


def big(n):
    return int(str(n))  # equal, not the same object (the compiler shares equal constants)


# (stored, probe, found): exact str, int, bytes and float keys compare without
# Python code; mixed types, big ints and subclasses take the Python path and
# must give the same answers, exceptions included.
@pytest.mark.parametrize("stored, probe, found", [
    ("key", fresh("key"), True), ("key", "kez", False), (b"key", fresh("key").encode(), True),
    (big(2**40), big(2**40), True), (big(-(2**62)), big(-(2**62)), True), (big(2**70), big(2**70), True),
    (2**61 - 1, 0, False), (2**64, 2**64 + 2**61 - 1, False), (-1, -2, False), (1, 1.0, True), (1.0, True, True), (0.0, -0.0, True),
    (float("inf"), float("inf"), True), ("key", Text("key"), Boom), (Text("key"), fresh("key"), Boom),
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
    assert len(m) == (1 if found is not False else 2)  # get_or_insert stored an unequal probe
    if found is True:
        m.set(probe, "x")
        assert m.items() == [(stored, "x")]
        assert m.pop_val(probe) == (True, "x") and len(m) == 0


class TestReentrancy:
    """Callbacks use the same map, on the same shard, during an operation:
    under a shard lock these would deadlock."""

    def test_eq_and_hash_call_the_map(self):
        m = ConcurrentMap(1)
        seen = []
        m.set(Key("a", on_eq=lambda: seen.append((m.get(Key("a")), m.contains_key(Key("zz")), m.len()))), 1)
        assert in_thread(lambda: m.get(Key("a"))) == 1
        assert seen == [(1, False, 1)]

        class Probe:
            def __hash__(self):
                m.set("from-hash", m.get(Key("a")))
                return 5

        in_thread(lambda: m.set(Probe(), 2))
        assert m.get("from-hash") == 1 and len(m) == 3

    def test_eq_inserting_a_colliding_key_forces_one_more_pass(self):
        log = []
        m = ConcurrentMap()
        c = Key("c", log=log)
        m.set(Key("a", log=log, on_eq=lambda: m.set(c, "C")), "A")
        in_thread(lambda: m.set(Key("p", log=log), "P"))
        # ("a", "c") is the inner set's comparison; the outer one compares c in
        # a second pass and never a again.
        assert log == [("a", "p"), ("a", "c"), ("c", "p")]
        assert names(m) == ["a", "c", "p"]

    def test_match_removed_before_the_locked_step(self):
        m = ConcurrentMap()
        a = Key("a")
        a.on_eq = lambda: m.delete(a)
        m.set(a, "old")
        in_thread(lambda: m.set(Key("a"), "new"))  # the match is gone: set inserts
        assert names(m) == ["a"] and m.keys()[0] is not a and m.values() == ["new"]
        b = Key("b")
        b.on_eq = lambda: m.delete(b)
        m.set(b, 1)
        assert in_thread(lambda: m.delete(Key("b"))) is False  # gone: delete finds nothing
        assert names(m) == ["a"]

    @pytest.mark.parametrize("release", ["set", "delete", "pop_val", "clear", "get"])
    def test_finalizers_of_released_references_use_the_map(self, release):
        m = ConcurrentMap(1)
        ran = []

        class Finalized(Key):
            __hash__ = Key.__hash__

            def __del__(self):
                m.set("after", m.get("other"))
                ran.append(True)

        m.set("other", 1)
        if release == "get":
            # The reader's snapshot holds the last reference to a key that its
            # own __eq__ removed; it goes after the lock.
            stored = Finalized("a")
            stored.on_eq = lambda: m.delete(Key("a"))
            m.set(stored, 1)
            del stored
            in_thread(lambda: m.get(Key("a")))
        else:
            m.set("k", Finalized("v"))
            in_thread({"set": lambda: m.set("k", 0), "delete": lambda: m.delete("k"),
                       "pop_val": lambda: m.pop_val("k"), "clear": m.clear}[release])
        assert ran == [True]
        assert m.get("after") == (None if release == "clear" else 1)


def test_failing_hash_and_eq_leave_the_map_unchanged():
    class BadHash:
        def __hash__(self):
            raise Boom("hash")

    class BadBool:
        def __bool__(self):
            raise Boom("bool")

    m = ConcurrentMap()
    first, stored, value = Key("a"), Raising("s"), object()
    m.set(first, 0)
    m.set(stored, value)
    base = sys.getrefcount(first), sys.getrefcount(stored), sys.getrefcount(value)
    ops = (m.get, m.get_val, m.contains_key, m.delete, m.pop_val, lambda k: m.set(k, 1),
           lambda k: m.get_or_insert(k, 1))
    for op in ops:
        with pytest.raises(Boom, match="hash"):
            op(BadHash())
        with pytest.raises(Boom, match="s"):
            op(Key("other"))  # "a" is found unequal, then "s" raises
    assert m.len() == 2 and m.items()[1][1] is value
    assert (sys.getrefcount(first), sys.getrefcount(stored), sys.getrefcount(value)) == base, \
        "snapshot and examined-key references released"
    # The very same object is still reached by identity in the mutations, but
    # the read form compares even it.
    m.set(stored, 2)
    with pytest.raises(Boom):
        m.get(stored)
    assert m.delete(stored) and names(m) == ["a"]

    class Weird(Key):
        __hash__ = Key.__hash__

        def __eq__(self, other):
            return BadBool()

    m = ConcurrentMap()
    m.set(Weird("w"), 1)
    with pytest.raises(Boom, match="bool"):
        m.set(Key("x"), 2)
    assert len(m) == 1
    assert ConcurrentMap().get(Raising("p")) is None  # nothing stored: nothing compared
