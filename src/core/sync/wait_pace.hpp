#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "core/sync/spin_wait.hpp"

namespace torvan::sync {

// How soon a thread that waits for one side of a channel first looks again.
// A waiter that comes back to wait after several items have gone through
// since its last wait keeps pace with a stream from the other side: looking
// again at once would take the lines that side writes at every single item
// (the position, the slot), slowing both threads down, so it first lets a
// batch build up: at 4 us, a hundred items or more at the rates of Python
// threads. A shorter gap lets a fast receiver drain right behind the sender
// again and again (with 1 us, the rounds of one producer and one consumer of
// fresh ints on an unbounded channel were 45-48 ns an item instead of
// 38-39); a longer one gains little more and keeps a processor spinning
// longer. Where the other side fills a buffer meanwhile (a bounded
// channel), the gap stays at 1 us: a gap that fills the buffer makes that
// side wait as well, and the two then take turns at waiting.
//
// A waiter that saw only about one item go through (a request and its
// reply) looks again at once, unless its last wait ended by its first look:
// then the other side moves at every item, and only one item went through
// because this side caught up again at once (a sender on a full channel
// that a receiver drains). A reply takes longer than that.
// Positions are counts of items; the marks are written once per wait, by
// waiters only, and races between waiters only blur the guess.
class WaitPace {
public:
    static constexpr std::uint64_t kStreamingGapNs = 4'000;
    static constexpr std::uint64_t kBufferedStreamingGapNs = 1'000;
    static constexpr std::size_t kStreamItems = 3;

    explicit WaitPace(std::uint64_t streaming_gap_ns = kStreamingGapNs) noexcept
        : streaming_gap_ns_(streaming_gap_ns) {}

    // The first gap of a wait that starts at `position`.
    // Relaxed here and in ended(): racy hints for how long to spin, read and
    // written by any waiter; no memory is read on their word.
    std::uint64_t first_gap(std::size_t position) noexcept {
        const std::size_t before = mark_.load(std::memory_order_relaxed);
        mark_.store(position, std::memory_order_relaxed);
        const bool streamed = position > before && position - before >= kStreamItems;
        return streamed || ended_soon_.load(std::memory_order_relaxed) ? streaming_gap_ns_ : SpinWait::kFirstGapNs;
    }

    // Records how the wait that asked for its first gap ended: `soon` when
    // it ended by its first look after a pause and never slept.
    void ended(bool soon) noexcept {
        if (ended_soon_.load(std::memory_order_relaxed) != soon) {
            ended_soon_.store(soon, std::memory_order_relaxed);
        }
    }

private:
    const std::uint64_t streaming_gap_ns_;
    std::atomic<std::size_t> mark_{0};
    std::atomic<bool> ended_soon_{false};
};

// A side's pace and the position a wait on that side starts from.
struct PaceAt {
    WaitPace* pace = nullptr;  // none: the operation keeps no pace
    std::size_t position = 0;
};

// The spinning of one wait under a pace: its first round paced, the rounds
// after a sleep not; how the wait ended goes back to the pace.
class PacedWait {
public:
    explicit PacedWait(PaceAt at) noexcept : pace_(*at.pace), spin_(at.pace->first_gap(at.position)) {}
    PacedWait(const PacedWait&) = delete;
    PacedWait& operator=(const PacedWait&) = delete;

    SpinWait& spin() noexcept { return spin_; }
    // After a sleep: spins afresh, and the wait no longer ends soon.
    void slept() noexcept {
        spin_ = SpinWait();
        slept_ = true;
    }
    void ended() noexcept { pace_.ended(!slept_ && spin_.ended_soon()); }

private:
    WaitPace& pace_;
    SpinWait spin_;
    bool slept_ = false;
};

}  // namespace torvan::sync
