#pragma once
// Deallocation that never recurses without bound. Destroying a module object
// releases what its state holds, which may be the last reference to another
// module object (a channel buffering a channel, an operation holding one, a
// map holding a channel that buffers a map): a long chain would recurse once
// per object until the stack runs out. Past a small nesting depth a dying
// object is parked on a per-thread list instead, and the outermost
// deallocation on the thread finishes the parked objects one after another.

#include <cstdint>

#include "binding/python.hpp"

namespace torvan::binding {

// Finishes the deallocation of an object whose reference count reached zero.
using FinishDealloc = void (*)(PyObject*) noexcept;

namespace detail {
// Deallocations of module objects in progress on this thread, and how many
// wait parked. Initial-exec TLS keeps the common path free of calls, and
// constinit any check for an initializer.
extern constinit thread_local std::uint32_t dealloc_depth __attribute__((tls_model("initial-exec")));
extern constinit thread_local std::uint32_t parked_deallocs __attribute__((tls_model("initial-exec")));
// Deep enough that ordinary nesting never parks, shallow enough that the
// frames of this many levels fit a worker's stack in a sanitizer build.
inline constexpr std::uint32_t kDeallocNestingLimit = 16;
bool park_dealloc(PyObject* object, FinishDealloc finish) noexcept;
void finish_parked_deallocs() noexcept;
}  // namespace detail

// Runs finish(object) now, or later in the outermost deallocation of the
// calling thread when this one is nested too deeply.
inline void deallocate_bounded(PyObject* object, FinishDealloc finish) noexcept {
    if (detail::dealloc_depth >= detail::kDeallocNestingLimit && detail::park_dealloc(object, finish)) {
        return;
    }
    ++detail::dealloc_depth;
    finish(object);
    if (detail::dealloc_depth == 1 && detail::parked_deallocs != 0) {
        detail::finish_parked_deallocs();
    }
    --detail::dealloc_depth;
}

}  // namespace torvan::binding
