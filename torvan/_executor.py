"""ThreadPoolExecutor: the standard executor's interface on a native ThreadPool.

The native pool does the work (its queue, its workers, its futures); what the
standard executor has beyond ``submit`` and ``shutdown`` is built here, around
each task: the worker's thread name, the initializer before a worker's first
task, and the refusals of a broken or shut down executor.

A worker is a thread of the native pool, unknown to :mod:`threading`, and every
task finds it as a fresh thread (nothing an earlier task left in a
``threading.local``). So that ``threading.current_thread()`` names the worker
all the same, one thread object per worker is registered where
``current_thread()`` looks for it, for the duration of each of its tasks.
"""

from __future__ import annotations

import itertools
import logging
import operator
import os
import sys
import threading
import time
import weakref
from collections.abc import Callable, Iterable
from concurrent.futures import CancelledError, Executor, Future
from concurrent.futures.thread import BrokenThreadPool
from typing import Any, ParamSpec, TypeVar

from torvan._torvan import ThreadPool

__all__ = ["ThreadPoolExecutor"]

_P = ParamSpec("_P")
_T = TypeVar("_T")

# The standard executors log a failed initializer here.
_LOGGER = logging.getLogger("concurrent.futures")

_BROKEN = "A thread initializer failed, the thread pool is not usable anymore"

# Where threading.current_thread() finds a thread's object, by thread id. Absent
# from another implementation of threading: the workers then go unnamed.
_registry: dict[int, threading.Thread] | None = getattr(threading, "_active", None)

# Where threading keeps what settrace() and setprofile() gave for the threads
# it starts later; each task installs them, as a thread of threading does when
# it starts. Absent from another implementation of threading: tasks then run
# untraced.
_hooks: Any = threading if hasattr(threading, "_trace_hook") and hasattr(threading, "_profile_hook") else None


def _install_hooks(hooks: Any) -> None:
    if (trace := hooks._trace_hook) is not None:
        sys.settrace(trace)
    if (profile := hooks._profile_hook) is not None:
        sys.setprofile(profile)


class _Tasks:
    """What every task of one executor runs through. It holds nothing of the
    executor itself, so queued tasks do not keep a dropped executor alive."""

    def __init__(self, prefix: str, initializer: Callable[..., object] | None, initargs: Iterable[Any]) -> None:
        self.prefix = prefix
        self.initializer = initializer
        self.initargs = initargs
        # None while tasks run; once the pool broke or a later shutdown cancelled
        # what is queued, the exception every task raises instead of running.
        self.refusal: Callable[[], BaseException] | None = None
        # None while submit() takes tasks; then what it raises instead.
        self.closed: Callable[[], BaseException] | None = None
        self.workers: dict[int, threading.Thread] = {}
        self.numbering = threading.Lock()
        self.started = itertools.count()

    def runners(self) -> tuple[Callable[..., Any], Callable[..., Any]]:
        """The function each task calls, without and with keyword arguments:
        closures, since a task costs little more than a few lookups and calls.
        The executor keeps them: kept here, they would make a cycle, and the
        workers' thread objects would wait for the cycle collector."""
        tasks, workers, get_ident, registry, hooks = self, self.workers, threading.get_ident, _registry, _hooks
        if registry is None:
            registry = {}  # the workers' objects, then, are nobody's business

        # The worker's object is registered for the task only: a thread id
        # outlives the worker, and may be a different thread's by the time
        # another task or thread asks.
        def run(fn: Callable[..., Any], args: tuple[Any, ...]) -> Any:
            if (refusal := tasks.refusal) is not None:
                raise refusal()
            if hooks is not None and (hooks._trace_hook is not None or hooks._profile_hook is not None):
                _install_hooks(hooks)  # a fresh thread state each task: tracing starts again with each
            ident = get_ident()
            registry[ident] = workers.get(ident) or tasks.first_task(ident)
            try:
                return fn(*args)
            finally:
                registry.pop(ident, None)

        def run_with_keywords(fn: Callable[..., Any], args: tuple[Any, ...], kwargs: dict[str, Any]) -> Any:
            if (refusal := tasks.refusal) is not None:
                raise refusal()
            if hooks is not None and (hooks._trace_hook is not None or hooks._profile_hook is not None):
                _install_hooks(hooks)  # a fresh thread state each task: tracing starts again with each
            ident = get_ident()
            registry[ident] = workers.get(ident) or tasks.first_task(ident)
            try:
                return fn(*args, **kwargs)
            finally:
                registry.pop(ident, None)

        return run, run_with_keywords

    def first_task(self, ident: int) -> threading.Thread:
        """Names the worker and runs the initializer, before its first task."""
        worker = threading.current_thread()  # a fresh object: none is registered for this thread
        with self.numbering:
            number = next(self.started)
        worker.name = f"{self.prefix}_{number}"
        self.workers[ident] = worker
        if self.initializer is None:
            return worker
        try:
            self.initializer(*self.initargs)
        except BaseException:
            _LOGGER.critical("Exception in initializer:", exc_info=True)
            self.refusal = self.closed = _broken
            raise BrokenThreadPool(_BROKEN) from None
        return worker


