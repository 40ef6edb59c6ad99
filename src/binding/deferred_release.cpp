#include "binding/deferred_release.hpp"

#include <mutex>
#include <vector>

namespace torvan::binding {

namespace detail {
std::atomic<bool> deferred_pending{false};
}  // namespace detail

namespace {

std::mutex g_mutex;
std::vector<PyObject*> g_pending;

}  // namespace

void defer_release(PyObject* object) noexcept {
    std::lock_guard<std::mutex> lock(g_mutex);
    try {
        g_pending.push_back(object);
    } catch (...) {
        return;  // out of memory: leaking one reference is the only safe choice here
    }
    detail::deferred_pending.store(true, std::memory_order_release);
}

void detail::drain_deferred_slow() {
    std::vector<PyObject*> batch;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        batch.swap(g_pending);
        deferred_pending.store(false, std::memory_order_release);
    }
    // Released outside the mutex: a finalizer may itself defer or drain.
    for (PyObject* object : batch) {
        Py_DECREF(object);
    }
}

}  // namespace torvan::binding
