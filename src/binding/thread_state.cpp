#include "binding/thread_state.hpp"

#include <utility>

#include "binding/deferred_release.hpp"
#include "core/failure.hpp"
#include "binding/owned_ref.hpp"

namespace torvan::binding {

DetachedSection::DetachedSection() noexcept : saved_state_(PyEval_SaveThread()) {}

DetachedSection::~DetachedSection() {
    PyEval_RestoreThread(saved_state_);
    drain_deferred_releases();
}

namespace {

[[noreturn]] void fail_finalizing() { fail("Cannot attach to the Python interpreter while it is finalizing."); }

bool interpreter_is_finalizing() noexcept { return !Py_IsInitialized() || Py_IsFinalizing(); }

// Per-thread settings too rare to be worth clearing by hand: a thread state
// that carries one is replaced by a new one.
bool carries_rare_settings(const PyThreadState* state) noexcept {
    return state->c_profilefunc != nullptr || state->c_tracefunc != nullptr ||
           state->async_gen_firstiter != nullptr || state->async_gen_finalizer != nullptr ||
           state->async_exc != nullptr || state->coroutine_origin_tracking_depth != 0;
}

// asyncio keeps the running event loop (and the task it runs) in the thread
// state, where clearing by hand cannot reach. asyncio.run() and run_until_complete
// reset it on the way out; a thread state left with one set is deleted. When
// asyncio was never imported there is nothing to look at; a failing look
// counts as set.
bool holds_running_asyncio_loop() noexcept {
    PyObject* pending = PyErr_GetRaisedException();  // none expected; kept intact all the same
    bool running = false;
    PyObject* module = nullptr;
    int found = PyDict_GetItemStringRef(PyImport_GetModuleDict(), "_asyncio", &module);
    if (found < 0) {
        running = true;
    } else if (found > 0) {
        OwnedRef asyncio = OwnedRef::steal(module);
        OwnedRef loop = OwnedRef::steal(PyObject_CallMethod(asyncio.get(), "_get_running_loop", nullptr));
        running = !loop || loop.get() != Py_None;
    }
    PyErr_Clear();
    PyErr_SetRaisedException(pending);
    return running;
}

// What deleting the thread state would release, released the same way (the
// statements of PyThreadState_Clear), so the next piece of work finds none of it.
void clear_per_thread_objects(PyThreadState* state) noexcept {
    Py_CLEAR(state->threading_local_key);
    Py_CLEAR(state->threading_local_sentinel);
    Py_CLEAR(state->dict);
    if (state->context != nullptr) {
        Py_CLEAR(state->context);
        // Context variables cache their value per thread state and context
        // version; a new version keeps them from answering from the old context.
        ++state->context_ver;
    }
}

}  // namespace

ReusedThreadState::~ReusedThreadState() {
    if (kept_ == nullptr || interpreter_is_finalizing()) {
        return;
    }
    PyEval_RestoreThread(std::exchange(kept_, nullptr));
    PyGILState_Release(gil_state_);
}

void ReusedThreadState::attach() {
    if (is_attached()) {
        fail("a reused thread state is attached only from a detached thread");
    }
    if (interpreter_is_finalizing()) {
        fail_finalizing();
    }
    if (kept_ != nullptr) {
        PyEval_RestoreThread(std::exchange(kept_, nullptr));
    } else {
        gil_state_ = PyGILState_Ensure();
    }
    drain_deferred_releases();
}

void ReusedThreadState::detach() noexcept {
    // Clearing may run finalizers: the thread still counts as attached meanwhile.
    if (clear_for_next()) {
        kept_ = PyEval_SaveThread();
    } else {
        PyGILState_Release(gil_state_);  // deletes the thread state
    }
}

bool ReusedThreadState::clear_for_next() noexcept {
    PyThreadState* state = PyThreadState_Get();
    if (carries_rare_settings(state) || holds_running_asyncio_loop()) {
        return false;
    }
    clear_per_thread_objects(state);
    return true;
}

NativeThreadAttach::NativeThreadAttach() {
    if (is_attached()) {
        return;
    }
    if (interpreter_is_finalizing()) {
        fail_finalizing();
    }
    gil_state_ = PyGILState_Ensure();
    ensured_ = true;
    drain_deferred_releases();
}

NativeThreadAttach::~NativeThreadAttach() {
    if (ensured_) {
        PyGILState_Release(gil_state_);
    }
}

}  // namespace torvan::binding
