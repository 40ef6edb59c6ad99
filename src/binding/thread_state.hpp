#pragma once
// Per-thread attach bookkeeping: whether the calling thread may touch Python
// objects, detached sections for blocking native work, and the attach
// operation for threads created by the module.

#include <cstdint>

#include "binding/deferred_release.hpp"
#include "binding/python.hpp"

namespace torvan::binding {

namespace detail {
// Nested boundary entries (or explicit attaches) the thread is inside; above
// zero means attached. Initial-exec TLS keeps the hot path free of calls;
// constinit tells every file that includes this that no initializer needs
// to run first, so no access checks for one (a load and a branch each).
extern constinit thread_local std::int64_t attach_depth __attribute__((tls_model("initial-exec")));
[[noreturn]] void fail_negative_attach_depth();
}  // namespace detail

inline bool is_attached() noexcept { return detail::attach_depth > 0; }

// Raises the attach depth for the duration of a boundary entry. A negative
// depth (attaching forbidden) is a native failure.
class BoundaryEntry {
public:
    BoundaryEntry() {
        if (detail::attach_depth < 0) [[unlikely]] {
            detail::fail_negative_attach_depth();
        }
        ++detail::attach_depth;
        drain_deferred_releases();
    }
    ~BoundaryEntry() { --detail::attach_depth; }
    BoundaryEntry(const BoundaryEntry&) = delete;
    BoundaryEntry& operator=(const BoundaryEntry&) = delete;
};

// Runs the enclosed native work detached from the interpreter. Nothing Python
// may be touched inside; references released inside are deferred. Leaving the
// section (normally or by unwinding) re-attaches and drains deferred releases.
class DetachedSection {
public:
    DetachedSection() noexcept;
    ~DetachedSection();
    DetachedSection(const DetachedSection&) = delete;
    DetachedSection& operator=(const DetachedSection&) = delete;

private:
    std::int64_t saved_depth_;
    PyThreadState* saved_state_;
};

// The attach operation for threads the module created (pool workers): gives
// the thread an interpreter thread state for the lifetime of this object.
// Fails with a native failure if the interpreter is finalizing.
class NativeThreadAttach {
public:
    NativeThreadAttach();
    ~NativeThreadAttach();
    NativeThreadAttach(const NativeThreadAttach&) = delete;
    NativeThreadAttach& operator=(const NativeThreadAttach&) = delete;

private:
    bool ensured_ = false;
    PyGILState_STATE gil_state_{};
};

// The attach operation for a module thread that runs many short pieces of
// Python work one after another (pool workers), each of which must find the
// thread as fresh as a new interpreter thread state would. Making and deleting
// a thread state per piece costs the free-threaded interpreter about a hundred
// microseconds (each thread state owns allocator heaps that are abandoned when
// it is deleted), so one thread state is kept between attaches: on detaching,
// the per-thread Python state a new thread state would not have is cleared as
// deleting the thread state would clear it (threading.local storage, the
// thread-state dict, the context), and a thread state carrying anything rarer
// (trace or profile functions, async-generator hooks, a pending asynchronous
// exception, coroutine origin tracking, a running asyncio loop) is deleted, so
// the next attach makes a new one.
class ReusedThreadState {
public:
    ReusedThreadState() noexcept = default;
    // Deletes a kept thread state, attaching for it, unless the interpreter
    // is finalizing (finalization deletes it then).
    ~ReusedThreadState();
    ReusedThreadState(const ReusedThreadState&) = delete;
    ReusedThreadState& operator=(const ReusedThreadState&) = delete;

    // Attaches the calling thread, which must be detached. Fails with a
    // native failure if the interpreter is finalizing.
    void attach();
    // Detaches again, keeping the thread state or deleting it (see above).
    void detach() noexcept;
    // Between two pieces of work in one attachment: clears what the first
    // left as detaching would, or returns false, changing nothing, when only
    // a new thread state will do (detach then deletes this one).
    [[nodiscard]] bool clear_for_next() noexcept;

private:
    PyThreadState* kept_ = nullptr;  // the detached thread state between attaches
    PyGILState_STATE gil_state_{};
};

// Attached for the lifetime of the object.
class ReusedThreadAttach {
public:
    explicit ReusedThreadAttach(ReusedThreadState& state) : state_(state) { state_.attach(); }
    ~ReusedThreadAttach() { state_.detach(); }
    ReusedThreadAttach(const ReusedThreadAttach&) = delete;
    ReusedThreadAttach& operator=(const ReusedThreadAttach&) = delete;

private:
    ReusedThreadState& state_;
};

}  // namespace torvan::binding
