"""The module at the edges of a process, each case in a fresh interpreter: exit, fork, Ctrl-C, refused threads, soak."""

import os
import textwrap
from pathlib import Path

import pytest

from conftest import EMULATED, SANITIZED, run_python

pytestmark = pytest.mark.thread_unsafe(reason="each case is a process of its own: copies would only share the cores")

HELPERS = textwrap.dedent("""
    import atexit, os, signal, sys, threading, time
    from contextlib import suppress

    def asleep(native_id):
        with open(f"/proc/self/task/{native_id}/stat") as f:
            return f.read().rpartition(")")[2].split()[0] in "SD"

    def until(condition):
        deadline = time.monotonic() + 60
        while not condition():
            assert time.monotonic() < deadline, "timed out"
            time.sleep(0.001)
""")

# Registered before torvan is imported, this exit handler runs after the pools' exit hook.
EXIT_PRELUDE = HELPERS + textwrap.dedent("""
    ran = []
    atexit.register(lambda: print("tasks run by exit:", len(ran), flush=True))
    from torvan import *

    def start_blocked(calls):  # daemon threads, each blocked in one call
        for call in calls:
            thread = threading.Thread(target=call, daemon=True)
            thread.start()
            until(lambda: asleep(thread.native_id))

    def task(i):
        time.sleep(0.001)
        ran.append(i)
""")


def exits_cleanly(code: str) -> list[str]:
    # The lines code prints after EXIT_PRELUDE; it must exit by itself, status 0, nothing on standard error.
    return run_python(EXIT_PRELUDE + textwrap.dedent(code), clean=True).splitlines()


def test_exit_while_threads_wait_in_every_kind_of_call_or_keep_using_everything_and_pools_are_alive():
    # Threads still at work stop wherever finalization finds them. They pass immortal small ints: the
    # free-threaded interpreter can deadlock at exit when a daemon thread releases an object another made.
    code = """
        empty, full, rendezvous, idle, jobs = Channel(), Channel(1), Channel(0), Channel(), Channel()
        full.send("filler")
        lock = RwLock()
        held = lock.write().__enter__()  # released when the globals go at exit, waking its waiters then
        dropped, dropped_full = Channel(), Channel(0)  # dropped at exit, waking the selects on their ops
        start_blocked([
            empty.recv, lambda: empty.recv(timeout=3600), lambda: full.send(1), lambda: rendezvous.send(1),
            lambda: Channel(0).recv(), lambda: select([idle.recv_op(), full.send_op(2)]), lambda: list(idle),
            lambda: lock.read().__enter__(), lambda: lock.write().__enter__(),
            lambda op=dropped.recv_op(): select([op]), lambda op=dropped_full.send_op(3): select([op]),
        ])
        idle_pool, busy, background, consumer = ThreadPool(2), ThreadPool(2), ThreadPool(1), ThreadPool(1)
        for i in range(20):
            busy.submit(task, i)
            background.submit(task, 100 + i)
        background.shutdown(wait=False)
        # A task blocked in a channel that an exit handler of the user closes: it runs before the pools' hook.
        consumer.submit(lambda: ran.extend([*jobs, "closed"]))
        jobs.send("job")
        atexit.register(jobs.close)
        stop_counting, rounds = threading.Event(), AtomicInteger()
        ch, bounded, m = Channel(), Channel(4), ConcurrentMap(4)

        def work(seed):
            n = 0
            while True:
                n = n % 200 + 1
                ch.send(n)
                with suppress(TimeoutError, RuntimeError):
                    ch.recv(timeout=0.01)
                    bounded.send(n, timeout=0.01)
                    bounded.try_recv()
                    select([ch.recv_op(), bounded.send_op(n)], timeout=0.01)
                m.set(n % 17, n)
                m.get_or_insert(seed, n)
                m.pop_val((n + 1) % 17)
                with free_lock.read():
                    pass
                with free_lock.write():
                    pass
                with suppress(RuntimeError):  # shut down by the exit hook
                    busy.submit(pow, n, 2)
                if n % 25 == 0:
                    own = ThreadPool(1)
                    with suppress(RuntimeError):  # made once the exit drain had begun: refuses work
                        own.submit(pow, n, 2)
                    own.shutdown(wait=n % 50 == 0)
                if rounds.increment() == 400:
                    stop_counting.set()

        free_lock = RwLock()
        for seed in range(4):
            threading.Thread(target=work, args=(seed,), daemon=True).start()
        assert stop_counting.wait(120)
        print("exiting", flush=True)
    """
    for _ in range(2):
        assert exits_cleanly(code) == ["exiting", "tasks run by exit: 42"]


