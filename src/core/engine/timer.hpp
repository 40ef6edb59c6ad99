#pragma once
// Timer receivers deliver their deadline once, after it has passed; clones
// share the delivery. Never-ready receivers have no state at all. Neither has
// senders, so neither is ever disconnected.

#include <atomic>
#include <cstdint>
#include <type_traits>

#include "core/engine/context.hpp"
#include "core/engine/status.hpp"
#include "core/sync/ref_count.hpp"
#include "core/platform/clock.hpp"

namespace torvan::engine::detail {

class TimerState : public sync::RefCounted<TimerState> {
public:
    explicit TimerState(std::uint64_t deadline_ns) noexcept : deadline_ns_(deadline_ns) {}

    platform::Deadline deadline() const noexcept { return platform::Deadline::at(deadline_ns_); }
    // Acquire: pairs with try_fire()'s acq_rel exchange.
    bool delivered() const noexcept { return delivered_.load(std::memory_order_acquire); }
    bool is_ready() const noexcept { return !delivered() && platform::monotonic_now_ns() >= deadline_ns_; }

    // Claims the single delivery once the deadline has passed.
    bool try_fire() noexcept {
        return is_ready() && !delivered_.exchange(true, std::memory_order_acq_rel);
    }

    // When a waiter must wake up for this timer: its deadline until delivered.
    platform::Deadline wake_time() const noexcept {
        return delivered() ? platform::Deadline::never() : deadline();
    }

private:
    friend class sync::RefCounted<TimerState>;
    ~TimerState() = default;

    std::atomic<bool> delivered_{false};
    const std::uint64_t deadline_ns_;
};

inline platform::Deadline earlier(platform::Deadline a, platform::Deadline b) noexcept {
    if (a.is_never()) {
        return b;
    }
    if (b.is_never()) {
        return a;
    }
    return a.ns() <= b.ns() ? a : b;
}

// A blocking receive on a timer (`timer` set) or a never-ready receiver.
// Nobody wakes such a waiter: it sleeps until the timer's or its own deadline.
template <class T, class Sink>
RecvStatus timer_recv_until(TimerState* timer, Sink& sink, platform::Deadline deadline, bool interruptible) {
    for (;;) {
        if constexpr (std::is_same_v<T, platform::Deadline>) {
            if (timer != nullptr && timer->try_fire()) {
                sink(timer->deadline());
                return RecvStatus::Received;
            }
        }
        if (deadline.has_passed()) {
            return RecvStatus::TimedOut;
        }
        const platform::Deadline wake = timer != nullptr ? earlier(deadline, timer->wake_time()) : deadline;
        ContextScope cx;
        sync::SpinWait no_spin = sync::SpinWait::spent();  // nobody ends this wait early
        AbortReason reason = AbortReason::None;
        cx->wait_until(no_spin, wake, interruptible, reason);
        if (reason == AbortReason::Interrupted) {
            return RecvStatus::Interrupted;
        }
    }
}

}  // namespace torvan::engine::detail
