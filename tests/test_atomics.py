"""AtomicInteger and AtomicBoolean: arithmetic, orderings, races."""

import operator

import pytest

from conftest import eventually, join_all, outcome_of, scaled, start_threads
from torvan._torvan import AtomicBoolean, AtomicInteger

MIN, MAX = -(2**63), 2**63 - 1
# Every ordering by both its names (and None, the default); a load or store no ordering model has panics.
NAMES = {"relaxed": "Relaxed", "release": "Release", "acquire": "Acquire", "acq_rel": "AcqRel", "seq_cst": "SeqCst"}
SPELLINGS = [(name, ordering) for ordering in NAMES for name in (ordering, NAMES[ordering])] + [(None, "seq_cst")]
NO_LOAD = {"release": "PanicException: there is no such thing as a release load",
           "acq_rel": "PanicException: there is no such thing as an acquire-release load"}
NO_STORE = {"acquire": "PanicException: there is no such thing as an acquire store",
            "acq_rel": "PanicException: there is no such thing as an acquire-release store"}


def test_integer_methods_return_the_old_or_the_new_value_and_wrap():
    assert (AtomicInteger().get(), AtomicInteger(-5).get(), repr(AtomicInteger(7)), str(AtomicInteger(7))) == (
        0, -5, "AtomicInteger(7)", "7")
    assert repr(AtomicInteger(MIN)) == f"AtomicInteger({MIN})"
    a = AtomicInteger(10)  # each call in turn, and what it returned
    assert [a.fetch_add(5), a.get(), a.add_and_get(5), a.fetch_sub(3), a.get(), a.sub_and_get(7), a.increment(),
            a.decrement(), a.fetch_add_relaxed(2), a.add_and_get_relaxed(2), a.fetch_sub_relaxed(4),
            a.sub_and_get_relaxed(4), a.increment_relaxed(), a.decrement_relaxed(), a.get_and_set(-1), a.get()] == [
        10, 15, 20, 20, 17, 10, 11, 10, 10, 14, 14, 6, 7, 6, 6, -1]
    assert a.compare_and_set(1, 2) is False and a.get() == -1 and a.compare_and_set(-1, 2) is True and a.get() == 2
    assert AtomicInteger(MAX).add_and_get(1) == MIN and AtomicInteger(MAX).increment() == MIN
    assert AtomicInteger(MIN).decrement_relaxed() == MAX and AtomicInteger(MIN).sub_and_get(1) == MAX
    a = AtomicInteger(0)
    assert a.fetch_sub(MIN) == 0 and a.get() == MIN
    assert AtomicInteger(MAX).fetch_add_relaxed(MAX) == MAX
    b = AtomicBoolean()
    assert AtomicBoolean().get() is False and AtomicBoolean(True).get() is True and b.get_and_set(True) is False
    assert (repr(AtomicBoolean(True)), str(AtomicBoolean(False))) == ("AtomicBoolean(True)", "False") and b.get() is True
    b.set(False)
    assert b.compare_and_set(True, False) is False and b.get() is False


def test_int_index_and_truth_load_the_value():
    a, flag = AtomicInteger(5), AtomicBoolean()
    assert (int(a), operator.index(a), "abcdefg"[a], list(range(a)), "%d" % a) == (5, 5, "f", [0, 1, 2, 3, 4], "5")
    assert a and not AtomicInteger(0) and int(AtomicInteger(MIN)) == MIN
    assert not flag and bool(AtomicBoolean(True)) is True
    # `while not stop:` sees another thread's set(), as a loop on stop.get() would.
    stop, rounds = AtomicBoolean(), AtomicInteger()

    def spin():
        while not stop:
            rounds.increment_relaxed()

    worker = start_threads([spin])[0]
    eventually(lambda: rounds.get() > 0, "the loop runs")
    stop.set(True)
    join_all([worker])


# Integers of one 30-bit digit are read in place, longer ones and subclasses through PyLong_AsLong.
@pytest.mark.parametrize("value", [0, 1, -1, 2**30 - 1, 1 - 2**30, 2**30, -(2**30), 2**62 + 3, MAX, MIN, True,
                                   type("Sub", (int,), {})(-7)])
def test_every_size_of_integer_argument(value):
    a = AtomicInteger(value)
    assert a.get() == value and a.fetch_add(value) == value and a.get() == (2 * value + 2**63) % 2**64 - 2**63
    assert a.compare_and_set(a.get(), value) is True and a.get_and_set(-value if value != MIN else 0) == value


class TestOrderings:
    @pytest.mark.parametrize("name, ordering", SPELLINGS)
    def test_every_ordering(self, name, ordering):
        a, b = AtomicInteger(1), AtomicBoolean()
        assert a.fetch_add(1, ordering=name) == 1 and a.get_and_set(5, name) == 2
        assert a.compare_and_set(5, 6, name) is True and a.compare_and_set(5, 7, ordering=name) is False
        assert b.get_and_set(True, ordering=name) is False and b.compare_and_set(True, False, name) is True
        for obj, value in ((a, 9), (b, True)):
            expected = obj.get() if ordering in NO_STORE else value
            assert outcome_of(obj.set, value, ordering=name) == NO_STORE.get(ordering, "returned")
            assert obj.get() == expected
            loaded = outcome_of(obj.get, name) if ordering in NO_LOAD else obj.get(name)
            assert loaded == NO_LOAD.get(ordering, expected)

    # A NUL inside the name must neither cut the message short nor let "seq_cst\0" pass for "seq_cst".
    @pytest.mark.parametrize("name", ["RELAXED", "seqcst", "Seq_Cst", "", "relaxed ", "AcqRel2", "acqrel", "seq_cst\0",
                                      "a\0b"])
    def test_unsupported_names_change_nothing(self, name):
        a, b = AtomicInteger(4), AtomicBoolean()
        for call in (lambda: a.get(ordering=name), lambda: a.fetch_add(1, name), lambda: b.set(True, ordering=name)):
            assert outcome_of(call) == f"ValueError: Unsupported memory ordering: {name}"
        assert (a.get(), b.get()) == (4, False)


class TestRaces:
    def test_every_kind_of_update_keeps_the_total(self, run_threads):
        n, counter = scaled(40_000), AtomicInteger()

        def up():
            for _ in range(n):
                counter.increment()
                counter.increment_relaxed()
                counter.fetch_add_relaxed(2)

        def down():
            for _ in range(n):
                counter.decrement(ordering="acq_rel")
                counter.sub_and_get(2)

        def compare_and_set_loop():
            for _ in range(n):
                while True:
                    current = counter.get(ordering="acquire")
                    if counter.compare_and_set(current, current + 1, ordering="acq_rel"):
                        break

        run_threads(up, down, up, compare_and_set_loop, compare_and_set_loop)
        assert counter.get() == 7 * n

    def test_compare_and_set_wins_exactly_once(self, run_threads):
        for _ in range(scaled(20)):
            flag, wins = AtomicBoolean(False), AtomicInteger()

            def race():
                if flag.compare_and_set(False, True):
                    wins.increment()

            run_threads(*([race] * 8))
            assert wins.get() == 1 and flag.get() is True