@pytest.mark.parametrize("shut", [True, False], ids=["shut down without waiting", "dropped by its own task"])
def test_exit_waits_for_the_workers_of_a_pool_no_longer_alive(shut):
    # No live pool takes work at exit: the hook must still wait for the workers draining the queue of a pool gone.
    assert exits_cleanly(f"""
        go, started = threading.Event(), threading.Event()

        def slow(i):
            go.wait(60)
            holder.clear()  # destroyed here, not on the main thread inside started.wait() holding the lock set() takes
            started.set()
            time.sleep(0.2)
            ran.append(i)

        holder = [ThreadPool(1)]
        holder[0].submit(slow, 0)
        holder[0].submit(task, 1)
        if {shut}:
            holder.pop().shutdown(wait=False)
        go.set()
        assert started.wait(60)
        print("exiting", flush=True)
    """) == ["exiting", "tasks run by exit: 2"]


def test_exit_drains_the_pools_its_tasks_make_and_other_late_pools_refuse_work():
    # Pools made by tasks during the exit drain run all their tasks; one nothing would wait for refuses work.
    code = HELPERS + textwrap.dedent("""
        def refusal(pool):
            try:
                pool.submit(int)
            except RuntimeError as exc:
                return str(exc)

        def report(by, done):
            print(f"made {by}:", refusal(ThreadPool(1)), flush=True)
            done.set()

        atexit.register(report, "after the drain", threading.Event())  # first, so it runs after the pools' hook
        from torvan import ThreadPool

        def spawner(depth):
            if depth == 0:
                until(lambda: refusal(first))  # the exit hook is shutting the pool down
                done = threading.Event()
                threading.Thread(target=report, args=("by a daemon thread", done), daemon=True).start()
                done.wait(60)
            inner = ThreadPool(1)
            kept.append(inner)
            for i in range(2):
                inner.submit(print, f"inner {depth}.{i}", flush=True)
            if depth < 2:
                inner.submit(spawner, depth + 1)

        kept = []
        first = ThreadPool(1)
        first.submit(spawner, 0)
        print("main end", flush=True)
    """)
    refused = "cannot schedule new tasks after interpreter shutdown"
    assert run_python(code).splitlines() == [
        "main end", f"made by a daemon thread: {refused}",
        "inner 0.0", "inner 0.1", "inner 1.0", "inner 1.1", "inner 2.0", "inner 2.1",
        f"made after the drain: {refused}",
    ]


def test_worker_that_cannot_attach_while_finalizing_reports_and_ends():
    # A daemon thread stuck in submit makes the exit hook give up on its pool; a task a finalizer submits then
    # reaches a worker that cannot attach: it says so and ends, and the exit is clean.
    code = HELPERS + textwrap.dedent("""
        import contextvars
        from torvan import ThreadPool

        real_copy = contextvars.copy_context
        contextvars.copy_context = threading.Event().wait  # blocks the daemon thread inside submit
        pool = ThreadPool(1)
        stuck = threading.Thread(target=pool.submit, args=(print, "never printed"), daemon=True)
        stuck.start()
        until(lambda: getattr(sys._current_frames().get(stuck.ident), "f_code", None)
              is threading.Condition.wait.__code__)
        contextvars.copy_context = real_copy

        class SubmitWhenFinalized:
            def __del__(self):
                before = len(os.listdir("/proc/self/task"))
                pool.submit(print, "never printed")
                until(lambda: len(os.listdir("/proc/self/task")) < before)  # the worker reports, then ends

        _trigger = SubmitWhenFinalized()  # underscore names are cleared first
        print("exiting")
    """)
    done = run_python(code, raw=True)
    assert done.stdout == "exiting\n"
    assert "Cannot attach to the Python interpreter while it is finalizing." in done.stderr


