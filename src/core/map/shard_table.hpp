#pragma once
// The hash table of one map shard: buckets keyed by a full 64-bit hash
// value. Every item of a bucket has exactly the bucket's hash value; a bucket
// keeps its items in insertion order and is never empty.
//
// Open addressing with linear probing and backward-shift deletion, so there
// are no tombstones. Slot positions come from a keyed mix of the hash value,
// its key drawn per table, so that callers choosing hash values (Python
// objects do) cannot aim for long probe runs. A bucket holding one item keeps
// it inside the slot; only true collisions allocate.
//
// The table owns its memory, not its items: removing or destroying an item is
// the caller's business.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace torvan::map {

namespace detail {

__extension__ using Wide = unsigned __int128;

inline std::uint64_t folded_multiply(std::uint64_t a, std::uint64_t b) noexcept {
    Wide product = static_cast<Wide>(a) * b;
    return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

}  // namespace detail

// The per-table key of the slot mix. The tables of one map take the keys
// for_table() derives from one drawn key, with an exclusive or: a caller that
// holds the drawn key works out a table's spot without reading the table
// first, a load the lookup would otherwise wait for.
struct TableKey {
    std::uint64_t k0 = 0;
    std::uint64_t k1 = 0;

    TableKey for_table(std::uint64_t table_index) const noexcept { return TableKey{k0 ^ table_index, k1}; }
};

// Where the probe for a hash value starts in a table keyed with `key`, before
// it is reduced to the table's size: one multiplication, folded. (A second one
// spread the bits no better for a table, and sat in every lookup's chain of
// dependent steps, between the key object and the slot.)
inline std::uint64_t table_spot(const TableKey& key, std::uint64_t hash) noexcept {
    return detail::folded_multiply(hash ^ key.k0, key.k1 | 1);
}

// Keys for the tables of one map: one drawn from the operating system's
// random source, and the per-table keys derived from it.
class TableKeySource {
public:
    TableKeySource() noexcept;
    TableKey drawn() const noexcept { return drawn_; }
    TableKey key_for(std::uint64_t table_index) const noexcept { return drawn_.for_table(table_index); }

private:
    TableKey drawn_;
};

// An ordered list of items; one item lives inline, more move to the heap.
// Trivially copyable, so a table moves slots with plain copies; the owning
// table frees the heap part explicitly.
template <class T>
class Bucket {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

public:
    Bucket() noexcept : single_{} {}

    std::uint32_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    T* begin() noexcept { return data(); }
    T* end() noexcept { return data() + size_; }
    const T* begin() const noexcept { return data(); }
    const T* end() const noexcept { return data() + size_; }
    T& operator[](std::uint32_t i) noexcept { return data()[i]; }
    const T& operator[](std::uint32_t i) const noexcept { return data()[i]; }
    // The item of a bucket holding one, inside the slot; null otherwise.
    const T* lone_item() const noexcept { return capacity_ <= 1 && size_ == 1 ? &single_ : nullptr; }

private:
    template <class>
    friend class ShardTable;

    bool on_heap() const noexcept { return capacity_ > 1; }
    // A branch, not a conditional move: a lookup's next load (the key, the
    // value) then starts as soon as the slot arrives, instead of waiting for
    // the comparison of the capacity.
    T* data() noexcept {
        if (on_heap()) [[unlikely]] {
            return many_;
        }
        return &single_;
    }
    const T* data() const noexcept {
        if (on_heap()) [[unlikely]] {
            return many_;
        }
        return &single_;
    }

    // Throws std::bad_alloc with the bucket unchanged.
    void push_back(const T& item) {
        if (size_ == 0) {
            single_ = item;
            size_ = 1;
            return;
        }
        if (size_ == (on_heap() ? capacity_ : 1u)) {
            grow();
        }
        many_[size_++] = item;
    }

