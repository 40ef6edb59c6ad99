"""ConcurrentMap against a dict model, driven by a hypothesis state machine.
Keys are distinct-but-equal objects with few hash values, so the model also
tracks which key object is stored (the first one inserted stays)."""

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

    def __repr__(self):
        return f"K{self.ident}@{id(self) % 1000}"


idents = st.integers(min_value=0, max_value=7)
values = st.integers(min_value=-3, max_value=3) | st.none()


class MapMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.map = ConcurrentMap(2)
        self.model = {}  # ident -> (stored key object, value)

    def probe(self, ident, fresh):
        """A fresh equal object, or the stored object itself (identity paths)."""
        if not fresh and ident in self.model:
            return self.model[ident][0]
        return ModelKey(ident)

    @rule(ident=idents, value=values, fresh=st.booleans())
    def set(self, ident, value, fresh):
        key = self.probe(ident, fresh)
        self.map.set(key, value)
        stored = self.model[ident][0] if ident in self.model else key
        self.model[ident] = (stored, value)

    @rule(ident=idents, value=values, fresh=st.booleans())
    def get_or_insert(self, ident, value, fresh):
        key = self.probe(ident, fresh)
        default = [value]  # a new object, so identity shows which one came back
        got = self.map.get_or_insert(key, default)
        if ident in self.model:
            assert got is self.model[ident][1]
        else:
            assert got is default
            self.model[ident] = (key, default)

    @rule(ident=idents, fresh=st.booleans())
    def delete(self, ident, fresh):
        assert self.map.delete(self.probe(ident, fresh)) == (ident in self.model)
        self.model.pop(ident, None)

    @rule(ident=idents, fresh=st.booleans())
    def pop_val(self, ident, fresh):
        found, value = self.map.pop_val(self.probe(ident, fresh))
        if ident in self.model:
            assert found is True and value is self.model.pop(ident)[1]
        else:
            assert (found, value) == (False, None)

    @rule(ident=idents, fresh=st.booleans())
    def read(self, ident, fresh):
        key = self.probe(ident, fresh)
        expected = self.model[ident][1] if ident in self.model else None
        assert self.map.get(key) is expected
        assert self.map.get_val(key) == ((True, expected) if ident in self.model else (False, None))
        assert self.map.contains_key(key) == (ident in self.model)

    @precondition(lambda self: len(self.model) > 3)
    @rule()
    def clear(self):
        self.map.clear()
        self.model.clear()

    @invariant()
    def same_contents(self):
        items = self.map.items()
        assert len(self.map) == self.map.len() == len(items) == len(self.model)
        for key, value in items:
            stored, expected = self.model[key.ident]
            assert key is stored and value is expected
        assert [k for k, _ in items] == self.map.keys()
        assert [v for _, v in items] == self.map.values()


MapMachine.TestCase.settings = settings(max_examples=30 if SANITIZED else 150, stateful_step_count=40, deadline=None)
TestMapModel = MapMachine.TestCase
