"""Channel on one thread (plus a helper where a rendezvous needs one):
creation, non-blocking and timed operations, close and draining, iteration,
`with`, bad input, and the references the channel takes and gives back. Then
asyncio: arecv, asend and `async for` complete at once when they can and
otherwise wait as coroutines, without a thread; under cancellations and
timeouts every item arrives exactly once; closing the channel, cancelling or
closing the loop ends every wait and keeps nothing."""

import asyncio
import gc
import math
import os
import random
import sys
import threading
import time
import weakref

import pytest

from conftest import JOIN_TIMEOUT, Token, join_all, run_in_thread, scaled, start_threads, wait_until_sleeping
from torvan import Channel

FLAVOURS = {"unbounded": None, "bounded": 4, "rendezvous": 0}
CONVERSION_PANIC = "cannot convert float seconds to Duration: value is either too big or NaN"


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


def test_creation():
    assert [Channel().capacity, Channel(None).capacity, Channel(0).capacity, Channel(capacity=7).capacity] == [
        None, None, 0, 7]
    with pytest.raises(ValueError, match="^Capacity must be non-negative$"):
        Channel(-1)
    with pytest.raises(TypeError) as info:
        Channel("3")
    assert info.value.__notes__ == ["while processing 'capacity'"]
    with pytest.raises(OverflowError):
        Channel(2**63)
    # Room for every item is reserved at creation; refusing is the only option.
    with pytest.raises(MemoryError):
        Channel(2**62)


class TestNonBlocking:
    def test_bounded_one_and_unbounded_order(self):
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

    @pytest.mark.thread_unsafe(reason="turns the collector off for the whole process")
    @pytest.mark.parametrize("wait", ["recv unbounded", "recv rendezvous", "send full"])
    def test_a_blocked_thread_sleeps_instead_of_spinning(self, wait):
        # A waiter spins only for a moment before it sleeps: a second of
        # waiting costs it a few milliseconds of processor time (about 6 ms
        # measured, as much as threading.Event().wait(1) here), where one
        # that spins costs the whole second. The bound leaves room for a
        # loaded machine.
        ch = Channel(1 if wait == "send full" else FLAVOURS[wait.split()[1]])
        if wait == "send full":
            ch.send("kept")
        wait_a_second = (lambda: ch.send("late", timeout=1.0)) if wait == "send full" else (lambda: ch.recv(1.0))
        collecting = gc.isenabled()
        gc.disable()  # a collection run by this thread would count as its processor time
        try:
            started = time.thread_time()
            with pytest.raises(TimeoutError):
                wait_a_second()
            spent = time.thread_time() - started
        finally:
            if collecting:
                gc.enable()
        assert spent < 0.1

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


TIMED_CALLS = {
    "recv": lambda ch, t: ch.recv(t),
    "recv_timeout": lambda ch, t: ch.recv_timeout(t),
    "send": lambda ch, t: ch.send("x", t),
    "send_timeout": lambda ch, t: ch.send_timeout("x", t),
    "arecv": lambda ch, t: run(lambda: ch.arecv(t)),
    "asend": lambda ch, t: run(lambda: ch.asend("x", t)),
}


@pytest.mark.parametrize("call", TIMED_CALLS)
def test_timeout_conversion(call):
    ch, timed, receives = Channel(), TIMED_CALLS[call], "recv" in call
    for _ in range(3 if receives else 0):
        ch.send("x")
    # Far beyond the clock: no deadline at all; the largest float that
    # converts; an int (and a bool) is a number of seconds.
    for seconds in (1e19, math.nextafter(2.0**64, 0), True):
        assert timed(ch, seconds) == ("x" if receives else None)
    with pytest.raises(ValueError, match="^Timeout must be non-negative$"):
        timed(ch, -0.001)
    for bad in (float("nan"), float("inf"), 2.0**64):
        with pytest.raises(BaseException) as info:
            timed(ch, bad)
        assert is_panic(info.value) and str(info.value) == CONVERSION_PANIC
    with pytest.raises(TypeError) as info:
        timed(ch, "1")
    assert info.value.__notes__ == ["while processing 'timeout'"]
    assert drained(ch) == ([] if receives else ["x"] * 3)  # no failed call moved an item


