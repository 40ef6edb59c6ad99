"""Soak: every primitive used together from many threads (`make soak SOAK_SECONDS=600`, or briefly from
tests/test_process.py), checked at the end against what each thread did; a watchdog prints the stacks of a hang."""

import argparse
import collections
import faulthandler
import random
import sys
import threading
import time
from contextlib import suppress

from torvan import AtomicBoolean, AtomicInteger, Channel, ConcurrentMap, RwLock, ThreadPool, select


class Key:
    # Equal by name in a small hash space: collisions and Python-level __eq__ calls all the time.
    __slots__ = ("name",)
    def __init__(self, name):
        self.name = name

    def __hash__(self):
        return hash(self.name) % 64

    def __eq__(self, other):
        return isinstance(other, Key) and other.name == self.name


class Soak:
    def __init__(self, threads: int, seconds: float, seed: int):
        self.threads, self.seconds, self.seed = threads, seconds, seed
        self.stop = AtomicBoolean(False)
        self.channels = [Channel(), Channel(8), Channel(0)]
        self.sent, self.received = collections.Counter(), collections.Counter()
        self.counter, self.deltas = AtomicInteger(), [0] * threads
        self.map, self.models = ConcurrentMap(8), [{} for _ in range(threads)]
        self.rwlock, self.unsynchronised, self.write_sections, self.read_violations = RwLock(), 0, [0] * threads, []
        self.pool, self.futures = ThreadPool(2), [[] for _ in range(threads)]
        self.lock, self.shared_values = threading.Lock(), collections.defaultdict(list)  # lock: also the counters
        self.errors: list[BaseException] = []

    def worker(self, index: int) -> None:
        rng = random.Random(self.seed * 1000 + index)
        actions = [self.channel_step] * 2 + [self.atomic_step] + [self.map_step] * 2 + [self.lock_step, self.pool_step]
        seq = 0
        try:
            while not self.stop.get(ordering="relaxed"):
                seq += 1
                rng.choice(actions)(index, rng, seq)
        except BaseException as exc:  # noqa: BLE001 - reported by run()
            self.errors.append(exc)
            self.stop.set(True)

    def note(self, counter, item) -> None:
        with self.lock:
            counter[item] += 1

    def channel_step(self, index, rng, seq) -> None:
        ch, item, choice = rng.choice(self.channels), (index, seq), rng.random()
        if choice < 0.45:
            with suppress(TimeoutError if choice < 0.3 else RuntimeError):  # timed out, or full
                ch.send(item, timeout=0.002) if choice < 0.3 else ch.try_send(item)
                self.note(self.sent, item)
        elif choice < 0.85:
            with suppress(TimeoutError if choice < 0.75 else RuntimeError):  # timed out, or empty
                self.note(self.received, ch.recv(timeout=0.002) if choice < 0.75 else ch.try_recv())
        else:
            ops = [ch.send_op(item), rng.choice(self.channels).recv_op(), rng.choice(self.channels).recv_op()]
            with suppress(TimeoutError):
                position, value = select(ops, timeout=0.002)
                counter, seen = (self.received, value) if position else (self.sent, item)
                self.note(counter, seen)

    def atomic_step(self, index, rng, seq) -> None:
        delta = rng.randint(-5, 9)
        (self.counter.fetch_add if rng.random() < 0.5 else self.counter.add_and_get_relaxed)(delta)
        self.deltas[index] += delta

    def map_step(self, index, rng, seq) -> None:
        m, model, op = self.map, self.models[index], rng.random()
        if op < 0.3:
            name = f"shared-{rng.randrange(16)}"
            value = m.get_or_insert(Key(name), (index, seq))
            with self.lock:
                self.shared_values[name].append(value)
            return
        key = Key(f"t{index}-{rng.randrange(32)}")
        if op < 0.6:
            m.set(key, seq)
            model[key.name] = seq
        elif op < 0.75:
            assert m.delete(key) == (model.pop(key.name, None) is not None)
        elif op < 0.9:
            found, value = m.pop_val(key)
            assert found == (key.name in model) and (not found or value == model.pop(key.name))
        else:
            assert m.get(key) == model.get(key.name)

    def lock_step(self, index, rng, seq) -> None:
        write = rng.random() < 0.3
        with self.rwlock.write() if write else self.rwlock.read():
            first = self.unsynchronised
            time.sleep(0)
            if write:
                self.unsynchronised = first + 1
                self.write_sections[index] += 1
            elif self.unsynchronised != first:
                self.read_violations.append((first, self.unsynchronised))

    def pool_step(self, index, rng, seq) -> None:
        n = rng.randrange(50)
        self.futures[index].append((n, self.pool.submit(sum, range(n))))

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
        for ch in self.channels:
            ch.close()
            for item in ch:
                self.note(self.received, item)
        lost, extra = sum((self.sent - self.received).values()), sum((self.received - self.sent).values())
        assert self.received == self.sent, f"channel items lost or duplicated: {lost} lost, {extra} extra"
        assert self.counter.get() == sum(self.deltas)
        keys = [k.name for k in self.map.keys()]
        assert len(keys) == len(set(keys)), "the map held two equal keys"
        contents = dict(zip(keys, self.map.values()))
        for index, model in enumerate(self.models):
            mine = {k: v for k, v in contents.items() if k.startswith(f"t{index}-")}
            assert mine == model, f"thread {index}: map content differs from its own operations"
        for name, seen in self.shared_values.items():
            assert all(v == contents[name] for v in seen), f"get_or_insert of {name} returned different values"
        assert not self.read_violations, f"a write happened under a read lock: {self.read_violations[:3]}"
        assert self.unsynchronised == sum(self.write_sections)
        self.pool.shutdown(wait=True)
        for n, future in (pair for per_thread in self.futures for pair in per_thread):
            assert future.done() and future.result(timeout=0) == sum(range(n))


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description="torvan soak test")
    parser.add_argument("--seconds", type=float, default=20.0)
    parser.add_argument("--threads", type=int, default=8)
    parser.add_argument("--seed", type=int, default=int(time.time()))
    parser.add_argument("--watchdog", type=float, default=None, help="seconds before a hang is declared")
    args = parser.parse_args(argv)
    faulthandler.dump_traceback_later(args.watchdog or args.seconds + 120, exit=True)
    soak = Soak(args.threads, args.seconds, args.seed)
    soak.run()
    faulthandler.cancel_dump_traceback_later()
    print(f"soak passed (seed {args.seed}, {args.seconds:g}s, {args.threads} threads): {sum(soak.sent.values())} "
          f"channel items, {sum(map(len, soak.futures))} pool tasks, {len(soak.map)} map pairs")
    return 0


if __name__ == "__main__":
    sys.exit(main())
