#pragma once
// What a receive on an unbounded channel takes out of its slot. Those slots
// keep what a receive leaves of an item until a sender reuses the block (or
// the channel ends), and destroy it then. An item type can leave part of
// itself behind by declaring, beside the type,
//
//     T take_from_slot(T& item) noexcept;
//
// found by argument-dependent lookup. Without one the whole item is moved
// out, so nothing of it outlives the receive.

#include <utility>

namespace torvan::engine::detail {

namespace slot_take_default {
template <class T>
T take_from_slot(T& item) noexcept {
    return std::move(item);
}
}  // namespace slot_take_default

template <class T>
T take_from_slot_of(T& item) noexcept {
    using slot_take_default::take_from_slot;
    return take_from_slot(item);
}

}  // namespace torvan::engine::detail
