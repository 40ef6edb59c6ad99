"""ConcurrentMap with Python callbacks: __hash__ once per call, __eq__ outside
the shard locks with the stored key on the left, reentrant callbacks and
finalizers, hash collisions, NaN identity, and failures that leave the map
unchanged."""

import sys
import threading

import pytest

from conftest import join_all
from torvan import ConcurrentMap


class Key:
    """Equal by name; hash chosen by the test (collisions on purpose).
    `on_eq`, if set, runs inside __eq__ (reentrancy); `log` records
    (left, right) names of every comparison."""

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

    def __repr__(self):
        return f"Key({self.name!r})"


class Boom(Exception):
    pass


class Raising:
    """A key whose __eq__ raises. Not a Key subclass, so a Key on the left
    is not bypassed by the reflected operation."""

    def __init__(self, name, hash_value=7):
        self.name, self.hash_value = name, hash_value

    def __hash__(self):
        return self.hash_value

    def __eq__(self, other):
        raise Boom(self.name)


def in_thread(fn, timeout=30.0):
    """Runs fn on a thread so that a deadlock fails the test instead of hanging it."""
    result, errors = [], []

    def body():
        try:
            result.append(fn())
        except BaseException as exc:  # noqa: BLE001 - re-raised below
            errors.append(exc)

    t = threading.Thread(target=body, daemon=True)
    t.start()
    join_all([t], timeout)
    if errors:
        raise errors[0]
    return result[0]


def names(m):
    return [k.name for k in m.keys()]


class TestHashAndComparisons:
    def test_hash_is_computed_once_per_call(self):
        m = ConcurrentMap(4)
        stored = [Key(n) for n in "abc"]
        for k in stored:
            m.set(k, k.name)
        for op in (lambda k: m.get(k), lambda k: m.get_val(k), lambda k: m.contains_key(k),
                   lambda k: m.set(k, 1), lambda k: m.get_or_insert(k, 2), lambda k: m.pop_val(k),
                   lambda k: m.delete(k)):
            for name in ("b", "zz"):  # found after comparisons / absent after comparisons
                probe = Key(name)
                op(probe)
                assert probe.hash_calls == 1
        assert all(k.hash_calls == 1 for k in stored), "stored keys are never hashed again"

    def test_stored_key_is_the_left_operand_and_unequal_keys_are_compared_once(self):
        log = []
        m = ConcurrentMap()
        for n in "abc":
            m.set(Key(n, log=log), n)
        log.clear()
        probe = Key("c", log=log)
        m.set(probe, "C")
        assert log == [("a", "c"), ("b", "c"), ("c", "c")]
        log.clear()
        assert m.get_or_insert(Key("d", log=log), "D") == "D"
        assert log == [("a", "d"), ("b", "d"), ("c", "d")]
        assert names(m) == ["a", "b", "c", "d"]

    def test_reads_compare_in_bucket_order_and_stop_at_first_equal(self):
        log = []
        m = ConcurrentMap()
        for n in "abc":
            m.set(Key(n, log=log), n)
        log.clear()
        assert m.get(Key("b")) == "b"
        assert log == [("a", "b"), ("b", "b")]

    def test_different_hashes_are_never_compared(self):
        log = []
        m = ConcurrentMap(1)
        m.set(Key("a", hash_value=1, log=log), 1)
        m.set(Key("a", hash_value=2, log=log), 2)  # equal by __eq__, different hash value
        assert log == [] and len(m) == 2

    def test_minus_one_and_minus_two_share_a_bucket(self):
        m = ConcurrentMap(16)
        m.set(-1, "x")  # hash(-1) == hash(-2) == -2
        m.set(-2, "y")
        assert m.items() == [(-1, "x"), (-2, "y")]
        assert m.get(-1) == "x" and m.get(-2) == "y"


