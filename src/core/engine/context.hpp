#pragma once
// A waiting thread as the engine sees it: a selection word that exactly one
// party can move away from "waiting" (a waker that picks an operation, the
// channel disconnecting, or the thread itself aborting on timeout or signal),
// and a park word to sleep on. Contexts are reference counted because wakers
// unpark them after releasing their own lock.
//
// A context may also stand for a waiter that is not a thread (a coroutine on
// an event loop, see remote_wait.hpp): unparking it then calls the waiter's
// wake() instead of waking a thread.

#include <atomic>
#include <cstdint>

#include "core/platform/clock.hpp"
#include "core/platform/park.hpp"
#include "core/sync/ref_count.hpp"
#include "core/sync/spin_wait.hpp"

namespace torvan::engine::detail {

// Values of the selection word; any other value is the id of the operation
// that was selected (the address of its registration record, so never 0-2).
//
//   kWaiting -> oper           a waker selected operation `oper`
//   kWaiting -> kDisconnected  the channel disconnected under the waiter
//   kWaiting -> kAborted       the waiter itself: deadline, signal, or its
//                              operation turned ready as it registered
//
// Only one of them wins (a compare-and-swap from kWaiting); the owner sets
// kWaiting again before its next wait.
inline constexpr std::uintptr_t kWaiting = 0;
inline constexpr std::uintptr_t kAborted = 1;
inline constexpr std::uintptr_t kDisconnected = 2;

// Why a wait aborted itself.
enum class AbortReason { None, TimedOut, Interrupted };

// The thread id of a context without a thread: no thread has it, so a waker
// never mistakes the waiter for itself.
inline constexpr std::uint64_t kNoThread = 0;

// A waiter that is not a thread. wake() runs where a thread would be
// unparked, on any thread and possibly under an engine lock: it must not
// block, take locks that are held while calling into the engine, or release
// anything that runs foreign code. release() may run there too, so the last
// reference may free only native state.
//
// Remote waiters come in groups that act together or not at all (the
// coroutines of one event loop): a readiness wake goes to the oldest waiter
// of each group besides the oldest thread, since a group may be unable to act
// for a long time (its loop busy, stopped or gone) and must not keep anyone
// else asleep.
class RemoteWaiter {
public:
    explicit RemoteWaiter(const void* group) noexcept : group_(group) {}

    virtual void wake() noexcept = 0;
    // Drops the reference the context held.
    virtual void release() noexcept = 0;

    const void* group() const noexcept { return group_; }

protected:
    ~RemoteWaiter() = default;

private:
    const void* const group_;
};

class Context : public sync::RefCounted<Context> {
public:
    explicit Context(std::uint64_t thread_id) noexcept : thread_id_(thread_id) {}
    // A context for a remote waiter; takes over one reference to it.
    explicit Context(RemoteWaiter* remote) noexcept : remote_(remote), thread_id_(kNoThread) {}

    bool only_owner() const noexcept { return use_count() == 1; }

    std::uint64_t thread_id() const noexcept { return thread_id_; }

    // A waiter that is not a thread, and its group (see RemoteWaiter).
    bool is_remote() const noexcept { return remote_ != nullptr; }
    const void* group() const noexcept { return remote_->group(); }

    // Starts a new wait. Relaxed: wakers reach the context only through its
    // registration, made after this under a channel's lock (or, for a remote
    // waiter, published by a release), which orders this store for them.
    void reset() noexcept { select_.store(kWaiting, std::memory_order_relaxed); }

    // Moves the selection word from waiting to `selection`; false if another
    // party got there first.
    bool try_select(std::uintptr_t selection) noexcept {
        std::uintptr_t expected = kWaiting;
        // Acq_rel: releases what the selecting party wrote (a packet, a slot) to
        // the waiter's acquire in selected(); a losing CAS acquires the winner's.
        return select_.compare_exchange_strong(expected, selection, std::memory_order_acq_rel,
                                               std::memory_order_acquire);
    }
    std::uintptr_t selected() const noexcept { return select_.load(std::memory_order_acquire); }

    // Wakes the owning thread if it sleeps in park (or makes its next park return).
    void unpark() noexcept {
        if (remote_ != nullptr) [[unlikely]] {
            remote_->wake();
            return;
        }
        // Release: pairs with the acquire exchanges in park(). The park word
        // carries no data of its own (the selection word does); the pairing
        // keeps a wake from being taken for an earlier one.
        if (park_.exchange(kNotified, std::memory_order_release) == kParked) {
            platform::wake_one(park_);
        }
    }

    // Watches the selection word for what is left of `spin`'s windows (a
    // waiter that spun before it registered has nothing left), then sleeps
    // until selected or until the deadline. A timeout or (for interruptible
    // waits) a signal aborts the wait with a CAS; if that CAS loses, the wait
    // returns what was selected instead, so a concurrent selection is never
    // lost. `reason` tells why the wait aborted itself.
    std::uintptr_t wait_until(sync::SpinWait& spin, platform::Deadline deadline, bool interruptible,
                              AbortReason& reason) noexcept;

private:
    friend class sync::RefCounted<Context>;
    ~Context() {
        if (remote_ != nullptr) {
            remote_->release();
        }
    }

    std::uintptr_t abort(AbortReason why, AbortReason& reason) noexcept;
    platform::WaitStatus park(platform::Deadline deadline, bool interruptible) noexcept;

    // The park word:
    //   kEmpty -> kNotified     unpark() before the owner sleeps: its next
    //                           park() returns at once, back to kEmpty
    //   kEmpty -> kParked       the owner sleeps on the word
    //   kParked -> kNotified    unpark() wakes it; it sets kEmpty again
    static constexpr std::uint32_t kEmpty = 0;
    static constexpr std::uint32_t kNotified = 1;
    static constexpr std::uint32_t kParked = 2;

    std::atomic<std::uintptr_t> select_{kWaiting};
    std::atomic<std::uint32_t> park_{kEmpty};
    RemoteWaiter* const remote_ = nullptr;
    const std::uint64_t thread_id_;
};

// The calling thread's context for the duration of one wait. The context is
// cached per thread and reused when no waker still holds it.
class ContextScope {
public:
    ContextScope();
    ~ContextScope();
    ContextScope(const ContextScope&) = delete;
    ContextScope& operator=(const ContextScope&) = delete;

    Context& operator*() const noexcept { return *cx_; }
    Context* operator->() const noexcept { return cx_; }

private:
    Context* cx_;
};

// Owns one reference to a context.
using ContextRef = sync::CountedRef<Context>;

}  // namespace torvan::engine::detail
