#pragma once
// How a thread waits for another one: it keeps its processor for a short
// while, first spinning and then yielding, because a wait that ends within
// that time costs far less than a sleep and a wake-up; only then does it
// sleep. The windows are measured on the clock, not in pause instructions,
// whose duration differs more than tenfold between processors, so a waiter
// behaves alike on every host.
//
//   SpinWait spin;
//   while (!condition()) {
//       if (!spin.spin()) {
//           sleep until woken (a waker must know of the sleeper), then start a new SpinWait
//       }
//   }
//
// The condition should only read: a waiter that writes a line the other
// thread writes slows that thread down.

#include <cstdint>

#include "core/platform/clock.hpp"
#include "core/platform/park.hpp"

namespace torvan::sync {

// How long a waiter spins, and then yields, before it sleeps, and the
// longest gap between two looks while it spins.
struct SpinWindows {
    std::uint64_t spin_ns;
    std::uint64_t yield_ns;
    std::uint64_t max_gap_ns;
};

// Waiting for a partner's step (a channel's other side, a packet's filler):
// spinning is worth it for a wait shorter than a sleep and wake-up, which
// costs the waker a system call and the sleeper tens of microseconds on a
// virtual machine. Yielding then lets a thread that shares the processor
// (the one the waiter waits for, often) run before the waiter sleeps. The
// spinning stays short, a few round trips to the other side: with more
// threads than processors, a spinning waiter holds the processor that the
// thread it waits for needs, and yielding hands it over. The longer the wait,
// the rarer the looks: each look at a line that the awaited thread writes
// takes the line away from it.
inline constexpr SpinWindows kPartnerWindows{2'000, 48'000, 500};

// Waiting for a lock's holder: its critical section is a few loads and
// stores, so a holder still there after a few microseconds has been
// preempted, and the waiter had better sleep than spin for it. The holder
// writes the lock word only to release it, so the waiter looks often, to
// take the lock soon after.
inline constexpr SpinWindows kLockHolderWindows{4'000, 0, 100};

template <SpinWindows kWindows>
class BasicSpinWait {
public:
    // Gaps between looks while spinning: doubling from the first to the
    // window's longest.
    static constexpr std::uint64_t kFirstGapNs = 50;
    static constexpr std::uint64_t kPacedYieldNs = 4'000;

    BasicSpinWait() noexcept = default;
    // A wait whose first look may come later than usual (see WaitPace). Such
    // a paced wait spins for that one look only, and soon sleeps: a partner
    // that kept up so far and has not moved meanwhile is most likely off its
    // processor, perhaps waiting for this very one. Yielding would keep both
    // threads on one processor; sleeping lets the scheduler move the sleeper
    // to an idle one when it is woken.
    explicit BasicSpinWait(std::uint64_t first_gap_ns) noexcept
        : paced_(first_gap_ns > kFirstGapNs),
          spin_ns_(paced_ ? first_gap_ns : kWindows.spin_ns),
          yield_ns_(paced_ ? kPacedYieldNs : kWindows.yield_ns),
          gap_(first_gap_ns) {}

    // Spends a moment before the caller checks its condition again: a pause
    // while the spinning window lasts, then a yield of the processor. Returns
    // false, without waiting, once both windows have passed: time to sleep.
    bool spin() noexcept {
        const std::uint64_t now = platform::monotonic_now_ns();
        if (started_ == 0) {
            started_ = now;
        }
        const std::uint64_t elapsed = now - started_;
        ++looks_;
        if (elapsed < spin_ns_) {
            const std::uint64_t until = now + gap_;
            gap_ = gap_ * 2 < kWindows.max_gap_ns ? gap_ * 2 : kWindows.max_gap_ns;
            do {
                platform::cpu_relax();
            } while (platform::monotonic_now_ns() < until);
            return true;
        }
        if (elapsed < spin_ns_ + yield_ns_) {
            platform::yield_now();
            return true;
        }
        return false;
    }

    // Whether the wait, unpaced, is ending by its first look after a pause:
    // the other side moves at least that often.
    bool ended_soon() const noexcept { return !paced_ && looks_ <= 1; }

    // For waits with nothing to sleep on, because another thread is already
    // in the middle of the step waited for: spins, then yields for as long as
    // it takes.
    void snooze() noexcept {
        if (!spin()) {
            platform::yield_now();
        }
    }

    // A policy whose windows have passed already: for a wait that only a
    // deadline ends, where spinning cannot win anything.
    static BasicSpinWait spent() noexcept {
        BasicSpinWait spin;
        spin.started_ = 1;
        return spin;
    }

private:
    bool paced_ = false;
    std::uint64_t spin_ns_ = kWindows.spin_ns;  // how long this wait spins
    std::uint64_t yield_ns_ = kWindows.yield_ns;  // and then yields
    std::uint64_t started_ = 0;  // when the first spin() began; 0 before
    std::uint32_t looks_ = 0;  // calls of spin()
    std::uint64_t gap_ = kFirstGapNs;  // the next pause between looks
};

using SpinWait = BasicSpinWait<kPartnerWindows>;
using LockSpinWait = BasicSpinWait<kLockHolderWindows>;

}  // namespace torvan::sync
