#pragma once
// The boundary wrapper: every entry from the interpreter runs its body here.
// It keeps the attach bookkeeping, hands Python errors to the interpreter and
// turns native failures into PanicException, so that no C++ exception ever
// crosses into CPython.

#include <exception>
#include <new>

#include "core/failure.hpp"
#include "binding/py_error.hpp"
#include "binding/thread_state.hpp"

namespace torvan::binding {

namespace detail {

// Sets the interpreter's error for the exception being handled. Never throws.
inline void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (PyError& error) {
        std::move(error).restore();
    } catch (const NativeFailure& failure) {
        set_panic(failure.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        set_panic(error.what());
    } catch (...) {
        set_panic("native code failed without a message");
    }
}

}  // namespace detail

// Runs `body` for an entry point whose error value is `error_value` (NULL or -1).
template <class R, class Body>
R at_boundary(R error_value, Body&& body) noexcept {
    try {
        BoundaryEntry entry;
        return body();
    } catch (...) {
        detail::set_error_from_current_exception();
        return error_value;
    }
}

// The same for an entry that has just found no deferred release pending: the
// drain, whose call would make the entry keep registers for after it, is
// left out of the fast path.
template <class R, class Body>
R at_boundary_drained(R error_value, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        detail::set_error_from_current_exception();
        return error_value;
    }
}

// Reports the error that `set_error` sets through sys.unraisablehook. A
// deallocator may run while an exception propagates (a frame unwinding drops
// its locals): that exception is kept aside and restored, not replaced.
template <class SetError>
void report_unraisable(SetError&& set_error) noexcept {
    PyObject* in_flight = PyErr_GetRaisedException();
    set_error();
    PyErr_WriteUnraisable(nullptr);
    PyErr_SetRaisedException(in_flight);
}

// Deallocators report failures as unraisable instead of raising them.
template <class Body>
void at_dealloc_boundary(Body&& body) noexcept {
    try {
        BoundaryEntry entry;
        body();
    } catch (...) {
        report_unraisable([] { detail::set_error_from_current_exception(); });
    }
}

}  // namespace torvan::binding
