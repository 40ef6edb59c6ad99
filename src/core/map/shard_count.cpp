#include "core/map/shard_count.hpp"

namespace torvan::map {

std::uint64_t default_shard_count(std::optional<unsigned> processors) noexcept {
    constexpr std::uint64_t kMinimum = 16;
    if (!processors || *processors <= 1) {
        return kMinimum;
    }
    std::uint64_t count = kMinimum;
    while (count < *processors) {
        count *= 2;
    }
    return count;
}

}  // namespace torvan::map
