"""ThreadPool and torvan.ThreadPoolExecutor beside
concurrent.futures.ThreadPoolExecutor with the same number of workers: trivial
tasks (submit all, then wait for all), pure-Python CPU-bound tasks, and the
latency of one task submitted and awaited at a time. The executor's own case
shows what it adds to the native pool's cost per task (the ThreadPool's ratio
there, below 1.00x) and what it saves against the standard one.

Each measurement gets a fresh pool whose workers have already run a task, so
thread start-up is not timed; the pool of the previous measurement is shut
down when the next one is set up. Beside the trivial tasks, the futures alone
(made, completed and awaited on one thread, no pool) show how much of each
task's cost is the concurrent.futures.Future itself. In the CPU-bound case the ratio shown for
the one-worker ThreadPool is its time over the two-worker one's: the speed-up
that the second worker brings; the same loops on plain threads show how much
of a second processor the machine gave the run."""

from __future__ import annotations

import concurrent.futures
import threading
from itertools import repeat

from benchmarks.harness import case, stdlib, torvan
from torvan import ThreadPool
from torvan import ThreadPoolExecutor as TorvanExecutor

GROUP = "ThreadPool"
CPU_TASK_SPAN = 3_000  # loop iterations of one CPU-bound task (about 0.1 ms)


def trivial():
    return None


def cpu_bound(n=CPU_TASK_SPAN):
    total = 0
    for i in range(n):
        total += i * i
    return total


class Pools:
    """Makes the pool of one measurement and shuts down the previous one."""

    def __init__(self, make):
        self.make = make
        self.current = None

    def __call__(self, threads: int):
        if self.current is not None:
            self.current.shutdown(wait=True)
        self.current = self.make()
        self.current.submit(trivial).result()
        return self.current


def torvan_pool(workers: int):
    return Pools(lambda: ThreadPool(workers))


def executor_pool(workers: int):
    return Pools(lambda: TorvanExecutor(workers))


def stdlib_pool(workers: int):
    return Pools(lambda: concurrent.futures.ThreadPoolExecutor(workers))


def submit_all_then_wait(func):
    def workload(pool, i, ops):
        def body(submit=pool.submit, func=func, ops=ops):
            futures = [submit(func) for _ in repeat(None, ops)]
            for future in futures:
                future.result()

        return body

    return workload


def futures_alone(shared, i, ops):
    """What the futures of the trivial case cost by themselves, with no pool:
    make them all, complete each with set_result, then wait for each."""

    def body(make=concurrent.futures.Future, ops=ops):
        futures = [make() for _ in repeat(None, ops)]
        for future in futures:
            future.set_result(None)
        for future in futures:
            future.result()

    return body


def one_at_a_time(pool, i, ops):
    def body(submit=pool.submit, ops=ops):
        for _ in repeat(None, ops):
            submit(trivial).result()

    return body


@case(GROUP, "100k trivial tasks, 2 workers", threads=(1,), ops=100_000,
      note="submit every task, then wait for every future")
def trivial_two_workers():
    return [
        torvan("ThreadPool(2)", submit_all_then_wait(trivial), setup=torvan_pool(2)),
        stdlib("ThreadPoolExecutor(2)", submit_all_then_wait(trivial), setup=stdlib_pool(2)),
        stdlib("the futures alone, one thread", futures_alone),
    ]


@case(GROUP, "100k trivial tasks, torvan.ThreadPoolExecutor(2)", threads=(1,), ops=100_000,
      note="submit every task, then wait for every future; the ThreadPool below 1.00x costs that much less a task")
def trivial_executor():
    return [
        torvan("torvan.ThreadPoolExecutor(2)", submit_all_then_wait(trivial), setup=executor_pool(2)),
        torvan("ThreadPool(2)", submit_all_then_wait(trivial), setup=torvan_pool(2)),
        stdlib("concurrent.futures.ThreadPoolExecutor(2)", submit_all_then_wait(trivial), setup=stdlib_pool(2)),
    ]


@case(GROUP, "100k trivial tasks, 1 worker", threads=(1,), ops=100_000,
      note="submit every task, then wait for every future")
def trivial_one_worker():
    return [
        torvan("ThreadPool(1)", submit_all_then_wait(trivial), setup=torvan_pool(1)),
        stdlib("ThreadPoolExecutor(1)", submit_all_then_wait(trivial), setup=stdlib_pool(1)),
        stdlib("the futures alone, one thread", futures_alone),
    ]


def plain_threads(count: int):
    """The same loops split over `count` threading.Thread objects: how much
    parallelism the machine gave this run, with no pool at all."""

    def workload(shared, i, ops):
        def body():
            threads = [threading.Thread(target=lambda: [cpu_bound() for _ in repeat(None, ops // count)])
                       for _ in range(count)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()

        return body

    return stdlib(f"{count} plain thread{'s' if count > 1 else ''} (machine's parallelism)", workload)


@case(GROUP, "CPU-bound tasks", threads=(1,), ops=400,
      note=f"pure-Python loops of {CPU_TASK_SPAN} steps; ThreadPool(1)'s ratio is the 2-worker speed-up")
def cpu_bound_tasks():
    return [
        torvan("ThreadPool(2)", submit_all_then_wait(cpu_bound), setup=torvan_pool(2)),
        torvan("ThreadPool(1)", submit_all_then_wait(cpu_bound), setup=torvan_pool(1)),
        stdlib("ThreadPoolExecutor(2)", submit_all_then_wait(cpu_bound), setup=stdlib_pool(2)),
        stdlib("ThreadPoolExecutor(1)", submit_all_then_wait(cpu_bound), setup=stdlib_pool(1)),
        plain_threads(2),
        plain_threads(1),
    ]


@case(GROUP, "submit latency, 2 workers", threads=(1,), ops=10_000,
      note="submit one trivial task and wait for its result, one at a time")
def submit_latency():
    return [
        torvan("ThreadPool(2)", one_at_a_time, setup=torvan_pool(2)),
        torvan("torvan.ThreadPoolExecutor(2)", one_at_a_time, setup=executor_pool(2)),
        stdlib("ThreadPoolExecutor(2)", one_at_a_time, setup=stdlib_pool(2)),
    ]
