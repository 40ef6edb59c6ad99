#pragma once
// A few places through which threads hand one another pointers to things
// nobody else refers to. Each place is filled or emptied whole by one atomic
// operation, so a pointer put in is taken out by exactly one thread, and no
// place can be mistaken for having stayed the same meanwhile (no ABA).

#include <atomic>
#include <cstddef>

namespace torvan::sync {

template <class T, std::size_t kPlaces>
class PointerPlaces {
public:
    constexpr PointerPlaces() noexcept = default;
    PointerPlaces(const PointerPlaces&) = delete;
    PointerPlaces& operator=(const PointerPlaces&) = delete;

    // Puts `pointer` into an empty place; false, keeping nothing, when every
    // place is taken. What the putter wrote before is seen by the taker.
    // Relaxed looks first, so that a full place costs no exclusive access;
    // the release CAS pairs with take()'s acquire exchange.
    bool put(T* pointer) noexcept {
        for (std::atomic<T*>& place : places_) {
            T* expected = nullptr;
            if (place.load(std::memory_order_relaxed) == nullptr &&
                place.compare_exchange_strong(expected, pointer, std::memory_order_release,
                                              std::memory_order_relaxed)) {
                return true;
            }
        }
        return false;
    }

    // Takes a pointer out of some place; null when every place is empty.
    // A relaxed look, then the acquire exchange that pairs with put()'s CAS.
    T* take() noexcept {
        for (std::atomic<T*>& place : places_) {
            if (place.load(std::memory_order_relaxed) != nullptr) {
                if (T* pointer = place.exchange(nullptr, std::memory_order_acquire)) {
                    return pointer;
                }
            }
        }
        return nullptr;
    }

private:
    std::atomic<T*> places_[kPlaces] = {};
};

}  // namespace torvan::sync
