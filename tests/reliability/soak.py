"""Soak: every primitive used together from many threads, with invariant checks.

Run directly for a chosen duration (``make soak SOAK_SECONDS=600``) or through
tests/test_process.py (20 seconds in ``make test``). A watchdog turns a hang into
a failure that prints every thread's stack.

Invariants checked at the end:
- every item sent through a channel (by send, try_send, timed send or select)
  was received exactly once;
- the shared AtomicInteger equals the sum of every thread's own deltas;
- the ConcurrentMap never held two equal keys, each thread's private keys hold
  exactly what that thread's own model says, and every get_or_insert of a
  shared key returned the one value that stayed stored;
- RwLock exclusion: readers never saw the unsynchronised counter change under
  them, and it ends equal to the number of write sections;
- every ThreadPool task's future completed with the value it was meant to.
"""

from __future__ import annotations

import argparse
import collections
import faulthandler
import random
import sys
import threading
import time

from torvan import (AtomicBoolean, AtomicInteger, Channel, ConcurrentMap, RwLock, ThreadPool, select)


class Key:
    """A key with a slow-ish, exception-free __eq__ and a small hash space, so
    that comparison passes and collisions happen all the time."""

    __slots__ = ("name",)

    def __init__(self, name):
        self.name = name

    def __hash__(self):
        return hash(self.name) % 64

    def __eq__(self, other):
        return isinstance(other, Key) and other.name == self.name


