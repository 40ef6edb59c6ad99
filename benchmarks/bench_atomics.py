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
    # A C method without arguments that returns a constant (True, immortal):
    # the cheapest call the machine can make, and nothing else.
    return stdlib("str.isascii() (call floor: a C method returning a constant)",
                  lambda shared, i, ops: loop("".isascii, ops))


def counting_call():
    # A C call without arguments that makes an int past the cached small ones.
    return stdlib("itertools.count().__next__ (a C call making an int)",
                  lambda shared, i, ops: loop(itertools.count().__next__, ops))


def call_loop(bound, args, ops):
    """`ops` calls of `bound` with `args` written out, as a program calls (not `bound(*args)`, whose
    unpacking costs as much as a simple call)."""
    if not args:
        return loop(bound, ops)
    first, second = args

    def body():
        for _ in repeat(None, ops):
            bound(first, second)

    return body


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
    return peer(f"cereggii AtomicInt64.{method}()",
                lambda shared, i, ops: call_loop(getattr(shared, method), args, ops),
                setup=lambda t: peers.cereggii.AtomicInt64(0))


def torvan_call(method: str, *args):
    return torvan(f"AtomicInteger.{method}()", lambda shared, i, ops: call_loop(getattr(shared, method), args, ops),
                  setup=lambda t: AtomicInteger(0))


@case(GROUP, "increment_relaxed()", ops=200_000)
def increment_relaxed():
    return [torvan_call("increment_relaxed"), floor(), counting_call(), locked_increment(), ft_atomic("incr"),
            cereggii_atomic("increment_and_get")]


@case(GROUP, "increment()", ops=200_000)
def increment():
    return [torvan_call("increment"), floor(), counting_call(), locked_increment(), ft_atomic("incr"),
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

    return [torvan_call("get"), floor(), counting_call(),
            stdlib("threading.Lock + int", locked_read, setup=lambda t: LockedInt()), ft_atomic("get"),
            cereggii_atomic("get")]


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

    return [torvan_call("compare_and_set", 0, 0), floor(), counting_call(),
            stdlib("threading.Lock + int", locked_cas, setup=lambda t: LockedInt()),
            cereggii_atomic("compare_and_set", 0, 0)]
