"""ConcurrentMap under threads: invariants checked afterwards against what every thread observed."""

import collections
import random
import time
import threading

import pytest

from conftest import eventually, scaled, settle
from torvan import ConcurrentMap


class SlowKey:  # two hash values, so mutations need comparison passes; __eq__ yields to widen the race windows
    def __init__(self, ident):
        self.ident = ident

    def __hash__(self):
        return self.ident % 2

    def __eq__(self, other):
        time.sleep(0)
        return isinstance(other, SlowKey) and self.ident == other.ident


# Python-compared keys, exact str keys (compared natively, read without the lock), and both in one map.
Text = type("Text", (str,), {"__eq__": lambda self, other: str.__eq__(self, other), "__hash__": str.__hash__})
KEY_KINDS = {"slow": SlowKey, "str": lambda ident: "key-" + str(ident),
             "str and subclass": lambda ident: random.choice((Text, str))("key-" + str(ident))}


@pytest.mark.parametrize("kind", KEY_KINDS)
def test_mixed_mutations_keep_the_map_consistent(run_threads, kind):
    idents, never_set = 8, {0, 5}  # keys without set: their presence is exactly accountable
    m = ConcurrentMap()
    make_key = KEY_KINDS[kind]
    shared_keys = [make_key(i) for i in range(idents)]  # reused objects take the identity paths
    created, dead, duplicates, logs = set(), set(), [], []

    class Token:  # a value whose end is recorded, to catch leaked and lost references
        def __init__(self, ident, serial):
            self.ident, self.serial = ident, serial
            created.add(serial)

        def __del__(self):
            dead.add(self.serial)

    def worker(seed):
        rng, log = random.Random(seed), []  # log: (event, key ident, value ident, value serial)
        logs.append(log)
        for n in range(scaled(4000)):
            # Equal keys share a shard, listed under its lock: never twice in one listing.
            if n % 16 == 0 and len(listed := m.keys()) != len(set(listed)):
                duplicates.append(listed)
            ident = rng.randrange(idents)
            key = shared_keys[ident] if rng.random() < 0.25 else make_key(ident)
            op = rng.choice(("get", "get_or_insert", "delete", "pop_val") + (() if ident in never_set else ("set",)))
            token = Token(ident, (seed, n))
            if op == "set":
                m.set(key, token)
                log.append(("set", ident, ident, token.serial))
            elif op == "delete":
                if m.delete(key):
                    log.append(("delete", ident, None, None))
            else:
                if op == "pop_val":
                    found, got = m.pop_val(key)
                    assert found == (got is not None)
                else:
                    got = m.get(key) if op == "get" else m.get_or_insert(key, token)
                if got is not None:
                    event = "insert" if got is token else "pop" if op == "pop_val" else "found"
                    log.append((event, ident, got.ident, got.serial))

    run_threads(*[lambda s=s: worker(s) for s in range(4)])

    assert duplicates == [], "two equal keys were in the map at once"
    events = [e for log in logs for e in log]
    stored = {serial: ident for event, ident, _, serial in events if event in ("set", "insert")}
    popped = [serial for event, _, _, serial in events if event == "pop"]
    items = m.items()
    present, held = [v.ident for _, v in items], {v.serial for _, v in items}
    # Values found, popped or held were stored for that very key; none popped twice or popped and held.
    assert all(vi == i and stored.get(s) == i for event, i, vi, s in events if event in ("found", "pop"))
    assert all(k == make_key(v.ident) and stored.get(v.serial) == v.ident for k, v in items)
    assert len(popped) == len(set(popped)) and not held & set(popped), "a pair popped twice or came back"
    assert len(present) == len(set(present)) == len(m), "two equal keys"
    # A pair appears by one insertion and goes by one removal; each set inserts at most once.
    count = collections.Counter((event, ident) for event, ident, _, _ in events)
    for ident in range(idents):
        unseen = present.count(ident) + count["pop", ident] + count["delete", ident] - count["insert", ident]
        assert 0 <= unseen <= (0 if ident in never_set else count["set", ident]), f"key {ident}"
    # No value leaked or lost; values dropped on other threads are freed once a collection merges the counts.
    eventually(lambda: settle() or created - dead == held, "every value the map does not hold is freed")


def test_listings_see_stable_pairs_exactly_once_beside_churn(run_threads):
    m = ConcurrentMap(8)
    stable = list(range(100))
    for k in stable:
        m.set(k, k)
    stop, problems = threading.Event(), []

    def churn(offset):
        rng = random.Random(offset)
        while not stop.is_set():
            k = 1000 + offset + rng.randrange(50) * 2
            m.set(k, k)
            m.delete(k)

    def reader():
        try:
            for _ in range(scaled(300)):
                keys, items, n = m.keys(), m.items(), len(m)
                for listing in (keys, [k for k, _ in items]):
                    if len(listing) != len(set(listing)) or sorted(k for k in listing if k < 1000) != stable:
                        problems.append(f"a key missing or repeated: {listing}")
                if not 100 <= n <= 200:
                    problems.append(f"len {n}")
        finally:
            stop.set()

    run_threads(lambda: churn(0), lambda: churn(1), reader)
    assert problems == [] and sorted(m.keys()) == stable
