#pragma once
// References released by threads that are not attached to the interpreter.
// They are parked here and released by the next thread that attaches.

#include <atomic>

#include "binding/python.hpp"

namespace torvan::binding {

namespace detail {
extern std::atomic<bool> deferred_pending;
void drain_deferred_slow();
}  // namespace detail

// Queues one reference for release (the caller is detached).
void defer_release(PyObject* object) noexcept;

// Whether references wait to be released.
inline bool deferred_releases_pending() noexcept { return detail::deferred_pending.load(std::memory_order_acquire); }

// Releases every queued reference, in the order queued. Called whenever a
// thread attaches; cheap when nothing is queued.
inline void drain_deferred_releases() {
    // Acquire: pairs with defer_release's release store; the list itself is
    // read under its mutex. A stale false only delays the drain to the next attach.
    if (deferred_releases_pending()) {
        detail::drain_deferred_slow();
    }
}

}  // namespace torvan::binding
