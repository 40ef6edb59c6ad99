#include "binding/deferred_release.hpp"

#include <mutex>
#include <vector>

namespace torvan::binding {

namespace detail {
std::atomic<bool> deferred_pending{false};
}  // namespace detail

namespace {

// Never destroyed: native threads and objects destroyed late in process exit
// may still defer releases after static destructors have begun to run.
struct PendingList {
    std::mutex mutex;
    std::vector<PyObject*> objects;
};

PendingList& pending() noexcept {
    static PendingList* list = new PendingList();
    return *list;
}

}  // namespace

void defer_release(PyObject* object) noexcept {
    PendingList& list = pending();
    std::lock_guard<std::mutex> lock(list.mutex);
    try {
        list.objects.push_back(object);
    } catch (...) {
        return;  // out of memory: leaking one reference is the only safe choice here
    }
    detail::deferred_pending.store(true, std::memory_order_release);  // see drain_deferred_releases()
}

void detail::drain_deferred_slow() {
    std::vector<PyObject*> batch;
    {
        PendingList& list = pending();
        std::lock_guard<std::mutex> lock(list.mutex);
        batch.swap(list.objects);
        // Under the mutex, as every store of the flag: a push after the swap sets it again.
        deferred_pending.store(false, std::memory_order_release);
    }
    // Released outside the mutex: a finalizer may itself defer or drain.
    for (PyObject* object : batch) {
        Py_DECREF(object);
    }
}

}  // namespace torvan::binding
