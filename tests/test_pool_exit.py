"""ThreadPool at the edges of the process: interpreter exit, a finalizing
interpreter, Ctrl-C during shutdown, and threads the system refuses."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from conftest import SANITIZED, run_python

TIMEOUT = 120.0


def test_exit_without_shutdown_runs_every_queued_task(tmp_path):
    out = tmp_path / "out.txt"
    code = textwrap.dedent(f"""
        import time
        from torvan import ThreadPool

        def write(i):
            time.sleep(0.002)
            with open({str(out)!r}, "a") as f:
                f.write(f"{{i}}\\n")

        kept = ThreadPool(2)
        for i in range(50):
            kept.submit(write, i)
        background = ThreadPool(2)
        for i in range(50, 100):
            background.submit(write, i)
        background.shutdown(wait=False)
        print("exiting")
    """)
    assert run_python(code) == "exiting"
    assert sorted(int(line) for line in out.read_text().split()) == list(range(100))


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
    done = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, timeout=TIMEOUT)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "exiting\n"
    assert "Cannot attach to the Python interpreter while it is finalizing." in done.stderr


@pytest.mark.parametrize("handled_on", ["main thread", "other thread"])
def test_ctrl_c_interrupts_shutdown_and_loses_nothing(tmp_path, handled_on):
    # The signal reaches the main thread once it sleeps in shutdown's wait, or
    # its handler runs on another thread, which wakes nothing on the main one.
    out = tmp_path / "out.txt"
    code = textwrap.dedent(f"""
        import signal, threading, time
        from torvan import ThreadPool

        gate = threading.Event()

        def write(i):
            with open({str(out)!r}, "a") as f:
                f.write(f"{{i}}\\n")

        def interrupt_from_here():
            main = threading.main_thread().native_id
            while open(f"/proc/self/task/{{main}}/stat").read().rsplit(")", 1)[1].split()[0] != "S":
                time.sleep(0.001)
            signal.pthread_kill(threading.get_ident(), signal.SIGINT)

        pool = ThreadPool(1)
        pool.submit(gate.wait)
        for i in range(5):
            pool.submit(write, i)
        if {handled_on == "other thread"}:
            threading.Thread(target=interrupt_from_here, daemon=True).start()
        print("ready", flush=True)
        try:
            pool.shutdown(wait=True)
            print("not interrupted")
        except KeyboardInterrupt:
            print("interrupted", flush=True)
        gate.set()  # the queued tasks run after the interruption; exit waits for them
    """)
    child = subprocess.Popen([sys.executable, "-P", "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True)
    try:
        assert child.stdout.readline() == "ready\n"
        if handled_on == "main thread":
            deadline = time.monotonic() + TIMEOUT
            while state_of(child.pid) != "S":
                assert time.monotonic() < deadline, "the child never waited"
                time.sleep(0.005)
            child.send_signal(signal.SIGINT)
        stdout, stderr = child.communicate(timeout=TIMEOUT)
    finally:
        child.kill()
        child.wait()
    assert child.returncode == 0, stderr
    assert stdout == "interrupted\n"
    assert sorted(int(line) for line in out.read_text().split()) == list(range(5))


def state_of(pid: int) -> str:
    with open(f"/proc/{pid}/stat") as f:
        return f.read().rsplit(")", 1)[1].split()[0]


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


def test_forked_child_does_not_wait_for_workers_it_does_not_have():
    # Only the forking thread lives on in the child: its pools refuse work,
    # and shutting them down, dropping them or exiting does not hang there.
    code = textwrap.dedent("""
        import os, sys, time, warnings
        warnings.simplefilter("ignore", DeprecationWarning)  # forking a threaded process
        from torvan import ThreadPool

        kept, dropped, shut = ThreadPool(2), ThreadPool(1), ThreadPool(1)
        assert kept.submit(int, "1").result() == 1
        pid = os.fork()
        if pid == 0:
            try:
                kept.submit(print, "never printed")
            except RuntimeError as exc:
                print("child:", exc, flush=True)
            shut.shutdown()
            del dropped
            sys.exit(0)  # the exit hook meets `kept`, never shut down
        deadline = time.monotonic() + 60
        while not (done := os.waitpid(pid, os.WNOHANG))[0] and time.monotonic() < deadline:
            time.sleep(0.01)
        if not done[0]:
            os.kill(pid, 9)
        print("child exit status", done[1] if done[0] else "hung")
        print("parent", kept.submit(int, "2").result(), dropped.submit(int, "3").result())
    """)
    assert run_python(code).splitlines() == [
        "child: Failed to submit task to worker threads",
        "child exit status 0",
        "parent 2 3",
    ]