class TestCollidingBuckets:
    def test_bucket_order_after_set_delete_set(self):
        m = ConcurrentMap()
        a, b, c = Key("a"), Key("b"), Key("c")
        for k in (a, b, c):
            m.set(k, k.name)
        assert names(m) == ["a", "b", "c"]
        assert m.delete(Key("b"))
        assert names(m) == ["a", "c"]
        m.set(b, "again")
        assert names(m) == ["a", "c", "b"]
        assert [m.get(Key(n)) for n in "abc"] == ["a", "again", "c"]
        for n in "acb":
            assert m.delete(Key(n))
        assert len(m) == 0 and m.keys() == []
        m.set(a, 1)
        assert m.items() == [(a, 1)]

    def test_unequal_keys_with_one_hash_count_separately(self):
        m = ConcurrentMap()
        keys = [Key(str(i)) for i in range(20)]
        for i, k in enumerate(keys):
            m.set(k, i)
        assert len(m) == 20 and m.len() == 20
        assert [m.get(Key(str(i))) for i in range(20)] == list(range(20))
        for i in range(0, 20, 2):
            assert m.pop_val(Key(str(i))) == (True, i)
        assert names(m) == [str(i) for i in range(1, 20, 2)]


class TestNaN:
    def test_same_nan_object_is_found_by_identity_only_in_mutations(self):
        m = ConcurrentMap()
        x = float("nan")
        m.set(x, 1)
        assert m.get(x) is None and m.get_val(x) == (False, None) and not m.contains_key(x)
        m.set(x, 2)
        assert len(m) == 1 and m.values() == [2]
        assert m.delete(x) is True and len(m) == 0

    def test_distinct_nan_objects_are_distinct_keys(self):
        m = ConcurrentMap()
        m.set(float("nan"), 1)
        m.set(float("nan"), 2)
        assert len(m) == 2
        assert m.pop_val(float("nan")) == (False, None)

    def test_get_or_insert_finds_the_same_nan_in_the_insert_step(self):
        m = ConcurrentMap()
        x, d1, d2 = float("nan"), object(), object()
        assert m.get_or_insert(x, d1) is d1
        assert m.get_or_insert(x, d2) is d1
        assert len(m) == 1
        found, value = m.pop_val(x)
        assert found and value is d1


class TestReentrancy:
    """Callbacks use the same map, on the same shard, while an operation is in
    progress: with __eq__ run under a shard lock these would deadlock."""

    def test_eq_calls_the_map_on_the_same_shard(self):
        m = ConcurrentMap(1)
        seen = []
        stored = Key("a", on_eq=lambda: seen.append((m.get(Key("a")), m.contains_key(Key("zz")), m.len())))
        m.set(stored, 1)
        assert in_thread(lambda: m.get(Key("a"))) == 1
        assert seen == [(1, False, 1)]

    def test_eq_that_inserts_a_colliding_key_forces_one_more_pass(self):
        log = []
        m = ConcurrentMap()
        c = Key("c", log=log)
        a = Key("a", log=log, on_eq=lambda: m.set(c, "C"))
        m.set(a, "A")
        p = Key("p", log=log)
        in_thread(lambda: m.set(p, "P"))
        # ("a", "c") is the inner set's own comparison; the outer set compares c
        # in a second pass and never a again.
        assert log == [("a", "p"), ("a", "c"), ("c", "p")]
        assert names(m) == ["a", "c", "p"]
        assert [m.get(Key(n)) for n in "acp"] == ["A", "C", "P"]

    def test_matched_key_removed_during_comparison(self):
        # The match disappears before the locked step: set inserts, delete reports absence.
        m = ConcurrentMap()
        a = Key("a")
        a.on_eq = lambda: m.delete(a)
        m.set(a, "old")
        in_thread(lambda: m.set(Key("a"), "new"))
        assert [(k.name, v) for k, v in m.items()] == [("a", "new")]
        assert m.keys()[0] is not a

        b = Key("b")
        b.on_eq = lambda: m.delete(b)
        m.set(b, 1)
        assert in_thread(lambda: m.delete(Key("b"))) is False
        assert names(m) == ["a"]

    def test_hash_calls_the_map(self):
        m = ConcurrentMap(1)
        m.set("x", 1)

        class Probe:
            def __hash__(self):
                m.set("from-hash", m.get("x"))
                return 5

        in_thread(lambda: m.set(Probe(), 2))
        assert m.get("from-hash") == 1 and len(m) == 3

    @pytest.mark.parametrize("release", ["set", "delete", "pop_val", "clear"])
    def test_finalizer_of_a_released_value_uses_the_map(self, release):
        m = ConcurrentMap(1)
        ran = []

        class Finalized:
            def __del__(self):
                m.set("after", m.get("k2"))
                ran.append(True)

        m.set("k", Finalized())
        m.set("k2", "other")

        def go():
            if release == "set":
                m.set("k", 0)
            elif release == "delete":
                m.delete("k")
            elif release == "pop_val":
                m.pop_val("k")
            else:
                m.clear()

        in_thread(go)
        assert ran == [True]
        assert m.get("after") == ("other" if release != "clear" else None)

    def test_finalizer_of_a_snapshot_reference_uses_the_map(self):
        # The reader's snapshot holds the last reference to a replaced key,
        # which is released after the lock.
        m = ConcurrentMap(1)
        ran = []

        class Dying(Key):
            def __del__(self):
                m.set("after", 1)
                ran.append(True)

        stored = Dying("a")
        stored.on_eq = lambda: m.delete(Key("a"))
        m.set(stored, 1)
        del stored
        assert in_thread(lambda: m.get(Key("a"))) == 1
        assert ran == [True] and m.keys() == ["after"]