    void grow() {
        std::uint32_t old_capacity = on_heap() ? capacity_ : 1u;
        if (old_capacity > UINT32_MAX / 4) {
            throw std::bad_alloc();
        }
        std::uint32_t capacity = old_capacity < 2 ? 4 : old_capacity * 2;
        T* fresh = std::allocator<T>().allocate(capacity);
        std::memcpy(static_cast<void*>(fresh), data(), size_ * sizeof(T));
        release_heap();
        many_ = fresh;
        capacity_ = capacity;
    }

    // Removes item `index`; the items after it keep their order. A bucket
    // left with one item takes it back inline.
    void erase(std::uint32_t index) noexcept {
        T* items = data();
        std::memmove(static_cast<void*>(items + index), items + index + 1, (size_ - index - 1) * sizeof(T));
        --size_;
        if (on_heap() && size_ <= 1) {
            T remaining = items[0];
            release_heap();
            capacity_ = 0;
            single_ = remaining;
        }
    }

    void release_heap() noexcept {
        if (on_heap()) {
            std::allocator<T>().deallocate(many_, capacity_);
        }
    }

    std::uint32_t size_ = 0;
    std::uint32_t capacity_ = 0;  // 0 or 1: the item is inline; more: heap array of that size
    union {
        T single_;
        T* many_;
    };
};

template <class T>
class ShardTable {
public:
    using BucketType = Bucket<T>;

    // A bucket with its hash value, as found in the table.
    class Entry {
    public:
        std::uint64_t hash() const noexcept { return hash_; }
        BucketType& bucket() noexcept { return bucket_; }
        const BucketType& bucket() const noexcept { return bucket_; }

    private:
        friend class ShardTable;
        std::uint64_t hash_ = 0;
        BucketType bucket_;  // empty: the slot is free
    };

    ShardTable() noexcept = default;
    explicit ShardTable(TableKey key) noexcept : key_(key) {}
    ShardTable(ShardTable&& other) noexcept { steal(other); }
    ShardTable& operator=(ShardTable&& other) noexcept {
        if (this != &other) {
            release_storage();
            steal(other);
        }
        return *this;
    }
    ShardTable(const ShardTable&) = delete;
    ShardTable& operator=(const ShardTable&) = delete;
    ~ShardTable() { release_storage(); }

    // Number of items (not buckets).
    std::size_t size() const noexcept { return items_; }
    std::size_t bucket_count() const noexcept { return buckets_; }
    bool empty() const noexcept { return items_ == 0; }

    // Where the probe for a hash value starts, before it is reduced to the
    // table's size: table_spot() with the table's key, which never changes.
    std::uint64_t spot(std::uint64_t hash) const noexcept { return mix(hash); }

    Entry* find(std::uint64_t hash) noexcept { return find(hash, spot(hash)); }
    // The same with the spot of the hash value already worked out (before
    // the lock, say, so that the multiplication overlaps the lock's latency).
    Entry* find(std::uint64_t hash, std::uint64_t spot) noexcept {
        if (slots_ == nullptr) {
            return nullptr;
        }
        for (std::size_t i = static_cast<std::size_t>(spot) & mask_;; i = (i + 1) & mask_) {
            Entry& slot = slots_[i];
            if (slot.bucket_.empty()) {
                return nullptr;
            }
            if (slot.hash_ == hash) {
                return &slot;
            }
        }
    }

    // Appends the item to the bucket of `hash`, creating the bucket when there
    // is none. Throws std::bad_alloc with the table unchanged.
    void append(std::uint64_t hash, const T& item) {
        if (Entry* entry = find(hash)) {
            entry->bucket_.push_back(item);
            ++items_;
            return;
        }
        if (slots_ == nullptr || (buckets_ + 1) * 4 > (mask_ + 1) * 3) {
            rehash(slots_ == nullptr ? kMinimumSlots : (mask_ + 1) * 2);
        }
        std::size_t i = home(hash);
        while (!slots_[i].bucket_.empty()) {
            i = (i + 1) & mask_;
        }
        slots_[i].hash_ = hash;
        slots_[i].bucket_.push_back(item);  // inline into an empty bucket: cannot fail
        ++buckets_;
        ++items_;
    }

