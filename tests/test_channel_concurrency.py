"""Channel across threads: every item delivered exactly once under load; close() waking every blocked caller."""

import functools
import gc
import sys
import threading

import pytest

from conftest import JOIN_TIMEOUT, join_all, outcome_of, scaled, start_threads, wait_until_sleeping
from torvan import AtomicInteger, Channel, ChannelClosed, select

FLAVOURS = {"unbounded": None, "bounded": 16, "rendezvous": 0}
PROMPT = 5.0  # close() must wake blocked callers promptly, not merely eventually
CLOSED, CLOSED_AND_EMPTY = (ChannelClosed, "Channel is closed"), (ChannelClosed, "Channel is closed and empty")


def blocked_callers(calls):
    """Runs each call on its own thread; returns the threads, once all are blocked, and each call's outcome."""
    outcomes = [None] * len(calls)
    about_to_block = threading.Barrier(len(calls) + 1)

    def body(i):
        about_to_block.wait(JOIN_TIMEOUT)
        try:
            outcomes[i] = ("value", calls[i]())
        except BaseException as exc:  # noqa: BLE001 - inspected by the test
            outcomes[i] = ("error", exc)

    threads = start_threads([functools.partial(body, i) for i in range(len(calls))])
    about_to_block.wait(JOIN_TIMEOUT)
    wait_until_sleeping(*threads)
    return threads, outcomes


@pytest.mark.parametrize("flavour", FLAVOURS)
def test_many_producers_and_consumers_deliver_each_item_once(flavour, run_threads):
    # Each rendezvous item is a hand-over between two threads that must both run: under load, a tenth as many.
    producers, consumers, per_producer = 4, 4, scaled(5_000 if flavour == "rendezvous" else 50_000)
    ch = Channel(FLAVOURS[flavour])
    received = [[] for _ in range(consumers)]
    producers_done = threading.Barrier(producers, action=ch.close)

    def producer(p):
        for i in range(p * per_producer, (p + 1) * per_producer):
            ch.send(i)
        producers_done.wait(JOIN_TIMEOUT)

    run_threads(*[functools.partial(producer, p) for p in range(producers)],
                *[functools.partial(part.extend, ch) for part in received])  # consumers: until closed and drained
    assert sorted(x for part in received for x in part) == list(range(producers * per_producer))


@pytest.mark.thread_unsafe(reason="gc.collect() returns at once while another thread collects")
def test_close_wakes_every_kind_of_blocked_caller():
    empty, full, rendezvous_out, rendezvous_in = Channel(), Channel(1), Channel(0), Channel(0)
    full.send("filler")
    item = object()
    cases = [
        (empty.recv, CLOSED_AND_EMPTY),
        (lambda: empty.recv(timeout=JOIN_TIMEOUT), CLOSED_AND_EMPTY),
        (lambda: list(empty), []),
        (lambda: select([empty.recv_op()]), (ChannelClosed, "Selected channel is closed and empty")),
        (lambda: full.send(item), CLOSED),
        (lambda: full.send_timeout(item, JOIN_TIMEOUT), CLOSED),
        (lambda: select([full.send_op(item)]), (ChannelClosed, "Selected channel is closed")),
        (lambda: rendezvous_out.send(item), CLOSED),
        (rendezvous_in.recv, CLOSED_AND_EMPTY),
    ]
    before = sys.getrefcount(item)
    threads, outcomes = blocked_callers([call for call, _ in cases])
    # A stop-the-world collection needs every attached thread to pause: a caller blocked while attached hangs it.
    join_all(start_threads([gc.collect]), PROMPT)
    for ch in (empty, full, rendezvous_out, rendezvous_in):
        ch.close()
    join_all(threads, PROMPT)
    assert [value if kind == "value" else (type(value), str(value)) for kind, value in outcomes] == [
        expected for _, expected in cases]
    assert list(full) == ["filler"]  # no blocked send got in
    outcomes.clear()  # the exceptions' tracebacks refer to the calls' frames
    gc.collect()
    assert sys.getrefcount(item) == before


