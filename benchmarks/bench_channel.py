"""Channel beside queue.SimpleQueue (unbounded), queue.Queue(maxsize)
(bounded) and a peer concurrent queue: send+recv on one thread, one producer
and one consumer, two of each, and a ping-pong round trip between two
threads, for unbounded, bounded and rendezvous channels. In asyncio code,
beside asyncio.Queue: a stream from a producer thread to a coroutine (the
queue fed with loop.call_soon_threadsafe), and awaiting an item that is
already there.

In the multi-thread cases the first half of the threads produce and the
rest consume; every thread's operations count, so ns/op is per send or
receive. Loop bodies bind what they call to locals first: reading a shared
object from a closure cell takes a reference to it, which would make the
threads contend on its reference count whatever the queue under test."""

from __future__ import annotations

import asyncio
import queue
from itertools import repeat

from benchmarks import peers
from benchmarks.harness import case, peer, stdlib, torvan
from torvan import Channel

GROUP = "Channel"
CAPACITY = 256  # bounded channels and queue.Queue(maxsize) alike


# Each kind of queue as a pair of (put, get) bound methods --------------------

def channel_ends(ch):
    return ch.send, ch.recv


def stdlib_ends(q):
    return q.put, q.get


def peer_ends(q):
    return q.push, q.pop


def contenders(flavour: str):
    """(kind, name, make, ends) for each queue measured with this flavour;
    a missing peer comes with its skip reason instead of `make`."""
    if flavour == "unbounded":
        found = [
            (torvan, "Channel()", lambda: Channel(), channel_ends),
            (stdlib, "queue.SimpleQueue()", queue.SimpleQueue, stdlib_ends),
        ]
        if peers.ft_concurrency is None:
            found.append((peer, "ft_utils ConcurrentQueue()", peers.FT_UTILS_MISSING, None))
        else:
            found.append((peer, "ft_utils ConcurrentQueue()", peers.ft_concurrency.ConcurrentQueue, peer_ends))
        return found
    if flavour == "bounded":
        return [
            (torvan, f"Channel({CAPACITY})", lambda: Channel(CAPACITY), channel_ends),
            (stdlib, f"queue.Queue(maxsize={CAPACITY})", lambda: queue.Queue(CAPACITY), stdlib_ends),
        ]
    # No standard-library queue hands items over without a buffer.
    return [(torvan, "Channel(0)", lambda: Channel(0), channel_ends)]


# The workloads --------------------------------------------------------------

def send_then_recv(make, ends):
    def workload(shared, i, ops):
        put, get = ends(shared)

        def body(put=put, get=get, ops=ops):
            for _ in repeat(None, ops):
                put(None)
                get()

        return body

    return workload, lambda threads: make()


def send_then_timed_recv(make, ends):
    """send_then_recv with a timeout on every receive that never runs out:
    what a worker loop that checks a stop flag now and then pays."""
    def workload(shared, i, ops):
        put, get = ends(shared)

        def body(put=put, get=get, ops=ops):
            for _ in repeat(None, ops):
                put(None)
                get(timeout=1.0)

        return body

    return workload, lambda threads: make()


