"""select() over RecvOp and SendOp: what it performs, its random choice, its
timeout, closed channels, bad input, and the references it leaves alone."""

import collections
import sys

import pytest

from conftest import JOIN_TIMEOUT, join_all, scaled, start_threads, wait_until_sleeping
from torvan import Channel, select

TIMED_OUT = "^select\\(\\) timed out waiting for ready channel$"


def choices(make_ops, rounds=400):
    """How often each position wins over `rounds` calls on fresh operations."""
    counts = collections.Counter()
    for _ in range(rounds):
        counts[select(make_ops())[0]] += 1
    return counts


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

    def test_closed_channels_drain_in_order_at_their_positions_chosen_about_equally(self):
        # Behind an idle operation: an item drained through the close signal
        # (ready beside the data operation) must still report its own position.
        idle, a, b = Channel(), Channel(), Channel(400)
        for i in range(400):
            a.send(("a", i))
            b.send(("b", i))
        a.close()
        b.close()
        ops = [idle.recv_op(), a.recv_op(), b.recv_op()]  # still available after close
        got = [select(ops) for _ in range(400)]
        assert all(item[0] == {1: "a", 2: "b"}.get(position) for position, item in got), got
        counts = collections.Counter(position for position, _ in got)
        assert counts[1] > 120 and counts[2] > 120, counts
        for position in 1, 2:
            assert [i for p, (_, i) in got if p == position] == list(range(counts[position]))
        drained = Channel()
        drained.close()
        with pytest.raises(ValueError, match="^Selected channel is closed and empty$"):
            select([idle.recv_op(), drained.recv_op()])
        with pytest.raises(ValueError, match="^Channel is closed$"):
            a.send_op(3)

    def test_send_op_made_before_close_either_sends_or_reports_closed(self):
        outcomes = collections.Counter()
        for _ in range(200):
            ch = Channel(1)
            op = ch.send_op("x")
            ch.close()
            try:
                assert select([op]) == (0, None)
                assert ch.recv() == "x"
                outcomes["sent"] += 1
            except ValueError as exc:
                assert str(exc) == "Selected channel is closed"
                outcomes["closed"] += 1
        assert outcomes["sent"] > 40 and outcomes["closed"] > 40

    def test_ready_operations_are_chosen_about_equally(self):
        a, b = Channel(), Channel()

        def ready_pair():
            a.send(0)
            b.send(1)
            return [a.recv_op(), b.recv_op()]

        counts = choices(ready_pair)
        assert counts[0] > 120 and counts[1] > 120
        # Each call took exactly one item; the rest are still queued in order.
        assert len(counts) == 2 and sum(counts.values()) == 400


class TestTimeout:
    def test_nothing_ready(self):
        idle = Channel()
        op = idle.recv_op()
        for timeout in (0, -5, float("nan"), 0.02):
            with pytest.raises(TimeoutError, match=TIMED_OUT):
                select([op], timeout)

    def test_a_ready_operation_beats_a_zero_timeout(self):
        ch = Channel()
        for i in range(100):
            ch.send(i)
            assert select([ch.recv_op()], timeout=0) == (0, i)
            assert select([ch.send_op(i)], 0.0) == (0, None)
            assert ch.recv() == i

    def test_conversion(self):
        ch = Channel()
        ch.send(1)
        assert select([ch.recv_op()], timeout=1e19) == (0, 1)  # beyond the clock: no deadline
        op = Channel().recv_op()
        for bad in (float("inf"), 2.0**64):
            with pytest.raises(BaseException) as info:
                select([op], bad)
            assert type(info.value).__name__ == "PanicException"
            assert str(info.value) == "cannot convert float seconds to Duration: value is either too big or NaN"
        with pytest.raises(TypeError) as info:
            select([op], "soon")
        assert info.value.__notes__ == ["while processing 'timeout'"]


class TestBadInput:
    def test_messages(self):
        with pytest.raises(ValueError, match="^Operations list cannot be empty$"):
            select([])
        with pytest.raises(ValueError, match="^Operations list cannot be empty$"):
            select(())
        with pytest.raises(TypeError, match="^Operations must be of type RecvOp or SendOp$"):
            select([Channel().recv_op(), 1])
        for ops, message in [("ab", "Can't extract `str` to `Vec`"),
                             (3, "'int' object is not an instance of 'Sequence'"),
                             ({Channel().recv_op()}, "'set' object is not an instance of 'Sequence'")]:
            with pytest.raises(TypeError) as info:
                select(ops)
            assert str(info.value) == message
            assert info.value.__notes__ == ["while processing 'ops'"]

    def test_a_failing_sequence_reports_its_own_error(self):
        class Broken(collections.UserList):
            def __iter__(self):
                raise LookupError("broken")

        with pytest.raises(LookupError, match="broken"):
            select(Broken([Channel().recv_op()]))

class TestAcrossThreads:
    def test_blocked_select_wakes_on_send_and_on_close(self):
        ch, idle = Channel(), Channel()
        result = {}

        def wait():
            result["first"] = select([idle.recv_op(), ch.recv_op()])
            try:
                select([ch.recv_op()])
            except ValueError as exc:
                result["second"] = str(exc)

        threads = start_threads([wait])
        wait_until_sleeping(*threads)
        ch.send("hello")
        wait_until_sleeping(*threads)
        ch.close()
        join_all(threads)
        assert result == {"first": (1, "hello"), "second": "Selected channel is closed and empty"}

    def test_mixed_operations_over_eight_channels(self, run_threads):
        # Selectors send into four channels (drained by their own threads)
        # and receive from four pre-filled ones, all in one select each time.
        # Every item moves exactly once.
        selectors, per_selector = 2, scaled(4000)
        outgoing = [Channel(), Channel(0), Channel(1), Channel(2)]
        incoming = [Channel(), Channel(per_selector), Channel(), Channel(per_selector)]
        for c, ch in enumerate(incoming):
            for n in range(per_selector // 2):
                ch.send((c, n))
        sent, received, drained = [], [], []

        def selector(s):
            def body():
                for n in range(per_selector):
                    ops = [op for c in range(4) for op in (outgoing[c].send_op((s, n)), incoming[c].recv_op())]
                    position, value = select(ops, timeout=JOIN_TIMEOUT)
                    (received if position % 2 else sent).append(value if position % 2 else (s, n))

            return body

        def drainer(ch):
            return lambda: drained.extend(ch)

        drainers = start_threads([drainer(ch) for ch in outgoing])
        run_threads(*[selector(s) for s in range(selectors)])
        for ch in outgoing + incoming:
            ch.close()
        join_all(drainers)
        leftovers = [item for ch in incoming for item in ch]
        assert sorted(drained) == sorted(sent)
        assert sorted(received + leftovers) == sorted((c, n) for c in range(4) for n in range(per_selector // 2))
        assert len(sent) + len(received) == selectors * per_selector
