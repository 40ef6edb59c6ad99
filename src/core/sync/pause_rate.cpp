#include "core/sync/pause_rate.hpp"

#include <algorithm>

#include "core/platform/clock.hpp"
#include "core/platform/park.hpp"

namespace torvan::sync::detail {

PauseRate g_pause_rate;

// Threads that get here together each measure, and store alike.
std::uint32_t measure_pause_ps() noexcept {
    // The shortest of a few runs: a run that the thread spent partly off its
    // processor would make pauses look longer, and the waits counted in
    // them shorter. 256 pauses take from a few hundred nanoseconds to about
    // 12 microseconds, depending on the processor: long against a clock
    // read, short for the thread that first loses a compare-and-swap.
    constexpr int kRuns = 5;
    constexpr std::uint64_t kPauses = 256;
    std::uint64_t best_ns = UINT64_MAX;
    // What the two clock reads around a run cost by themselves is no pause
    // time: small beside the run where the clock is read in user space, but
    // the larger part of it where each read is a system call (under an
    // emulator, or on a system without a fast clock).
    std::uint64_t best_clock_ns = UINT64_MAX;
    for (int run = 0; run < kRuns; ++run) {
        const std::uint64_t before = platform::monotonic_now_ns();
        best_clock_ns = std::min(best_clock_ns, platform::monotonic_now_ns() - before);
        const std::uint64_t start = platform::monotonic_now_ns();
        for (std::uint64_t i = 0; i < kPauses; ++i) {
            platform::cpu_relax();
        }
        best_ns = std::min(best_ns, platform::monotonic_now_ns() - start);
    }
    best_ns = best_ns > best_clock_ns ? best_ns - best_clock_ns : 0;
    // Picoseconds per pause.
    const auto ps = static_cast<std::uint32_t>(std::clamp<std::uint64_t>(best_ns * 1000 / kPauses, 1, UINT32_MAX));
    g_pause_rate.ps.store(ps, std::memory_order_relaxed);  // see pause_ps()
    return ps;
}

}  // namespace torvan::sync::detail