def _broken() -> BaseException:
    return BrokenThreadPool(_BROKEN)


def _shut() -> BaseException:
    return RuntimeError("cannot schedule new futures after shutdown")


class ThreadPoolExecutor(Executor):
    """An Executor whose tasks run on the native workers of a torvan ThreadPool.

    Constructed, used and shut down as ``concurrent.futures.ThreadPoolExecutor``:
    ``max_workers`` workers (by default ``min(32, os.process_cpu_count() + 4)``),
    named ``<thread_name_prefix>_<n>`` in the order they take their first task,
    each running ``initializer(*initargs)`` once before it; an initializer that
    raises breaks the executor (``BrokenThreadPool`` for every task not yet
    started and for every later ``submit``). ``map`` is the standard one, with
    ``timeout``, ``chunksize`` and ``buffersize``.

    Unlike the standard executor, it starts all its workers at once, and each
    task runs in a copy of the submitter's context variables and finds a fresh
    thread: nothing an earlier task, or the initializer, left in a
    ``threading.local`` or a context variable. Like the standard one, when it
    is dropped without a shutdown it leaves what is queued to its workers and
    does not wait for them.
    """

    BROKEN = BrokenThreadPool

    # Numbers the default prefixes, "ThreadPoolExecutor-<n>".
    _counter = itertools.count().__next__

    def __init__(
        self,
        max_workers: int | None = None,
        thread_name_prefix: str = "",
        initializer: Callable[..., object] | None = None,
        initargs: tuple[Any, ...] = (),
    ) -> None:
        if max_workers is None:
            max_workers = min(32, (os.process_cpu_count() or 1) + 4)
        if max_workers <= 0:
            raise ValueError("max_workers must be greater than 0")
        if initializer is not None and not callable(initializer):
            raise TypeError("initializer must be a callable")
        self._max_workers = max_workers
        self._thread_name_prefix = thread_name_prefix or f"ThreadPoolExecutor-{self._counter()}"
        self._tasks = _Tasks(self._thread_name_prefix, initializer, initargs)
        self._run, self._run_with_keywords = self._tasks.runners()
        try:
            self._pool = ThreadPool(operator.index(max_workers))
        except BaseException as failure:
            # The pool's native failure (PanicException) when the system refuses
            # a worker thread; threading's error for it, which `except Exception`
            # catches, and the cause kept.
            if str(failure).startswith("failed to spawn thread"):
                raise RuntimeError("can't start new thread") from failure
            raise
        # Dropped without a shutdown, the executor lets its workers finish the
        # queue in the background, as the standard one does. The pool's own
        # destruction would wait for them instead, wherever the interpreter
        # happens to destroy the executor (on the thread that made it, perhaps,
        # at a moment when it holds a lock a queued task needs).
        weakref.finalize(self, ThreadPool.shutdown, self._pool, False).atexit = False
        self._shutdown = False
        self._shutdown_lock = threading.Lock()
        self._workers_ended = threading.Event()

    def submit(self, fn: Callable[_P, _T], /, *args: _P.args, **kwargs: _P.kwargs) -> Future[_T]:
        """Submits a callable to be executed with the given arguments.

        Schedules the callable to be executed as fn(*args, **kwargs) and returns
        a Future instance representing the execution of the callable."""
        if (closed := self._tasks.closed) is not None:
            raise closed()
        try:
            if kwargs:
                return self._pool.submit(self._run_with_keywords, fn, args, kwargs)
            return self._pool.submit(self._run, fn, args)
        except RuntimeError as refused:
            raise self._refusal_for(refused) from None

    def _refusal_for(self, refused: RuntimeError) -> RuntimeError:
        # A shutdown that began after the check above holds or has closed the pool.
        if self._shutdown:
            return RuntimeError("cannot schedule new futures after shutdown")
        # Shut down, or being shut down, by nobody but the pools' exit handler,
        # which runs before the exit handlers registered before torvan was
        # imported.
        if str(refused) in ("ThreadPool is shutdown", "Already mutably borrowed",
                            "cannot schedule new tasks after interpreter shutdown"):
            return RuntimeError("cannot schedule new futures after interpreter shutdown")
        return refused

    def shutdown(self, wait: bool = True, *, cancel_futures: bool = False) -> None:
        """Clean-up the resources associated with the Executor.

        It is safe to call this method several times. Otherwise, no other
        methods can be called after this one.

        Args:
            wait: If True then shutdown will not return until all running
                futures have finished executing and the resources used by
                the executor have been reclaimed.
            cancel_futures: If True then shutdown will cancel all pending
                futures. Futures that are completed or running will not be
                cancelled.
        """
        own_worker = threading.get_ident() in self._tasks.workers
        background = not wait or own_worker
        with self._shutdown_lock:
            first = not self._shutdown
            self._shutdown = True
            if self._tasks.closed is None:  # a broken executor still says so
                self._tasks.closed = _shut
            if cancel_futures and (background or not first) and self._tasks.refusal is None:
                # The pool cancels what its workers take once its own shutdown
                # has begun, which a thread of its own or an earlier call does:
                # until then, a queued task that starts ends with CancelledError.
                self._tasks.refusal = CancelledError
        if first:
            if background:
                self._end_pool_in_background(cancel_futures)
            else:
                self._end_pool(cancel_futures)  # waits here, interruptibly (Ctrl-C)
        if wait:
            if own_worker:
                raise RuntimeError("cannot join current thread")
            self._workers_ended.wait()

    def _end_pool_in_background(self, cancel_futures: bool) -> None:
        # So that a later shutdown(wait=True) waits for the same end, as the
        # standard executor's does: the pool's own shutdown waits only once.
        closer = threading.Thread(target=self._end_pool, args=(cancel_futures,),
                                  name=f"{self._thread_name_prefix}-shutdown")
        try:
            closer.start()
        except RuntimeError:  # no new threads at interpreter exit: wait here
            self._end_pool(cancel_futures)

    def _end_pool(self, cancel_futures: bool) -> None:
        # An interrupted wait (Ctrl-C on the main thread) leaves the workers to
        # end on their own: no later shutdown waits for them then.
        try:
            while True:
                try:
                    self._pool.shutdown(True, cancel_futures)
                    return
                except RuntimeError as busy:
                    if str(busy) != "Already borrowed":
                        raise
                    # A submit that passed its check before shutdown began
                    # still holds the pool, for a moment.
                    time.sleep(0)
        finally:
            self._workers_ended.set()
