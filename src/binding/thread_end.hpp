#pragma once
// References a thread keeps in thread-local slots until it ends. An ending
// thread is no longer attached, so their release is deferred to the next
// thread that attaches.

#include "binding/python.hpp"

namespace torvan::binding {

// Releases the reference in `slot`, a thread-local of the calling thread, when
// the thread ends. Register each slot once per thread.
void release_at_thread_end(PyObject** slot) noexcept;

}  // namespace torvan::binding