class Soak:
    def __init__(self, threads: int, seconds: float, seed: int):
        self.threads = threads
        self.seconds = seconds
        self.seed = seed
        self.stop = AtomicBoolean(False)
        self.channels = [Channel(), Channel(8), Channel(0)]
        self.received = collections.Counter()
        self.received_lock = threading.Lock()
        self.sent = collections.Counter()
        self.sent_lock = threading.Lock()
        self.counter = AtomicInteger()
        self.deltas = [0] * threads
        self.map = ConcurrentMap(8)
        self.models = [dict() for _ in range(threads)]
        self.shared_values: dict[str, list] = collections.defaultdict(list)
        self.shared_lock = threading.Lock()
        self.rwlock = RwLock()
        self.unsynchronised = 0
        self.write_sections = [0] * threads
        self.read_violations = []
        self.pool = ThreadPool(2)
        self.futures = [[] for _ in range(threads)]
        self.errors: list[BaseException] = []

    # -- per-thread work ------------------------------------------------------

    def worker(self, index: int) -> None:
        rng = random.Random(self.seed * 1000 + index)
        seq = 0
        actions = [self.channel_step, self.channel_step, self.atomic_step, self.map_step, self.map_step,
                   self.lock_step, self.pool_step]
        try:
            while not self.stop.get(ordering="relaxed"):
                seq += 1
                rng.choice(actions)(index, rng, seq)
        except BaseException as exc:  # noqa: BLE001 - reported by run()
            self.errors.append(exc)
            self.stop.set(True)

    def note_sent(self, item) -> None:
        with self.sent_lock:
            self.sent[item] += 1

    def note_received(self, item) -> None:
        with self.received_lock:
            self.received[item] += 1

    def channel_step(self, index, rng, seq) -> None:
        ch = rng.choice(self.channels)
        item = (index, seq)
        choice = rng.random()
        if choice < 0.3:
            try:
                ch.send(item, timeout=0.002)
                self.note_sent(item)
            except TimeoutError:
                pass
        elif choice < 0.45:
            try:
                ch.try_send(item)
                self.note_sent(item)
            except RuntimeError:
                pass
        elif choice < 0.75:
            try:
                self.note_received(ch.recv(timeout=0.002))
            except TimeoutError:
                pass
        elif choice < 0.85:
            try:
                self.note_received(ch.try_recv())
            except RuntimeError:
                pass
        else:
            other = rng.choice(self.channels)
            ops = [ch.send_op(item), other.recv_op(), rng.choice(self.channels).recv_op()]
            try:
                position, value = select(ops, timeout=0.002)
            except TimeoutError:
                return
            if position == 0:
                self.note_sent(item)
            else:
                self.note_received(value)

    def atomic_step(self, index, rng, seq) -> None:
        delta = rng.randint(-5, 9)
        if rng.random() < 0.5:
            self.counter.fetch_add(delta)
        else:
            self.counter.add_and_get_relaxed(delta)
        self.deltas[index] += delta

    def map_step(self, index, rng, seq) -> None:
        m = self.map
        if rng.random() < 0.3:
            name = f"shared-{rng.randrange(16)}"
            value = m.get_or_insert(Key(name), (index, seq))
            with self.shared_lock:
                self.shared_values[name].append(value)
            return
        key = Key(f"t{index}-{rng.randrange(32)}")
        model = self.models[index]
        op = rng.random()
        if op < 0.4:
            m.set(key, seq)
            model[key.name] = seq
        elif op < 0.6:
            assert m.delete(key) == (key.name in model)
            model.pop(key.name, None)
        elif op < 0.8:
            found, value = m.pop_val(key)
            assert found == (key.name in model) and (not found or value == model.pop(key.name))
        else:
            assert m.get(key) == model.get(key.name)

    def lock_step(self, index, rng, seq) -> None:
        if rng.random() < 0.3:
            with self.rwlock.write():
                value = self.unsynchronised
                time.sleep(0)
                self.unsynchronised = value + 1
                self.write_sections[index] += 1
        else:
            with self.rwlock.read():
                first = self.unsynchronised
                time.sleep(0)
                if self.unsynchronised != first:
                    self.read_violations.append((first, self.unsynchronised))

    def pool_step(self, index, rng, seq) -> None:
        n = rng.randrange(50)
        self.futures[index].append((n, self.pool.submit(sum, range(n))))

    # -- run and check --------------------------------------------------------

    def run(self) -> None:
        workers = [threading.Thread(target=self.worker, args=(i,), daemon=True) for i in range(self.threads)]
        for w in workers:
            w.start()
        deadline = time.monotonic() + self.seconds
        while time.monotonic() < deadline and not self.stop.get():
            time.sleep(0.05)
        self.stop.set(True)
        for w in workers:
            w.join(60)
        assert not any(w.is_alive() for w in workers), "soak workers did not stop"
        if self.errors:
            raise self.errors[0]
        self.drain_and_check()

    def drain_and_check(self) -> None:
        for ch in self.channels:
            ch.close()
            for item in ch:
                self.note_received(item)
        assert self.received == self.sent, (
            f"channel items lost or duplicated: {sum((self.sent - self.received).values())} lost, "
            f"{sum((self.received - self.sent).values())} extra")
        assert self.counter.get() == sum(self.deltas)
        keys = [k.name for k in self.map.keys()]
        assert len(keys) == len(set(keys)), "the map held two equal keys"
        contents = dict(zip(keys, self.map.values()))
        for index, model in enumerate(self.models):
            mine = {k: v for k, v in contents.items() if k.startswith(f"t{index}-")}
            assert mine == model, f"thread {index}: map content differs from its own operations"
        for name, seen in self.shared_values.items():
            stored = contents[name]
            assert all(v == stored for v in seen), f"get_or_insert of {name} returned different values"
        assert not self.read_violations, f"a write happened under a read lock: {self.read_violations[:3]}"
        assert self.unsynchronised == sum(self.write_sections)
        self.pool.shutdown(wait=True)
        for per_thread in self.futures:
            for n, future in per_thread:
                assert future.done() and future.result(timeout=0) == sum(range(n))

    def summary(self) -> str:
        return (f"{sum(self.sent.values())} channel items, {sum(len(f) for f in self.futures)} pool tasks, "
                f"{sum(self.write_sections)} write sections, {len(self.map)} map pairs")


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description="torvan soak test")
    parser.add_argument("--seconds", type=float, default=20.0)
    parser.add_argument("--threads", type=int, default=8)
    parser.add_argument("--seed", type=int, default=int(time.time()))
    parser.add_argument("--watchdog", type=float, default=None, help="seconds before a hang is declared")
    args = parser.parse_args(argv)
    watchdog = args.watchdog or args.seconds + 120
    faulthandler.dump_traceback_later(watchdog, exit=True)
    soak = Soak(args.threads, args.seconds, args.seed)
    try:
        soak.run()
    finally:
        faulthandler.cancel_dump_traceback_later()
    print(f"soak passed (seed {args.seed}, {args.seconds:g}s, {args.threads} threads): {soak.summary()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
