#include "pool/worker.hpp"

#include <cstdio>
#include <exception>
#include <functional>
#include <memory>
#include <new>

#include "core/failure.hpp"
#include "binding/interned.hpp"
#include "binding/py_error.hpp"
#include "binding/thread_state.hpp"
#include "core/platform/park.hpp"

namespace torvan::pool {

namespace {

using detail::WorkerEnd;

// Workers whose queue is disconnected and that have not ended yet. A worker's
// acq_rel decrement pairs with the acquire loads of those who wait for the
// count to reach zero, so they see everything the worker did before it left.
std::atomic<std::uint32_t> g_draining{0};

// Forks this process descends through; each child bumps it (one thread runs
// in a fresh child; acquire loads pair with that bump's release half).
std::atomic<std::uint64_t> g_generation{0};

thread_local bool t_on_pool_worker = false;

// An interruptible wait sleeps in slices and reports each end of one as an
// interruption: a signal whose handler ran on another thread, or just before
// the sleep began, wakes nothing, and is found by the caller's check after
// the slice at the latest.
constexpr std::uint64_t kSignalCheckMillis = 50;

bool wait_for_change(const std::atomic<std::uint32_t>& word, std::uint32_t expected, bool interruptible) noexcept {
    if (!interruptible) {
        platform::wait_on_word(word, expected);
        return true;
    }
    const platform::Deadline slice_end =
        platform::Deadline::after(platform::Duration::from_millis(kSignalCheckMillis));
    return platform::wait_on_word(word, expected, slice_end, true) == platform::WaitStatus::Woken;
}

void leave_draining() noexcept {
    if (g_draining.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        platform::wake_all(g_draining);
    }
}

struct Names {
    PyObject* run = nullptr;
    PyObject* set_result = nullptr;
    PyObject* set_exception = nullptr;
    PyObject* cancel = nullptr;
    PyObject* set_running_or_notify_cancel = nullptr;
};
Names g_names;

// Nothing above a worker thread can catch its failure: it is reported here.
void report_failure(const char* message) noexcept {
    std::fprintf(stderr, "torvan ThreadPool worker stopped: %s\n", message);
    std::fflush(stderr);
}

// What a worker thread starts with.
struct Launch {
    engine::Receiver<Task> tasks;
    std::shared_ptr<const PoolFlags> flags;
    std::shared_ptr<WorkerEnd> end;
};

// Calls func(*args, **kwargs), inside the task's context when it has one.
// Returns a new reference, or null with the error set.
PyObject* call_task(const Task& task) noexcept {
    PyObject* func = task.func.get();
    PyObject* args = task.args.get();
    PyObject* kwargs = task.kwargs.get();
    if (!task.context) {
        return PyObject_Call(func, args, kwargs);
    }
    // context.run(func, *args, **kwargs), without building a bound method or
    // a tuple for the arguments.
    const Py_ssize_t count = PyTuple_GET_SIZE(args);
    const auto slots = static_cast<std::size_t>(count) + 2;
    PyObject* small[8];
    std::unique_ptr<PyObject*[]> large;
    PyObject** stack = small;
    if (slots > std::size(small)) {
        large.reset(new (std::nothrow) PyObject*[slots]);
        if (!large) {
            return PyErr_NoMemory();
        }
        stack = large.get();
    }
    stack[0] = task.context.get();
    stack[1] = func;
    for (Py_ssize_t i = 0; i < count; ++i) {
        stack[2 + i] = PyTuple_GET_ITEM(args, i);
    }
    if (kwargs == nullptr) {
        return PyObject_VectorcallMethod(g_names.run, stack, slots, nullptr);
    }
    PyObject* run = PyObject_GetAttr(task.context.get(), g_names.run);
    if (run == nullptr) {
        return nullptr;
    }
    PyObject* result = PyObject_VectorcallDict(run, stack + 1, slots - 1, kwargs);
    Py_DECREF(run);
    return result;
}

// Drops the outcome of completing or cancelling a future; a failure (such as
// completing a future its submitter cancelled) is discarded unseen.
void discard_outcome(PyObject* outcome) noexcept {
    if (outcome == nullptr) {
        PyErr_Clear();
    } else {
        Py_DECREF(outcome);
    }
}

void complete_future(const Task& task, PyObject* result) noexcept {
    PyObject* future = task.future.get();
    if (result != nullptr) {
        discard_outcome(PyObject_CallMethodOneArg(future, g_names.set_result, result));
        Py_DECREF(result);
        return;
    }
    PyObject* exception = PyErr_GetRaisedException();
    if (exception == nullptr) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        exception = PyErr_GetRaisedException();
    }
    discard_outcome(PyObject_CallMethodOneArg(future, g_names.set_exception, exception));
    Py_XDECREF(exception);
}

// Marks the future running, as the standard executors do, so that its
// submitter can no longer cancel it; false when it was cancelled (the
// cancellation is then notified, so that waiters on it return) or refuses
// to run (one completed by someone else raises: its task is skipped).
bool start_future(const Task& task) noexcept {
    PyObject* outcome = PyObject_CallMethodNoArgs(task.future.get(), g_names.set_running_or_notify_cancel);
    if (outcome == nullptr) {
        PyErr_Clear();
        return false;
    }
    const bool run = outcome == Py_True;
    Py_DECREF(outcome);
    return run;
}

// Cancels the future of a task that shutdown(cancel_futures=True) keeps from
// running, and notifies the cancellation, so that waiters on it return.
void cancel_future(const Task& task) noexcept {
    PyObject* cancelled = PyObject_CallMethodNoArgs(task.future.get(), g_names.cancel);
    if (cancelled == Py_True) {
        discard_outcome(PyObject_CallMethodNoArgs(task.future.get(), g_names.set_running_or_notify_cancel));
    }
    discard_outcome(cancelled);
}

// Runs (or cancels) one task; the caller is attached. The task is dropped
// here, while still attached: its references are released on the worker
// rather than queued for whichever thread attaches next (often the
// submitter, the busiest thread of all).
void run_one(std::optional<Task>& task, const PoolFlags& flags) noexcept {
    if (flags.cancel_requested.load(std::memory_order_seq_cst)) {
        cancel_future(*task);
    } else if (start_future(*task)) {
        complete_future(*task, call_task(*task));
    }
    task.reset();
}

// Runs the task in hand and then, in the same attachment, every task that
// is already queued: attaching once per task would cost more than a trivial
// task itself. The worker detaches (which clears what the last task left)
// before it waits for more. Returns false, leaving the task in place, when
// the worker could not attach and must end; returns true with a task still
// in hand when that task needs a new attachment.
bool run_attached(std::optional<Task>& task, engine::Receiver<Task>& tasks, const PoolFlags& flags,
                  binding::ReusedThreadState& thread_state) noexcept {
    try {
        binding::ReusedThreadAttach attach(thread_state);
        for (;;) {
            run_one(task, flags);
            // Each task finds the thread as a fresh one: what the last one left
            // is cleared before the next runs, or, when only a new thread state
            // will do, the attachment ends and the next task gets one.
            if (tasks.try_recv(task) != engine::RecvStatus::Received || !thread_state.clear_for_next()) {
                return true;
            }
        }
    } catch (const std::exception& failure) {
        report_failure(failure.what());
        return false;
    }
}

void worker_main(Launch& launch) noexcept {
    t_on_pool_worker = true;
    bool failed = false;
    {
        // Destroyed last: deleting the thread state is the last use of the interpreter.
        binding::ReusedThreadState thread_state;
        engine::Receiver<Task> tasks = std::move(launch.tasks);
        std::shared_ptr<const PoolFlags> flags = std::move(launch.flags);
        try {
            std::optional<Task> task;
            while (task.has_value() || tasks.recv(task) == engine::RecvStatus::Received) {
                if (!run_attached(task, tasks, *flags, thread_state)) {
                    // The task in hand is discarded, its future left pending; detached
                    // here, its references are released at the next attach anywhere.
                    failed = true;
                    break;
                }
            }
        } catch (const std::exception& failure) {
            report_failure(failure.what());
            failed = true;
        }
    }
    // The last act: whoever waits may join the thread from here on.
    WorkerEnd& end = *launch.end;
    end.failed.store(failed, std::memory_order_relaxed);
    if (end.state.exchange(WorkerEnd::kEnded, std::memory_order_acq_rel) == WorkerEnd::kRunningDraining) {
        leave_draining();
    }
    platform::wake_all(end.state);
}

}  // namespace