def producers_and_consumers(make, ends):
    """Threads [0, n/2) send, the rest receive; receivers split the total."""

    def workload(shared, i, ops):
        put, get = ends(shared["queue"])
        threads = shared["threads"]
        producers = max(1, threads // 2)
        consumers = threads - producers
        if i < producers:
            def produce(put=put, ops=ops):
                for _ in repeat(None, ops):
                    put(None)

            return produce
        total = producers * ops
        c = i - producers
        mine = total // consumers + (1 if c < total % consumers else 0)

        def consume(get=get, mine=mine):
            for _ in repeat(None, mine):
                get()

        return consume

    return workload, lambda threads: {"queue": make(), "threads": threads}


def fresh_ints_one_way(make, ends):
    """Thread 0 sends ints it makes (none of them cached by the interpreter),
    thread 1 receives and drops them: each item is released by a thread other
    than the one that made it."""

    def workload(shared, i, ops):
        put, get = ends(shared)
        if i == 0:
            def produce(put=put, ops=ops):
                for n in range(1_000, 1_000 + ops):
                    put(n)

            return produce

        def consume(get=get, ops=ops):
            for _ in repeat(None, ops):
                get()

        return consume

    return workload, lambda threads: make()


def ping_pong(make, ends):
    """Thread 0 sends a ping and waits for the pong; thread 1 answers."""

    def workload(shared, i, ops):
        there, back = shared
        send_there, recv_there = ends(there)
        send_back, recv_back = ends(back)
        if i == 0:
            def ping(send=send_there, recv=recv_back, ops=ops):
                for _ in repeat(None, ops):
                    send(None)
                    recv()

            return ping

        def pong(send=send_back, recv=recv_there, ops=ops):
            for _ in repeat(None, ops):
                recv()
                send(None)

        return pong

    return workload, lambda threads: (make(), make())


def measured(flavour, shape):
    out = []
    for kind, name, make, ends in contenders(flavour):
        if ends is None:
            out.append(peer(name, skipped=make))
        else:
            workload, setup = shape(make, ends)
            out.append(kind(name, workload, setup))
    return out


FLAVOURS = ("unbounded", "bounded", "rendezvous")

for _flavour in ("unbounded", "bounded"):
    case(GROUP, f"send+recv on one thread, {_flavour}", threads=(1,), ops=200_000,
         note="put+get for the queues")(lambda f=_flavour: measured(f, send_then_recv))

# The peer's pop takes no timeout.
case(GROUP, "send+recv(timeout=1.0) on one thread, unbounded", threads=(1,), ops=200_000,
     note="put+get(timeout=1.0) for the queue")(
    lambda: [i for i in measured("unbounded", send_then_timed_recv) if i.kind != "peer"])

case(GROUP, "SPSC throughput of fresh ints, unbounded", threads=(2,), ops=100_000,
     note="made by the producer, dropped by the consumer; ns per send or receive")(
    lambda: measured("unbounded", fresh_ints_one_way))

for _flavour in FLAVOURS:
    case(GROUP, f"SPSC throughput, {_flavour}", threads=(2,), ops=100_000,
         note="one producer, one consumer; ns per send or receive")(lambda f=_flavour: measured(f, producers_and_consumers))
    case(GROUP, f"MPMC throughput 2x2, {_flavour}", threads=(4,), ops=50_000,
         note="two producers, two consumers; ns per send or receive")(
        lambda f=_flavour: measured(f, producers_and_consumers))
    case(GROUP, f"ping-pong round trip, {_flavour}", threads=(2,), ops=20_000,
         note="two channels between two threads; ns per send+recv of one side")(
        lambda f=_flavour: measured(f, ping_pong))


# asyncio --------------------------------------------------------------------
# Each measurement runs its own event loop, made before the clock starts and
# closed inside the timed run.

def run_loop(loop, coroutine):
    def run():
        try:
            loop.run_until_complete(coroutine)
        finally:
            loop.close()

    return run


def stream_to_a_coroutine(kind: str):
    """Thread 0 sends `ops` items; thread 1 runs a loop whose coroutine receives them."""

    def setup(threads):
        loop = asyncio.new_event_loop()
        return loop, (asyncio.Queue() if kind == "queue" else Channel())

    def workload(shared, i, ops):
        loop, q = shared
        if kind == "queue":
            if i == 0:
                def produce(call=loop.call_soon_threadsafe, put=q.put_nowait, ops=ops):
                    for n in repeat(None, ops):
                        call(put, n)

                return produce

            async def consume(get=q.get, ops=ops):
                for _ in repeat(None, ops):
                    await get()
        else:
            if i == 0:
                def produce(send=q.send, close=q.close, ops=ops):
                    for n in repeat(None, ops):
                        send(n)
                    close()

                return produce
            if kind == "arecv":
                async def consume(recv=q.arecv, ops=ops):
                    for _ in repeat(None, ops):
                        await recv()
            else:
                async def consume(ch=q):
                    async for _ in ch:
                        pass

        return run_loop(loop, consume())

    return workload, setup


def await_a_buffered_item(kind: str):
    """One thread awaits `ops` items that are all there already."""

    def workload(shared, i, ops):
        loop = asyncio.new_event_loop()
        if kind == "queue":
            q = asyncio.Queue()
            for _ in repeat(None, ops):
                q.put_nowait(None)

            async def consume(get=q.get, ops=ops):
                for _ in repeat(None, ops):
                    await get()
        else:
            ch = Channel()
            for _ in repeat(None, ops):
                ch.send(None)

            async def consume(recv=ch.arecv, ops=ops):
                for _ in repeat(None, ops):
                    await recv()

        return run_loop(loop, consume())

    return workload


@case(GROUP, "asyncio: producer thread to a coroutine", threads=(2,), ops=100_000,
      note="ns per send or receive; the queue is fed with loop.call_soon_threadsafe")
def asyncio_stream():
    return [
        torvan("Channel(), await arecv()", *stream_to_a_coroutine("arecv")),
        torvan("Channel(), async for", *stream_to_a_coroutine("async for")),
        stdlib("asyncio.Queue()", *stream_to_a_coroutine("queue")),
    ]


@case(GROUP, "asyncio: await an item already there", threads=(1,), ops=100_000)
def asyncio_buffered():
    return [
        torvan("await Channel().arecv()", await_a_buffered_item("channel")),
        stdlib("await asyncio.Queue().get()", await_a_buffered_item("queue")),
    ]
