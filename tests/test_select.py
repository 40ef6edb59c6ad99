"""select() over RecvOp and SendOp: what it performs, its random choice, timeout, closed channels, bad input."""

import collections
import functools
import sys

import pytest

from conftest import JOIN_TIMEOUT, join_all, outcome_of, scaled, start_threads
from torvan import Channel, ChannelClosed, select

TIMED_OUT, CLOSED_AND_EMPTY = "select() timed out waiting for ready channel", "Selected channel is closed and empty"


class TestOutcomes:
    def test_receives_what_is_ready_and_sends_the_same_object_each_time(self):
        a, b = Channel(), Channel(1)
        b.send("x")
        assert select([a.recv_op(), b.recv_op()]) == (1, "x")
        a.send("y")
        assert select((b.recv_op(), a.recv_op()), timeout=0) == (1, "y")
        ch, item = Channel(2), object()
        op = ch.send_op(item)
        before = sys.getrefcount(item)
        assert select([op]) == (0, None)
        assert sys.getrefcount(item) == before + 1  # one reference moved into the channel
        assert select([a.recv_op(), op]) == (1, None)
        assert ch.recv() is item and ch.recv() is item
        assert sys.getrefcount(item) == before

    def test_ready_channels_drain_in_order_at_their_positions_chosen_about_equally_also_once_closed(self):
        # Behind an idle operation: an item drained through the close signal must still report its own position.
        idle, a, b = Channel(), Channel(), Channel(800)
        for i in range(800):
            a.send(("a", i))
            b.send(("b", i))
        ops = [idle.recv_op(), a.recv_op(), b.recv_op()]
        got = [select(ops) for _ in range(400)]
        a.close()
        b.close()
        got += [select(ops) for _ in range(400)]  # the operations stay usable after close
        assert all(item[0] == {1: "a", 2: "b"}.get(position) for position, item in got), got
        for half in got[:400], got[400:]:
            counts = collections.Counter(position for position, _ in half)
            assert counts[1] > 120 and counts[2] > 120, counts
        for position in 1, 2:
            indices = [i for p, (_, i) in got if p == position]
            assert indices == list(range(len(indices)))
        drained = Channel()
        drained.close()
        assert outcome_of(select, [idle.recv_op(), drained.recv_op()]) == f"ChannelClosed: {CLOSED_AND_EMPTY}"

    def test_a_closed_channel_is_named_by_its_position(self):
        # A fan-in learns which of its channels closed from the error, whatever the others hold.
        busy, done, rendezvous = Channel(), Channel(), Channel(0)
        for i in range(50):
            busy.send(i)
        done.close()
        late = rendezvous.send_op("never received")  # made before close: only its close signal is ever ready
        rendezvous.close()
        ops, received, closed_at = [busy.recv_op(), done.recv_op(), late], [], collections.Counter()
        for _ in range(200):
            try:
                received.append(select(ops))
            except ChannelClosed as closed:
                closed_at[closed.index, str(closed)] += 1
        assert set(closed_at) == {(1, CLOSED_AND_EMPTY), (2, "Selected channel is closed")}
        assert received == [(0, i) for i in range(len(received))] and len(received) + len(busy) == 50

    def test_nothing_ready_and_conversion(self):
        ch = Channel()
        op = ch.recv_op()
        outcomes = [outcome_of(select, [op], timeout) for timeout in (0, -5, float("nan"), 0.02, float("inf"), 2.0**64)]
        assert outcomes == [f"TimeoutError: {TIMED_OUT}"] * 4 + [
            "PanicException: cannot convert float seconds to Duration: value is either too big or NaN"] * 2
        with pytest.raises(TypeError) as info:
            select([op], "soon")
        assert info.value.__notes__ == ["while processing 'timeout'"]
        ch.send(1)
        assert select([ch.recv_op()], timeout=1e19) == (0, 1)  # beyond the clock: no deadline

    def test_a_ready_operation_beats_a_zero_timeout(self):
        ch = Channel()
        for i in range(100):
            ch.send(i)
            assert select([ch.recv_op()], timeout=0) == (0, i)
            assert select([ch.send_op(i)], 0.0) == (0, None)
            assert ch.recv() == i

    def test_mixed_operations_over_eight_channels(self, run_threads):
        # Each select sends into four drained channels and receives from four pre-filled ones; each item moves once.
        selectors, per_selector = 2, scaled(4000)
        outgoing = [Channel(), Channel(0), Channel(1), Channel(2)]
        incoming = [Channel(), Channel(per_selector), Channel(), Channel(per_selector)]
        for c, ch in enumerate(incoming):
            for n in range(per_selector // 2):
                ch.send((c, n))
        sent, received, drained = [], [], []

        def selector(s):
            for n in range(per_selector):
                ops = [op for c in range(4) for op in (outgoing[c].send_op((s, n)), incoming[c].recv_op())]
                position, value = select(ops, timeout=JOIN_TIMEOUT)
                (received if position % 2 else sent).append(value if position % 2 else (s, n))

        drainers = start_threads([lambda ch=ch: drained.extend(ch) for ch in outgoing])
        run_threads(*[functools.partial(selector, s) for s in range(selectors)])
        for ch in outgoing + incoming:
            ch.close()
        join_all(drainers)
        leftovers = [item for ch in incoming for item in ch]
        assert sorted(drained) == sorted(sent)
        assert sorted(received + leftovers) == sorted((c, n) for c in range(4) for n in range(per_selector // 2))
        assert len(sent) + len(received) == selectors * per_selector


class Broken(collections.UserList):
    def __iter__(self):
        raise LookupError("broken")


@pytest.mark.parametrize("ops, error, message, notes", [
    ([], ValueError, "Operations list cannot be empty", None),
    ((), ValueError, "Operations list cannot be empty", None),
    ([Channel().recv_op(), 1], TypeError, "Operations must be of type RecvOp or SendOp", None),
    ("ab", TypeError, "Can't extract `str` to `Vec`", ["while processing 'ops'"]),
    (3, TypeError, "'int' object is not an instance of 'Sequence'", ["while processing 'ops'"]),
    ({Channel().recv_op()}, TypeError, "'set' object is not an instance of 'Sequence'", ["while processing 'ops'"]),
    (Broken([Channel().recv_op()]), LookupError, "broken", ["while processing 'ops'"]),  # its own error
])
def test_bad_operations(ops, error, message, notes):
    with pytest.raises(error) as info:
        select(ops)
    assert (type(info.value), str(info.value), getattr(info.value, "__notes__", None)) == (error, message, notes)