@pytest.mark.skipif(EMULATED, reason="qemu-user aborts a child forked from threads when it starts a thread")
def test_forked_child_keeps_using_what_was_idle_and_does_not_wait_for_workers_it_lacks():
    # Only the forking thread lives on in the child: the parent's pools refuse work there, and do not hang it.
    assert exits_cleanly("""
        import warnings
        warnings.simplefilter("ignore", DeprecationWarning)  # forking a process with threads
        ch, m, counter, lock = Channel(), ConcurrentMap(), AtomicInteger(5), RwLock()
        ch.send("sent before the fork")
        m.set("parent", 1)
        kept, dropped, shut = ThreadPool(2), ThreadPool(1), ThreadPool(1)
        assert [p.submit(int, "1").result() for p in (kept, dropped, shut)] == [1, 1, 1]
        # Fork once every other thread sleeps: one forked away inside the sanitizers' allocator leaves its lock taken.
        for other in set(os.listdir("/proc/self/task")) - {str(threading.get_native_id())}:
            until(lambda: asleep(other))
        pid = os.fork()
        if pid == 0:
            signal.alarm(60)  # a hang ends the child; a failure shows as its exit status and on standard error
            ch.send("child")
            m.set("child", 2)
            with lock.write():
                fresh = ThreadPool(1)
                assert fresh.submit(int, "2").result() == 2
                fresh.shutdown()
            assert [ch.recv(), ch.recv(timeout=5), sorted(m.keys()), counter.increment()] == [
                "sent before the fork", "child", ["child", "parent"], 6]
            try:
                kept.submit(print, "never printed")
            except RuntimeError as exc:
                print("child:", exc, flush=True)
            shut.shutdown()
            del dropped
            sys.exit(0)  # the exit hook meets `kept`, never shut down
        print("child exit status", os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
        print("parent", ch.recv(), sorted(m.keys()), counter.get(), kept.submit(int, "2").result(),
              dropped.submit(int, "3").result())
    """) == ["child: Failed to submit task to worker threads", "tasks run by exit: 0", "child exit status 0",
             "parent sent before the fork ['parent'] 5 2 3", "tasks run by exit: 0"]


SIGNAL_PRELUDE = HELPERS + textwrap.dedent("""
    from torvan import Channel, RwLock, ThreadPool, select

    main_thread = threading.main_thread()
    finished = threading.Event()
    handled = []

    def interrupt_once(signum, frame, then=None):
        handled.append(signum)
        if len(handled) == 1:
            then and then()
            raise KeyboardInterrupt

    sleeping = lambda: asleep(main_thread.native_id)  # noqa: E731

    def interrupter(to_self=False, then=None):
        # Signal once the main thread sleeps, again if one landed just before; with `then`, once, then call it.
        while not finished.is_set():
            until(lambda: finished.is_set() or sleeping())
            if not finished.is_set():
                signal.pthread_kill(threading.get_ident() if to_self else main_thread.ident, signal.SIGINT)
                if then:
                    until(lambda: handled and sleeping())
                    return then()
                finished.wait(1.0)

    def fails(call, kind, message):
        try:
            call()
        except kind as exc:
            assert str(exc) == message, exc
        else:
            raise AssertionError("the call did not fail")

    def expect_interrupt(call, handler=interrupt_once, expect=KeyboardInterrupt, **interrupter_arguments):
        handled.clear()
        finished.clear()
        signal.signal(signal.SIGINT, handler)
        helper = threading.Thread(target=interrupter, kwargs=interrupter_arguments, daemon=True)
        helper.start()
        outcome = fails(call, KeyboardInterrupt, "") if expect else call()
        finished.set()
        helper.join(30)
        assert not helper.is_alive()
        return outcome
""")

