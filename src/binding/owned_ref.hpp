#pragma once
// An owned (strong) reference to a Python object. Releasing it on an attached
// thread decrements at once; on a detached thread the release is deferred
// until some thread attaches, so reference counts are never touched detached.

#include <utility>

#include "binding/deferred_release.hpp"
#include "binding/python.hpp"
#include "binding/thread_state.hpp"

namespace torvan::binding {

// Releases one reference, deferring it when the calling thread is detached.
inline void release_reference(PyObject* object) noexcept {
    if (object == nullptr) {
        return;
    }
    if (is_attached()) {
        Py_DECREF(object);
    } else {
        defer_release(object);
    }
}

class OwnedRef {
public:
    OwnedRef() noexcept = default;
    OwnedRef(std::nullptr_t) noexcept {}
    // Takes over a new reference (may be null).
    static OwnedRef steal(PyObject* object) noexcept { return OwnedRef(object); }
    // Takes a new reference to a borrowed object.
    static OwnedRef borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return OwnedRef(object);
    }
    // Takes a new reference that another thread is likely to release, such
    // as an item sent through a channel. In the free-threaded build an
    // object's own thread counts its references in a count that only it
    // writes; a release by another thread goes to the shared count, and when
    // that drops below zero the object is queued back to its own thread,
    // under that thread's lock, to be merged there: per item, with the two
    // threads contending for the lock. Counted in the shared count from the
    // start, as an incref by any other thread would be, the release there
    // settles in the shared count.
    static OwnedRef for_another_thread(PyObject* object) noexcept {
#ifdef Py_GIL_DISABLED
        if (object != nullptr && !_Py_IsImmortal(object)) {
            _Py_atomic_add_ssize(&object->ob_ref_shared, Py_ssize_t{1} << _Py_REF_SHARED_SHIFT);
            return OwnedRef(object);
        }
#endif
        return borrow(object);
    }

    OwnedRef(OwnedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    OwnedRef& operator=(OwnedRef&& other) noexcept {
        if (this != &other) {
            reset();
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    ~OwnedRef() { reset(); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Gives up ownership of the reference to the caller.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    // A further owned reference to the same object (the caller is attached).
    OwnedRef clone() const noexcept { return borrow(object_); }
    void reset() noexcept { release_reference(std::exchange(object_, nullptr)); }

private:
    explicit OwnedRef(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace torvan::binding
