#include "map/key_resolution.hpp"

#include <algorithm>
#include <cstring>
#include <functional>
#include <mutex>

#include "binding/py_error.hpp"

namespace torvan::map {

using binding::OwnedRef;

std::uint64_t hash_by_type(PyObject* key) {
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

namespace {

// An int's value when it fits in 64 bits. Cannot fail on an int: overflow is
// reported, not raised.
std::optional<long long> small_value(PyObject* number) noexcept {
    auto* as_long = reinterpret_cast<PyLongObject*>(number);
    if (PyUnstable_Long_IsCompact(as_long)) {
        return PyUnstable_Long_CompactValue(as_long);
    }
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(number, &overflow);
    return overflow == 0 ? std::optional<long long>(value) : std::nullopt;
}

}  // namespace

NativeEquality native_equal(PyObject* stored, PyObject* probe) noexcept {
    PyTypeObject* type = Py_TYPE(probe);
    if (Py_TYPE(stored) != type) {
        return NativeEquality::Unknown;
    }
    auto answer = [](bool equal) { return equal ? NativeEquality::Equal : NativeEquality::Unequal; };
    if (type == &PyUnicode_Type) {
        return answer(stored == probe || PyUnicode_Equal(stored, probe) == 1);
    }
    if (type == &PyLong_Type) {
        if (stored == probe) {
            return NativeEquality::Equal;
        }
        std::optional<long long> left = small_value(stored);
        std::optional<long long> right = small_value(probe);
        if (!left && !right) {
            return NativeEquality::Unknown;  // both beyond 64 bits: the interpreter's comparison decides
        }
        return answer(left == right);
    }
    if (type == &PyBytes_Type) {
        return answer(stored == probe || (PyBytes_GET_SIZE(stored) == PyBytes_GET_SIZE(probe) &&
                                          std::memcmp(PyBytes_AS_STRING(stored), PyBytes_AS_STRING(probe),
                                                      static_cast<std::size_t>(PyBytes_GET_SIZE(probe))) == 0));
    }
    if (type == &PyFloat_Type) {
        // No identity shortcut: NaN is unequal even to itself.
        return answer(PyFloat_AS_DOUBLE(stored) == PyFloat_AS_DOUBLE(probe));
    }
    return NativeEquality::Unknown;
}

std::uint32_t native_find_in(const PairBucket& bucket, PyObject* probe) noexcept {
    for (std::uint32_t i = 0; i < bucket.size(); ++i) {
        switch (native_equal(bucket[i].key, probe)) {
            case NativeEquality::Equal:
                return i;
            case NativeEquality::Unequal:
                continue;
            case NativeEquality::Unknown:
                return kUndecided;
        }
    }
    return bucket.size();
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

OwnedPair comparison_pass(Shard& shard, std::uint64_t hash, PyObject* probe, ExaminedKeys& examined,
                          bool with_values) {
    Snapshot snapshot;
    {
        std::lock_guard<sync::WordMutex> guard(shard.lock);
        if (PairEntry* entry = shard.table.find(hash)) {
            snapshot.take(entry->bucket(), with_values, &examined);
        }
    }
    for (std::size_t i = 0; i < snapshot.size(); ++i) {
        if (keys_equal(snapshot.key(i), probe)) {
            return OwnedPair{snapshot.hand_over_key(i), snapshot.hand_over_value(i)};
        }
        examined.add(snapshot.hand_over_key(i));
        snapshot.hand_over_value(i).reset();
    }
    examined.seal();
    return OwnedPair{};
}


}  // namespace torvan::map
