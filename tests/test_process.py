"""The module at the edges of a process, each case in a fresh interpreter:
interpreter exit while threads wait and pools work, fork, Ctrl-C, threads the
system refuses, and the soak."""

import os
import textwrap
from pathlib import Path

import pytest

from conftest import SANITIZED, run_python

# Each case is a process of its own; copies on several threads would only share the cores.
pytestmark = pytest.mark.thread_unsafe

# Registered before torvan is imported, this exit handler runs after the pools'
# exit hook and prints how many tasks it let run.
EXIT_PRELUDE = textwrap.dedent("""
    import atexit, os, sys, threading, time
    ran = []
    atexit.register(lambda: print("tasks run by exit:", len(ran), flush=True))
    from torvan import *

    def start_blocked(calls):
        # Daemon threads, each blocked in one call; returns once all sleep.
        threads = [threading.Thread(target=call, daemon=True) for call in calls]
        for t in threads:
            t.start()
        deadline = time.monotonic() + 60
        for t in threads:
            while open(f"/proc/self/task/{t.native_id}/stat").read().rpartition(")")[2].split()[0] not in "SD":
                assert time.monotonic() < deadline, "a thread never blocked"
                time.sleep(0.001)
        return threads

    def task(i):
        time.sleep(0.001)
        ran.append(i)
""")


def exits_cleanly(code: str) -> list[str]:
    """The lines printed by code run after EXIT_PRELUDE; the interpreter must
    exit by itself with status 0 and nothing on standard error."""
    return run_python(EXIT_PRELUDE + textwrap.dedent(code), clean=True).splitlines()


# Interpreter exit ---------------------------------------------------------------------


def test_exit_while_threads_wait_in_every_kind_of_call_and_pools_are_alive():
    assert exits_cleanly("""
        empty, full, rendezvous, idle = Channel(), Channel(1), Channel(0), Channel()
        full.send("filler")
        lock = RwLock()
        held = lock.write().__enter__()  # released when the globals go at exit, waking its waiters then
        start_blocked([
            empty.recv, lambda: empty.recv(timeout=3600), lambda: full.send(1), lambda: rendezvous.send(1),
            lambda: Channel(0).recv(), lambda: select([idle.recv_op(), full.send_op(2)]), lambda: list(idle),
            lambda: lock.read().__enter__(), lambda: lock.write().__enter__(),
        ])
        # Only the waiting threads hold these: dropping the globals at exit
        # wakes the threads while the interpreter finalizes.
        dropped, dropped_full = Channel(), Channel(0)
        start_blocked([lambda op=dropped.recv_op(): select([op]), lambda op=dropped_full.send_op(3): select([op])])
        idle_pool, busy, background = ThreadPool(2), ThreadPool(2), ThreadPool(1)
        for i in range(20):
            busy.submit(task, i)
            background.submit(task, 100 + i)
        background.shutdown(wait=False)
        print("exiting", flush=True)
    """) == ["exiting", "tasks run by exit: 40"]


@pytest.mark.parametrize("last_reference", ["main thread, after shutdown(wait=False)", "the pool's own task"])
def test_exit_waits_for_the_workers_of_a_pool_no_longer_alive(last_reference):
    # No live pool takes work at exit: the hook must still wait for the
    # workers that drain the queue of a pool that is gone.
    assert exits_cleanly(f"""
        go, started = threading.Event(), threading.Event()

        def slow(i):
            go.wait(60)
            holder.clear()
            started.set()
            time.sleep(0.2)
            ran.append(i)

        holder = [ThreadPool(1)]
        holder[0].submit(slow, 0)
        holder[0].submit(task, 1)
        if {last_reference.startswith("main")}:
            holder.pop().shutdown(wait=False)
        go.set()
        assert started.wait(60)
        print("exiting", flush=True)
    """) == ["exiting", "tasks run by exit: 2"]


def test_exit_hook_of_the_user_releases_a_task_blocked_in_a_channel():
    assert exits_cleanly("""
        jobs = Channel()
        pool = ThreadPool(1)
        def consume():
            try:
                for job in jobs:
                    ran.append(job)
            finally:
                ran.append("closed")
        pool.submit(consume)
        jobs.send("job")
        atexit.register(jobs.close)  # runs before the pools' hook, which waits for the task
        print("exiting", flush=True)
    """) == ["exiting", "tasks run by exit: 2"]


