#include "binding/thread_state.hpp"

#include "binding/deferred_release.hpp"
#include "binding/failure.hpp"

namespace torvan::binding {

namespace detail {
thread_local std::int64_t attach_depth __attribute__((tls_model("initial-exec"))) = 0;
}  // namespace detail

void detail::fail_negative_attach_depth() {
    fail("attach depth is negative: attaching to the interpreter is forbidden on this thread");
}

DetachedSection::DetachedSection() noexcept : saved_depth_(detail::attach_depth) {
    detail::attach_depth = 0;
    saved_state_ = PyEval_SaveThread();
}

DetachedSection::~DetachedSection() {
    PyEval_RestoreThread(saved_state_);
    detail::attach_depth = saved_depth_;
    drain_deferred_releases();
}

NativeThreadAttach::NativeThreadAttach() {
    if (detail::attach_depth > 0) {
        ++detail::attach_depth;
        return;
    }
    if (!Py_IsInitialized() || Py_IsFinalizing()) {
        fail("Cannot attach to the Python interpreter while it is finalizing.");
    }
    gil_state_ = PyGILState_Ensure();
    ensured_ = true;
    ++detail::attach_depth;
    drain_deferred_releases();
}

NativeThreadAttach::~NativeThreadAttach() {
    --detail::attach_depth;
    if (ensured_) {
        PyGILState_Release(gil_state_);
    }
}

}  // namespace torvan::binding
