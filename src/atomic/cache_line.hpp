#pragma once
// An atomic value alone on its own cache line, wherever the object holding it
// lands in memory.
//
// The interpreter's allocator only promises 16-byte alignment, so a plain
// alignas(64) member could still share a line with the object header (whose
// shared reference count other threads write). Instead the value sits at a
// 64-byte-multiple offset in the middle of 128 bytes of its own padding:
// whatever the object's 16-byte-aligned address, the cache line holding the
// value contains nothing but that padding.

#include <atomic>
#include <cstddef>

namespace torvan::atomic {

// `kStateOffset` is where this struct begins inside the object.
template <class T, std::size_t kStateOffset>
struct IsolatedAtomic {
    static constexpr std::size_t kValueOffset = 128;
    static_assert(sizeof(std::atomic<T>) <= 16 && kStateOffset % 16 == 0 && kStateOffset < kValueOffset);

    explicit IsolatedAtomic(T initial) noexcept : value(initial) {}
    IsolatedAtomic(IsolatedAtomic&& other) noexcept : value(other.value.load(std::memory_order_relaxed)) {}

    std::byte before[kValueOffset - kStateOffset] = {};
    std::atomic<T> value;
    std::byte after[64 - sizeof(std::atomic<T>)] = {};
};

}  // namespace torvan::atomic
