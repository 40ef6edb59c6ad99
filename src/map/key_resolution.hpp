#pragma once
// Finding a key without running Python code under a shard lock: the probe's
// hash is computed before locking, buckets are copied out under the lock as
// snapshots of new references, and every __eq__ runs on the snapshot after
// the lock is released.

#include <cstddef>
#include <cstdint>
#include <optional>

#include "binding/owned_ref.hpp"
#include "binding/python.hpp"
#include "core/inline_vector.hpp"
#include "map/map_state.hpp"

namespace torvan::map {

// The probe key's hash by its type's own hash function; raises the key's
// error (unhashable, a failing __hash__).
std::uint64_t hash_by_type(PyObject* key);

// The probe key's hash as the unsigned 64-bit value with the same bits.
// Exact str and int keys, the common ones, are hashed in place, as their
// types' hash functions would: a str keeps its hash in the object once it
// has been computed, and an int of one digit is its own hash, except -1,
// whose hash is -2. Anything else calls its type's hash function.
inline std::uint64_t hash_of(PyObject* key) {
    PyTypeObject* type = Py_TYPE(key);
    if (type == &PyUnicode_Type) {
        // Relaxed, as the interpreter reads it: pairs with the relaxed store
        // of whichever thread computed the hash first; the value stands alone,
        // and -1 (not yet computed) sends the key to its type's function.
        Py_hash_t cached = _Py_atomic_load_ssize_relaxed(&_PyASCIIObject_CAST(key)->hash);
        if (cached != -1) {
            return static_cast<std::uint64_t>(cached);
        }
    } else if (type == &PyLong_Type) {
        auto* number = reinterpret_cast<PyLongObject*>(key);
        if (PyUnstable_Long_IsCompact(number)) {
            Py_ssize_t value = PyUnstable_Long_CompactValue(number);
            return static_cast<std::uint64_t>(value == -1 ? -2 : value);
        }
    }
    return hash_by_type(key);
}

// The equality test: the stored key is the left operand. Raises what the
// comparison or the truth test of its result raises.
bool keys_equal(PyObject* stored, PyObject* probe);

// Equality decided without running Python code, for keys of the same exact
// type str, int, bytes or float, whose comparison is the interpreter's own C.
// Unknown for any other pair (subclasses included, and keys of two different
// types): those compare through keys_equal.
enum class NativeEquality { Equal, Unequal, Unknown };
NativeEquality native_equal(PyObject* stored, PyObject* probe) noexcept;

// The bucket scans below answer with a pair's index, or with the bucket's
// size when no key is the one sought.
inline bool names_pair(const PairBucket& bucket, std::uint32_t index) noexcept { return index < bucket.size(); }

// The first key of the bucket equal to the probe, decided natively: its
// index, the bucket's size when no key is equal, or kUndecided when some key
// before the answer cannot be compared natively. Reads the stored keys, so
// the caller holds the shard lock or is inside a read section.
inline constexpr std::uint32_t kUndecided = ~std::uint32_t{0};
std::uint32_t native_find_in(const PairBucket& bucket, PyObject* probe) noexcept;

// The common case settled inline: the bucket holds one pair, inside the
// slot, whose key is the probe object itself, of a type whose objects always
// equal themselves (a float may not: NaN), as a key reused from the map or
// interned is. The branch on the pair's place lets the key's load start with
// the slot's arrival, where a select would wait for the slot's sizes.
inline std::uint32_t native_find(const PairBucket& bucket, PyObject* probe) noexcept {
    if (const Pair* lone = bucket.lone_item(); lone != nullptr && lone->key == probe) {
        PyTypeObject* type = Py_TYPE(probe);
        if (type == &PyUnicode_Type || type == &PyLong_Type || type == &PyBytes_Type) {
            return 0;
        }
    }
    return native_find_in(bucket, probe);
}

// Locates `key` by identity in a bucket.
inline std::uint32_t find_identical(const PairBucket& bucket, PyObject* key) noexcept {
    std::uint32_t i = 0;
    while (i < bucket.size() && bucket[i].key != key) {
        ++i;
    }
    return i;
}

// The probe's pair in a bucket, settled without Python code: the probe
// object itself when `identity_first` and it is stored, else the key equal
// to it natively; when none is equal, the probe object itself after all (a
// NaN key finds itself). kUndecided when a key needs Python to compare.
// Inline, so that a mutation reusing a stored key object makes no call.
inline std::uint32_t locate_natively(const PairBucket& bucket, PyObject* probe, bool identity_first) noexcept {
    if (identity_first) {
        if (std::uint32_t same = find_identical(bucket, probe); names_pair(bucket, same)) {
            return same;
        }
    }
    std::uint32_t equal = native_find(bucket, probe);
    if (equal == kUndecided || names_pair(bucket, equal) || identity_first) {
        return equal;
    }
    return find_identical(bucket, probe);  // a NaN key is unequal to itself
}

// The stored keys this call compared with the probe and found unequal. Holds
// a reference to each, so no address in it can be reused by another object
// while the call runs; membership is by identity only.
class ExaminedKeys {
public:
    ExaminedKeys() noexcept = default;
    ExaminedKeys(const ExaminedKeys&) = delete;
    ExaminedKeys& operator=(const ExaminedKeys&) = delete;
    ~ExaminedKeys();

    void add(binding::OwnedRef key);
    // Orders the keys for the searches of the next locked step. Call
    // outside the lock, after a pass.
    void seal();
    bool contains(PyObject* key) const noexcept;
    // True when every key of the bucket is in the list.
    bool covers(const PairBucket& bucket) const noexcept;

private:
    static constexpr std::size_t kLinearLimit = 8;
    InlineVector<PyObject*, kLinearLimit> keys_;
    std::size_t sorted_ = 0;  // keys_[0, sorted_) are in address order
};

// New references to pairs of one bucket (keys, with or without values),
// taken under the shard lock. References not handed over are released by the
// destructor, which callers arrange to run after the lock is released.
class Snapshot {
public:
    Snapshot() noexcept = default;
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;
    ~Snapshot();

    // Under the lock: copies the bucket's pairs whose keys are not in
    // `skip` (if given), in bucket order. Throws std::bad_alloc before
    // taking any reference.
    void take(const PairBucket& bucket, bool with_values, const ExaminedKeys* skip = nullptr);

    std::size_t size() const noexcept { return pairs_.size(); }
    PyObject* key(std::size_t i) const noexcept { return pairs_[i].key; }
    binding::OwnedRef hand_over_key(std::size_t i) noexcept;
    binding::OwnedRef hand_over_value(std::size_t i) noexcept;

private:
    InlineVector<Pair, 4> pairs_;
};

// A key and its value held by a call (a key found equal, a pair taken out of
// the map), or nothing. The value may be missing when only the key was asked
// for.
struct OwnedPair {
    binding::OwnedRef key;
    binding::OwnedRef value;
    explicit operator bool() const noexcept { return static_cast<bool>(key); }
};

// One comparison pass of the mutations: snapshot the bucket's unexamined keys
// under the lock, then compare them in bucket order outside it. Keys found
// unequal join `examined`; the first equal key ends the pass and is returned
// (with the value the snapshot held for it, when asked for).
OwnedPair comparison_pass(Shard& shard, std::uint64_t hash, PyObject* probe, ExaminedKeys& examined,
                          bool with_values);

}  // namespace torvan::map