def test_exit_while_daemon_threads_keep_using_everything():
    # Threads still at work stop wherever finalization finds them. The values
    # they pass are immortal small ints: the free-threaded interpreter can
    # deadlock at exit when a daemon thread releases an object another thread
    # made just as finalization begins, whichever module passed it along.
    code = """
        stop_counting = threading.Event()
        rounds = AtomicInteger()
        ch, bounded, m, lock = Channel(), Channel(4), ConcurrentMap(4), RwLock()
        shared_pool = ThreadPool(2)

        def work(seed):
            n = 0
            while True:
                n = n % 200 + 1
                ch.send(n)
                try:
                    ch.recv(timeout=0.01)
                    bounded.send(n, timeout=0.01)
                    bounded.try_recv()
                    select([ch.recv_op(), bounded.send_op(n)], timeout=0.01)
                except (TimeoutError, RuntimeError):
                    pass
                m.set(n % 17, n)
                m.get_or_insert(seed, n)
                m.pop_val((n + 1) % 17)
                with lock.read():
                    pass
                with lock.write():
                    pass
                try:
                    shared_pool.submit(pow, n, 2)
                except RuntimeError:
                    pass  # shut down by the exit hook
                if n % 25 == 0:
                    own = ThreadPool(1)
                    try:
                        own.submit(task, n)
                    except RuntimeError:
                        pass  # made once the exit drain had begun: refuses work
                    own.shutdown(wait=n % 50 == 0)
                if rounds.increment() == 400:
                    stop_counting.set()

        for seed in range(4):
            threading.Thread(target=work, args=(seed,), daemon=True).start()
        assert stop_counting.wait(120)
        print("exiting", flush=True)
    """
    for _ in range(2):
        assert exits_cleanly(code)[:1] == ["exiting"]


