// ThreadPool: a fixed set of worker threads fed through an unbounded queue.
// submit() queues a Task and returns its concurrent.futures.Future; shutdown()
// disconnects the queue so the workers drain it and end; a pool destroyed
// without shutdown does the same and waits for its workers.

#include "pool/thread_pool.hpp"

#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "binding/interned.hpp"
#include "binding/methods.hpp"
#include "binding/type_object.hpp"
#include "core/engine/engine.hpp"
#include "core/platform/clock.hpp"
#include "core/platform/park.hpp"
#include "core/platform/system.hpp"
#include "pool/exit_hook.hpp"
#include "pool/fork_hook.hpp"
#include "pool/joining.hpp"
#include "pool/task.hpp"
#include "pool/worker.hpp"

namespace torvan::pool {

namespace {

using binding::Instance;
using binding::Object;
using binding::OwnedRef;

constexpr std::size_t kWorkersWhenUnknown = 4;

struct Names {
    PyObject* contextvars = nullptr;
    PyObject* copy_context = nullptr;
};
Names g_names;

void join_for_destruction(std::vector<Worker> workers) noexcept;

struct PoolState {
    engine::Sender<Task> sender;  // the queue's only sender; empty after shutdown
    std::vector<Worker> workers;  // in start order; emptied by shutdown
    std::shared_ptr<PoolFlags> flags;
    OwnedRef future_class;
    ExitRegistration exit_registration;
    std::uint64_t generation = process_generation();  // of the process that started the workers

    PoolState(engine::Sender<Task> sender_, std::shared_ptr<PoolFlags> flags_) noexcept
        : sender(std::move(sender_)), flags(std::move(flags_)) {}
    PoolState(PoolState&&) noexcept = default;
    PoolState& operator=(PoolState&&) = delete;

    bool workers_lost_in_fork() const noexcept { return generation != process_generation(); }

    // Stops submissions and takes the worker handles out. The workers are
    // counted as draining first, so the exit hook waits for them whoever
    // joins them (those of a pool that refuses work have nothing to run).
    std::vector<Worker> stop() noexcept {
        if (!exit_registration.refuses_work()) {
            for (Worker& worker : workers) {
                worker.mark_draining();
            }
        }
        flags->running.store(false, std::memory_order_seq_cst);
        return std::exchange(workers, {});
    }

    // Dropping the sender disconnects the queue: the workers drain it and end.
    void drop_sender() noexcept {
        if (workers_lost_in_fork()) {
            // A forked child must not touch a queue that threads of the parent
            // may have been using at the fork: it is left as it is.
            new engine::Sender<Task>(std::move(sender));
            return;
        }
        sender.reset();
    }

