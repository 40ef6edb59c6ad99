#include "core/engine/context.hpp"

#include "core/platform/thread.hpp"

namespace torvan::engine::detail {

std::uintptr_t Context::abort(AbortReason why, AbortReason& reason) noexcept {
    if (try_select(kAborted)) {
        reason = why;
        return kAborted;
    }
    return selected();
}

platform::WaitStatus Context::park(platform::Deadline deadline, bool interruptible) noexcept {
    std::uint32_t expected = kEmpty;
    // Acquire (here and in the exchanges below): pairs with unpark()'s release exchange.
    if (!park_.compare_exchange_strong(expected, kParked, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
        // A notification is pending: consume it without sleeping.
        park_.exchange(kEmpty, std::memory_order_acquire);
        return platform::WaitStatus::Woken;
    }
    platform::WaitStatus status = platform::wait_on_word(park_, kParked, deadline, interruptible);
    if (park_.exchange(kEmpty, std::memory_order_acquire) == kNotified) {
        return platform::WaitStatus::Woken;
    }
    return status;
}

std::uintptr_t Context::wait_until(sync::SpinWait& spin, platform::Deadline deadline, bool interruptible,
                                   AbortReason& reason) noexcept {
    reason = AbortReason::None;
    for (;;) {
        std::uintptr_t s = selected();
        if (s != kWaiting) {
            return s;
        }
        if (deadline.has_passed()) {
            return abort(AbortReason::TimedOut, reason);
        }
        if (spin.spin()) {
            continue;
        }
        if (park(deadline, interruptible) == platform::WaitStatus::Interrupted) {
            return abort(AbortReason::Interrupted, reason);
        }
    }
}

namespace {

// One idle context per thread, kept for the next wait.
struct ContextCache {
    Context* idle = nullptr;
    ~ContextCache() {
        if (idle != nullptr) {
            idle->release();
        }
    }
};

thread_local ContextCache t_context_cache;

}  // namespace

ContextScope::ContextScope() {
    Context* cached = t_context_cache.idle;
    if (cached != nullptr && cached->only_owner()) {
        t_context_cache.idle = nullptr;
        cx_ = cached;
    } else {
        // Nested waits, or a waker still holds the cached context for a moment.
        cx_ = new Context(platform::current_thread_id());
    }
    cx_->reset();
}

ContextScope::~ContextScope() {
    if (t_context_cache.idle == nullptr && cx_->only_owner()) {
        t_context_cache.idle = cx_;
    } else {
        cx_->release();
    }
}

}  // namespace torvan::engine::detail
