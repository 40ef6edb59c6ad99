#include "core/map/shard_table.hpp"

#include "core/platform/clock.hpp"
#include "core/platform/system.hpp"

namespace torvan::map {

namespace {

// A bijective 64-bit finaliser: distinct inputs give distinct, well spread keys.
std::uint64_t spread(std::uint64_t x) noexcept {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

}  // namespace

TableKeySource::TableKeySource() noexcept {
    std::uint64_t seed[2] = {};
    if (!platform::random_bytes(seed, sizeof seed)) {
        // The key only hardens probe runs against chosen hash values; without
        // the random source, the clock and this object's address still make
        // it differ between maps.
        seed[0] = spread(platform::monotonic_now_ns());
        seed[1] = spread(reinterpret_cast<std::uintptr_t>(this) ^ seed[0]);
    }
    drawn_ = TableKey{spread(seed[0]), spread(seed[1])};
}

}  // namespace torvan::map
