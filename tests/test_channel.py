"""Channel on one thread (plus a helper where a rendezvous needs one): creation, non-blocking and timed
operations, close, iteration, `with`, bad input, references; then the asyncio adapters: waits without a
thread, cancellations and timeouts that lose or duplicate nothing, and loops closed with waits pending."""

import asyncio
import gc
import math
import os
import queue
import random
import re
import sys
import threading
import time
import warnings
import weakref

import pytest

from conftest import (JOIN_TIMEOUT, Token, join_all, outcome_of, run_in_thread, run_python, scaled, settle,
                      start_threads, wait_until_sleeping)
from torvan import Channel, ChannelClosed, ChannelEmpty, ChannelFull, select

FLAVOURS = {"unbounded": None, "bounded": 4, "rendezvous": 0}
CONVERSION_PANIC = "cannot convert float seconds to Duration: value is either too big or NaN"
RECV_TIMED_OUT = r"^recv\(\) timed out waiting for available item$"
SEND_TIMED_OUT = r"^send\(\) timed out waiting for channel capacity$"
CLOSED_AND_EMPTY = "ChannelClosed: Channel is closed and empty"


def drained(ch):  # what it holds, once closed
    ch.close()
    return list(ch)


def send_all_then_close(ch, items):
    for item in items:
        ch.send(item)
    ch.close()


class TestOperations:
    def test_creation(self):
        assert [Channel().capacity, Channel(None).capacity, Channel(0).capacity, Channel(capacity=7).capacity] == [
            None, None, 0, 7]
        assert outcome_of(Channel, -1) == "ValueError: Capacity must be non-negative"
        # Room for every item is reserved at creation.
        assert [outcome_of(Channel, bad).split(":")[0] for bad in (2**63, 2**62)] == ["OverflowError", "MemoryError"]
        with pytest.raises(TypeError) as info:
            Channel("3")
        assert info.value.__notes__ == ["while processing 'capacity'"]

    def test_bounded_one_and_unbounded_order(self):
        ch, a, b = Channel(1), object(), object()
        ch.try_send(a)
        assert outcome_of(ch.try_send, b) == "ChannelFull: Channel is full" and ch.try_recv() is a
        before = sys.getrefcount(b)
        ch.send(b)
        assert sys.getrefcount(b) == before + 1  # the channel holds exactly one reference...
        assert ch.recv() is b
        assert sys.getrefcount(b) == before  # ...and hands it over with the item
        ch = Channel()
        for i in range(1000):
            ch.try_send(i)
        assert drained(ch) == list(range(1000))

    def test_rendezvous_needs_a_waiting_receiver(self):
        ch, got = Channel(0), []
        thread = start_threads([lambda: got.append(ch.recv())])[0]
        wait_until_sleeping(thread)
        item = object()
        while True:  # a receiver that is not yet registered still makes the send fail
            try:
                ch.try_send(item)
                break
            except RuntimeError:
                assert thread.is_alive()
        join_all([thread])
        assert got == [item]

    @pytest.mark.parametrize("capacity", [None, 3])
    def test_receivers_drain_after_close(self, capacity):
        ch = Channel(capacity)
        ch.send("a")
        ch.send("b")
        op = ch.send_op("held")  # made before close(), it sends nothing after it, though alive and with room
        ch.close()
        sends = (ch.send, ch.try_send, ch.send_op, lambda x: ch.send(x, timeout=1), lambda x: ch.send(x, -1))
        assert {outcome_of(send, "c") for send in sends} == {"ChannelClosed: Channel is closed"}  # before the timeout
        assert outcome_of(select, [op]) == "ChannelClosed: Selected channel is closed"
        assert [ch.recv(), ch.recv(timeout=1)] == ["a", "b"]
        # try_recv does not look at the close while a sender made before it lives.
        assert [outcome_of(ch.try_recv), outcome_of(ch.recv)] == ["ChannelEmpty: Channel is empty", CLOSED_AND_EMPTY]
        del op
        assert {outcome_of(recv) for recv in (ch.recv, lambda: ch.recv_timeout(5), ch.try_recv)} == {CLOSED_AND_EMPTY}
        ch.close()
        assert ch.capacity == capacity

    def test_with_closes_also_on_error(self):
        with Channel() as ch:
            assert isinstance(ch, Channel)
        ch2 = Channel()
        with pytest.raises(KeyError):
            with ch2:
                raise KeyError("propagates")
        assert {outcome_of(closed.send, 1) for closed in (ch, ch2)} == {"ChannelClosed: Channel is closed"}
        assert "'_exc_type', '_exc_val', and '_exc_tb'" in outcome_of(Channel().__exit__)


