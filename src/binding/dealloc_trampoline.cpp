#include "binding/dealloc_trampoline.hpp"

#include <new>
#include <utility>
#include <vector>

namespace torvan::binding {

namespace detail {
constinit thread_local std::uint32_t dealloc_depth __attribute__((tls_model("initial-exec"))) = 0;
constinit thread_local std::uint32_t parked_deallocs __attribute__((tls_model("initial-exec"))) = 0;
}  // namespace detail

namespace {

struct Parked {
    PyObject* object;
    FinishDealloc finish;
};

// Empty whenever no deallocation runs on the thread, so its destruction at
// thread exit never has anything left to finish.
thread_local std::vector<Parked> t_parked;

}  // namespace

bool detail::park_dealloc(PyObject* object, FinishDealloc finish) noexcept {
    try {
        t_parked.push_back({object, finish});
    } catch (const std::bad_alloc&) {
        return false;  // no room to park: recurse after all
    }
    ++parked_deallocs;
    return true;
}

void detail::finish_parked_deallocs() noexcept {
    // Each finished object may park more; the depth stays at one meanwhile,
    // so they nest again only up to the limit.
    while (!t_parked.empty()) {
        Parked next = t_parked.back();
        t_parked.pop_back();
        --parked_deallocs;
        next.finish(next.object);
    }
}

}  // namespace torvan::binding
