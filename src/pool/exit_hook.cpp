#include "pool/exit_hook.hpp"

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

#include "binding/boundary.hpp"
#include "binding/owned_ref.hpp"
#include "binding/py_error.hpp"
#include "pool/joining.hpp"
#include "pool/worker.hpp"

namespace torvan::pool {

namespace {

using binding::OwnedRef;

// Weak references to the live pools. No reference is released under the mutex.
std::mutex g_mutex;
std::vector<OwnedRef> g_pools;
bool g_drain_started = false;   // under g_mutex
bool g_drain_finished = false;  // under g_mutex
bool g_installed = false;       // only touched during module registration

std::vector<OwnedRef> take_registered_pools() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return std::exchange(g_pools, {});
}

// Shuts down the live pools of one snapshot; true when one of them took work.
bool shut_down_pools(std::vector<OwnedRef>& pools) {
    bool any_took_work = false;
    for (OwnedRef& weakref : pools) {
        PyObject* pool = nullptr;
        if (PyWeakref_GetRef(weakref.get(), &pool) < 0) {
            binding::raise_current();
        }
        OwnedRef strong = OwnedRef::steal(pool);
        if (strong && shutdown_pool_at_exit(strong.get())) {
            any_took_work = true;
        }
    }
    return any_took_work;
}

// Runs at interpreter exit, before finalization: pools still alive are shut
// down with wait=True, and the workers of pools shut down without waiting (or
// dropped by one of their own tasks) are awaited too. Tasks run meanwhile may
// make pools of their own: the drain repeats until a round finds no pool that
// took work and no worker still draining. From its start, a pool made by any
// other thread refuses work, so that threads nobody waits for cannot keep
// the drain going.
PyObject* shutdown_pools_at_exit(PyObject*, PyObject*) noexcept {
    return binding::at_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            g_drain_started = true;
        }
        struct Finish {
            ~Finish() {
                std::lock_guard<std::mutex> lock(g_mutex);
                g_drain_finished = true;
            }
        } finish;  // also when a signal handler's exception ends the drain
        for (;;) {
            std::vector<OwnedRef> pools = take_registered_pools();
            const bool took_work = shut_down_pools(pools);
            if (!took_work && !workers_draining()) {
                break;
            }
            wait_for_draining_workers_or_signal();
        }
        return Py_NewRef(Py_None);
    });
}

PyMethodDef g_hook_def = {"_shutdown_thread_pools", &shutdown_pools_at_exit, METH_NOARGS,
                          "Shut down every live ThreadPool and wait for its workers."};

}  // namespace

ExitRegistration ExitRegistration::track(PyObject* pool) {
    OwnedRef weakref = binding::checked(PyWeakref_NewRef(pool, nullptr));
    PyObject* key = weakref.get();
    const bool on_worker = on_pool_worker();
    std::lock_guard<std::mutex> lock(g_mutex);
    const bool refuses_work = g_drain_finished || (g_drain_started && !on_worker);
    // On failure the reference is released after the mutex (declared before it).
    g_pools.push_back(std::move(weakref));
    return ExitRegistration(key, refuses_work);
}

ExitRegistration::~ExitRegistration() {
    if (weakref_ == nullptr) {
        return;
    }
    OwnedRef taken;  // released after the mutex
    std::lock_guard<std::mutex> lock(g_mutex);
    auto found = std::find_if(g_pools.begin(), g_pools.end(),
                              [this](const OwnedRef& entry) { return entry.get() == weakref_; });
    if (found != g_pools.end()) {
        taken = std::move(*found);
        *found = std::move(g_pools.back());
        g_pools.pop_back();
    }
}

void install_exit_hook() {
    if (g_installed) {
        return;
    }
    OwnedRef hook = binding::checked(PyCFunction_New(&g_hook_def, nullptr));
    OwnedRef atexit = binding::checked(PyImport_ImportModule("atexit"));
    binding::checked(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
    g_installed = true;
}

}  // namespace torvan::pool
