#pragma once
// What a receive on an unbounded channel takes out of its slot. An item type
// can leave part of itself behind by declaring, beside the type,
//
//     T take_from_slot(T& item) noexcept;
//     bool left_in_slot(const T& item) noexcept;  // after the take
//
// found by argument-dependent lookup. A slot that keeps something keeps it
// until a sender reuses the block (or the channel ends), and destroys it
// then; any other slot's item is destroyed by the receive. Without these the
// whole item is moved out, so nothing of it outlives the receive.

#include <utility>

namespace torvan::engine::detail {

namespace slot_take_default {
template <class T>
T take_from_slot(T& item) noexcept {
    return std::move(item);
}
template <class T>
bool left_in_slot(const T&) noexcept {
    return false;
}
}  // namespace slot_take_default

template <class T>
T take_from_slot_of(T& item) noexcept {
    using slot_take_default::take_from_slot;
    return take_from_slot(item);
}

template <class T>
bool left_in_slot_of(const T& item) noexcept {
    using slot_take_default::left_in_slot;
    return left_in_slot(item);
}

}  // namespace torvan::engine::detail
