#pragma once
// Per-thread attach bookkeeping: whether the calling thread may touch Python
// objects, detached sections for blocking native work, and the attach
// operation for threads created by the module.

#include "binding/deferred_release.hpp"
#include "binding/python.hpp"

namespace torvan::binding {

// Whether the calling thread may touch Python objects. The interpreter knows:
// a thread has a current thread state exactly while it is attached (detaching
// clears it, in a detached section as anywhere else, and a thread that ends
// has none left for its last destructors). Asked only where a reference is
// released, so that entering the module costs no bookkeeping of its own.
inline bool is_attached() noexcept { return PyThreadState_GetUnchecked() != nullptr; }

// What every boundary entry does on the way in: the thread has just attached
// as far as the module can tell, so references deferred by detached threads
// are released.
class BoundaryEntry {
public:
    BoundaryEntry() { drain_deferred_releases(); }
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
