"""AtomicInteger and AtomicBoolean: arithmetic, orderings, races."""


import pytest

from conftest import scaled
from torvan._torvan import AtomicBoolean, AtomicInteger

MIN = -(2**63)
MAX = 2**63 - 1
ORDERINGS = ["relaxed", "Relaxed", "release", "Release", "acquire", "Acquire", "acq_rel", "AcqRel", "seq_cst", "SeqCst"]
BAD_LOADS = {"release": "there is no such thing as a release load", "Release": "there is no such thing as a release load",
             "acq_rel": "there is no such thing as an acquire-release load",
             "AcqRel": "there is no such thing as an acquire-release load"}
BAD_STORES = {"acquire": "there is no such thing as an acquire store", "Acquire": "there is no such thing as an acquire store",
              "acq_rel": "there is no such thing as an acquire-release store",
              "AcqRel": "there is no such thing as an acquire-release store"}


def test_integer_methods_return_the_old_or_the_new_value_and_wrap():
    assert (AtomicInteger().get(), AtomicInteger(-5).get()) == (0, -5)
    assert (repr(AtomicInteger(7)), str(AtomicInteger(7))) == ("AtomicInteger(7)", "7")
    assert repr(AtomicInteger(MIN)) == f"AtomicInteger({MIN})"
    a = AtomicInteger(10)
    assert a.fetch_add(5) == 10 and a.get() == 15
    assert a.add_and_get(5) == 20
    assert a.fetch_sub(3) == 20 and a.get() == 17
    assert a.sub_and_get(7) == 10
    assert a.increment() == 11 and a.decrement() == 10
    assert a.fetch_add_relaxed(2) == 10 and a.add_and_get_relaxed(2) == 14
    assert a.fetch_sub_relaxed(4) == 14 and a.sub_and_get_relaxed(4) == 6
    assert a.increment_relaxed() == 7 and a.decrement_relaxed() == 6
    assert a.get_and_set(-1) == 6 and a.get() == -1
    assert a.compare_and_set(1, 2) is False and a.get() == -1
    assert a.compare_and_set(-1, 2) is True and a.get() == 2
    assert a.compare_and_set(2, 3, ordering="release") is True
    assert a.compare_and_set(2, 4, ordering="relaxed") is False and a.get() == 3
    assert AtomicInteger(MAX).add_and_get(1) == MIN and AtomicInteger(MAX).increment() == MIN
    assert AtomicInteger(MIN).decrement_relaxed() == MAX and AtomicInteger(MIN).sub_and_get(1) == MAX
    a = AtomicInteger(0)
    assert a.fetch_sub(MIN) == 0 and a.get() == MIN
    assert AtomicInteger(MAX).fetch_add_relaxed(MAX) == MAX


def test_boolean_methods():
    assert AtomicBoolean().get() is False and AtomicBoolean(True).get() is True
    assert (repr(AtomicBoolean(True)), str(AtomicBoolean(False))) == ("AtomicBoolean(True)", "False")
    b = AtomicBoolean()
    assert b.get_and_set(True) is False and b.get() is True
    b.set(False)
    assert b.compare_and_set(True, False) is False and b.get() is False


class TestOrderings:
    @pytest.mark.parametrize("ordering", ORDERINGS + [None])
    def test_every_ordering_on_read_modify_write(self, ordering):
        a = AtomicInteger(1)
        assert a.fetch_add(1, ordering=ordering) == 1
        assert a.get_and_set(5, ordering) == 2
        assert a.compare_and_set(5, 6, ordering) is True
        b = AtomicBoolean()
        assert b.get_and_set(True, ordering=ordering) is False
        assert b.compare_and_set(True, False, ordering) is True

    @pytest.mark.parametrize("ordering", ORDERINGS)
    def test_loads_and_stores(self, ordering):
        for obj, value in ((AtomicInteger(3), 9), (AtomicBoolean(False), True)):
            initial = obj.get()
            if ordering in BAD_STORES:
                with pytest.raises(BaseException, match=f"^{BAD_STORES[ordering]}$") as info:
                    obj.set(value, ordering=ordering)
                assert type(info.value).__name__ == "PanicException"
                assert obj.get() == initial
            else:
                obj.set(value, ordering=ordering)
                assert obj.get() == value
            if ordering in BAD_LOADS:
                with pytest.raises(BaseException, match=f"^{BAD_LOADS[ordering]}$") as info:
                    obj.get(ordering)
                assert type(info.value).__name__ == "PanicException"
            else:
                assert obj.get(ordering) == obj.get()

    # A NUL inside the name must neither cut the message short nor let "seq_cst\0" pass for "seq_cst".
    @pytest.mark.parametrize("name", ["RELAXED", "seqcst", "Seq_Cst", "", "relaxed ", "AcqRel2", "acqrel", "seq_cst\0",
                                      "a\0b"])
    def test_unsupported_names(self, name):
        with pytest.raises(ValueError, match="^Unsupported memory ordering: " + __import__("re").escape(name) + "$"):
            AtomicInteger().get(ordering=name)
        with pytest.raises(ValueError):
            AtomicBoolean().set(True, ordering=name)

    def test_numbers_are_converted_before_the_ordering(self):
        with pytest.raises(TypeError) as info:
            AtomicInteger().set("x", ordering="bogus")
        assert info.value.__notes__ == ["while processing 'value'"]
        with pytest.raises(TypeError) as info:
            AtomicBoolean().compare_and_set(True, 1, ordering="bogus")
        assert info.value.__notes__ == ["while processing 'new_value'"]

    def test_failed_orderings_leave_values_unchanged(self):
        a = AtomicInteger(4)
        with pytest.raises(ValueError):
            a.fetch_add(1, ordering="bogus")
        assert a.get() == 4


class TestRaces:
    def test_increments_of_every_kind_keep_totals(self, run_threads):
        n = scaled(50_000)
        counter = AtomicInteger()

        def up():
            for _ in range(n):
                counter.increment()
                counter.increment_relaxed()
                counter.fetch_add_relaxed(2)

        def down():
            for _ in range(n):
                counter.decrement(ordering="acq_rel")
                counter.sub_and_get(2)

        run_threads(up, down, up)
        assert counter.get() == 5 * n

    def test_compare_and_set_wins_exactly_once_and_counts_exactly_in_a_loop(self, run_threads):
        for _ in range(scaled(20)):
            flag = AtomicBoolean(False)
            wins = AtomicInteger()

            def race():
                if flag.compare_and_set(False, True):
                    wins.increment()

            run_threads(*([race] * 8))
            assert wins.get() == 1 and flag.get() is True
        n = scaled(20_000)
        value = AtomicInteger()

        def work():
            for _ in range(n):
                while True:
                    current = value.get(ordering="acquire")
                    if value.compare_and_set(current, current + 1, ordering="acq_rel"):
                        break

        run_threads(work, work, work)
        assert value.get() == 3 * n
