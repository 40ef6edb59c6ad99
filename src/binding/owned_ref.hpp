#pragma once
// An owned (strong) reference to a Python object. Releasing it on an attached
// thread decrements at once; on a detached thread the release is deferred
// until some thread attaches, so reference counts are never touched detached.

#include <cstdint>
#include <utility>

#include "binding/deferred_release.hpp"
#include "binding/python.hpp"
#include "binding/thread_state.hpp"

namespace torvan::binding {

namespace detail {
// Objects that nothing but memory shows the end of: no finalizer, no weak
// references, immutable, and small (an int of a few digits, a float, a short
// str).
inline bool lifetime_unobservable(PyObject* object) noexcept {
    constexpr std::uintptr_t kMaxDigits = 4;
    constexpr Py_ssize_t kMaxLength = 64;
    PyTypeObject* type = Py_TYPE(object);
    return type == &PyFloat_Type ||
           (type == &PyLong_Type && reinterpret_cast<PyLongObject*>(object)->long_value.lv_tag <
                                        ((kMaxDigits + 1) << _PyLong_NON_SIZE_BITS)) ||
           (type == &PyUnicode_Type && PyUnicode_GET_LENGTH(object) <= kMaxLength);
}
}  // namespace detail

namespace detail {
inline void release_held_reference(PyObject* object) noexcept {
    if (is_attached()) {
        Py_DECREF(object);
    } else {
        defer_release(object);
    }
}
}  // namespace detail

// Releases one reference, deferring it when the calling thread is detached.
// The null test stays in the caller: most releases on a fast path are of a
// reference already moved on, and calling out to find that cost a call each.
[[gnu::always_inline]] inline void release_reference(PyObject* object) noexcept {
    if (object != nullptr) {
        detail::release_held_reference(object);
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
    // Takes a reference for a slot that keeps what a receive leaves of its
    // item (an unbounded channel's; see take_from_slot). The allocator frees
    // an object without synchronising only on the thread that made it; freed
    // by a receiving thread, every object costs both threads a cache line
    // passed back and forth. So a small int, float or str this thread made is
    // counted in this thread's own count, the receiver leaves that reference
    // in the slot, and the sender that reuses the slot, as a rule this
    // thread, releases it, long after the receiver has dropped its own.
    // Anything else is taken as for_another_thread.
    static OwnedRef for_a_returning_slot(PyObject* object) noexcept {
#ifdef Py_GIL_DISABLED
        if (object != nullptr && detail::lifetime_unobservable(object) && _Py_IsOwnedByCurrentThread(object) &&
            !_Py_IsImmortal(object)) {
            Py_INCREF(object);
            return OwnedRef(object);
        }
#endif
        return for_another_thread(object);
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

// What a receive takes out of a slot that keeps what it leaves (found by
// the channel engine through argument-dependent lookup). An object taken with
// for_a_returning_slot, still owned by another thread, stays in the slot with
// the channel's reference, and the receiver gets a reference of its own in
// the shared count, as any other thread's would be. Anything else is moved
// out; so is everything on a detached thread, which may not touch a count.
inline OwnedRef take_from_slot(OwnedRef& item) noexcept {
#ifdef Py_GIL_DISABLED
    PyObject* object = item.get();
    if (object != nullptr && detail::lifetime_unobservable(object) && !_Py_IsOwnedByCurrentThread(object) &&
        _Py_atomic_load_uintptr_relaxed(&object->ob_tid) != 0 && !_Py_IsImmortal(object) && is_attached()) {
        return OwnedRef::for_another_thread(object);
    }
#endif
    return std::move(item);
}

// Makes every release of a new object's references count in its shared
// field, so that the object is destroyed on the thread whose release drops
// the last one. An object's own thread otherwise counts its references apart;
// a release by another thread that takes the shared count below zero queues
// the object back to its own thread, which destroys it at its next check,
// wherever that thread is (perhaps holding a lock): no place for a
// destructor that waits. Only for an object no other thread has seen yet.
inline void count_references_shared(PyObject* fresh) noexcept {
#ifdef Py_GIL_DISABLED
    if (!_Py_IsImmortal(fresh) && _Py_IsOwnedByCurrentThread(fresh)) {
        const Py_ssize_t count = Py_REFCNT(fresh);
        // The merged state, as the interpreter leaves an object it merges;
        // plain stores, since no other thread can see the object yet.
        fresh->ob_tid = _Py_UNOWNED_TID;
        fresh->ob_ref_local = 0;
        fresh->ob_ref_shared = _Py_REF_SHARED(count, _Py_REF_MERGED);
    }
#else
    (void)fresh;
#endif
}

// Whether take_from_slot left the slot a reference to release later.
inline bool left_in_slot(const OwnedRef& item) noexcept { return static_cast<bool>(item); }

}  // namespace torvan::binding