class TestPythonHabits:
    @pytest.mark.parametrize("flavour", FLAVOURS)
    def test_len_closed_truth_repr_and_iteration_show_what_the_channel_holds(self, flavour):
        capacity = FLAVOURS[flavour]
        ch, held = Channel(capacity), 0 if capacity == 0 else 3
        assert (len(ch), ch.closed, bool(ch)) == (0, False, True)  # true when empty: a channel, not a container
        for i in range(held):
            ch.send(i)
        assert re.fullmatch(rf"<Channel capacity={capacity} buffered={held} closed=False at 0x[0-9a-f]+>", repr(ch))
        ch.close()
        assert (len(ch), ch.closed, ch.capacity) == (held, True, capacity)
        assert f"buffered={held} closed=True" in repr(ch)
        assert iter(ch) is ch and list(ch) == list(range(held)) and len(ch) == 0 and bool(ch)  # closed, it yields them
        with pytest.raises(AttributeError):
            ch.closed = False
        ch = Channel(capacity)  # iteration ends once closed and drained
        threads = start_threads([lambda: send_all_then_close(ch, (1, 2, 3))])
        assert list(ch) == [1, 2, 3] and list(ch) == []
        join_all(threads)

    def test_errors_are_both_the_builtin_type_and_the_queue_modules(self):
        full, empty, closed, drained_closed = Channel(1), Channel(), Channel(1), Channel()
        full.send(0)
        closed.send(0)
        closed.close()
        drained_closed.close()
        cases = [
            (lambda: full.try_send(1), ChannelFull, RuntimeError, queue.Full, "Channel is full"),
            (empty.try_recv, ChannelEmpty, RuntimeError, queue.Empty, "Channel is empty"),
            (lambda: closed.send(1), ChannelClosed, ValueError, queue.ShutDown, "Channel is closed"),
            (drained_closed.recv, ChannelClosed, ValueError, queue.ShutDown, "Channel is closed and empty"),
            (lambda: run(drained_closed.arecv), ChannelClosed, ValueError, queue.ShutDown, "Channel is closed and empty"),
            (lambda: run(lambda: closed.asend(1)), ChannelClosed, ValueError, queue.ShutDown, "Channel is closed"),
        ]
        for call, cls, builtin, from_queue, message in cases:
            with pytest.raises(from_queue) as info:
                call()
            assert type(info.value) is cls and isinstance(info.value, builtin) and str(info.value) == message
            assert cls is not ChannelClosed or info.value.index is None  # only select's name an operation
        assert not issubclass(ChannelFull, queue.Empty) and not issubclass(ChannelEmpty, queue.Full)
        assert closed.recv() == 0  # what a refused send left is still there

    def test_loaded_without_its_package_the_module_raises_the_builtin_types(self):
        out = run_python("""
import sys
import torvan._torvan as native
del sys.modules["torvan._errors"]  # where the module looks for the classes
closed, idle = native.Channel(), native.Channel()  # a channel dropped closes, as close() does
closed.close()
for call in (idle.try_recv, lambda: native.Channel(0).try_send(1), closed.recv,
             lambda: native.select([idle.recv_op(), closed.recv_op()])):
    try:
        call()
    except Exception as error:
        print(type(error).__name__, error, getattr(error, "index", None))
""")
        assert out.splitlines() == [
            "RuntimeError Channel is empty None", "RuntimeError Channel is full None",
            "ValueError Channel is closed and empty None", "ValueError Selected channel is closed and empty 1"]


TIMED_CALLS = {
    "recv": lambda ch, t: ch.recv(t),
    "recv_timeout": lambda ch, t: ch.recv_timeout(t),
    "send": lambda ch, t: ch.send("x", t),
    "send_timeout": lambda ch, t: ch.send_timeout("x", t),
    "arecv": lambda ch, t: run(lambda: ch.arecv(t)),
    "asend": lambda ch, t: run(lambda: ch.asend("x", t)),
}