    // Destruction of a pool never shut down waits for its queued tasks to run.
    ~PoolState() {
        if (!flags) {
            return;  // moved from
        }
        std::vector<Worker> handles = stop();
        if (sender) {
            drop_sender();
        }
        join_for_destruction(std::move(handles));
    }
};

struct ThreadPoolClass : binding::ClassTraits {
    static constexpr const char* kName = "ThreadPool";
    using State = PoolState;
    static constexpr bool kWeakReferences = true;
    static constexpr bool kExclusiveMethods = true;  // shutdown
    // shutdown waits for the submits in progress, and new ones fail meanwhile:
    // otherwise a pool that several threads keep feeding could never be shut down.
    static constexpr bool kDrainingMethods = true;
    static binding::ClassDefinition definition();
    static void created(PyObject* pool);
};
using Self = Instance<ThreadPoolClass>;

// Workers of a finalizing interpreter can no longer attach; one caught inside
// its attach would never end, so nobody waits for them then.
bool can_wait_for_workers() noexcept { return Py_IsFinalizing() == 0; }

void join_for_destruction(std::vector<Worker> workers) noexcept {
    if (workers.empty() || !can_wait_for_workers()) {
        return;
    }
    // Not interruptible: a destructor cannot raise what a signal handler raises.
    std::size_t next = 0;
    while (join_in_order(workers, next, false) == JoinStop::ReachedCurrentThread) {
        ++next;  // the last reference went on one of this pool's own workers: it ends on its own
    }
}

// Joins in start order, answering signals as a blocking call on the main
// thread should. Workers not joined when a signal handler raises are handed
// to a joiner thread, or left to end on their own; when the next is the
// calling thread itself (a task of the pool shutting it down), they go back
// to the pool, so that a later shutdown(wait=True) elsewhere waits for them.
void join_for_shutdown(PoolState& state, std::vector<Worker> workers) {
    if (!can_wait_for_workers()) {
        return;
    }
    std::size_t next = 0;
    for (;;) {
        // Before every wait, the first too: a signal that arrived just before
        // it does not interrupt it.
        if (PyErr_CheckSignals() < 0) {
            binding::PyError raised = binding::PyError::fetch();
            (void)start_joiner(std::vector<Worker>(std::make_move_iterator(workers.begin() + next),
                                                   std::make_move_iterator(workers.end())));
            throw raised;
        }
        switch (join_in_order(workers, next, true)) {
            case JoinStop::AllJoined:
                return;
            case JoinStop::Interrupted:
                break;
            case JoinStop::ReachedCurrentThread: {
                // A task of this pool waits for its own worker: the platform refuses.
                std::optional<std::string> error = workers[next].join();
                for (std::size_t i = next; i < workers.size(); ++i) {
                    state.workers.push_back(std::move(workers[i]));
                }
                fail("failed to join thread: " + error.value_or("the thread cannot join itself"));
            }
        }
    }
}

void shutdown_state(PoolState& state, bool wait, bool cancel_futures) {
    if (!state.flags->running.load(std::memory_order_seq_cst)) {
        // Shut down before: nothing to do, unless that shutdown failed in a
        // task of the pool and gave back the workers it could not join.
        if (wait && !state.workers.empty()) {
            join_for_shutdown(state, std::exchange(state.workers, {}));
        }
        return;
    }
    std::vector<Worker> handles = state.stop();
    if (cancel_futures) {
        // Before the queue is disconnected, so every task still queued is cancelled.
        state.flags->cancel_requested.store(true, std::memory_order_seq_cst);
    }
    state.drop_sender();
    if (handles.empty()) {
        return;
    }
    if (wait) {
        join_for_shutdown(state, std::move(handles));
    } else if (std::optional<std::string> error = start_joiner(std::move(handles))) {
        fail("failed to spawn thread: " + *error);
    }
}

std::size_t worker_count(std::optional<std::int64_t> requested) {
    if (!requested) {
        std::optional<unsigned> online = platform::online_processors();
        return online && *online > 0 ? *online : kWorkersWhenUnknown;
    }
    if (*requested < 1) {
        binding::raise(PyExc_ValueError, "num_workers must be greater than zero");
    }
    return static_cast<std::size_t>(*requested);
}

OwnedRef import_future_class() {
    OwnedRef module = binding::checked(PyImport_ImportModule("concurrent.futures"));
    return binding::checked(PyObject_GetAttrString(module.get(), "Future"));
}

PoolState construct(std::optional<std::int64_t> num_workers) {
    const std::size_t count = worker_count(num_workers);
    auto [sender, receiver] = engine::unbounded<Task>();
    PoolState state(std::move(sender), std::make_shared<PoolFlags>());
    try {
        state.workers.reserve(count);
    } catch (const std::length_error&) {
        throw std::bad_alloc();  // a count too large to hold: MemoryError, before any thread starts
    }
    state.future_class = import_future_class();
    for (std::size_t i = 0; i < count; ++i) {
        std::string error;
        std::optional<Worker> worker = Worker::start(receiver.clone(), state.flags, error);
        if (!worker) {
            // The state's destruction disconnects the queue; the workers started end at once.
            fail("failed to spawn thread: " + error);
        }
        state.workers.push_back(std::move(*worker));
    }
    return state;
}

// contextvars.copy_context(), imported and looked up anew on every call (the
// import finds the module in sys.modules); no context, and no error, when any
// step fails.
OwnedRef copy_context() noexcept {
    PyObject* module = PyImport_ImportModuleLevelObject(g_names.contextvars, nullptr, nullptr, nullptr, 0);
    if (module == nullptr) {
        PyErr_Clear();
        return OwnedRef();
    }
    PyObject* function = PyObject_GetAttr(module, g_names.copy_context);
    Py_DECREF(module);
    if (function == nullptr) {
        PyErr_Clear();
        return OwnedRef();
    }
    PyObject* context = PyObject_CallNoArgs(function);
    Py_DECREF(function);
    if (context == nullptr) {
        PyErr_Clear();
    }
    return OwnedRef::steal(context);
}

// The refusals of a pool that no longer takes work.
void refuse_if_closed(const PoolState& state) {
    if (!state.flags->running.load(std::memory_order_acquire) || !state.sender) {
        binding::raise(PyExc_RuntimeError, "ThreadPool is shutdown");
    }
    if (state.workers_lost_in_fork()) {
        binding::raise(PyExc_RuntimeError, "Failed to submit task to worker threads");
    }
    if (state.exit_registration.refuses_work()) {
        binding::raise(PyExc_RuntimeError, "cannot schedule new tasks after interpreter shutdown");
    }
}

OwnedRef submit(Self& self, Object func, binding::VarArgs args, binding::VarKwargs kwargs) {
    PoolState& state = self.state;
    refuse_if_closed(state);
    OwnedRef context = copy_context();
    OwnedRef future = binding::checked(PyObject_CallNoArgs(state.future_class.get()));
    // The worker releases what the task holds; counted for another thread.
    Task task(OwnedRef::for_another_thread(func.ptr), std::move(args.tuple), std::move(kwargs.dict),
              OwnedRef::for_another_thread(future.get()), std::move(context));
    if (state.sender.send(task) != engine::SendStatus::Sent) {
        // Every worker has ended: the task is dropped here, its future never returned.
        binding::raise(PyExc_RuntimeError, "Failed to submit task to worker threads");
    }
    return future;
}

void shutdown(Self& self, bool wait, bool cancel_futures) { shutdown_state(self.state, wait, cancel_futures); }

using binding::draining;
using binding::method;

binding::ClassDefinition ThreadPoolClass::definition() {
    return {
        .doc = "An OS-level physical thread pool scheduler for heavy parallel computing.\n"
               "Avoids GIL contention and allows true parallel multi-threaded execution.\n"
               "Supports CPython weak references and reclaims its resources automatically when it is destroyed.",
        .constructor = binding::constructor<ThreadPoolClass, &construct, "num_workers=None">(),
        .methods = {
            method<&submit, "submit", "func", "*args", "**kwargs">(
                "Submit a task for parallel execution in the thread pool.\n"
                "Instantiates and returns a standard `concurrent.futures.Future`."),
            method<draining<&shutdown>, "shutdown", "wait=True", "cancel_futures=False">(
                "Shut down the thread pool, dropping the sender and joining all worker threads."),
        },
    };
}

// Each new pool is shut down at exit unless it is gone by then. Its
// destruction waits for its workers, so it happens where the last reference
// goes: a task that lets go of its pool does not leave the pool to be
// destroyed on the creating thread at some later check, perhaps while that
// thread holds a lock the task's siblings need.
void ThreadPoolClass::created(PyObject* pool) {
    binding::count_references_shared(pool);
    Self::from(pool)->state.exit_registration = ExitRegistration::track(pool);
}

void init_names() {
    binding::intern_once(g_names.contextvars, "contextvars");
    binding::intern_once(g_names.copy_context, "copy_context");
    init_worker_names();
}

}  // namespace

bool shutdown_pool_at_exit(PyObject* pool) {
    Self& self = *Self::from(pool);
    if (self.state.exit_registration.refuses_work()) {
        return false;
    }
    // A submit in progress holds the borrow briefly: retry for a while,
    // detached. A shutdown in progress has counted the workers already.
    const platform::Deadline give_up = platform::Deadline::after(platform::Duration::from_millis(1000));
    for (;;) {
        std::optional<binding::ExclusiveBorrowOf<ThreadPoolClass>> borrow;
        try {
            borrow.emplace(self);
        } catch (const binding::PyError&) {
            // conflict: handled below, outside the handler
        }
        if (borrow) {
            shutdown_state(self.state, true, false);
            return true;
        }
        if (!self.state.flags->running.load(std::memory_order_seq_cst) || give_up.has_passed()) {
            return true;
        }
        binding::DetachedSection detached;
        platform::yield_now();
    }
}

PyTypeObject* thread_pool_type() {
    init_names();
    install_exit_hook();
    install_fork_hook();
    return binding::TypeObject<ThreadPoolClass>::for_registration();
}

}  // namespace torvan::pool
