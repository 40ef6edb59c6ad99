"""Integer results at the edges of the interpreter's cached small ints (-5 to 256), which the module returns itself."""

import pytest

from torvan._torvan import AtomicInteger


@pytest.mark.parametrize("value", [-7, -6, -5, -1, 0, 1, 255, 256, 257, 258])
def test_results_around_the_cached_small_ints(value):
    a = AtomicInteger(value)
    results = [a.get(), a.increment() - 1, a.decrement_relaxed(), int(a), a.get("relaxed")]
    assert results == [value] * 5 and all(type(r) is int for r in results)
    assert (a.add_and_get(1), a.sub_and_get(2), a.get()) == (value + 1, value - 1, value - 1)