class TestTimeouts:
    def test_expiry(self):
        full = Channel(1)
        full.send("kept")
        for call, message in [(lambda: Channel().recv(0.05), RECV_TIMED_OUT),
                              (lambda: Channel(0).recv_timeout(0), RECV_TIMED_OUT),
                              (lambda: full.send("late", timeout=0.05), SEND_TIMED_OUT),
                              (lambda: full.send_timeout("late", 0), SEND_TIMED_OUT)]:
            with pytest.raises(TimeoutError, match=message):
                call()
        assert drained(full) == ["kept"]

    @pytest.mark.thread_unsafe(reason="turns the collector off for the whole process")
    @pytest.mark.parametrize("capacity", [None, 0, 1], ids=["recv unbounded", "recv rendezvous", "send full"])
    def test_a_blocked_thread_sleeps_instead_of_spinning(self, capacity):
        # A second of waiting costs a few ms of processor time (as Event().wait(1) does); spinning costs it all.
        ch = Channel(capacity)
        if capacity:
            ch.send("kept")
        gc.disable()  # a collection run by this thread would count as its processor time
        try:
            started = time.thread_time()
            outcome = outcome_of(ch.send, "late", 1.0) if capacity else outcome_of(ch.recv, 1.0)
            spent = time.thread_time() - started
        finally:
            gc.enable()
        assert outcome.startswith("TimeoutError") and spent < 0.1

    def test_zero_timeout_races_a_ready_operation_against_the_timer(self):
        ch, received, sent = Channel(), set(), []
        for _ in range(200):
            ch.send(1)
            try:
                received.add(ch.recv(0))
            except TimeoutError:
                received.add("timed out")
                assert ch.recv() == 1  # without a timeout the item comes at once
        for _ in range(200):
            try:
                sent.append(ch.send(2, 0.0))
            except TimeoutError:
                sent.append("timed out")
        assert received == {1, "timed out"} and set(sent) == {None, "timed out"}
        assert len(drained(ch)) == sent.count(None)

    @pytest.mark.parametrize("call", TIMED_CALLS)
    def test_timeout_conversion(self, call):
        ch, timed, receives = Channel(), TIMED_CALLS[call], "recv" in call
        for _ in range(3 if receives else 0):
            ch.send("x")
        # Beyond the clock: no deadline; the largest float that converts; an int (and a bool) is seconds.
        for seconds in (1e19, math.nextafter(2.0**64, 0), True):
            assert timed(ch, seconds) == ("x" if receives else None)
        assert outcome_of(timed, ch, -0.001) == "ValueError: Timeout must be non-negative"
        for bad in (float("nan"), float("inf"), 2.0**64):
            assert outcome_of(timed, ch, bad) == f"PanicException: {CONVERSION_PANIC}"
        with pytest.raises(TypeError) as info:
            timed(ch, "1")
        assert info.value.__notes__ == ["while processing 'timeout'"]
        assert drained(ch) == ([] if receives else ["x"] * 3)  # no failed call moved an item


# asyncio ------------------------------------------------------------------------------


def run(main):
    async def bounded():  # fails instead of hanging
        return await asyncio.wait_for(main(), JOIN_TIMEOUT)

    return asyncio.run(bounded())


async def turns(n):
    for _ in range(n):
        await asyncio.sleep(0)


