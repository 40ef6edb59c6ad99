#pragma once
// The record through which a rendezvous item passes from one thread to
// another. It is reference counted, so whichever side finishes last frees it,
// and each side can sleep on its state word while the other still holds it.
//
// A blocking sender's packet points at the sender's own item (Full from the
// start); the receiver moves the item out and marks the packet Taken. Every
// other packet starts Empty: a receiver's, which the sender fills, and a
// selecting sender's, which it fills when it completes the selected send. A
// claimer that abandons its claim marks the packet Released so that the other
// side retries.
//
//   kEmpty -> kFull        fill(): the sender moved its item in
//   kFull -> kTaken        take(): the receiver moved the item out
//   kEmpty -> kReleased    abandon(): the claim was given up
//
// kSleeper is or-ed into the state by a thread about to sleep on it, so that
// the next change wakes it.

#include <atomic>
#include <cstdint>
#include <new>
#include <utility>

#include "core/platform/park.hpp"
#include "core/sync/ref_count.hpp"
#include "core/sync/spin_wait.hpp"

namespace torvan::engine::detail {

template <class T>
class Packet : public sync::RefCounted<Packet<T>> {
public:
    static constexpr std::uint32_t kEmpty = 0;
    static constexpr std::uint32_t kFull = 1;
    static constexpr std::uint32_t kTaken = 2;
    static constexpr std::uint32_t kReleased = 3;

    // May throw std::bad_alloc.
    static Packet* empty() { return new Packet(nullptr, kEmpty); }
    static Packet* pointing_at(T& item) { return new Packet(&item, kFull); }

    // Acquire loads here and in wait(): pair with publish()'s exchange, after
    // which the item behind the packet is the reader's.
    std::uint32_t state() const noexcept { return state_.load(std::memory_order_acquire) & ~kSleeper; }

    // Moves the item in (an Empty packet) and publishes it.
    void fill(T& item) noexcept {
        ::new (storage_) T(std::move(item));
        holds_item_ = true;
        publish(kFull);
    }

    // Moves the item of a Full packet out into `sink` and marks it Taken.
    template <class Sink>
    void take(Sink&& sink) noexcept {
        if (source_ != nullptr) {
            sink(std::move(*source_));
        } else {
            T* item = std::launder(reinterpret_cast<T*>(storage_));
            sink(std::move(*item));
            item->~T();
            holds_item_ = false;
        }
        publish(kTaken);
    }

    // The claimer gives up: the other side retries.
    void abandon() noexcept { publish(kReleased); }

    // Waits until the state is no longer `current` and returns the new state.
    // The other side holds a reference and is committed to act at once, so
    // the wait is short: spin first, then sleep on the state word.
    std::uint32_t wait_while(std::uint32_t current) noexcept {
        sync::SpinWait spin;
        do {
            std::uint32_t s = state();
            if (s != current) {
                return s;
            }
        } while (spin.spin());
        for (;;) {
            // Acquire (also on the CAS): pairs with the acq_rel exchange of the
            // thread that moves the state on, whose writes the caller then reads.
            std::uint32_t s = state_.load(std::memory_order_acquire);
            if ((s & ~kSleeper) != current) {
                return s & ~kSleeper;
            }
            if ((s & kSleeper) == 0 &&
                !state_.compare_exchange_weak(s, s | kSleeper, std::memory_order_acquire,
                                              std::memory_order_acquire)) {
                continue;
            }
            platform::wait_on_word(state_, current | kSleeper);
        }
    }

private:
    friend class sync::RefCounted<Packet<T>>;
    static constexpr std::uint32_t kSleeper = 0x100;

    Packet(T* source, std::uint32_t state) noexcept : state_(state), source_(source) {}
    ~Packet() {
        if (holds_item_) {
            std::launder(reinterpret_cast<T*>(storage_))->~T();
        }
    }

    void publish(std::uint32_t s) noexcept {
        // Acq_rel: releases what the publisher wrote to the waiter's acquire
        // loads, and sees whether the waiter set kSleeper (its CAS) first.
        if ((state_.exchange(s, std::memory_order_acq_rel) & kSleeper) != 0) {
            platform::wake_all(state_);
        }
    }

    std::atomic<std::uint32_t> state_;
    T* const source_;
    bool holds_item_ = false;
    alignas(T) unsigned char storage_[sizeof(T)];
};

// Owns one reference to a packet.
template <class T>
using PacketRef = sync::CountedRef<Packet<T>>;

}  // namespace torvan::engine::detail
