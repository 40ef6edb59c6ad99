#pragma once
// The native state of a ConcurrentMap: a fixed array of shards, each a lock
// and a table of (key, value) pairs. The pairs hold strong references owned
// by the map.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "binding/python.hpp"
#include "core/sync/cache_line.hpp"
#include "core/sync/word_mutex.hpp"
#include "core/map/shard_table.hpp"

namespace torvan::map {

struct Pair {
    PyObject* key;
    PyObject* value;
};

using PairTable = ShardTable<Pair>;
using PairBucket = Bucket<Pair>;
using PairEntry = PairTable::Entry;

// Each shard on cache lines of its own, so that threads working on
// neighbouring shards do not contend for one line.
struct alignas(sync::kCacheLine) Shard {
    sync::WordMutex lock;  // guards the table
    PairTable table;
};

// Releases the map's references to every pair of a table taken out of a
// shard. The caller holds no lock: finalizers may run.
void release_pairs(const PairTable& table) noexcept;

// A hash value's shard, and where the probe for it starts in the shard's
// table (the table's spot()).
struct ShardSpot {
    Shard& shard;
    std::uint64_t spot;
};

class MapState {
public:
    // Throws std::bad_alloc when the shard array cannot be allocated.
    explicit MapState(std::uint64_t shard_count);
    MapState(MapState&&) noexcept = default;
    MapState& operator=(MapState&&) = delete;
    // Runs at deallocation, when no other reference to the map exists: the
    // tables go in shard order without their locks.
    ~MapState();

    std::uint64_t shard_count() const noexcept { return count_; }
    Shard& shard(std::uint64_t index) noexcept { return shards_[index]; }
    // The shard of a hash value and its spot. The spot comes from the map's
    // own copy of the drawn key, not from the shard's line: the
    // multiplication then waits only for the hash value.
    ShardSpot locate(std::uint64_t hash) noexcept {
        std::uint64_t index = index_for(hash);
        return ShardSpot{shards_[index], table_spot(key_.for_table(index), hash)};
    }

private:
    std::uint64_t index_for(std::uint64_t hash) const noexcept {
        return power_of_two_ ? (hash & (count_ - 1)) : (hash % count_);
    }

    std::unique_ptr<Shard[]> shards_;
    std::uint64_t count_ = 0;
    bool power_of_two_ = false;
    TableKey key_;  // the tables' keys derive from it
};

}  // namespace torvan::map
