// ConcurrentMap: a hash map split into independently locked shards. No
// Python code runs under a shard lock: a key is hashed before locking, and
// every __eq__ runs on a snapshot after the lock is released. Mutations
// compare in passes and make their change in one final locked step that
// re-checks the bucket, so the map never holds two equal keys
// (resolve_then_commit.hpp).
//
// Under a shard lock only table work, identity scans, native comparisons of
// exact str, int, bytes and float keys, reference increments and native
// allocation happen; references that leave the map are released after the
// lock. Lookups of such keys read the table inside a read section instead of
// taking the lock, and every step that changes a table first waits for the
// readers inside one (read_section.hpp).

#include "map/concurrent_map.hpp"

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "binding/methods.hpp"
#include "binding/type_object.hpp"
#include "map/key_resolution.hpp"
#include "map/map_state.hpp"
#include "map/resolve_then_commit.hpp"
#include "core/map/read_section.hpp"
#include "core/map/shard_count.hpp"
#include "core/platform/system.hpp"

namespace torvan::map {

namespace {

using binding::Instance;
using binding::Object;
using binding::OwnedRef;
using Guard = std::lock_guard<sync::WordMutex>;

struct ConcurrentMapClass : binding::ClassTraits {
    static constexpr const char* kName = "ConcurrentMap";
    using State = MapState;
    static binding::ClassDefinition definition();
};
using Self = Instance<ConcurrentMapClass>;

// (found, value) as a new 2-tuple; fills one allocated beforehand.
void fill_found_tuple(PyObject* tuple, bool found, OwnedRef value) noexcept {
    PyTuple_SET_ITEM(tuple, 0, Py_NewRef(found ? Py_True : Py_False));
    PyTuple_SET_ITEM(tuple, 1, value ? value.release() : Py_NewRef(Py_None));
}

OwnedRef found_tuple(bool found, OwnedRef value) {
    OwnedRef tuple = binding::checked(PyTuple_New(2));
    fill_found_tuple(tuple.get(), found, std::move(value));
    return tuple;
}

// Construction and lookups ---------------------------------------------------

MapState construct(std::optional<std::uint64_t> shard_count) {
    std::uint64_t count = shard_count ? *shard_count : default_shard_count(platform::available_processors());
    if (count == 0) {
        binding::raise(PyExc_ValueError, "shard_count must be greater than zero");
    }
    return MapState(count);
}

std::uint64_t shard_count(Self& self) { return self.state.shard_count(); }

struct Lookup {
    bool found = false;
    OwnedRef value;
};

// What a read without the lock found: the value (a new reference, when one
// was asked for), no pair for the key, or no answer (a writer holds the lock,
// or a key needs Python to compare). Returned in registers.
struct NativeAnswer {
    enum class Kind : std::uint8_t { kFound, kAbsent, kUndecided };
    Kind kind;
    PyObject* value;
};

// The read form without the lock and without a reference to any key. Inline
// in every lookup: a call would pass the answer through memory, in the chain
// of dependent steps between the key and the value that a random lookup's
// cache misses make long.
[[gnu::always_inline]] inline NativeAnswer look_up_natively(ShardSpot where, std::uint64_t hash, PyObject* key,
                                                            bool with_value) noexcept {
    constexpr NativeAnswer kNoPair{NativeAnswer::Kind::kAbsent, nullptr};
    constexpr NativeAnswer kNoAnswer{NativeAnswer::Kind::kUndecided, nullptr};
    Shard& shard = where.shard;
    // Worked out in a register before the section's fence: left to itself,
    // the compiler moved the multiplication after it, through the stack,
    // where a load waits for the fence.
    std::uint64_t spot = where.spot;
    asm volatile("" : "+r"(spot));
    ReadSection section;
    if (!section.entered() || !shard.lock.is_free()) [[unlikely]] {
        return kNoAnswer;
    }
    PairEntry* entry = shard.table.find(hash, spot);
    if (entry == nullptr) {
        return kNoPair;
    }
    std::uint32_t index = native_find(entry->bucket(), key);
    if (index == kUndecided) [[unlikely]] {
        return kNoAnswer;
    }
    if (!names_pair(entry->bucket(), index)) {
        return kNoPair;
    }
    // The map's reference keeps the value alive until this section ends.
    return NativeAnswer{NativeAnswer::Kind::kFound, with_value ? Py_NewRef(entry->bucket()[index].value) : nullptr};
}

// The read form under the lock, with comparisons after it: out of line, so
// that the native lookup keeps a small frame.
[[gnu::noinline]] Lookup look_up_by_comparison(Shard& shard, std::uint64_t hash, PyObject* key, bool with_value) {
    Snapshot snapshot;
    {
        Guard guard(shard.lock);
        if (PairEntry* entry = shard.table.find(hash)) {
            snapshot.take(entry->bucket(), with_value);
        }
    }
    for (std::size_t i = 0; i < snapshot.size(); ++i) {
        if (keys_equal(snapshot.key(i), key)) {
            return Lookup{true, snapshot.hand_over_value(i)};
        }
    }
    return Lookup{};
}

// The read form: one snapshot, no identity shortcut, no retry. Inline, as
// the native lookup is.
[[gnu::always_inline]] inline Lookup look_up(Self& self, PyObject* key, bool with_value) {
    std::uint64_t hash = hash_of(key);
    ShardSpot where = self.state.locate(hash);
    NativeAnswer answer = look_up_natively(where, hash, key, with_value);
    if (answer.kind != NativeAnswer::Kind::kUndecided) [[likely]] {
        return Lookup{answer.kind == NativeAnswer::Kind::kFound, OwnedRef::steal(answer.value)};
    }
    return look_up_by_comparison(where.shard, hash, key, with_value);
}

// Inline in its entry point too, for the same reason.
[[gnu::always_inline]] inline OwnedRef get(Self& self, Object key) {
    Lookup result = look_up(self, key.ptr, true);
    return result.found ? std::move(result.value) : OwnedRef::borrow(Py_None);
}

OwnedRef get_val(Self& self, Object key) {
    Lookup result = look_up(self, key.ptr, true);
    return found_tuple(result.found, std::move(result.value));
}

bool contains_key(Self& self, Object key) { return look_up(self, key.ptr, false).found; }

// Mutations ------------------------------------------------------------------

// A reference the map lets go of, released when this goes, after the lock.
// Map methods never run detached, so the release need not ask.
struct ReleasedAfterLock {
    PyObject* object = nullptr;
    ReleasedAfterLock() noexcept = default;
    ReleasedAfterLock(const ReleasedAfterLock&) = delete;
    ReleasedAfterLock& operator=(const ReleasedAfterLock&) = delete;
    ~ReleasedAfterLock() { Py_XDECREF(object); }
};

void set(Self& self, Object key_arg, Object value_arg) {
    PyObject* key = key_arg.ptr;
    PyObject* value = value_arg.ptr;
    std::uint64_t hash = hash_of(key);
    ReleasedAfterLock replaced;  // declared first: released after the lock
    resolve_then_commit<OnMatch::kCommit>(self.state.locate(hash), hash, key, [&](Place& place) {
        if (place.found()) {
            if (place.pair().value != value) {  // the same value again changes nothing
                replaced.object = std::exchange(place.pair().value, Py_NewRef(value));
            }
        } else {
            place.append(key, value);
        }
    });
}

// Shared by delete and pop_val: the removed pair, or nothing.
OwnedPair remove_key(Self& self, PyObject* key, std::uint64_t hash) {
    return resolve_then_commit<OnMatch::kCommit>(self.state.locate(hash), hash, key, [](Place& place) {
        return place.found() ? place.take() : OwnedPair{};
    });
}

bool delete_key(Self& self, Object key) {
    std::uint64_t hash = hash_of(key.ptr);
    OwnedPair removed = remove_key(self, key.ptr, hash);
    return static_cast<bool>(removed);
}

OwnedRef pop_val(Self& self, Object key) {
    std::uint64_t hash = hash_of(key.ptr);
    // The result tuple exists before anything is removed, so a failed
    // allocation cannot lose a value that already left the map.
    OwnedRef tuple = binding::checked(PyTuple_New(2));
    OwnedPair removed = remove_key(self, key.ptr, hash);
    bool found = static_cast<bool>(removed);
    removed.key.reset();
    fill_found_tuple(tuple.get(), found, std::move(removed.value));
    return tuple;
}

OwnedRef get_or_insert(Self& self, Object key_arg, Object default_arg) {
    PyObject* key = key_arg.ptr;
    PyObject* fallback = default_arg.ptr;
    std::uint64_t hash = hash_of(key);
    ShardSpot where = self.state.locate(hash);
    if (NativeAnswer found = look_up_natively(where, hash, key, true); found.kind == NativeAnswer::Kind::kFound) {
        return OwnedRef::steal(found.value);
    }
    return resolve_then_commit<OnMatch::kAnswer>(where, hash, key, [&](Place& place) {
        if (place.found()) {
            return OwnedRef::borrow(place.pair().value);
        }
        place.append(key, fallback);
        return OwnedRef::borrow(fallback);
    });
}

// Whole-map operations: shards in index order, one lock at a time --------------

std::uint64_t count_pairs(MapState& state) {
    std::uint64_t total = 0;
    for (std::uint64_t i = 0; i < state.shard_count(); ++i) {
        Shard& shard = state.shard(i);
        Guard guard(shard.lock);
        total += shard.table.size();
    }
    return total;
}

std::uint64_t length(Self& self) { return count_pairs(self.state); }

Py_ssize_t length_slot(Self& self) {
    std::uint64_t total = count_pairs(self.state);
    if (total > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        throw binding::PyError::lazy_without_message(PyExc_OverflowError);
    }
    return static_cast<Py_ssize_t>(total);
}

void clear(Self& self) {
    for (std::uint64_t i = 0; i < self.state.shard_count(); ++i) {
        Shard& shard = self.state.shard(i);
        PairTable taken;
        {
            WriteGuard guard(shard.lock);
            taken = shard.table.take();
        }
        release_pairs(taken);
    }
}

enum class Listing { Keys, Values, Items };

// New references gathered under the shard locks; whatever is not handed to
// the result list is released when this goes.
struct Collected {
    std::vector<PyObject*> refs;
    Collected() = default;
    Collected(const Collected&) = delete;
    Collected& operator=(const Collected&) = delete;
    ~Collected() {
        for (PyObject* ref : refs) {
            Py_XDECREF(ref);
        }
    }
};

void collect(MapState& state, Listing listing, Collected& out) {
    const std::size_t per_pair = listing == Listing::Items ? 2 : 1;
    for (std::uint64_t i = 0; i < state.shard_count(); ++i) {
        Shard& shard = state.shard(i);
        Guard guard(shard.lock);
        // Room first, so that no reference is taken unless it can be kept.
        std::size_t needed = out.refs.size() + shard.table.size() * per_pair;
        if (needed > out.refs.capacity()) {
            out.refs.reserve(std::max(needed, out.refs.capacity() * 2));
        }
        shard.table.for_each([&](const PairEntry& entry) {
            for (const Pair& pair : entry.bucket()) {
                if (listing != Listing::Values) {
                    out.refs.push_back(Py_NewRef(pair.key));
                }
                if (listing != Listing::Keys) {
                    out.refs.push_back(Py_NewRef(pair.value));
                }
            }
        });
    }
}

OwnedRef listing_of(Self& self, Listing listing) {
    Collected collected;
    collect(self.state, listing, collected);
    auto& refs = collected.refs;
    const std::size_t count = listing == Listing::Items ? refs.size() / 2 : refs.size();
    OwnedRef list = binding::checked(PyList_New(static_cast<Py_ssize_t>(count)));
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* item = nullptr;
        if (listing == Listing::Items) {
            OwnedRef tuple = binding::checked(PyTuple_New(2));
            PyTuple_SET_ITEM(tuple.get(), 0, std::exchange(refs[2 * i], nullptr));
            PyTuple_SET_ITEM(tuple.get(), 1, std::exchange(refs[2 * i + 1], nullptr));
            item = tuple.release();
        } else {
            item = std::exchange(refs[i], nullptr);
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

OwnedRef keys(Self& self) { return listing_of(self, Listing::Keys); }
OwnedRef values(Self& self) { return listing_of(self, Listing::Values); }
OwnedRef items(Self& self) { return listing_of(self, Listing::Items); }

// Type -------------------------------------------------------------------------

constexpr const char* kClassDoc =
    "A highly concurrent, thread-safe hash map with dynamically configurable shard count.\n"
    "Each shard is protected by a Mutex. Python callbacks (like `__eq__` and `__hash__`)\n"
    "are executed entirely OUTSIDE the shard locks, preventing any lock-ordering\n"
    "or recursive deadlocks in multi-threaded GIL-free environments.";

using binding::method;

binding::ClassDefinition ConcurrentMapClass::definition() {
    return {
        .doc = kClassDoc,
        .constructor = binding::constructor<ConcurrentMapClass, &construct, "shard_count=None">(),
        .methods = {
            method<&get, "get", "key">("Retrieve the value associated with the key."),
            method<&get_val, "get_val", "key">("Retrieve the value associated with the key as a tuple (found, value)."),
            method<&get_or_insert, "get_or_insert", "key", "default">(
                "Atomically get the existing value for key, or insert default and return default if absent."),
            method<&set, "set", "key", "value">("Set the value for the key."),
            method<&delete_key, "delete", "key">(
                "Delete the key from the map. Returns True if the key was present, otherwise False."),
            method<&pop_val, "pop_val", "key">(
                "Atomically remove and return the key's value.\n"
                "Returns `(true, value)` if found, or `(false, None)` if absent."),
            method<&contains_key, "contains_key", "key">("Check if the key exists in the map."),
            method<&length, "len">(
                "Return the total number of elements across all shards.\n"
                "Note: Under concurrent modifications, this represents a weakly-consistent\n"
                "snapshot and may return an approximate value rather than a global atomic freeze."),
            method<&clear, "clear">("Clear all elements from the map."),
            method<&keys, "keys">(
                "Retrieve all keys in the map.\n"
                "Note: Returns a weakly-consistent snapshot collected shard-by-shard."),
            method<&values, "values">(
                "Retrieve all values in the map.\n"
                "Note: Returns a weakly-consistent snapshot collected shard-by-shard."),
            method<&items, "items">(
                "Retrieve all key-value tuples in the map.\n"
                "Note: Returns a weakly-consistent snapshot collected shard-by-shard."),
            binding::class_getitem_def(),
        },
        .getset = {
            binding::getter_def<&shard_count>("shard_count", "The number of shards, fixed when the map is created."),
        },
        .slots = {
            binding::slot(Py_mp_length, &binding::length_entry<&length_slot>),
        },
        .subclassable = true,
    };
}

}  // namespace

PyTypeObject* concurrent_map_type() { return binding::TypeObject<ConcurrentMapClass>::for_registration(); }

}  // namespace torvan::map
