#include "core/engine/random.hpp"

#include "core/platform/clock.hpp"
#include "core/platform/system.hpp"
#include "core/platform/thread.hpp"

namespace torvan::engine::detail {

namespace {

// SplitMix64: tiny, fast, and well distributed for any seed.
struct SplitMix {
    std::uint64_t state = 0;
    bool seeded = false;

    std::uint64_t next() noexcept {
        if (!seeded) {
            seed();
        }
        state += 0x9E3779B97F4A7C15ull;
        std::uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    void seed() noexcept {
        if (!platform::random_bytes(&state, sizeof state)) {
            // No system randomness: distinct per thread and per run is enough for fairness.
            state = platform::monotonic_now_ns() ^ (platform::current_thread_id() * 0xD6E8FEB86659FD93ull);
        }
        seeded = true;
    }
};

thread_local SplitMix t_random;

}  // namespace

std::uint64_t next_random() noexcept { return t_random.next(); }

std::uint64_t random_below(std::uint64_t bound) noexcept {
    // Reject the low values that would make the modulo uneven.
    const std::uint64_t threshold = (0 - bound) % bound;
    for (;;) {
        const std::uint64_t r = next_random();
        if (r >= threshold) {
            return r % bound;
        }
    }
}

}  // namespace torvan::engine::detail
