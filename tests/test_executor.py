"""ThreadPoolExecutor: the standard executor's contract on a native pool: its constructor, worker names and
initializer, and shutdown in every order, from a task, racing submissions and at exit (map is the standard one)."""

import concurrent.futures
import os
import re
import threading
import weakref

import pytest

from conftest import JOIN_TIMEOUT as TIMEOUT, eventually, join_all, outcome_of, run_python, start_threads, thread_state
from torvan import ThreadPoolExecutor

SHUT = "cannot schedule new futures after shutdown"


def refuses(executor):  # a submit accepted before the shutdown runs, or is cancelled, like the rest
    return outcome_of(executor.submit, int) == f"RuntimeError: {SHUT}"


def holds_its_pool(executor):
    return outcome_of(executor._pool.submit, int) == "RuntimeError: Already mutably borrowed"


def gated(executor):
    """A task that runs until the gate opens, started: the executor's only worker is busy with it."""
    started, gate = threading.Event(), threading.Event()
    future = executor.submit(lambda: started.set() or gate.wait(TIMEOUT))
    assert started.wait(TIMEOUT)
    return future, gate


@pytest.mark.parametrize("arguments, error, message", [
    ({"max_workers": 0}, ValueError, "^max_workers must be greater than 0$"),
    ({"max_workers": -2}, ValueError, "^max_workers must be greater than 0$"),
    ({"max_workers": 1.5}, TypeError, "integer"),
    ({"max_workers": "2"}, TypeError, None),
    ({"initializer": 3}, TypeError, "^initializer must be a callable$"),
])
def test_constructor_errors_are_the_standard_executors(arguments, error, message):
    with pytest.raises(error, match=message):
        ThreadPoolExecutor(**arguments)


def test_workers_are_named_initialized_once_and_tasks_still_find_a_fresh_thread():
    executor = ThreadPoolExecutor()  # a real executor, of the standard default size and naming
    assert isinstance(executor, concurrent.futures.Executor)
    assert executor._max_workers == min(32, (os.process_cpu_count() or 1) + 4)
    assert re.fullmatch(r"ThreadPoolExecutor-\d+_0", executor.submit(lambda: threading.current_thread().name).result())
    with executor as entered:
        assert entered is executor
    assert outcome_of(executor.submit, int) == f"RuntimeError: {SHUT}"  # the with block shut it down
    initialized, local, barrier = [], threading.local(), threading.Barrier(3)

    def initializer(tag):
        initialized.append((threading.current_thread().name, threading.get_ident(), tag))

    def task(i):
        if i < 3:
            barrier.wait(TIMEOUT)  # the first three meet, so each worker takes one of them
        left, local.value = getattr(local, "value", None), i
        return threading.current_thread().name, threading.get_ident(), left

    prefix = f"named-{threading.get_ident()}"  # apart from the same test on other threads
    executor = ThreadPoolExecutor(3, prefix, initializer, ("tag",))
    seen = list(executor.map(task, range(60)))
    worker = weakref.ref(executor.submit(threading.current_thread).result(TIMEOUT))
    executor.shutdown()
    assert all(left is None for _, _, left in seen), "a task found what an earlier one left"
    workers = {(name, ident) for name, ident, _ in seen}
    assert {name for name, _ in workers} == {f"{prefix}_{i}" for i in range(3)}
    assert len({ident for _, ident in workers}) == len(workers) == 3  # one name per worker, the same every time
    assert sorted(initialized) == sorted((name, ident, "tag") for name, ident in workers)
    # Registered for its tasks only: nothing of the workers is left for threading to list, and their objects go
    # with the executor, without waiting for the cycle collector.
    assert not [t for t in threading.enumerate() if t.name.startswith(f"{prefix}_")]
    del executor
    assert worker() is None


def test_an_executor_dropped_without_shutdown_leaves_the_queue_to_its_workers():
    # As the standard one: the drop does not wait, and what was queued still runs. The pool's own destruction would
    # wait for it, wherever the interpreter happens to destroy the executor.
    executor = ThreadPoolExecutor(1)
    running, gate = gated(executor)
    queued, pool = executor.submit(pow, 2, 5), weakref.ref(executor._pool)
    del executor
    assert pool() is None and not running.done()  # shut down without waiting, and let go of
    gate.set()
    assert running.result(TIMEOUT) is True and queued.result(TIMEOUT) == 32


@pytest.mark.thread_unsafe(reason="sets the hooks of every thread started later")
def test_tracing_and_profiling_set_through_threading_reach_every_task():
    events = []

    def traced():
        return 7

    def hook(kind):
        return lambda frame, event, arg: events.append((kind, event)) if frame.f_code is traced.__code__ else None

    threading.settrace(hook("trace"))
    threading.setprofile(hook("profile"))
    try:
        with ThreadPoolExecutor(1) as executor:
            assert [executor.submit(traced).result(TIMEOUT) for _ in range(2)] == [7, 7]
    finally:
        threading.settrace(None)
        threading.setprofile(None)
    assert events.count(("trace", "call")) == events.count(("profile", "call")) == 2  # each task a fresh thread


