#include "map/map_state.hpp"

#include <new>
#include <utility>

namespace torvan::map {

void release_pairs(const PairTable& table) noexcept {
    table.for_each([](const PairEntry& entry) {
        for (const Pair& pair : entry.bucket()) {
            Py_DECREF(pair.key);
            Py_DECREF(pair.value);
        }
    });
}

MapState::MapState(std::uint64_t shard_count) : count_(shard_count) {
    if (shard_count == 0 || shard_count > SIZE_MAX / sizeof(Shard)) {
        throw std::bad_alloc();
    }
    // The nothrow form, so that a sanitizer's allocator reports failure the
    // way the system allocator does instead of ending the process.
    Shard* shards = new (std::nothrow) Shard[shard_count];
    if (shards == nullptr) {
        throw std::bad_alloc();
    }
    shards_.reset(shards);
    TableKeySource keys;
    key_ = keys.drawn();
    for (std::uint64_t i = 0; i < shard_count; ++i) {
        shards_[i].table = PairTable(keys.key_for(i));
    }
    power_of_two_ = (shard_count & (shard_count - 1)) == 0;
}

MapState::~MapState() {
    if (!shards_) {
        return;  // moved from
    }
    // A map stored in this one is deallocated here at the earliest, and such
    // nesting is bounded by the deallocator, so a long chain never recurses.
    for (std::uint64_t i = 0; i < count_; ++i) {
        // Out of the shard first, so a finalizer never sees a table mid-walk.
        PairTable taken = shards_[i].table.take();
        release_pairs(taken);
    }
}

}  // namespace torvan::map
