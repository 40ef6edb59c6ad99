"""Channel on one thread (plus a helper where a rendezvous needs one):
creation, non-blocking and timed operations, close and draining, iteration,
`with`, bad input, and the references the channel takes and gives back."""

import gc
import math
import sys
import time
import weakref

import pytest

from blocking import wait_until_sleeping
from conftest import join_all, start_threads
from torvan import Channel

FLAVOURS = {"unbounded": None, "bounded": 4, "rendezvous": 0}
CONVERSION_PANIC = "cannot convert float seconds to Duration: value is either too big or NaN"


class Token:
    """An item whose release can be watched with weakref.finalize."""


def is_panic(exc: BaseException) -> bool:
    return type(exc).__name__ == "PanicException" and not isinstance(exc, Exception)


def drained(ch):
    """Everything still buffered in ch, without waiting."""
    out = []
    while True:
        try:
            out.append(ch.try_recv())
        except (RuntimeError, ValueError):
            return out


def recv_on_thread(ch):
    """Starts a thread blocked in ch.recv(); returns (thread, result dict)."""
    result = {}

    def body():
        try:
            result["item"] = ch.recv()
        except BaseException as exc:  # noqa: BLE001 - inspected by the test
            result["error"] = exc

    return start_threads([body])[0], result


class TestCreation:
    def test_capacity_and_flavour(self):
        assert Channel().capacity is None
        assert Channel(None).capacity is None
        assert Channel(0).capacity == 0
        assert Channel(capacity=7).capacity == 7
        with pytest.raises(ValueError, match="^Capacity must be non-negative$"):
            Channel(-1)

    def test_bad_capacity(self):
        with pytest.raises(TypeError) as info:
            Channel("3")
        assert info.value.__notes__ == ["while processing 'capacity'"]
        with pytest.raises(OverflowError):
            Channel(2**63)
        # Room for every item is reserved at creation; refusing is the only option.
        with pytest.raises(MemoryError):
            Channel(2**62)


class TestNonBlocking:
    def test_bounded_one(self):
        ch = Channel(1)
        a, b = object(), object()
        ch.try_send(a)
        with pytest.raises(RuntimeError, match="^Channel is full$"):
            ch.try_send(b)
        assert ch.try_recv() is a
        with pytest.raises(RuntimeError, match="^Channel is empty$"):
            ch.try_recv()
        ch.try_send(b)
        assert ch.recv() is b

    def test_unbounded_keeps_order(self):
        ch = Channel()
        for i in range(1000):
            ch.try_send(i)
        assert drained(ch) == list(range(1000))

    def test_rendezvous_needs_a_waiting_receiver(self):
        ch = Channel(0)
        with pytest.raises(RuntimeError, match="^Channel is full$"):
            ch.try_send(1)
        with pytest.raises(RuntimeError, match="^Channel is empty$"):
            ch.try_recv()
        thread, result = recv_on_thread(ch)
        wait_until_sleeping(thread)
        item = object()
        while True:  # a receiver that is not yet registered still makes the send fail
            try:
                ch.try_send(item)
                break
            except RuntimeError:
                assert thread.is_alive()
        join_all([thread])
        assert result == {"item": item}


class TestClose:
    @pytest.mark.parametrize("capacity", [None, 2])
    def test_receivers_drain_after_close(self, capacity):
        ch = Channel(capacity)
        ch.send("a")
        ch.send("b")
        ch.close()
        with pytest.raises(ValueError, match="^Channel is closed$"):
            ch.send("c")
        with pytest.raises(ValueError, match="^Channel is closed$"):
            ch.try_send("c")
        with pytest.raises(ValueError, match="^Channel is closed$"):
            ch.send("c", timeout=-1)  # the closed check comes first
        assert ch.recv() == "a"
        assert ch.recv(timeout=1) == "b"
        with pytest.raises(ValueError, match="^Channel is closed and empty$"):
            ch.recv()
        with pytest.raises(ValueError, match="^Channel is closed and empty$"):
            ch.recv_timeout(5)
        with pytest.raises(ValueError, match="^Channel is closed and empty$"):
            ch.try_recv()
        ch.close()
        assert ch.capacity == capacity

    def test_try_recv_reports_empty_while_a_send_op_keeps_a_sender(self):
        ch = Channel()
        op = ch.send_op(1)
        ch.close()
        # The SendOp's Sender keeps the channel connected, but the Channel's
        # own sends see it closed.
        for send in (ch.send, ch.try_send, ch.send_op, lambda item: ch.send(item, timeout=1)):
            with pytest.raises(ValueError, match="^Channel is closed$"):
                send("late")
        with pytest.raises(RuntimeError, match="^Channel is empty$"):
            ch.try_recv()
        # recv learns of the close from the close signal instead.
        with pytest.raises(ValueError, match="^Channel is closed and empty$"):
            ch.recv()
        del op
        with pytest.raises(ValueError, match="^Channel is closed and empty$"):
            ch.try_recv()


