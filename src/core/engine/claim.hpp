#pragma once
// What a selection has claimed, kept until the selected operation is
// completed or abandoned: a received item (receives take their item when they
// are selected), a reserved buffer slot, or a rendezvous hand-over record.

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

#include "core/engine/context.hpp"

namespace torvan::engine::detail {

// Type-erased owner of at most one item. Room is reserved up front, so that
// putting an item in never fails after it has been taken from a channel.
class ItemBox {
public:
    static constexpr std::size_t kInlineSize = 64;
    static constexpr std::size_t kInlineAlign = 16;

    ItemBox() noexcept = default;
    ItemBox(const ItemBox&) = delete;
    ItemBox& operator=(const ItemBox&) = delete;
    ItemBox(ItemBox&& other) noexcept
        : heap_(std::exchange(other.heap_, nullptr)),
          heap_size_(std::exchange(other.heap_size_, 0)),
          heap_align_(std::exchange(other.heap_align_, 0)),
          destroy_(std::exchange(other.destroy_, nullptr)),
          relocate_(std::exchange(other.relocate_, nullptr)) {
        if (heap_ == nullptr && destroy_ != nullptr) {
            relocate_(inline_, other.inline_);
        }
    }
    ItemBox& operator=(ItemBox&&) = delete;
    ~ItemBox() {
        clear();
        if (heap_ != nullptr) {
            ::operator delete(heap_, std::align_val_t(heap_align_));
        }
    }

    // Makes room for an item of this size and alignment. Only while empty.
    void reserve(std::size_t size, std::size_t align) {
        if (size <= kInlineSize && align <= kInlineAlign) {
            return;
        }
        if (heap_ != nullptr && size <= heap_size_ && align <= heap_align_) {
            return;
        }
        void* fresh = ::operator new(size, std::align_val_t(align));
        if (heap_ != nullptr) {
            ::operator delete(heap_, std::align_val_t(heap_align_));
        }
        heap_ = fresh;
        heap_size_ = size;
        heap_align_ = align;
    }

    template <class T>
    void prepare() {
        reserve(sizeof(T), alignof(T));
    }

    // Precondition: empty, and room reserved for T.
    template <class T>
    void put(T&& item) noexcept {
        static_assert(std::is_nothrow_move_constructible_v<T>);
        ::new (storage()) T(std::move(item));
        destroy_ = [](void* p) noexcept { static_cast<T*>(p)->~T(); };
        relocate_ = [](void* to, void* from) noexcept {
            T* source = std::launder(static_cast<T*>(from));
            ::new (to) T(std::move(*source));
            source->~T();
        };
    }

    template <class T>
    T& get() noexcept {
        return *std::launder(static_cast<T*>(storage()));
    }

    bool has_value() const noexcept { return destroy_ != nullptr; }

    // Destroys the item held, if any (item destructors may run any code).
    void clear() noexcept {
        if (destroy_ != nullptr) {
            auto destroy = std::exchange(destroy_, nullptr);
            relocate_ = nullptr;
            destroy(storage());
        }
    }

private:
    void* storage() noexcept { return heap_ != nullptr ? heap_ : static_cast<void*>(inline_); }

    alignas(kInlineAlign) unsigned char inline_[kInlineSize];
    void* heap_ = nullptr;
    std::size_t heap_size_ = 0;
    std::size_t heap_align_ = 0;
    void (*destroy_)(void*) noexcept = nullptr;
    void (*relocate_)(void*, void*) noexcept = nullptr;
};

enum class ClaimKind : std::uint8_t {
    None,
    Received,          // `item` holds the received item
    RecvDisconnected,  // the receive completes with Disconnected
    ArraySlot,         // a bounded buffer slot reserved for the send
    ListSend,          // an unbounded send: always possible, nothing reserved
    ZeroPacket,        // a rendezvous hand-over record (one reference owned)
    SendDisconnected,  // the send completes with Disconnected
};

struct Claim {
    Claim() noexcept = default;
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;
    Claim(Claim&& other) noexcept
        : kind(std::exchange(other.kind, ClaimKind::None)),
          target(std::exchange(other.target, nullptr)),
          stamp(other.stamp),
          partner(std::move(other.partner)),
          item(std::move(other.item)) {}
    Claim& operator=(Claim&&) = delete;

    ClaimKind kind = ClaimKind::None;
    void* target = nullptr;  // the array slot, or the rendezvous packet
    std::size_t stamp = 0;   // array: the stamp that publishes the slot
    ContextRef partner;      // rendezvous: the waiting receiver to wake after the hand-over
    ItemBox item;
};

}  // namespace torvan::engine::detail
