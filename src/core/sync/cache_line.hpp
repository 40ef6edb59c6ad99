#pragma once
// Keeping independently written data on separate cache lines, so that a
// thread writing one does not take the line away from threads using the other.

#include <atomic>
#include <cstddef>
#include <utility>

#include "core/platform/features.hpp"

namespace torvan::sync {

// Apple's Arm cores move memory between cores in 128-byte lines; the
// portable build uses them too, so that its layouts are the ones tested.
#if (defined(__aarch64__) && defined(__APPLE__)) || defined(TORVAN_PORTABLE)
inline constexpr std::size_t kCacheLine = 128;
#else
inline constexpr std::size_t kCacheLine = 64;
#endif

// A value that starts a line and has the rest of it to itself (an array of
// them gives each element its own line).
template <class T>
struct alignas(kCacheLine) CachePadded {
    template <class... Args>
    explicit CachePadded(Args&&... args) : value(std::forward<Args>(args)...) {}

    T value;
};

// A value alone on its own line wherever the object holding it lands, for
// objects that an allocator aligns only to `kObjectAlign` bytes (the
// interpreter's promises 16), where an aligned member could still share a
// line with the object's header. The value sits two lines into the object,
// padded on both sides: whatever the object's address, the line holding the
// value begins after the struct does and ends before it does, so it holds
// nothing else. `kStateOffset` is where this struct begins inside the object.
template <class T, std::size_t kStateOffset, std::size_t kObjectAlign = 16>
struct IsolatedAtomic {
    static constexpr std::size_t kValueOffset = 2 * kCacheLine;
    // The value never straddles two lines, and its line starts no earlier
    // than the value's offset less a line plus the alignment.
    static_assert(sizeof(std::atomic<T>) <= kObjectAlign && kStateOffset % kObjectAlign == 0 &&
                  kStateOffset <= kCacheLine + kObjectAlign);

    explicit IsolatedAtomic(T initial) noexcept : value(initial) {}
    // Relaxed: a move happens while the object is being built, before any sharing.
    IsolatedAtomic(IsolatedAtomic&& other) noexcept : value(other.value.load(std::memory_order_relaxed)) {}

    std::byte before[kValueOffset - kStateOffset] = {};
    std::atomic<T> value;
    std::byte after[kCacheLine - sizeof(std::atomic<T>)] = {};
};

}  // namespace torvan::sync
