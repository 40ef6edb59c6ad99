#pragma once
// Alignment that keeps independently updated atomics on separate cache lines.

#include <cstddef>

namespace torvan::engine::detail {

#if defined(__aarch64__) && defined(__APPLE__)
inline constexpr std::size_t kCacheLine = 128;
#else
inline constexpr std::size_t kCacheLine = 64;
#endif

}  // namespace torvan::engine::detail
