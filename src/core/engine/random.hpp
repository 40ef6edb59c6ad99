#pragma once
// Per-thread pseudo-random numbers for the selector's shuffles, seeded from
// the operating system's random source.

#include <cstddef>
#include <cstdint>

namespace torvan::engine::detail {

std::uint64_t next_random() noexcept;

// Uniform in [0, bound); bound > 0.
std::uint64_t random_below(std::uint64_t bound) noexcept;

// Uniform random permutation (Fisher-Yates).
template <class It>
void shuffle(It first, std::size_t count) noexcept {
    for (std::size_t i = count; i > 1; --i) {
        const auto j = static_cast<std::size_t>(random_below(i));
        auto tmp = first[i - 1];
        first[i - 1] = first[j];
        first[j] = tmp;
    }
}

}  // namespace torvan::engine::detail