SIGNAL_CASES = {
    "receives": """
        for capacity, call in [(0, Channel.recv), (None, lambda ch: ch.recv_timeout(3600)), (4, list)]:
            ch = Channel(capacity)
            expect_interrupt(lambda: call(ch))
            # The interrupted receiver left no registration behind: a rendezvous finds none, the others keep the item.
            fails(lambda: ch.try_send(1), RuntimeError, "Channel is full") if capacity == 0 else ch.try_send(1)
            ch.close()
            assert list(ch) == ([] if capacity == 0 else [1])
        # The interrupt must not pass for the end of an iteration, though the handler closed the channel.
        ch = Channel()
        expect_interrupt(lambda: list(ch), lambda s, f: interrupt_once(s, f, then=ch.close))
        # A handler that returns: the receive goes on waiting.
        ch = Channel()
        assert expect_interrupt(ch.recv, lambda s, f: handled.append(s), None, then=lambda: ch.send("done")) == "done"
        assert handled == [signal.SIGINT]
    """,
    "sends and select": """
        item, empty = object(), Channel()
        before = sys.getrefcount(item)
        calls = [lambda ch: ch.send(item), lambda ch: ch.send_timeout(item, 3600), lambda ch: ch.send(item),
                 lambda ch: select([empty.recv_op(), ch.send_op(item)])]
        for capacity, call in zip((1, 1, 0, 1), calls):
            ch = Channel(capacity)
            if capacity:
                ch.send("filler")
            expect_interrupt(lambda: call(ch))
            assert sys.getrefcount(item) == before
            if capacity:
                assert ch.try_recv() == "filler"
            # The item never got in, and no interrupted sender still offers it.
            fails(ch.try_recv, RuntimeError, "Channel is empty")
        expect_interrupt(lambda: select([empty.recv_op()], timeout=3600))
    """,
    "lock waits": """
        lock = RwLock()

        def holding(make_guard):  # another thread holds the lock until released
            held, release = threading.Event(), threading.Event()

            def hold():
                with make_guard():
                    held.set()
                    release.wait(60)

            thread = threading.Thread(target=hold, daemon=True)
            thread.start()
            assert held.wait(60)
            return thread, release

        def passes(make_guard):  # on another thread: a writer bit left behind would keep it waiting
            thread = threading.Thread(target=lambda: make_guard().__enter__().__exit__(None, None, None))
            thread.start()
            thread.join(60)
            assert not thread.is_alive()

        # Waiting behind a writer (read, write) and draining readers (write): given up with nothing held.
        for holder, waiter in [(lock.write, lock.read), (lock.write, lock.write), (lock.read, lock.write)]:
            thread, release = holding(holder)
            expect_interrupt(lambda: waiter().__enter__())
            if holder == lock.read:
                passes(lock.read)
            release.set()
            thread.join(60)
            passes(lock.read)
            passes(lock.write)
        with lock.write():  # nor does this thread count a read it never got
            pass
        # A handler that returns: the wait goes on, and takes the lock once the holder leaves.
        thread, release = holding(lock.write)
        guard = expect_interrupt(lambda: lock.write().__enter__(), lambda s, f: handled.append(s), None,
                                 then=release.set)
        guard.__exit__(None, None, None)
        assert handled == [signal.SIGINT]
        thread.join(60)
    """,
    "pool shutdown": """
        # Sent to the main thread asleep in shutdown's wait, or to another thread: the queued tasks still run.
        for to_self in (False, True):
            gate, written = threading.Event(), []
            pool = ThreadPool(1)
            pool.submit(gate.wait)
            for i in range(5):
                pool.submit(written.append, i)
            expect_interrupt(pool.shutdown, to_self=to_self)
            gate.set()  # the interrupted shutdown handed the workers on: wait for what they run
            until(lambda: len(written) == 5)
            assert written == list(range(5)), written
    """,
}


@pytest.mark.parametrize("case", SIGNAL_CASES)
def test_ctrl_c_interrupts_a_blocked_call(case):
    assert run_python(SIGNAL_PRELUDE + textwrap.dedent(SIGNAL_CASES[case]) + "\nprint('ok')\n", timeout=60) == "ok"


@pytest.mark.skipif(SANITIZED, reason="the sanitizer runtime needs more address space than the limit allows")
@pytest.mark.skipif(EMULATED, reason="qemu-user does not apply an address-space limit to the emulated program")
def test_refused_worker_thread_fails_construction_and_the_started_workers_end():
    # An address-space limit leaves room for a few 2 MiB worker stacks only.
    code = textwrap.dedent("""
        import os, resource
        from torvan import ThreadPool, ThreadPoolExecutor

        before = len(os.listdir("/proc/self/task"))
        ThreadPool(1).shutdown()  # everything the first pool loads is loaded now
        used = int(open("/proc/self/statm").read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
        resource.setrlimit(resource.RLIMIT_AS, (used + 64 * 2**20, resource.RLIM_INFINITY))
        for make in (ThreadPool, ThreadPoolExecutor):  # the executor raises what threading raises
            try:
                make(1000)
            except BaseException as exc:
                print(type(exc).__name__, str(exc).split(":")[0])
        print(len(os.listdir("/proc/self/task")) == before)
    """)
    assert run_python(code).splitlines() == ["PanicException failed to spawn thread", "RuntimeError can't start new thread",
                                             "True"]


def test_soak():
    # All primitives together from 8 threads (reliability/soak.py), briefly.
    seconds = float(os.environ.get("TORVAN_SOAK_SECONDS", "10" if SANITIZED else "20"))
    soak = Path(__file__).resolve().parent / "reliability" / "soak.py"
    out = run_python(None, seconds + 180, args=(str(soak), "--seconds", str(seconds), "--watchdog", str(seconds + 90)))
    assert "soak passed" in out