class TestProtocols:
    @pytest.mark.parametrize("flavour", FLAVOURS)
    def test_iteration_ends_when_closed_and_drained(self, flavour):
        ch = Channel(FLAVOURS[flavour])

        def produce():
            for i in (1, 2, 3):
                ch.send(i)
            ch.close()

        threads = start_threads([produce])
        assert list(ch) == [1, 2, 3]
        join_all(threads)
        assert iter(ch) is ch
        assert list(ch) == []
        if flavour != "rendezvous":  # closed while holding items: yields them
            ch = Channel(FLAVOURS[flavour])
            ch.send(1)
            ch.close()
            assert list(ch) == [1]

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
    def test_received_items_carry_exactly_the_sent_reference(self):
        item = object()
        before = sys.getrefcount(item)
        ch = Channel(2)
        ch.send(item)
        assert sys.getrefcount(item) == before + 1
        assert ch.recv() is item
        assert sys.getrefcount(item) == before


# asyncio ------------------------------------------------------------------------------


def run(main):
    """asyncio.run(main()), failing instead of hanging."""

    async def bounded():
        return await asyncio.wait_for(main(), JOIN_TIMEOUT)

    return asyncio.run(bounded())


async def turns(n):
    for _ in range(n):
        await asyncio.sleep(0)


def sending_then_closing(ch, count):
    """A thread body that sends 0 .. count - 1, then closes ch."""

    def produce():
        for i in range(count):
            ch.send(i)
        ch.close()

    return produce


class TestOutcomes:
    def test_results_and_errors(self):
        async def main():
            ch = Channel(1)
            assert await ch.asend("x") is None
            with pytest.raises(TimeoutError, match=r"^send\(\) timed out waiting for channel capacity$"):
                await ch.asend("y", 0.01)
            assert await ch.arecv(timeout=1) == "x"
            with pytest.raises(TimeoutError, match=r"^recv\(\) timed out waiting for available item$"):
                await ch.arecv(0.01)
            with pytest.raises(TimeoutError):
                await Channel(0).asend("z", 0)
            await ch.asend("last")
            ch.close()
            with pytest.raises(ValueError, match="^Channel is closed$"):
                await ch.asend("y", -1)  # closed is reported before a bad timeout, as by send()
            assert await ch.arecv() == "last"
            with pytest.raises(ValueError, match="^Channel is closed and empty$"):
                await ch.arecv()

        run(main)

    def test_call_errors_are_raised_at_once(self):
        ch = Channel()
        for call in (ch.arecv, lambda: ch.asend(1), ch.__anext__):
            with pytest.raises(RuntimeError, match="no running event loop"):
                call()
        with pytest.raises(TypeError):
            ch.arecv("soon")  # converted before the loop is looked for

    def test_the_awaitable(self):
        async def main():
            ch = Channel()
            ch.send(1)
            awaitable = ch.arecv()
            assert asyncio.iscoroutine(awaitable) and awaitable.__qualname__ == "Channel.arecv"
            assert await awaitable == 1
            with pytest.raises(RuntimeError, match="^cannot reuse already awaited channel operation$"):
                await awaitable
            task = asyncio.create_task(ch.asend(2))
            assert "Channel.asend" in repr(task)
            await task
            assert await ch.__anext__() == 2
            never_awaited = ch.asend(3)  # sends nothing: an operation starts when awaited
            with pytest.warns(RuntimeWarning, match=r"^Channel\.asend\(\) was never awaited$"):
                del never_awaited
            with pytest.raises(RuntimeError, match="^Channel is empty$"):
                ch.try_recv()

        run(main)