# The first shutdown, and whether it cancels what is queued.
FIRST_SHUTDOWNS = {
    "wait": (lambda e: e.shutdown(), False),
    "wait and cancel": (lambda e: e.shutdown(cancel_futures=True), True),
    "no wait": (lambda e: e.shutdown(wait=False), False),
    "no wait and cancel": (lambda e: e.shutdown(wait=False, cancel_futures=True), True),
    "a later one cancels": (lambda e: (e.shutdown(wait=False), e.shutdown(wait=False, cancel_futures=True)), True),
}


@pytest.mark.parametrize("first", FIRST_SHUTDOWNS)
def test_every_shutdown_waits_for_the_workers_as_the_standard_one_does(first):
    # Unlike a ThreadPool's, a second shutdown(wait=True) after one that did not wait waits for the workers too.
    shut, cancels = FIRST_SHUTDOWNS[first]
    executor = ThreadPoolExecutor(1)
    running, gate = gated(executor)
    queued = [executor.submit(pow, 2, i) for i in range(5)]
    closers = start_threads([lambda: shut(executor)])
    # One that waits sleeps holding its pool: the pool's own shutdown has begun, and only its wait sleeps.
    eventually(lambda: refuses(executor) and (not closers[0].is_alive() or holds_its_pool(executor) and
                                              thread_state(closers[0].native_id) == "S"), "the first one waits")
    closers += start_threads([executor.shutdown])
    eventually(lambda: thread_state(closers[-1].native_id) == "S", "the second one waits")
    assert closers[-1].is_alive() and not running.done()
    gate.set()
    join_all(closers)
    assert running.result(0) is True and all(f.done() for f in queued)
    if cancels:
        assert all(outcome_of(f.result, 0) == "CancelledError: " for f in queued)
        assert first != "wait and cancel" or all(f.cancelled() for f in queued)  # by the pool, for good
    else:
        assert [f.result(0) for f in queued] == [1, 2, 4, 8, 16]


def test_shutdown_with_wait_from_its_own_task_raises_and_the_rest_still_runs():
    executor, done = ThreadPoolExecutor(2), threading.Event()
    inside = executor.submit(lambda: done.wait(TIMEOUT) and executor.shutdown())
    after = executor.submit(pow, 3, 2)
    done.set()
    assert str(inside.exception(TIMEOUT)) == "cannot join current thread"
    assert after.result(TIMEOUT) == 9
    executor.shutdown()  # from outside: waits for both workers


def test_submissions_racing_shutdown_are_run_or_refused_with_the_standard_message(run_threads):
    for _ in range(5):
        executor, accepted, refusals, go = ThreadPoolExecutor(2), [], [], threading.Barrier(2)

        def submitter():
            go.wait(TIMEOUT)
            while True:
                try:
                    accepted.append(executor.submit(pow, len(accepted), 2))
                except RuntimeError as refused:
                    refusals.append(str(refused))
                    return

        run_threads(submitter, lambda: (go.wait(TIMEOUT), executor.shutdown()))
        assert refusals == [SHUT]
        assert [f.result(0) for f in accepted] == [i * i for i in range(len(accepted))]  # all run before the return


def test_queued_tasks_run_before_the_interpreter_exits_however_the_executor_was_left():
    # Shut down without waiting, shut down by an exit handler (when no new thread may start), or never shut down:
    # what was queued runs before the process ends, as with the standard executor.
    # A submit from an exit handler registered before the import, which runs after the pools' own, is refused as
    # the standard executor refuses it.
    out = run_python("""
import atexit, sys, threading

def submit_at_exit():
    try:
        executor.submit(int)
    except RuntimeError as refused:
        print("refused:", refused)

atexit.register(submit_at_exit)
from torvan import ThreadPoolExecutor

gate = threading.Event()
for how in ("no wait", "at exit", "never"):
    executor = ThreadPoolExecutor(1)
    executor.submit(gate.wait, 30)
    for i in range(2):
        executor.submit(sys.stdout.write, f"{how} {i}\\n")  # one write: the executors' workers print at once
    if how == "no wait":
        executor.shutdown(wait=False)
    elif how == "at exit":
        atexit.register(executor.shutdown, wait=False)
gate.set()

spinner = ThreadPoolExecutor(1)  # submits from its task until the exit handler's shutdown refuses it

def spin():
    while True:
        try:
            spinner.submit(int)
        except RuntimeError as refused:
            print("spinner refused:", refused)
            return

spinner.submit(spin)
""")
    assert sorted(out.splitlines()) == sorted([f"{how} {i}" for how in ("no wait", "at exit", "never") for i in range(2)]
                                              + [f"{who}refused: cannot schedule new futures after interpreter shutdown"
                                                 for who in ("", "spinner ")])
