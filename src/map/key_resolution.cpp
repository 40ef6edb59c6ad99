#include "map/key_resolution.hpp"

#include <algorithm>
#include <functional>
#include <mutex>

#include "binding/py_error.hpp"

namespace torvan::map {

using binding::OwnedRef;

std::uint64_t hash_of(PyObject* key) {
    Py_hash_t hash = PyObject_Hash(key);
    if (hash == -1) {  // never a valid hash: the interpreter maps it to -2
        binding::raise_current();
    }
    return static_cast<std::uint64_t>(hash);
}

bool keys_equal(PyObject* stored, PyObject* probe) {
    OwnedRef result = binding::checked(PyObject_RichCompare(stored, probe, Py_EQ));
    int truth = PyObject_IsTrue(result.get());
    result.reset();
    if (truth < 0) {
        binding::raise_current();
    }
    return truth != 0;
}

ExaminedKeys::~ExaminedKeys() {
    for (PyObject* key : keys_) {
        Py_DECREF(key);
    }
}

void ExaminedKeys::add(OwnedRef key) {
    keys_.push_back(key.get());
    (void)key.release();
}

void ExaminedKeys::seal() {
    if (keys_.size() > kLinearLimit && sorted_ != keys_.size()) {
        std::sort(keys_.begin(), keys_.end(), std::less<>());
        sorted_ = keys_.size();
    }
}

bool ExaminedKeys::contains(PyObject* key) const noexcept {
    PyObject* const* sorted_end = keys_.begin() + sorted_;
    if (std::binary_search(keys_.begin(), sorted_end, key, std::less<>())) {
        return true;
    }
    return std::find(sorted_end, keys_.end(), key) != keys_.end();
}

bool ExaminedKeys::covers(const PairBucket& bucket) const noexcept {
    return std::all_of(bucket.begin(), bucket.end(), [this](const Pair& pair) { return contains(pair.key); });
}

Snapshot::~Snapshot() {
    for (const Pair& pair : pairs_) {
        Py_XDECREF(pair.key);
        Py_XDECREF(pair.value);
    }
}

void Snapshot::take(const PairBucket& bucket, bool with_values, const ExaminedKeys* skip) {
    pairs_.reserve(pairs_.size() + bucket.size());
    for (const Pair& pair : bucket) {
        if (skip != nullptr && skip->contains(pair.key)) {
            continue;
        }
        Py_INCREF(pair.key);
        PyObject* value = nullptr;
        if (with_values) {
            value = Py_NewRef(pair.value);
        }
        pairs_.push_back_reserved(Pair{pair.key, value});
    }
}

OwnedRef Snapshot::hand_over_key(std::size_t i) noexcept { return OwnedRef::steal(std::exchange(pairs_[i].key, nullptr)); }

OwnedRef Snapshot::hand_over_value(std::size_t i) noexcept {
    return OwnedRef::steal(std::exchange(pairs_[i].value, nullptr));
}

Match comparison_pass(Shard& shard, std::uint64_t hash, PyObject* probe, ExaminedKeys& examined, bool with_values) {
    Snapshot snapshot;
    {
        std::lock_guard<ShardMutex> guard(shard.lock);
        if (PairEntry* entry = shard.table.find(hash)) {
            snapshot.take(entry->bucket(), with_values, &examined);
        }
    }
    for (std::size_t i = 0; i < snapshot.size(); ++i) {
        if (keys_equal(snapshot.key(i), probe)) {
            return Match{snapshot.hand_over_key(i), snapshot.hand_over_value(i)};
        }
        examined.add(snapshot.hand_over_key(i));
        snapshot.hand_over_value(i).reset();
    }
    examined.seal();
    return Match{};
}

std::uint32_t find_identical(const PairBucket& bucket, PyObject* key) noexcept {
    std::uint32_t i = 0;
    while (i < bucket.size() && bucket[i].key != key) {
        ++i;
    }
    return i;
}

}  // namespace torvan::map
