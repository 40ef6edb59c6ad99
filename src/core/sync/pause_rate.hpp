#pragma once
// How long a pause instruction takes on this processor, measured once: from
// a few cycles to about 140 depending on the model. Short waits that must
// not read the clock between pauses (a clock read costs more than the
// shortest of them) count pauses in a number computed from a duration.

#include <atomic>
#include <cstdint>

#include "core/sync/cache_line.hpp"

namespace torvan::sync {

namespace detail {

// Written once, read by every backoff: alone on its line, so that no write
// to a neighbour takes the line away from the readers.
struct alignas(kCacheLine) PauseRate {
    std::atomic<std::uint32_t> ps{0};  // 0 until measured
};
extern PauseRate g_pause_rate;

std::uint32_t measure_pause_ps() noexcept;

}  // namespace detail

// Picoseconds one platform::cpu_relax() takes, at least 1; the first call
// measures it (for at most some tens of microseconds).
inline std::uint32_t pause_ps() noexcept {
    // Relaxed, as the store in measure_pause_ps(): a number, not a pointer to
    // memory; a thread that sees 0 measures for itself.
    const std::uint32_t ps = detail::g_pause_rate.ps.load(std::memory_order_relaxed);
    return ps != 0 ? ps : detail::measure_pause_ps();
}

// How many pauses make up `ns` nanoseconds, at least one.
inline std::uint64_t pauses_for_ns(std::uint64_t ns) noexcept {
    const std::uint64_t n = ns * 1000 / pause_ps();
    return n > 0 ? n : 1;
}

}  // namespace torvan::sync
