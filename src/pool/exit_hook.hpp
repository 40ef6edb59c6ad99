#pragma once
// Shutting down the pools still alive when the interpreter exits, before its
// finalization starts, so that queued tasks still run (workers cannot attach
// to a finalizing interpreter).

#include <utility>

#include "binding/python.hpp"

namespace torvan::pool {

// A live pool's entry in the exit hook's list (a weak reference, so the hook
// never keeps a pool alive). Dropping it removes the entry.
class ExitRegistration {
public:
    ExitRegistration() noexcept = default;
    ExitRegistration(ExitRegistration&& other) noexcept
        : weakref_(std::exchange(other.weakref_, nullptr)), refuses_work_(other.refuses_work_) {}
    ExitRegistration& operator=(ExitRegistration&& other) noexcept {
        std::swap(weakref_, other.weakref_);
        std::swap(refuses_work_, other.refuses_work_);
        return *this;
    }
    ExitRegistration(const ExitRegistration&) = delete;
    ExitRegistration& operator=(const ExitRegistration&) = delete;
    ~ExitRegistration();

    // Enters the pool into the list; raises a PyError on failure.
    static ExitRegistration track(PyObject* pool);

    // True for a pool that nothing would wait for: made once the exit drain
    // had begun, other than by a task it drains (or made after it ended).
    // Such a pool refuses every task rather than accept one and drop it.
    bool refuses_work() const noexcept { return refuses_work_; }

private:
    ExitRegistration(PyObject* weakref, bool refuses_work) noexcept
        : weakref_(weakref), refuses_work_(refuses_work) {}
    PyObject* weakref_ = nullptr;  // identifies the entry; the list owns the reference
    bool refuses_work_ = false;
};

// Registers the exit hook with the interpreter's exit callbacks, once per
// process. Raises a PyError on failure.
void install_exit_hook();

// Shuts one live pool down at exit, waiting for its workers (defined with the
// class). False for a pool that refuses work, which is left alone.
bool shutdown_pool_at_exit(PyObject* pool);

}  // namespace torvan::pool
