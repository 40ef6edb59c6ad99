#pragma once
// The protocol of every mutation: settle where the probe key stands with no
// Python code run under the shard lock, then make the change in one locked
// step on a bucket whose every key has been compared with the probe.
//
//   step                          lock  outcome
//   1. identity, native compare   held  decided without Python: commit;
//                                       else 2
//   2. comparison pass            none  a match: 3; none: 4
//   3. relock, match by identity  held  still stored: commit on it; gone: 4
//                                       (get_or_insert answers with the
//                                       snapshot's value instead)
//   4. insert / removal check     held  no bucket, or every key examined:
//                                       commit; else 2
//
// Keys found unequal are kept (with a reference) across passes and never
// compared twice; a new pass happens only when another thread changed the
// bucket since the last snapshot.

#include <cstdint>
#include <mutex>
#include <type_traits>
#include <utility>

#include "core/map/read_section.hpp"
#include "map/key_resolution.hpp"
#include "map/map_state.hpp"

namespace torvan::map {

// The shard lock for a step that may change the table or let go of what it
// holds: once it is taken, the readers still inside a read section finish.
class WriteGuard {
public:
    explicit WriteGuard(sync::WordMutex& lock) : guard_(lock) { wait_for_readers(); }

private:
    std::lock_guard<sync::WordMutex> guard_;
};

// Where the probe key stands, seen under the write lock: the pair holding
// it, or the place a new pair for it would go.
class Place {
public:
    Place(PairTable& table, std::uint64_t hash, PairEntry* entry, std::uint32_t index) noexcept
        : table_(table), hash_(hash), entry_(entry), index_(index) {}

    bool found() const noexcept { return entry_ != nullptr && names_pair(entry_->bucket(), index_); }
    // When found.
    Pair& pair() const noexcept { return entry_->bucket()[index_]; }

    // When not found: stores the new pair at the end of the bucket. The map's
    // own references are taken once the table has room, so a failed
    // allocation leaves nothing behind.
    void append(PyObject* key, PyObject* value) {
        if (entry_ == nullptr) {
            table_.append(hash_, Pair{key, value});
        } else {
            table_.append(*entry_, Pair{key, value});
        }
        Py_INCREF(key);
        Py_INCREF(value);
    }

    // When found: takes the pair out of the map; its references are to be
    // released after the lock.
    [[nodiscard]] OwnedPair take() noexcept {
        Pair taken = pair();
        table_.erase(*entry_, index_);
        return OwnedPair{binding::OwnedRef::steal(taken.key), binding::OwnedRef::steal(taken.value)};
    }

private:
    PairTable& table_;
    std::uint64_t hash_;
    PairEntry* entry_;  // null when the table has no bucket for the hash
    std::uint32_t index_;
};

// What a comparison pass's match means to the mutation.
enum class OnMatch {
    // set, delete, pop_val: the matched pair is changed under the lock if it
    // is still stored. The probe object itself is located by identity before
    // any comparison, so reusing a stored key object never calls __eq__.
    kCommit,
    // get_or_insert: the value the snapshot held for the match is the
    // result, as of that snapshot. Keys are found by comparison only.
    kAnswer,
};

// Steps 2 to 4, when the first locked step needs Python to compare keys: out
// of line, so that the common path keeps a small frame.
template <OnMatch on_match, class Commit>
[[gnu::noinline]] auto resolve_by_comparison(Shard& shard, std::uint64_t hash, PyObject* key, Commit& commit)
    -> std::invoke_result_t<Commit&, Place&> {
    using Result = std::invoke_result_t<Commit&, Place&>;
    ExaminedKeys examined;
    for (;;) {
        OwnedPair match = comparison_pass(shard, hash, key, examined, on_match == OnMatch::kAnswer);
        if (match) {
            if constexpr (on_match == OnMatch::kAnswer) {
                return Result(std::move(match.value));
            } else {
                WriteGuard guard(shard.lock);
                if (PairEntry* entry = shard.table.find(hash)) {
                    std::uint32_t index = find_identical(entry->bucket(), match.key.get());
                    if (names_pair(entry->bucket(), index)) {
                        Place place(shard.table, hash, entry, index);
                        return commit(place);
                    }
                }
                // The match was removed meanwhile: the check below decides.
            }
        }
        WriteGuard guard(shard.lock);
        PairEntry* entry = shard.table.find(hash);
        if (entry == nullptr || examined.covers(entry->bucket())) {
            Place place(shard.table, hash, entry, entry ? find_identical(entry->bucket(), key) : 0);
            return commit(place);
        }
        // A key this call has not compared arrived: another pass.
    }
}

// Runs `commit(place)` under the write lock of the shard `where` names (from
// MapState::locate) once the probe key's place is settled, and returns what
// it returns. With OnMatch::kAnswer the result is built from the matched
// value instead. Whatever the call holds (the examined keys, a match) is
// released after the lock; an exception from a comparison propagates with the
// map unchanged.
template <OnMatch on_match, class Commit>
auto resolve_then_commit(ShardSpot where, std::uint64_t hash, PyObject* key, Commit&& commit)
    -> std::invoke_result_t<Commit&, Place&> {
    constexpr bool kIdentityFirst = on_match == OnMatch::kCommit;
    Shard& shard = where.shard;
    {
        WriteGuard guard(shard.lock);
        PairEntry* entry = shard.table.find(hash, where.spot);
        std::uint32_t index = entry ? locate_natively(entry->bucket(), key, kIdentityFirst) : 0;
        if (index != kUndecided) [[likely]] {
            Place place(shard.table, hash, entry, index);
            return commit(place);
        }
    }
    return resolve_by_comparison<on_match>(shard, hash, key, commit);
}

}  // namespace torvan::map
