#pragma once
// A growable array of trivially copyable items whose first N items live
// inside the object, so short lists (a bucket's snapshot, the operations of
// a wait) need no heap.

#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>

namespace torvan {

template <class T, std::size_t N>
class InlineVector {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);
    static_assert(N > 0);

public:
    InlineVector() noexcept = default;
    // `count` value-initialised items; throws std::bad_alloc.
    explicit InlineVector(std::size_t count) {
        reserve(count);
        for (; size_ < count; ++size_) {
            data_[size_] = T{};
        }
    }
    InlineVector(const InlineVector&) = delete;
    InlineVector& operator=(const InlineVector&) = delete;
    ~InlineVector() {
        if (data_ != inline_) {
            std::allocator<T>().deallocate(data_, capacity_);
        }
    }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    T* begin() noexcept { return data_; }
    T* end() noexcept { return data_ + size_; }
    const T* begin() const noexcept { return data_; }
    const T* end() const noexcept { return data_ + size_; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }

    // Makes room for `count` items in all; throws std::bad_alloc with the
    // contents unchanged when that fails.
    void reserve(std::size_t count) {
        if (count <= capacity_) {
            return;
        }
        std::size_t grown = capacity_ * 2 > count ? capacity_ * 2 : count;
        T* fresh = std::allocator<T>().allocate(grown);
        std::memcpy(static_cast<void*>(fresh), data_, size_ * sizeof(T));
        if (data_ != inline_) {
            std::allocator<T>().deallocate(data_, capacity_);
        }
        data_ = fresh;
        capacity_ = grown;
    }

    void push_back(const T& item) {
        if (size_ == capacity_) {
            reserve(size_ + 1);
        }
        data_[size_++] = item;
    }

    // Appends without a capacity check; reserve() first.
    void push_back_reserved(const T& item) noexcept { data_[size_++] = item; }

    void clear() noexcept { size_ = 0; }

private:
    T inline_[N];
    T* data_ = inline_;
    std::size_t size_ = 0;
    std::size_t capacity_ = N;
};

}  // namespace torvan