@pytest.mark.parametrize("capacity, timed", [(1, False), (3, True)])
def test_every_send_that_returns_is_received_though_close_races_it(capacity, timed):
    # Once the receivers have seen the end, a send that still returned normally would report an item nobody gets.
    for _ in range(scaled(100)):
        ch, sent, got, flowing = Channel(capacity), [], [], threading.Event()

        def sender(tag):
            for n in range(sys.maxsize):
                try:
                    ch.send((tag, n), JOIN_TIMEOUT) if timed and n % 2 else ch.send((tag, n))
                except ValueError:
                    return
                sent.append((tag, n))
                if n == 10:
                    flowing.set()

        threads = start_threads([lambda: sender("a"), lambda: sender("b"), lambda: got.extend(ch)])
        assert flowing.wait(JOIN_TIMEOUT)
        ch.close()
        join_all(threads)
        assert sorted(got) == sorted(sent) and list(ch) == []


@pytest.mark.parametrize("flavour", ["unbounded", "bounded"])
def test_len_racing_sends_and_receives_counts_only_what_is_buffered(flavour, run_threads):
    # Every snapshot lies between what is surely buffered and what may be (sends counted as they begin).
    ch, total = Channel(FLAVOURS[flavour]), scaled(20_000)
    started, received, snapshots = AtomicInteger(), AtomicInteger(), []

    def producer():
        for i in range(total):
            started.increment()
            ch.send(i)
        ch.close()

    def consumer():
        for _ in ch:
            received.increment()

    def watcher():
        while not ch.closed or len(ch):
            done = received.get()  # before the snapshot, and what began after it: bounds that hold at any instant
            length = len(ch)
            snapshots.append((length, started.get() - done))
            assert 0 <= length <= min(started.get() - done, FLAVOURS[flavour] or total), snapshots[-1]

    run_threads(producer, consumer, watcher)
    assert received.get() == total and len(ch) == 0 and snapshots


def test_closed_racing_close_is_true_only_once_sends_are_refused(run_threads):
    # closed turns True once and stays so; a send begun after it was seen True is refused.
    for _ in range(scaled(200)):
        ch, seen = Channel(), []

        def look():
            while not ch.closed:
                pass
            seen.append(outcome_of(ch.try_send, "late"))
            seen.append(ch.closed)

        run_threads(look, ch.close)
        assert seen == ["ChannelClosed: Channel is closed", True]


def test_numbers_made_on_one_thread_and_dropped_on_another_are_released_once(run_threads):
    # Released on the thread that made them: each arrives as itself, the channel holds a bounded number of
    # references meanwhile (against twins never sent), none once it is gone.
    ch, batches, batch = Channel(), 20, 100
    made, twins = [], []
    turn = threading.Barrier(2)

    def produce():
        try:
            for made_here in (made, twins):
                made_here.extend((n * 1_000_003, n + 0.5, f"item {n}")[n % 3] for n in range(batches * batch))
            turn.wait(JOIN_TIMEOUT)
            for b in range(batches):
                for x in made[b * batch:(b + 1) * batch]:
                    ch.send(x)
                turn.wait(JOIN_TIMEOUT)  # the batch was received
        except BaseException:
            turn.abort()  # a failure on one side must not leave the other waiting
            raise

    def consume():
        try:
            turn.wait(JOIN_TIMEOUT)
            for b in range(batches):
                assert all(ch.recv() is x for x in made[b * batch:(b + 1) * batch])
                turn.wait(JOIN_TIMEOUT)
        except BaseException:
            turn.abort()
            raise

    run_threads(produce, consume)
    held = [sys.getrefcount(x) - sys.getrefcount(y) for x, y in zip(made, twins)]
    assert set(held) <= {0, 1} and sum(held) <= 5 * 32  # the block in use and four spares
    del ch
    assert [sys.getrefcount(x) for x in made] == [sys.getrefcount(y) for y in twins]