    // Appends to an entry found by find() (no lookup, no rehash).
    void append(Entry& entry, const T& item) {
        entry.bucket_.push_back(item);
        ++items_;
    }

    // Removes item `index` of the entry's bucket; a bucket left empty leaves
    // the table. Other entries may move, so earlier Entry pointers go stale.
    void erase(Entry& entry, std::uint32_t index) noexcept {
        entry.bucket_.erase(index);
        --items_;
        if (entry.bucket_.empty()) {
            remove_slot(static_cast<std::size_t>(&entry - slots_));
        }
    }

    // Takes every bucket out, leaving this table empty with the same key.
    ShardTable take() noexcept {
        ShardTable taken;
        taken.steal(*this);
        return taken;
    }

    // Calls f(entry) for every bucket, in slot order (which the key makes
    // unpredictable).
    template <class F>
    void for_each(F&& f) const {
        if (slots_ == nullptr) {
            return;
        }
        for (std::size_t i = 0; i <= mask_; ++i) {
            if (!slots_[i].bucket_.empty()) {
                f(static_cast<const Entry&>(slots_[i]));
            }
        }
    }

private:
    static constexpr std::size_t kMinimumSlots = 8;

    // Set once, at construction (take() and moves copy it along), so that
    // spot() may read it without the lock.
    std::uint64_t mix(std::uint64_t hash) const noexcept { return table_spot(key_, hash); }
    std::size_t home(std::uint64_t hash) const noexcept { return static_cast<std::size_t>(mix(hash)) & mask_; }

    void rehash(std::size_t capacity) {
        if (capacity > SIZE_MAX / 2 / sizeof(Entry)) {
            throw std::bad_alloc();
        }
        Entry* fresh = new Entry[capacity]();
        std::size_t mask = capacity - 1;
        if (slots_ != nullptr) {
            for (std::size_t i = 0; i <= mask_; ++i) {
                if (slots_[i].bucket_.empty()) {
                    continue;
                }
                std::size_t j = static_cast<std::size_t>(mix(slots_[i].hash_)) & mask;
                while (!fresh[j].bucket_.empty()) {
                    j = (j + 1) & mask;
                }
                fresh[j] = slots_[i];
            }
            delete[] slots_;
        }
        slots_ = fresh;
        mask_ = mask;
    }

    // Backward-shift deletion: entries after the hole that may live closer to
    // their home slot move back, so a probe never meets a gap early.
    void remove_slot(std::size_t hole) noexcept {
        --buckets_;
        for (std::size_t j = (hole + 1) & mask_;; j = (j + 1) & mask_) {
            if (slots_[j].bucket_.empty()) {
                break;
            }
            std::size_t wanted = home(slots_[j].hash_);
            // The entry at j may fill the hole unless its home lies cyclically in (hole, j].
            bool stays = hole <= j ? (hole < wanted && wanted <= j) : (hole < wanted || wanted <= j);
            if (!stays) {
                slots_[hole] = slots_[j];
                hole = j;
            }
        }
        slots_[hole] = Entry();
    }

    static_assert(std::is_trivially_copyable_v<Entry>, "slots move with plain copies");

    void steal(ShardTable& other) noexcept {
        slots_ = std::exchange(other.slots_, nullptr);
        mask_ = std::exchange(other.mask_, 0);
        buckets_ = std::exchange(other.buckets_, 0);
        items_ = std::exchange(other.items_, 0);
        key_ = other.key_;
    }

    void release_storage() noexcept {
        if (slots_ == nullptr) {
            return;
        }
        for (std::size_t i = 0; i <= mask_; ++i) {
            slots_[i].bucket_.release_heap();
        }
        delete[] slots_;
        slots_ = nullptr;
        mask_ = buckets_ = items_ = 0;
    }

    Entry* slots_ = nullptr;
    std::size_t mask_ = 0;  // slot count - 1, once there are slots
    std::size_t buckets_ = 0;
    std::size_t items_ = 0;
    TableKey key_{};
};

}  // namespace torvan::map
