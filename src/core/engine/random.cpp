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

// Constant-initialised and initial-exec: a plain access, no call, also inside
// the extension.
constinit thread_local SplitMix t_random __attribute__((tls_model("initial-exec"))) = {};

__extension__ using Wide = unsigned __int128;

}  // namespace

std::uint64_t next_random() noexcept { return t_random.next(); }

std::uint64_t random_below(std::uint64_t bound) noexcept {
    // The high half of a 64 x 64 bit product is uniform in [0, bound) once the
    // few low halves that would make it uneven are rejected; a division is
    // needed only to tell which those are, and only rarely (a wait shuffles
    // its operations, and two divisions cost more than the rest of that).
    Wide product = static_cast<Wide>(next_random()) * bound;
    auto low = static_cast<std::uint64_t>(product);
    if (low < bound) {
        const std::uint64_t threshold = (0 - bound) % bound;
        while (low < threshold) {
            product = static_cast<Wide>(next_random()) * bound;
            low = static_cast<std::uint64_t>(product);
        }
    }
    return static_cast<std::uint64_t>(product >> 64);
}

}  // namespace torvan::engine::detail
