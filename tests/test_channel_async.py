"""arecv and asend: the blocking call runs in the loop's default executor, so
the event loop keeps running while it waits."""

import asyncio
import threading

import pytest

from conftest import JOIN_TIMEOUT, join_all, start_threads
from torvan import Channel


def test_loop_keeps_running_while_arecv_waits():
    ch = Channel()
    ticked = threading.Event()

    def producer():
        # Send only once the loop has shown that it runs during the wait.
        assert ticked.wait(JOIN_TIMEOUT)
        ch.send("late")

    async def ticker():
        for _ in range(5):
            await asyncio.sleep(0)
        ticked.set()

    async def main():
        waiting = asyncio.ensure_future(ch.arecv())
        await ticker()
        return await asyncio.wait_for(waiting, JOIN_TIMEOUT)

    threads = start_threads([producer])
    assert asyncio.run(main()) == "late"
    join_all(threads)


def test_outcomes_arrive_through_the_future():
    async def main():
        ch = Channel(1)
        awaitable = ch.asend("x", 1)
        assert isinstance(awaitable, asyncio.Future)
        assert await awaitable is None
        assert await ch.arecv(timeout=1) == "x"
        with pytest.raises(TimeoutError, match=r"^recv\(\) timed out waiting for available item$"):
            await ch.arecv(0.05)
        ch.close()
        with pytest.raises(ValueError, match="^Channel is closed$"):
            await ch.asend("y")
        with pytest.raises(ValueError, match="^Timeout must be non-negative$"):
            await ch.arecv(-1)  # a bad value fails in the executor, like recv itself

    asyncio.run(main())


def test_call_errors_are_raised_at_once():
    ch = Channel()
    with pytest.raises(RuntimeError, match="no running event loop"):
        ch.arecv()
    with pytest.raises(RuntimeError, match="no running event loop"):
        ch.asend(1)
    with pytest.raises(TypeError) as info:
        ch.arecv("soon")  # converted before asyncio is even imported
    assert info.value.__notes__ == ["while processing 'timeout'"]