class TestWaiting:
    def test_async_for_ends_where_for_ends(self):
        async def main():
            ch = Channel()
            ch.send(1)
            held = ch.send_op(2)  # a sender clone keeps the channel connected after close()
            ch.close()
            assert [x async for x in ch] == [1]
            assert [x async for x in ch] == []
            del held

        run(main)

    @pytest.mark.thread_unsafe(reason="counts the process's threads, which other threads change")
    def test_a_thousand_waiters_hold_no_thread(self):
        waiters = 1000
        inbox, outbox = Channel(), Channel(1)
        outbox.send("full")

        async def main():
            receivers = [asyncio.ensure_future(inbox.arecv()) for _ in range(waiters)]
            senders = [asyncio.ensure_future(outbox.asend(i)) for i in range(waiters)]
            await turns(3)
            assert threading.active_count() == threads_before
            assert asyncio.get_running_loop()._default_executor is None

            def feed():
                for i in range(waiters):
                    inbox.send(i)
                    outbox.recv()

            feeder = start_threads([feed])
            received = await asyncio.gather(*receivers)
            await asyncio.gather(*senders)
            return feeder, received

        threads_before = threading.active_count()
        feeder, received = run(main)
        join_all(feeder)
        assert sorted(received) == list(range(waiters))
        assert outbox.try_recv() in range(waiters)

    def test_loops_on_several_threads_meet(self):
        chans = [Channel(capacity) for capacity in FLAVOURS.values()]
        loops, each = 4, scaled(200)
        got = []

        def loop_body(i):
            async def main():
                if i % 2:  # half the loops send, half receive, on every channel
                    await asyncio.gather(*[ch.asend(n) for ch in chans for n in range(each)])
                else:
                    got.extend(await asyncio.gather(*[ch.arecv() for ch in chans for _ in range(each)]))

            return lambda: run(main)

        join_all(start_threads([loop_body(i) for i in range(loops)]))
        assert sorted(got) == sorted(list(range(each)) * len(chans) * (loops // 2))

    @pytest.mark.parametrize("receiver_first", [True, False])
    def test_rendezvous_on_one_loop(self, receiver_first):
        async def main():
            ch = Channel(0)
            first, second = (ch.arecv(), ch.asend("x")) if receiver_first else (ch.asend("x"), ch.arecv())
            waiting = asyncio.ensure_future(first)
            await turns(2)
            assert not waiting.done()
            results = [await second, await waiting]
            return results if receiver_first else results[::-1]

        assert run(main) == [None, "x"]

    @pytest.mark.parametrize("capacity", FLAVOURS.values(), ids=FLAVOURS.keys())
    def test_close_ends_every_wait(self, capacity):
        async def main():
            receiving, sending = Channel(capacity), Channel(capacity)
            for _ in range(capacity or 0):
                await sending.asend("filler")
            tasks = [asyncio.ensure_future(receiving.arecv()) for _ in range(3)]
            if capacity is not None:
                tasks += [asyncio.ensure_future(sending.asend("late")) for _ in range(3)]
            await turns(3)
            receiving.close()
            sending.close()
            return await asyncio.gather(*tasks, return_exceptions=True)

        outcomes = [str(outcome) for outcome in run(main)]
        assert outcomes == ["Channel is closed and empty"] * 3 + ["Channel is closed"] * (len(outcomes) - 3)


class TestCancellation:
    """Each wait is cancelled after a random number of loop turns, or times
    out; every item still arrives exactly once, in order."""

    @pytest.mark.parametrize("capacity", FLAVOURS.values(), ids=FLAVOURS.keys())
    def test_arecv(self, capacity):
        ch = Channel(capacity)
        count = scaled(3000)

        async def main():
            threads = start_threads([sending_then_closing(ch, count)])
            got = []
            while True:
                chance = random.random()
                if chance < 0.4:
                    task = asyncio.ensure_future(ch.arecv())
                    await turns(random.randrange(3))
                    task.cancel()
                elif chance < 0.8:
                    task = asyncio.ensure_future(asyncio.wait_for(ch.arecv(), random.choice([0, 1e-5, 1e-4])))
                else:  # waits, so that a busy machine still makes progress
                    task = asyncio.ensure_future(ch.arecv())
                try:
                    got.append(await task)
                except (asyncio.CancelledError, TimeoutError):
                    pass
                except ValueError:
                    return threads, got

        threads, got = run(main)
        join_all(threads)
        assert got == list(range(count))

    @pytest.mark.parametrize("capacity", [1, 0], ids=["bounded", "rendezvous"])
    def test_asend(self, capacity):
        ch = Channel(capacity)
        count = scaled(3000)
        got = []

        async def main():
            threads = start_threads([lambda: got.extend(ch)])
            for i in range(count):
                while True:
                    task = asyncio.ensure_future(ch.asend(i, random.choice([None, 1e-5])))
                    if random.random() < 0.5:  # else waits, so that a busy machine still makes progress
                        await turns(random.randrange(3))
                        task.cancel()
                    try:
                        await task
                        break  # sent, even if the cancellation came after the hand-over
                    except (asyncio.CancelledError, TimeoutError):
                        pass  # not sent: send it again
            ch.close()
            return threads

        join_all(run(main))
        assert got == list(range(count))

    @pytest.mark.parametrize("capacity", [None, 1], ids=["unbounded", "bounded"])
    @pytest.mark.parametrize("side", ["receive", "send"])
    def test_a_woken_wait_that_is_cancelled_passes_the_wake_on(self, capacity, side):
        if side == "send" and capacity is None:
            pytest.skip("a send to an unbounded channel never waits")

        async def main():
            ch = Channel(capacity)
            if side == "send":
                ch.send("full")
            first, second = [asyncio.ensure_future(ch.arecv() if side == "receive" else ch.asend(n)) for n in (1, 2)]
            await turns(2)
            # Wakes the first waiter, which is cancelled before it runs: the
            # second must not sleep past the item (or the room).
            if side == "send":
                assert ch.try_recv() == "full"
            else:
                ch.try_send("item")
            first.cancel()
            outcome = await second
            with pytest.raises(asyncio.CancelledError):
                await first
            return outcome if side == "receive" else ch.try_recv()

        assert run(main) == ("item" if side == "receive" else 2)

    @pytest.mark.parametrize("side", ["receive", "send"])
    def test_a_rendezvous_hand_over_wins_over_a_later_cancellation(self, side):
        async def main():
            ch = Channel(0)
            task = asyncio.ensure_future(ch.arecv() if side == "receive" else ch.asend("item"))
            await turns(2)
            handed = ch.try_send("item") if side == "receive" else ch.try_recv()
            task.cancel()
            return handed, await task, task.cancelled()

        assert run(main) == ((None, "item", False) if side == "receive" else ("item", None, False))

    def test_a_timed_out_wait_leaves_the_next_item(self):
        ch = Channel()

        async def main():
            with pytest.raises(TimeoutError):
                await asyncio.wait_for(ch.arecv(), 0.01)
            threads = start_threads([lambda: ch.send("next")])
            return threads, await ch.arecv()

        threads, item = run(main)
        join_all(threads)
        assert item == "next"


class TestShutdown:
    def test_asyncio_run_returns_with_waits_pending(self):
        chans = [Channel(capacity) for capacity in FLAVOURS.values()]

        async def main():
            for ch in chans:
                asyncio.ensure_future(ch.arecv())
                if ch.capacity == 1:
                    await ch.asend("full")
                    asyncio.ensure_future(ch.asend("waits"))
            await turns(3)

        # Joined with a timeout: a wait that kept the loop from closing fails here.
        run_in_thread(lambda: asyncio.run(main()))

    @pytest.mark.thread_unsafe(reason="gc.collect() returns at once while another thread collects")
    def test_a_closed_loop_keeps_nothing(self):
        chans = [Channel(), Channel(1), Channel(0)]
        chans[1].send("full")
        refcounts = [sys.getrefcount(ch) for ch in chans]
        item = Token()
        item_gone = weakref.finalize(item, lambda: None)
        tasks = []

        def run_and_close_loop():
            loop = asyncio.new_event_loop()
            loop.set_exception_handler(lambda loop, context: None)  # "Task was destroyed but it is pending!"

            async def start():
                for ch in chans:
                    tasks.append(weakref.ref(loop.create_task(ch.arecv() if ch.capacity is None else ch.asend(item))))
                await turns(3)

            loop.run_until_complete(start())
            loop.close()

        fds = os.listdir("/proc/self/fd") if os.path.isdir("/proc/self/fd") else None
        run_in_thread(run_and_close_loop)
        del item
        gc.collect()
        assert not item_gone.alive and all(task() is None for task in tasks)
        assert [sys.getrefcount(ch) for ch in chans] == refcounts
        if fds is not None:
            assert len(os.listdir("/proc/self/fd")) == len(fds)
        # Wakes for the closed loop's waits go nowhere.
        chans[0].send(1)
        assert chans[1].recv() == "full"
        for ch in chans:
            ch.close()