class TestWaiting:
    def test_outcomes_errors_and_the_awaitable(self):
        ch, threads = Channel(1), []

        async def main():
            assert await ch.asend("x") is None
            with pytest.raises(TimeoutError, match=SEND_TIMED_OUT):
                await ch.asend("y", 0.01)
            assert await ch.arecv(timeout=1) == "x"
            with pytest.raises(TimeoutError, match=RECV_TIMED_OUT):
                await ch.arecv(0.01)
            with pytest.raises(TimeoutError):
                await asyncio.wait_for(ch.arecv(), 0.01)  # a cancelled wait must leave the next item
            threads.extend(start_threads([lambda: ch.send("next")]))
            assert await ch.arecv() == "next"
            with pytest.raises(TimeoutError):
                await Channel(0).asend("z", 0)
            task = asyncio.create_task(ch.asend(1))
            assert "Channel.asend" in repr(task)
            await task
            awaitable = ch.arecv()
            assert asyncio.iscoroutine(awaitable) and awaitable.__qualname__ == "Channel.arecv"
            assert await awaitable == 1
            stops = []  # stepped by hand, each ends with a StopIteration of its own carrying the item
            for item in (None, "z", "w"):
                await ch.asend(item)
                with pytest.raises(StopIteration) as stop:
                    next(ch.arecv().__await__())
                stops.append(stop.value.with_traceback(None))  # still held, if no longer raised
            assert [(stop.value, stop.args) for stop in stops] == [(None, ()), ("z", ("z",)), ("w", ("w",))]
            with pytest.raises(RuntimeError, match="^cannot reuse already awaited channel operation$"):
                await awaitable
            await ch.asend("last")
            held = ch.send_op(2)  # a sender clone keeps the channel connected after close()
            ch.close()
            with pytest.raises(ValueError, match="^Channel is closed$"):
                await ch.asend("y", -1)  # closed is reported before a bad timeout, as by send()
            assert [x async for x in ch] == ["last"]
            assert [x async for x in ch] == []
            del held
            with pytest.raises(ValueError, match="^Channel is closed and empty$"):
                await ch.arecv()

        run(main)
        join_all(threads)
        outside = {outcome_of(call) for call in (ch.arecv, lambda: ch.asend(1), ch.__anext__)}
        assert outside == {"RuntimeError: no running event loop"}
        assert outcome_of(ch.arecv, "soon").startswith("TypeError")  # converted before the loop is looked for

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

        async def loop(i):
            if i % 2:  # half the loops send, half receive, on every channel
                await asyncio.gather(*[ch.asend(n) for ch in chans for n in range(each)])
            else:
                got.extend(await asyncio.gather(*[ch.arecv() for ch in chans for _ in range(each)]))

        join_all(start_threads([lambda i=i: run(lambda: loop(i)) for i in range(loops)]))
        assert sorted(got) == sorted(list(range(each)) * len(chans) * (loops // 2))

    @pytest.mark.parametrize("side", ["receive", "send"])
    def test_rendezvous_on_one_loop_a_waiting_receive_is_handed_nothing_and_a_taken_send_stands(self, side):
        async def main():
            ch, outcomes = Channel(0), []
            for counterpart in ("same loop", "try and cancel"):
                waiting = asyncio.ensure_future(ch.arecv() if side == "receive" else ch.asend("x"))
                await turns(2)
                assert not waiting.done()
                if counterpart == "same loop":
                    outcomes.append(await (ch.asend("x") if side == "receive" else ch.arecv()))
                else:
                    # A coroutine takes an item itself when it runs: none is handed to one that might never run.
                    outcomes.append(outcome_of(ch.try_send, "x") if side == "receive" else ch.try_recv())
                    waiting.cancel()
                await asyncio.wait([waiting])
                outcomes.append("cancelled" if waiting.cancelled() else waiting.result())
            return outcomes

        assert run(main) == ([None, "x", "ChannelFull: Channel is full", "cancelled"] if side == "receive" else
                             ["x", None, "x", None])

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

    @pytest.mark.parametrize("capacity", FLAVOURS.values(), ids=FLAVOURS.keys())
    @pytest.mark.parametrize("loop_is", ["stopped", "left by its thread", "closed", "busy"])
    def test_a_loop_that_cannot_run_its_waiting_coroutine_keeps_no_thread_waiting(self, loop_is, capacity):
        ch, loop, got = Channel(capacity), asyncio.new_event_loop(), []
        loop.set_exception_handler(lambda loop, context: None)  # "Task was destroyed but it is pending!"
        busy, release = threading.Event(), threading.Event()

        async def park():
            task = asyncio.ensure_future(ch.arecv())
            await turns(2)  # waiting, first in line
            if loop_is != "busy":
                return task
            loop.call_soon(lambda: (busy.set(), release.wait(JOIN_TIMEOUT)))
            got.append(await task)

        if loop_is == "busy":
            runner = start_threads([lambda: loop.run_until_complete(park())])
            assert busy.wait(JOIN_TIMEOUT)
        else:
            task = run_in_thread(lambda: loop.run_until_complete(park())) if loop_is == "left by its thread" else \
                loop.run_until_complete(park())
        if loop_is == "closed":
            loop.close()
        # Neither the wake-up nor (rendezvous) the item meant for the thread goes to the coroutine.
        receiver = start_threads([lambda: got.append(ch.recv())])
        wait_until_sleeping(*receiver)
        join_all(receiver + start_threads([lambda: ch.send("to the thread")]))
        assert got == ["to the thread"]
        if loop_is == "closed":
            assert not task.done()
            return
        # Running again, the loop finds its coroutine waiting still, and later wake-ups reach it.
        sender = start_threads([lambda: ch.send("to the coroutine")])
        if loop_is == "busy":
            release.set()
            join_all(runner)
        else:
            got.append(loop.run_until_complete(task))
        join_all(sender)
        loop.close()
        assert got == ["to the thread", "to the coroutine"]

    @pytest.mark.parametrize("capacity", FLAVOURS.values(), ids=FLAVOURS.keys())
    def test_only_the_awaiting_task_steps_an_awaitable_on(self, capacity):
        refused = "RuntimeError: channel operation is being awaited already"

        async def main():
            ch = Channel(capacity)
            awaitable = ch.arecv(timeout=JOIN_TIMEOUT)
            first = asyncio.ensure_future(awaitable)
            await turns(2)

            async def again():
                return await awaitable

            second = asyncio.ensure_future(again())
            await turns(2)
            outcomes = [outcome_of(second.result), outcome_of(awaitable.send, None)]
            for step in (lambda: awaitable.send(None), lambda: awaitable.throw(ValueError), lambda: next(awaitable)):
                outcomes.append(run_in_thread(lambda: outcome_of(step)))
            assert outcomes == [refused] * 5
            sender = start_threads([lambda: ch.send("item")])
            assert await first == "item"  # neither stranded nor robbed
            # Closed from another thread: the task wakes and finds the wait over, which took nothing.
            task = asyncio.ensure_future(awaitable := ch.arecv())
            await turns(2)
            run_in_thread(awaitable.close)
            with pytest.raises(RuntimeError, match="^cannot reuse already awaited channel operation$"):
                await task
            sender += start_threads([lambda: ch.send("kept")])
            assert await ch.arecv() == "kept"
            return sender

        join_all(run(main))

    def test_an_awaitable_ended_before_its_await_warns_only_when_dropped_unused(self):
        # As a coroutine: close() or throw() before the first step ends it quietly, having done nothing; one dropped
        # unused warns, also while an exception propagates, which stays as it was.
        async def main():
            ch = Channel(1)
            for make in (ch.arecv, lambda: ch.asend("x"), ch.__anext__):
                ended = [make(), make()]
                assert ended[0].close() is None
                with pytest.raises(KeyError):
                    ended[1].throw(KeyError("thrown in"))
                for awaitable in ended:
                    with pytest.raises(RuntimeError, match="^cannot reuse already awaited channel operation$"):
                        await awaitable
                box = [make()]
                with pytest.warns(RuntimeWarning, match=r"^Channel\.(arecv|asend|__anext__)\(\) was never awaited$"):
                    with pytest.raises(ZeroDivisionError):
                        [box.pop()] + [1 / 0]  # freed as the stack unwinds
            assert outcome_of(ch.try_recv) == "ChannelEmpty: Channel is empty"  # none of them did anything

        run(main)


class TestCancellation:
    @pytest.mark.parametrize("side, capacity", [("recv", None), ("recv", 4), ("recv", 0), ("send", 1), ("send", 0)])
    def test_every_item_still_arrives_once_in_order(self, side, capacity):
        ch, count, got = Channel(capacity), scaled(3000), []
        other_side = (lambda: send_all_then_close(ch, range(count))) if side == "recv" else (lambda: got.extend(ch))

        async def main():
            threads, i = start_threads([other_side]), 0
            while i < count:
                timeout = random.choice([None, 0, 1e-5, 1e-4])
                task = asyncio.ensure_future(ch.arecv(timeout) if side == "recv" else ch.asend(i, timeout))
                if random.random() < 0.4:  # else waits, so that a busy machine still makes progress
                    await turns(random.randrange(3))
                    task.cancel()
                try:
                    outcome = await task  # sent or received, even if the cancellation came after the hand-over
                except (asyncio.CancelledError, TimeoutError):
                    continue  # not sent or received: again
                if side == "recv":
                    got.append(outcome)
                i += 1
            if side == "send":
                ch.close()
            return threads

        join_all(run(main))
        assert got == list(range(count))
        assert list(ch) == []

    @pytest.mark.parametrize("capacity, side", [(None, "receive"), (1, "receive"), (1, "send")])
    def test_a_woken_wait_that_is_cancelled_passes_the_wake_on(self, capacity, side):
        async def main():
            ch = Channel(capacity)
            if side == "send":
                ch.send("full")
            first, second = [asyncio.ensure_future(ch.arecv() if side == "receive" else ch.asend(n)) for n in (1, 2)]
            await turns(2)
            # Wakes the first waiter, cancelled before it runs: the second must not sleep past the item (or room).
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

    @pytest.mark.thread_unsafe(reason="gc.collect() returns at once while another thread collects")
    def test_tasks_nobody_refers_to_go_on_waiting_as_on_an_asyncio_queue(self):
        # The loop holds what its tasks wait on: a collection while they wait loses neither a receiver nor the item
        # of a sender.
        received, full = Channel(), Channel(1)
        full.send("full")

        async def main():
            got, done = [], [asyncio.Event(), asyncio.Event()]

            async def receive():
                got.append(await received.arecv())
                done[0].set()

            async def send():
                await full.asend("sent")
                done[1].set()

            asyncio.ensure_future(receive())
            asyncio.ensure_future(send())
            await turns(3)
            gc.collect()
            received.send("item")
            assert full.try_recv() == "full"
            await asyncio.wait_for(asyncio.gather(*(event.wait() for event in done)), JOIN_TIMEOUT)
            return got, full.try_recv()

        assert run(main) == (["item"], "sent")

    @pytest.mark.thread_unsafe(reason="gc.collect() returns at once while another thread collects")
    @pytest.mark.parametrize("ending", ["asyncio.run cancels", "loop.close drops", "the loop is dropped unclosed"])
    def test_a_loop_that_ends_with_waits_pending_keeps_nothing(self, ending, unraisable):
        chans = [Channel(), Channel(0), Channel(1), Channel(0), Channel(1)]
        chans[2].send("full")
        chans[4].send("full")
        refcounts = [sys.getrefcount(ch) for ch in chans]
        item = Token()
        item_gone = weakref.finalize(item, lambda: None)
        tasks = []

        async def start():
            for i, ch in enumerate(chans[:4]):
                tasks.append(weakref.ref(asyncio.ensure_future(ch.asend(item) if i > 1 else ch.arecv())))
            # An item that refers back to the loop (a reply future): a cycle through the waiting send.
            tasks.append(weakref.ref(asyncio.ensure_future(chans[4].asend(asyncio.get_running_loop().create_future()))))
            await turns(3)

        def run_and_end_loop():
            if ending == "asyncio.run cancels":
                return asyncio.run(start())
            loop = asyncio.new_event_loop()
            loop.set_exception_handler(lambda loop, context: None)  # "Task was destroyed but it is pending!"
            loop.run_until_complete(start())
            if ending == "loop.close drops":
                loop.close()

        settle()  # what earlier tests left to the collector goes first
        fds = len(os.listdir("/proc/self/fd"))
        run_in_thread(run_and_end_loop)  # a wait that kept the loop from ending fails the join
        del item
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", ResourceWarning)  # "unclosed event loop", when the collector frees it
            settle()  # the second pass frees the loop that the first left unreferenced
        # A loop freed in one collection with its own sockets may find them closed already, and report it.
        unraisable.clear()
        settle()
        assert not item_gone.alive and all(task() is None for task in tasks)
        assert [sys.getrefcount(ch) for ch in chans] == refcounts
        assert len(os.listdir("/proc/self/fd")) == fds
        chans[0].send(1)  # wakes for the ended loop's waits go nowhere
        assert chans[2].recv() == "full"
        for ch in chans:
            ch.close()
