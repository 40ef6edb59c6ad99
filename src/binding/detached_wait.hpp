#pragma once
// The one way blocking calls wait (channel waits, RwLock acquisitions, a pool
// shutdown waiting for submissions in progress): detached from the
// interpreter, in an interruptible native wait, so that Ctrl-C reaches a
// thread blocked in them as it reaches one blocked in queue.Queue.get. A wait
// that a signal interrupts has taken nothing; the handlers then run attached
// and, unless one of them raised, the same wait starts again (a deadline,
// fixed at the first attempt, is kept by the caller).

#include <optional>
#include <type_traits>
#include <utility>

#include "binding/py_error.hpp"
#include "binding/thread_state.hpp"

namespace torvan::binding {

// Runs the interpreter's signal handlers (only the main thread has any to
// run); an exception raised by one of them propagates.
inline void run_signal_handlers() {
    if (PyErr_CheckSignals() < 0) {
        raise_current();
    }
}

// `attempt` runs detached and returns the outcome, or nothing when a signal
// interrupted it. Handlers also run once before the first attempt, so that a
// signal that arrived just before the wait is not left pending behind it.
template <class Attempt>
auto wait_detached(Attempt&& attempt) -> typename std::invoke_result_t<Attempt&>::value_type {
    for (;;) {
        run_signal_handlers();
        std::invoke_result_t<Attempt&> outcome;
        {
            DetachedSection detached;
            outcome = attempt();
        }
        if (outcome) {
            return std::move(*outcome);
        }
    }
}

}  // namespace torvan::binding
