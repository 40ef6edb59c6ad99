"""AtomicInteger beside the call floor, a lock-guarded int and peer atomics."""

from __future__ import annotations

import itertools
import threading
from itertools import repeat

from benchmarks import peers
from benchmarks.harness import case, peer, stdlib, torvan
from torvan import AtomicInteger

GROUP = "AtomicInteger"


class LockedInt:
    __slots__ = ("lock", "value")

    def __init__(self):
        self.lock = threading.Lock()
        self.value = 0


def loop(call, ops):
    def body():
        for _ in repeat(None, ops):
            call()

    return body


def floor():
    # A builtin no-argument call: the cheapest call Python can make.
    return stdlib("itertools.count().__next__ (call floor)",
                  lambda shared, i, ops: loop(itertools.count().__next__, ops))


def locked_increment():
    def workload(shared, i, ops):
        lock = shared.lock

        def body():
            for _ in repeat(None, ops):
                with lock:
                    shared.value += 1

        return body

    return stdlib("threading.Lock + int", workload, setup=lambda t: LockedInt())


def ft_atomic(method: str):
    if peers.ft_concurrency is None:
        return peer("ft_utils AtomicInt64", skipped=peers.FT_UTILS_MISSING)
    return peer(f"ft_utils AtomicInt64.{method}()",
                lambda shared, i, ops: loop(getattr(shared, method), ops),
                setup=lambda t: peers.ft_concurrency.AtomicInt64(0))


def cereggii_atomic(method: str, *args):
    if peers.cereggii is None:
        return peer("cereggii AtomicInt64", skipped=peers.CEREGGII_MISSING)
    def workload(shared, i, ops):
        bound = getattr(shared, method)
        if not args:
            return loop(bound, ops)

        def body():
            for _ in repeat(None, ops):
                bound(*args)

        return body

    return peer(f"cereggii AtomicInt64.{method}()", workload, setup=lambda t: peers.cereggii.AtomicInt64(0))


def torvan_call(method: str, *args):
    def workload(shared, i, ops):
        bound = getattr(shared, method)
        if not args:
            return loop(bound, ops)

        def body():
            for _ in repeat(None, ops):
                bound(*args)

        return body

    return torvan(f"AtomicInteger.{method}()", workload, setup=lambda t: AtomicInteger(0))


@case(GROUP, "increment_relaxed()", ops=200_000)
def increment_relaxed():
    return [torvan_call("increment_relaxed"), floor(), locked_increment(), ft_atomic("incr"),
            cereggii_atomic("increment_and_get")]


@case(GROUP, "increment()", ops=200_000)
def increment():
    return [torvan_call("increment"), floor(), locked_increment(), ft_atomic("incr"),
            cereggii_atomic("increment_and_get")]


@case(GROUP, "get()", ops=200_000)
def get():
    def locked_read(shared, i, ops):
        lock = shared.lock

        def body():
            for _ in repeat(None, ops):
                with lock:
                    shared.value

        return body

    return [torvan_call("get"), floor(), stdlib("threading.Lock + int", locked_read, setup=lambda t: LockedInt()),
            ft_atomic("get"), cereggii_atomic("get")]


@case(GROUP, "compare_and_set()", ops=200_000, note="a successful exchange of 0 for 0 on a shared value")
def compare_and_set():
    def locked_cas(shared, i, ops):
        lock = shared.lock

        def body():
            for _ in repeat(None, ops):
                with lock:
                    if shared.value == 0:
                        shared.value = 0

        return body

    return [torvan_call("compare_and_set", 0, 0), floor(),
            stdlib("threading.Lock + int", locked_cas, setup=lambda t: LockedInt()),
            cereggii_atomic("compare_and_set", 0, 0)]
