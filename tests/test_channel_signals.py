"""Ctrl-C: a channel call blocked on the main thread runs the signal handler,
and raises what the handler raises with nothing lost; a handler that returns
lets the wait go on. Each case runs in a fresh interpreter whose main thread
blocks while a helper thread delivers SIGINT to it."""

import textwrap

import pytest

from conftest import run_python

PRELUDE = textwrap.dedent(
    """
    import os, signal, sys, threading, time
    from torvan import Channel, select

    main_thread = threading.main_thread()
    finished = threading.Event()
    handled = []

    def interrupt_once(signum, frame):
        handled.append(signum)
        if len(handled) == 1:
            raise KeyboardInterrupt

    def sleeping():
        with open(f"/proc/self/task/{main_thread.native_id}/stat") as f:
            return f.read().rpartition(")")[2].split()[0] in "SD"

    def interrupter(then=None):
        # Signal the main thread once it sleeps; signal again if a signal
        # happened to land just before it went to sleep.
        deadline = time.monotonic() + 30
        while not finished.is_set() and time.monotonic() < deadline:
            if sleeping():
                signal.pthread_kill(main_thread.ident, signal.SIGINT)
                if then is not None:
                    while not handled and time.monotonic() < deadline:
                        time.sleep(0.001)
                    while not sleeping() and time.monotonic() < deadline:
                        time.sleep(0.001)
                    then()
                    return
                finished.wait(1.0)
            else:
                time.sleep(0.001)

    def fails(call, kind, message):
        try:
            call()
        except kind as exc:
            assert str(exc) == message, exc
            return
        raise AssertionError("the call did not fail")

    def expect_interrupt(call, handler=interrupt_once):
        handled.clear()
        finished.clear()
        helper = threading.Thread(target=interrupter, daemon=True)
        signal.signal(signal.SIGINT, handler)
        helper.start()
        try:
            call()
        except KeyboardInterrupt:
            outcome = "interrupted"
        else:
            outcome = "returned"
        finished.set()
        helper.join(30)
        assert not helper.is_alive()
        assert outcome == "interrupted", outcome
    """
)

CASES = {
    "recv": """
        ch = Channel(0)
        expect_interrupt(ch.recv)
        # The interrupted receiver left no registration behind.
        fails(lambda: ch.try_send(1), RuntimeError, "Channel is full")
    """,
    "recv_timeout": """
        ch = Channel()
        expect_interrupt(lambda: ch.recv_timeout(3600))
        ch.send(1)
        assert ch.recv() == 1
    """,
    "iteration": """
        ch = Channel(4)
        expect_interrupt(lambda: list(ch))
        ch.send(1)
        ch.close()
        assert list(ch) == [1]
    """,
    "iteration of a channel closed by the handler": """
        # The interrupt must not pass for the end of the iteration, although
        # the channel is closed and drained by the time it propagates.
        ch = Channel()

        def close_and_interrupt(signum, frame):
            handled.append(signum)
            if len(handled) == 1:
                ch.close()
                raise KeyboardInterrupt

        expect_interrupt(lambda: list(ch), close_and_interrupt)
    """,
    "sends": """
        item = object()
        before = sys.getrefcount(item)
        calls = [lambda ch: ch.send(item), lambda ch: ch.send_timeout(item, 3600), lambda ch: ch.send(item)]
        for capacity, call in zip((1, 1, 0), calls):
            ch = Channel(capacity)
            if capacity:
                ch.send("filler")
            expect_interrupt(lambda: call(ch))
            assert sys.getrefcount(item) == before
            if capacity:
                assert ch.try_recv() == "filler"
            # The item never got in, and no interrupted sender still offers it.
            fails(ch.try_recv, RuntimeError, "Channel is empty")
    """,
    "select": """
        full, empty = Channel(1), Channel()
        full.send("filler")
        item = object()
        op = full.send_op(item)
        before = sys.getrefcount(item)
        expect_interrupt(lambda: select([empty.recv_op(), op]))
        assert sys.getrefcount(item) == before
        assert full.try_recv() == "filler"
        fails(full.try_recv, RuntimeError, "Channel is empty")
        expect_interrupt(lambda: select([empty.recv_op()], timeout=3600))
    """,
    "handler that returns": """
        ch = Channel()
        signal.signal(signal.SIGINT, lambda s, f: handled.append(s))
        helper = threading.Thread(target=interrupter, args=(lambda: ch.send("done"),), daemon=True)
        helper.start()
        assert ch.recv() == "done"
        finished.set()
        helper.join(30)
        assert handled == [signal.SIGINT]
    """,
}


@pytest.mark.skipif(not __import__("os").path.isdir("/proc/self/task"), reason="needs /proc to see the main thread sleep")
@pytest.mark.parametrize("case", CASES)
def test_interrupting_a_blocked_call(case):
    code = PRELUDE + textwrap.dedent(CASES[case]) + "\nprint('ok')\n"
    assert run_python(code, timeout=60) == "ok"