class TestTimeouts:
    def test_expiry(self):
        with pytest.raises(TimeoutError, match="^recv\\(\\) timed out waiting for available item$"):
            Channel().recv(0.05)
        with pytest.raises(TimeoutError, match="^recv\\(\\) timed out waiting for available item$"):
            Channel(0).recv_timeout(0)
        full = Channel(1)
        full.send("kept")
        with pytest.raises(TimeoutError, match="^send\\(\\) timed out waiting for channel capacity$"):
            full.send("late", timeout=0.05)
        with pytest.raises(TimeoutError, match="^send\\(\\) timed out waiting for channel capacity$"):
            full.send_timeout("late", 0)
        assert drained(full) == ["kept"]

    @pytest.mark.parametrize("wait", ["recv unbounded", "recv rendezvous", "send full"])
    def test_a_blocked_thread_sleeps_instead_of_spinning(self, wait):
        # A waiter spins only for a moment before it sleeps: a second of
        # waiting costs it a few milliseconds of processor time at most.
        ch = Channel(1 if wait == "send full" else FLAVOURS[wait.split()[1]])
        if wait == "send full":
            ch.send("kept")
        started = time.thread_time()
        with pytest.raises(TimeoutError):
            if wait == "send full":
                ch.send("late", timeout=1.0)
            else:
                ch.recv(1.0)
        assert time.thread_time() - started < 0.02

    def test_zero_timeout_races_a_ready_operation_against_the_timer(self):
        received = timed_out = 0
        ch = Channel()
        for _ in range(200):
            ch.send(1)
            try:
                ch.recv(0)
                received += 1
            except TimeoutError:
                timed_out += 1
                assert ch.recv() == 1  # without a timeout the item comes at once
        assert received and timed_out
        sent = timed_out = 0
        for _ in range(200):
            try:
                ch.send(2, 0.0)
                sent += 1
            except TimeoutError:
                timed_out += 1
        assert sent and timed_out
        assert len(drained(ch)) == sent

    def test_conversion(self):
        ch = Channel()
        ch.send(1)
        assert ch.recv(1e19) == 1  # far beyond the clock: no deadline at all
        ch.send(1)
        assert ch.recv(math.nextafter(2.0**64, 0)) == 1  # the largest that converts
        ch.send(2)
        assert ch.recv(True) == 2  # an int (and a bool) is a number of seconds
        for method, args in [(ch.recv, ()), (ch.send, ("x",)), (ch.send_timeout, ("x",)), (ch.recv_timeout, ())]:
            with pytest.raises(ValueError, match="^Timeout must be non-negative$"):
                method(*args, -0.001)
            for bad in (float("nan"), float("inf"), 2.0**64):
                with pytest.raises(BaseException) as info:
                    method(*args, bad)
                assert is_panic(info.value) and str(info.value) == CONVERSION_PANIC
            with pytest.raises(TypeError) as info:
                method(*args, "1")
            assert info.value.__notes__ == ["while processing 'timeout'"]
        assert drained(ch) == []  # no failed send left anything behind


class TestProtocols:
    def test_iteration_ends_when_closed_and_drained(self):
        ch = Channel()

        def produce():
            for i in (1, 2, 3):
                ch.send(i)
            ch.close()

        threads = start_threads([produce])
        assert list(ch) == [1, 2, 3]
        join_all(threads)
        assert iter(ch) is ch
        assert list(ch) == []

    @pytest.mark.parametrize("flavour", FLAVOURS)
    def test_closed_channel_yields_what_it_holds(self, flavour):
        ch = Channel(FLAVOURS[flavour])
        if flavour != "rendezvous":
            ch.send(1)
            ch.send(2)
        ch.close()
        assert list(ch) == ([] if flavour == "rendezvous" else [1, 2])

    def test_with_closes_also_on_error(self):
        with Channel() as ch:
            assert isinstance(ch, Channel)
        with pytest.raises(ValueError, match="^Channel is closed$"):
            ch.send(1)
        ch2 = Channel()
        with pytest.raises(KeyError):
            with ch2:
                raise KeyError("propagates")
        with pytest.raises(ValueError, match="^Channel is closed$"):
            ch2.send(1)
        with pytest.raises(TypeError, match="'_exc_type', '_exc_val', and '_exc_tb'"):
            Channel().__exit__()


class TestReferences:
    def test_failed_sends_give_the_reference_back(self):
        item = object()
        before = sys.getrefcount(item)
        full = Channel(1)
        full.send(0)
        for attempt in (lambda: full.try_send(item), lambda: full.send(item, 0.01), lambda: full.send(item, -1)):
            with pytest.raises((RuntimeError, TimeoutError, ValueError)):
                attempt()
            assert sys.getrefcount(item) == before
        full.close()
        for attempt in (lambda: full.send(item), lambda: full.try_send(item), lambda: full.send_op(item)):
            with pytest.raises(ValueError):
                attempt()
            assert sys.getrefcount(item) == before

    def test_received_items_carry_exactly_the_sent_reference(self):
        item = object()
        before = sys.getrefcount(item)
        ch = Channel(2)
        ch.send(item)
        assert sys.getrefcount(item) == before + 1
        assert ch.recv() is item
        assert sys.getrefcount(item) == before

    @pytest.mark.parametrize("capacity", [None, 3])
    def test_dropped_channel_releases_buffered_items(self, capacity):
        ch = Channel(capacity)
        token = Token()
        released = weakref.finalize(token, lambda: None)
        ch.send(token)
        ch.close()
        del token
        assert released.alive
        del ch
        assert not released.alive

    @pytest.mark.thread_unsafe(reason="gc.collect() returns at once while another thread collects")
    def test_buffered_items_live_while_a_receiver_clone_does(self):
        ch = Channel()
        token = Token()
        released = weakref.finalize(token, lambda: None)
        ch.send(token)
        op = ch.recv_op()
        del token, ch
        gc.collect()
        assert released.alive
        del op
        assert not released.alive

    def test_items_of_a_send_op_are_released_with_it(self):
        ch = Channel()
        token = Token()
        released = weakref.finalize(token, lambda: None)
        op = ch.send_op(token)
        del token
        assert released.alive
        del op
        assert not released.alive
