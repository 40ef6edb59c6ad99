#pragma once
// The number of shards of a map created without an explicit count.

#include <cstdint>
#include <optional>

namespace torvan::map {

// `processors` is what the system reports as available to the process
// (nothing when it cannot tell): at least 16, else the smallest power of two
// that gives every processor a shard of its own.
std::uint64_t default_shard_count(std::optional<unsigned> processors) noexcept;

}  // namespace torvan::map
