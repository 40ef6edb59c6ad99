"""The benchmark harness: cases, interleaved rounds, threads, results.

A benchmark module registers cases with :func:`case`. A case is one
operation measured for several implementations (torvan and its competitors)
at several thread counts. Each implementation is a *workload factory*: called
with the shared state of the measurement and the thread index, it returns a zero-argument callable that performs
``ops`` operations. The harness runs the callables on threads released
together by a barrier and times the whole batch from the main thread.

Rounds are interleaved: every round measures every implementation once, in a
rotating order, so that drift of a shared, noisy machine hits all sides alike.
Results are the median of the rounds, with their minimum and maximum.
"""

from __future__ import annotations

import dataclasses
import itertools
import statistics
import threading
import time
from typing import Callable, Iterable

# A factory(shared, thread_index, ops) returns a callable that performs `ops`
# operations; `shared` is what the implementation's setup built for this
# measurement (None without a setup).
Workload = Callable[[object, int, int], Callable[[], None]]


@dataclasses.dataclass
class Impl:
    name: str
    kind: str  # "torvan", "stdlib" or "peer"
    workload: Workload | None = None
    # Builds fresh shared state for a measurement; the factory receives it.
    setup: Callable[[int], object] | None = None
    skipped: str | None = None  # reason, when the implementation cannot run here


def torvan(name: str, workload=None, setup=None) -> Impl:
    return Impl(name, "torvan", workload, setup)


def stdlib(name: str, workload=None, setup=None) -> Impl:
    return Impl(name, "stdlib", workload, setup)


def peer(name: str, workload=None, setup=None, skipped: str | None = None) -> Impl:
    return Impl(name, "peer", workload, setup, skipped)


@dataclasses.dataclass
class Case:
    group: str
    name: str
    build: Callable[[], list[Impl]]
    threads: tuple[int, ...]
    ops: int
    note: str = ""


REGISTRY: list[Case] = []


def case(group: str, name: str, *, threads: Iterable[int] = (1, 2, 4), ops: int = 100_000, note: str = ""):
    """Register a case; the decorated function returns its implementations."""

    def register(build):
        REGISTRY.append(Case(group, name, build, tuple(threads), ops, note))
        return build

    return register


def time_threads(n_threads: int, make_body: Callable[[int], Callable[[], None]], timeout: float = 300.0) -> float:
    """Seconds from the first worker starting to the last one finishing.

    Each worker reads the clock itself right after the barrier releases it and
    right after its work, so a worker that runs before the main thread is
    scheduled again is still timed from its own start. Each worker makes its
    own body first: what a body binds (bound methods, closures) then belongs
    to the thread that uses it, as when a user's thread looks up what it
    calls. Made on the main thread, their reference counts would be updated
    atomically by every call, and two of them that share a cache line would
    couple unrelated threads, whatever the code under test."""
    if n_threads == 1:
        body = make_body(0)
        start = time.perf_counter()
        body()
        return time.perf_counter() - start
    barrier = threading.Barrier(n_threads)
    errors: list[BaseException] = []
    spans: list[tuple[float, float]] = []

    def run(i):
        try:
            body = make_body(i)
            barrier.wait()
            start = time.perf_counter()
            body()
            spans.append((start, time.perf_counter()))
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)
            barrier.abort()

    workers = [threading.Thread(target=run, args=(i,), daemon=True) for i in range(n_threads)]
    for w in workers:
        w.start()
    deadline = time.monotonic() + timeout
    for w in workers:
        w.join(max(0.0, deadline - time.monotonic()))
    if any(w.is_alive() for w in workers):
        raise RuntimeError(f"benchmark workers did not finish within {timeout}s")
    if errors:
        raise errors[0]
    return max(end for _, end in spans) - min(start for start, _ in spans)


@dataclasses.dataclass
class Measurement:
    group: str
    case: str
    impl: str
    kind: str
    threads: int
    ops_per_thread: int
    rounds_ns_per_op: list[float]

    @property
    def ns_per_op(self) -> float:
        return statistics.median(self.rounds_ns_per_op)

    @property
    def ops_per_sec(self) -> float:
        return 1e9 / self.ns_per_op

    def as_json(self) -> dict:
        return {
            "group": self.group,
            "case": self.case,
            "impl": self.impl,
            "kind": self.kind,
            "threads": self.threads,
            "ops_per_thread": self.ops_per_thread,
            "unit": "ns/op",
            "median": self.ns_per_op,
            "min": min(self.rounds_ns_per_op),
            "max": max(self.rounds_ns_per_op),
            "ops_per_sec": self.ops_per_sec,
            "rounds": self.rounds_ns_per_op,
        }


def measure_case(c: Case, threads: int, rounds: int, ops: int, progress: Callable[[str], None]) -> list[Measurement]:
    """Measure every runnable implementation of a case, interleaved by round.

    ns/op is wall time divided by the total number of operations of all
    threads, so that it is directly comparable with throughput."""
    impls = [i for i in c.build() if i.skipped is None]
    results = {i.name: Measurement(c.group, c.name, i.name, i.kind, threads, ops, []) for i in impls}
    # One untimed warm-up pass each, as long as a round: the first pass of a
    # size pays for memory the process has not touched yet (a hundred
    # thousand futures, a queue's blocks), which says nothing about the
    # implementation it lands on. Then rounds in rotating order.
    for i in impls:
        _run_once(i, threads, ops)
    for r in range(rounds):
        order = impls[r % len(impls):] + impls[: r % len(impls)]
        for i in order:
            progress(f"{c.group} / {c.name} / {i.name} / {threads} thread{'s' if threads > 1 else ''} / round {r + 1}")
            elapsed = _run_once(i, threads, ops)
            results[i.name].rounds_ns_per_op.append(elapsed * 1e9 / (ops * threads))
    return list(results.values())


def _run_once(impl: Impl, threads: int, ops: int) -> float:
    shared = impl.setup(threads) if impl.setup else None
    return time_threads(threads, lambda i: impl.workload(shared, i, ops))


def steadiness_sample(calls: int = 100_000) -> float:
    """ns per call of a plain loop of builtin calls on this thread: nothing
    shared, nothing waited for. Sampled through a run, its spread is what the
    host alone does to a round (a virtual processor's speed can change from
    one moment to the next), the floor under any case's spread."""
    f = id
    start = time.perf_counter()
    for _ in itertools.repeat(None, calls):
        f(None)
    return (time.perf_counter() - start) / calls * 1e9