def test_exit_drains_the_pools_its_tasks_make_and_other_late_pools_refuse_work():
    # Tasks still running when the exit drain starts make pools, and tasks of
    # those make more: all of them run. A pool that nothing would wait for
    # (made by a daemon thread during the drain, or after it) refuses work.
    code = textwrap.dedent("""
        import atexit, threading, time

        def after_the_drain():
            try:
                ThreadPool(1).submit(print, "never printed")
            except RuntimeError as exc:
                print("made after the drain:", exc, flush=True)

        atexit.register(after_the_drain)  # registered first, so it runs after the pools' hook
        from torvan import ThreadPool

        def until_the_drain_holds(pool):
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline:
                try:
                    pool.submit(int)
                except RuntimeError:  # the exit hook is shutting the pool down
                    return
                time.sleep(0.001)

        def by_daemon_thread(done):
            try:
                ThreadPool(1).submit(print, "never printed")
            except RuntimeError as exc:
                print("made by a daemon thread:", exc, flush=True)
            done.set()

        def spawner(depth):
            if depth == 0:
                until_the_drain_holds(first)
                done = threading.Event()
                threading.Thread(target=by_daemon_thread, args=(done,), daemon=True).start()
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
    # A daemon thread never leaves a submit (its context copy blocks), so the
    # exit hook gives up on that pool; a task a finalizer submits then reaches
    # a worker that cannot attach: it says so and ends, and the exit is clean.
    code = textwrap.dedent("""
        import contextvars, os, sys, threading, time
        from torvan import ThreadPool

        def threads():
            return len(os.listdir("/proc/self/task"))

        real_copy = contextvars.copy_context
        contextvars.copy_context = threading.Event().wait  # blocks the daemon thread inside submit
        pool = ThreadPool(1)
        stuck = threading.Thread(target=pool.submit, args=(print, "never printed"), daemon=True)
        stuck.start()
        while getattr(sys._current_frames().get(stuck.ident), "f_code", None) is not threading.Condition.wait.__code__:
            time.sleep(0.001)
        contextvars.copy_context = real_copy

        class SubmitWhenFinalized:
            def __del__(self):
                before = threads()
                pool.submit(print, "never printed")
                deadline = time.monotonic() + 60
                while threads() >= before and time.monotonic() < deadline:
                    time.sleep(0.001)  # the worker reports, then ends

        _trigger = SubmitWhenFinalized()  # underscore names are cleared first
        print("exiting")
    """)
    done = run_python(code, raw=True)
    assert done.stdout == "exiting\n"
    assert "Cannot attach to the Python interpreter while it is finalizing." in done.stderr


# Fork -------------------------------------------------------------------------------------


def test_forked_child_keeps_using_what_was_idle_and_does_not_wait_for_workers_it_lacks():
    # Only the forking thread lives on in the child: the objects idle at the
    # fork work, the parent's pools refuse work there, and shutting them
    # down, dropping them or exiting does not hang.
    assert exits_cleanly("""
        import warnings
        warnings.simplefilter("ignore", DeprecationWarning)  # forking a process with threads
        ch, m, counter, lock = Channel(), ConcurrentMap(), AtomicInteger(5), RwLock()
        ch.send("sent before the fork")
        m.set("parent", 1)
        kept, dropped, shut = ThreadPool(2), ThreadPool(1), ThreadPool(1)
        assert [p.submit(int, "1").result() for p in (kept, dropped, shut)] == [1, 1, 1]
        # Fork once every other thread sleeps: a thread forked away inside the
        # allocator leaves its lock taken in the child (the sanitizers'
        # allocator has no fork handlers), and the child's threads hang on it.
        others = [t for t in os.listdir("/proc/self/task") if int(t) != threading.get_native_id()]
        deadline = time.monotonic() + 20
        while any(open(f"/proc/self/task/{t}/stat").read().rpartition(")")[2].split()[0] not in "SD" for t in others):
            assert time.monotonic() < deadline, "a worker never went to sleep"
            time.sleep(0.001)
        pid = os.fork()
        if pid == 0:
            try:
                assert ch.recv() == "sent before the fork"
                ch.send("child")
                assert ch.recv(timeout=5) == "child"
                m.set("child", 2)
                assert sorted(m.keys()) == ["child", "parent"]
                assert counter.increment() == 6
                with lock.write():
                    pass
                fresh = ThreadPool(1)
                assert fresh.submit(int, "2").result() == 2
                fresh.shutdown()
                try:
                    kept.submit(print, "never printed")
                except RuntimeError as exc:
                    print("child:", exc, flush=True)
                shut.shutdown()
                del dropped
            except BaseException as exc:
                print("child failed:", repr(exc), flush=True)
                os._exit(1)
            sys.exit(0)  # the exit hook meets `kept`, never shut down
        deadline = time.monotonic() + 60
        while not (done := os.waitpid(pid, os.WNOHANG))[0] and time.monotonic() < deadline:
            time.sleep(0.01)
        if not done[0]:
            os.kill(pid, 9)
        print("child exit status", os.waitstatus_to_exitcode(done[1]) if done[0] else "hung")
        print("parent", ch.recv(), sorted(m.keys()), counter.get(), kept.submit(int, "2").result(),
              dropped.submit(int, "3").result())
    """) == ["child: Failed to submit task to worker threads", "tasks run by exit: 0", "child exit status 0",
             "parent sent before the fork ['parent'] 5 2 3", "tasks run by exit: 0"]


# Ctrl-C -----------------------------------------------------------------------------------

SIGNAL_PRELUDE = textwrap.dedent(
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

SIGNAL_CASES = {
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
    "pool shutdown": """
        # The signal reaches the main thread once it sleeps in shutdown's wait,
        # or the handler runs for a signal sent to another thread: either way
        # shutdown is interrupted and the queued tasks still run afterwards.
        from torvan import ThreadPool

        def signal_this_thread_once_main_sleeps():
            while not sleeping():
                time.sleep(0.001)
            signal.pthread_kill(threading.get_ident(), signal.SIGINT)

        for sent_to_main in (True, False):
            gate, written = threading.Event(), []
            pool = ThreadPool(1)
            pool.submit(gate.wait)
            for i in range(5):
                pool.submit(written.append, i)
            if sent_to_main:
                expect_interrupt(pool.shutdown)
            else:
                signal.signal(signal.SIGINT, signal.default_int_handler)
                threading.Thread(target=signal_this_thread_once_main_sleeps, daemon=True).start()
                fails(pool.shutdown, KeyboardInterrupt, "")
            gate.set()  # the interrupted shutdown handed the workers on: wait for what they run
            deadline = time.monotonic() + 30
            while len(written) < 5 and time.monotonic() < deadline:
                time.sleep(0.001)
            assert written == list(range(5)), written
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


@pytest.mark.parametrize("case", SIGNAL_CASES)
def test_ctrl_c_interrupts_a_blocked_channel_call(case):
    assert run_python(SIGNAL_PRELUDE + textwrap.dedent(SIGNAL_CASES[case]) + "\nprint('ok')\n", timeout=60) == "ok"


# Resources ---------------------------------------------------------------------------------


@pytest.mark.skipif(SANITIZED, reason="the sanitizer runtime needs more address space than the limit allows")
def test_refused_worker_thread_fails_construction_and_the_started_workers_end():
    # An address-space limit leaves room for a few 2 MiB worker stacks only.
    code = textwrap.dedent("""
        import os, resource
        from torvan import ThreadPool

        before = len(os.listdir("/proc/self/task"))
        ThreadPool(1).shutdown()  # everything the first pool loads is loaded now
        with open("/proc/self/statm") as f:
            used = int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
        resource.setrlimit(resource.RLIMIT_AS, (used + 64 * 2**20, resource.RLIM_INFINITY))
        try:
            ThreadPool(1000)
        except BaseException as exc:
            print(type(exc).__name__, str(exc).split(":")[0])
        print(len(os.listdir("/proc/self/task")) == before)
    """)
    assert run_python(code).splitlines() == ["PanicException failed to spawn thread", "True"]


def test_soak():
    # All primitives together from 8 threads (reliability/soak.py), briefly.
    seconds = float(os.environ.get("TORVAN_SOAK_SECONDS", "10" if SANITIZED else "20"))
    soak = Path(__file__).resolve().parent / "reliability" / "soak.py"
    out = run_python(None, seconds + 180, args=(str(soak), "--seconds", str(seconds), "--watchdog", str(seconds + 90)))
    assert "soak passed" in out
