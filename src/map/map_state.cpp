#include "map/map_state.hpp"

#include <new>
#include <utility>
#include <vector>

namespace torvan::map {

namespace {

// Releasing a map's pairs may deallocate a map stored in it, whose pairs
// may hold another map, and so on: a long chain of nested maps would recurse
// once per map and overflow the stack. Beyond this depth the tables of the
// inner maps wait here and the outermost deallocation releases them in a loop.
constexpr int kNestingLimit = 64;
thread_local int t_nesting = 0;
thread_local std::vector<PairTable> t_parked;

void park_or_release(PairTable&& table) noexcept {
    if (table.empty()) {
        return;
    }
    try {
        t_parked.push_back(std::move(table));
    } catch (const std::bad_alloc&) {
        release_pairs(table);  // no room to park: recurse after all
    }
}

}  // namespace

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
    for (std::uint64_t i = 0; i < shard_count; ++i) {
        shards_[i].table = PairTable(keys.key_for(i));
    }
    power_of_two_ = (shard_count & (shard_count - 1)) == 0;
}

MapState::~MapState() {
    if (!shards_) {
        return;  // moved from
    }
    if (t_nesting >= kNestingLimit) {
        for (std::uint64_t i = 0; i < count_; ++i) {
            park_or_release(shards_[i].table.take());
        }
        return;
    }
    ++t_nesting;
    for (std::uint64_t i = 0; i < count_; ++i) {
        // Out of the shard first, so a finalizer never sees a table mid-walk.
        PairTable taken = shards_[i].table.take();
        release_pairs(taken);
    }
    if (t_nesting == 1) {
        while (!t_parked.empty()) {
            PairTable table = std::move(t_parked.back());
            t_parked.pop_back();
            release_pairs(table);
        }
    }
    --t_nesting;
}

}  // namespace torvan::map
