#include "channel/stop_iteration.hpp"

#include <utility>

#include "binding/py_error.hpp"

namespace torvan::channel {

using binding::OwnedRef;

OwnedRef stop_iteration(OwnedRef value) {
    if (!value || value.get() == Py_None) {
        return binding::checked(PyObject_CallNoArgs(PyExc_StopIteration));
    }
    return binding::checked(PyObject_CallOneArg(PyExc_StopIteration, value.get()));
}

namespace {

// Making a StopIteration and dropping it again took as long as the rest of
// an await whose item is there already (75 of 250 ns). So each thread keeps
// the last one it raised, and raises it again once the await that caught it
// has let go of it. Only then: a StopIteration that someone still holds, or
// that carries anything from its last raise (a traceback, a context, notes,
// attributes), is left alone and a new one is made.
//
// Plain storage, reached without a call; the reaper below lets go of the
// exception when the thread ends (later, on another thread, if this one is
// detached then).
constinit thread_local PyObject* t_kept __attribute__((tls_model("initial-exec"))) = nullptr;

struct KeptReaper {
    bool armed = false;
    ~KeptReaper() { binding::release_reference(std::exchange(t_kept, nullptr)); }
};
thread_local KeptReaper t_reaper;

bool untouched(PyObject* exception) {
    const auto* e = reinterpret_cast<const PyStopIterationObject*>(exception);
    return Py_REFCNT(exception) == 1 && e->dict == nullptr && e->notes == nullptr && e->traceback == nullptr &&
           e->context == nullptr && e->cause == nullptr && e->suppress_context == 0;
}

}  // namespace

void raise_stop_iteration(OwnedRef value) {
    PyObject* const kept = t_kept;
    if (kept == nullptr || !untouched(kept)) {
        OwnedRef made = stop_iteration(std::move(value));
        t_reaper.armed = true;  // the first use registers the thread's reaper
        OwnedRef dropped = OwnedRef::steal(std::exchange(t_kept, Py_NewRef(made.get())));
        PyErr_SetRaisedException(made.release());
        return;
    }
    // Nobody else sees it: its arguments and value are set as a new one's
    // would be. What they held before goes after the raise, so that a
    // finalizer it runs, should it end an await on this thread, finds this
    // one taken and makes its own.
    OwnedRef args = binding::checked(PyTuple_New(1));
    PyTuple_SET_ITEM(args.get(), 0, Py_NewRef(value.get()));
    auto* e = reinterpret_cast<PyStopIterationObject*>(kept);
    OwnedRef old_args = OwnedRef::steal(std::exchange(e->args, args.release()));
    OwnedRef old_value = OwnedRef::steal(std::exchange(e->value, value.release()));
    PyErr_SetRaisedException(Py_NewRef(kept));
}

}  // namespace torvan::channel