class TestFailuresLeaveTheMapUnchanged:
    def test_failing_hash(self):
        class BadHash:
            def __hash__(self):
                raise Boom("hash")

        m = ConcurrentMap()
        m.set("k", 1)
        for op in (m.get, m.contains_key, m.delete, m.pop_val, lambda k: m.set(k, 1), lambda k: m.get_or_insert(k, 1)):
            with pytest.raises(Boom, match="hash"):
                op(BadHash())
        assert m.items() == [("k", 1)]

    def test_failing_eq_of_stored_key(self):
        m = ConcurrentMap()
        stored, value = Raising("s"), object()
        m.set(stored, value)
        base = sys.getrefcount(stored), sys.getrefcount(value)
        for op in (m.get, m.get_val, m.contains_key, m.delete, m.pop_val,
                   lambda k: m.set(k, 1), lambda k: m.get_or_insert(k, 1)):
            with pytest.raises(Boom, match="s"):
                op(Key("other"))
        assert len(m) == 1 and m.items()[0][1] is value
        assert (sys.getrefcount(stored), sys.getrefcount(value)) == base, "snapshot references released"
        # The same key object is still reached by identity in the mutations.
        m.set(stored, 2)
        assert m.values() == [2]
        assert m.delete(stored) and len(m) == 0

    def test_failure_after_some_keys_were_examined(self):
        m = ConcurrentMap()
        first, second = Key("a"), Raising("b")
        m.set(first, 1)
        m.set(second, 2)
        base = sys.getrefcount(first)
        with pytest.raises(Boom):
            m.set(Key("c"), 3)
        with pytest.raises(Boom):
            m.get_or_insert(Key("c"), 3)
        assert sys.getrefcount(first) == base, "examined keys released"
        assert names(m) == ["a", "b"]

    def test_failing_truth_value_of_the_comparison(self):
        class BadBool:
            def __bool__(self):
                raise Boom("bool")

        class Weird(Key):
            __hash__ = Key.__hash__

            def __eq__(self, other):
                return BadBool()

        m = ConcurrentMap()
        m.set(Weird("w"), 1)
        with pytest.raises(Boom, match="bool"):
            m.get(Key("x"))
        with pytest.raises(Boom, match="bool"):
            m.set(Key("x"), 2)
        assert len(m) == 1

    def test_eq_raises_only_when_a_same_hash_key_is_stored(self):
        m = ConcurrentMap()
        probe = Raising("p", hash_value=99)
        assert m.get(probe) is None
        m.set(probe, 1)  # identity: no comparison
        with pytest.raises(Boom):
            m.get(probe)  # the read form compares even the very same object
        assert m.delete(probe) is True
