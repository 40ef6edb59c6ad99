"""ConcurrentMap against a dict model; equal keys are distinct objects, so the model tracks the stored one."""

import itertools

import hypothesis.strategies as st
from hypothesis import settings
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

from conftest import SANITIZED
from torvan import ConcurrentMap


class ModelKey:
    def __init__(self, ident):
        self.ident = ident

    def __hash__(self):
        return self.ident % 3 - 1  # -1 becomes -2: negative hash values too

    def __eq__(self, other):
        return isinstance(other, ModelKey) and self.ident == other.ident


idents = st.integers(min_value=0, max_value=7)
values = st.integers(min_value=-3, max_value=3) | st.none()


class MapMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.map = ConcurrentMap(2)
        self.model = {}  # ident -> (stored key object, value)

    def probe(self, ident, fresh):  # a fresh equal object, or the stored object itself (identity paths)
        return self.model[ident][0] if not fresh and ident in self.model else ModelKey(ident)

    @rule(ident=idents, value=values, fresh=st.booleans())
    def set(self, ident, value, fresh):
        key = self.probe(ident, fresh)
        self.map.set(key, value)
        self.model[ident] = (self.model.get(ident, (key,))[0], value)

    @rule(ident=idents, value=values, fresh=st.booleans())
    def get_or_insert(self, ident, value, fresh):
        key, default = self.probe(ident, fresh), [value]  # a new object: identity shows which one came back
        assert self.map.get_or_insert(key, default) is self.model.setdefault(ident, (key, default))[1]

    @rule(ident=idents, fresh=st.booleans(), pop=st.booleans())
    def remove(self, ident, fresh, pop):
        key, present = self.probe(ident, fresh), ident in self.model
        expected = self.model.pop(ident, (None, None))[1]
        found, value = self.map.pop_val(key) if pop else (self.map.delete(key), expected)
        assert found is present and value is expected

    @precondition(lambda self: len(self.model) > 3)
    @rule()
    def clear(self):
        self.map.clear()
        self.model.clear()

    @invariant()
    def same_contents(self):
        items = self.map.items()
        assert len(self.map) == self.map.len() == len(items) == len(self.model)
        assert all(key is self.model[key.ident][0] and value is self.model[key.ident][1] for key, value in items)
        assert [k for k, _ in items] == self.map.keys() and [v for _, v in items] == self.map.values()
        for ident, fresh in itertools.product(range(8), (False, True)):  # every key, by identity and equality
            key, present, expected = self.probe(ident, fresh), ident in self.model, self.model.get(ident, (0, None))[1]
            assert self.map.get(key) is expected and self.map.contains_key(key) is present
            assert self.map.get_val(key) == (present, expected)


MapMachine.TestCase.settings = settings(max_examples=30 if SANITIZED else 150, stateful_step_count=40, deadline=None)
TestMapModel = MapMachine.TestCase
