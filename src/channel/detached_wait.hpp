#pragma once
// The one way channel calls wait: detached from the interpreter, in an
// interruptible engine wait, so that Ctrl-C reaches a thread blocked in a
// channel as it reaches one blocked in queue.Queue.get. A wait that a signal
// interrupts has claimed nothing; the handlers then run attached and, unless
// one of them raised, the same wait starts again (its deadline, fixed at the
// first attempt, is kept by the caller).

#include <optional>
#include <type_traits>
#include <utility>

#include "binding/py_error.hpp"
#include "binding/thread_state.hpp"

namespace torvan::channel {

// Runs the interpreter's signal handlers (only the main thread has any to
// run); an exception raised by one of them propagates.
inline void run_signal_handlers() {
    if (PyErr_CheckSignals() < 0) {
        binding::raise_current();
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
            binding::DetachedSection detached;
            outcome = attempt();
        }
        if (outcome) {
            return std::move(*outcome);
        }
    }
}

}  // namespace torvan::channel