std::optional<Worker> Worker::start(engine::Receiver<Task> tasks, std::shared_ptr<const PoolFlags> flags,
                                    std::string& error) {
    auto end = std::make_shared<WorkerEnd>();
    // std::function needs a copyable body; the handles travel in a shared record.
    auto launch = std::make_shared<Launch>(Launch{std::move(tasks), std::move(flags), end});
    auto thread = platform::NativeThread::spawn([launch] { worker_main(*launch); }, kPoolThreadStackSize, error);
    if (!thread) {
        return std::nullopt;
    }
    return Worker(std::move(*thread), std::move(end), process_generation());
}

Worker::~Worker() {
    if (lost_in_fork()) {
        thread_.abandon();
    }
}

bool Worker::lost_in_fork() const noexcept { return generation_ != process_generation(); }

std::optional<std::string> Worker::join() noexcept {
    if (lost_in_fork()) {
        thread_.abandon();
        return std::nullopt;
    }
    return thread_.join();
}

void Worker::mark_draining() noexcept {
    if (lost_in_fork()) {
        return;  // nothing to wait for
    }
    // Counted first, so the count never misses a worker that is still running.
    g_draining.fetch_add(1, std::memory_order_acq_rel);
    std::uint32_t expected = WorkerEnd::kRunning;
    if (!end_->state.compare_exchange_strong(expected, WorkerEnd::kRunningDraining, std::memory_order_acq_rel)) {
        leave_draining();  // ended already, or counted before
    }
}

bool Worker::wait_until_ended(bool interruptible) const noexcept {
    if (lost_in_fork()) {
        return true;
    }
    for (;;) {
        std::uint32_t state = end_->state.load(std::memory_order_acquire);
        if (state == WorkerEnd::kEnded) {
            return true;
        }
        if (!wait_for_change(end_->state, state, interruptible)) {
            return false;
        }
    }
}

bool wait_for_draining_workers(bool interruptible) noexcept {
    for (;;) {
        std::uint32_t count = g_draining.load(std::memory_order_acquire);
        if (count == 0) {
            return true;
        }
        if (!wait_for_change(g_draining, count, interruptible)) {
            return false;
        }
    }
}

bool workers_draining() noexcept { return g_draining.load(std::memory_order_acquire) != 0; }

bool on_pool_worker() noexcept { return t_on_pool_worker; }

std::uint64_t process_generation() noexcept { return g_generation.load(std::memory_order_acquire); }

void forget_workers_after_fork() noexcept {
    g_draining.store(0, std::memory_order_release);
    g_generation.fetch_add(1, std::memory_order_acq_rel);
}

void init_worker_names() {
    binding::intern_once(g_names.run, "run");
    binding::intern_once(g_names.set_result, "set_result");
    binding::intern_once(g_names.set_exception, "set_exception");
    binding::intern_once(g_names.cancel, "cancel");
    binding::intern_once(g_names.set_running_or_notify_cancel, "set_running_or_notify_cancel");
}

}  // namespace torvan::pool
