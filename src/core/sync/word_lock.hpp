#pragma once
// The engine's short lock: guards waiter lists only, never held while a
// thread sleeps on anything else or while items move. Contended acquirers spin
// briefly, then sleep on the lock word.

#include <atomic>
#include <cstdint>

#include "core/platform/park.hpp"

namespace torvan::engine::detail {

class WordLock {
public:
    WordLock() noexcept = default;
    WordLock(const WordLock&) = delete;
    WordLock& operator=(const WordLock&) = delete;

    void lock() noexcept {
        std::uint32_t expected = kUnlocked;
        if (!state_.compare_exchange_strong(expected, kLocked, std::memory_order_acquire,
                                            std::memory_order_relaxed)) {
            lock_contended();
        }
    }

    void unlock() noexcept {
        if (state_.exchange(kUnlocked, std::memory_order_release) == kContended) {
            platform::wake_one(state_);
        }
    }

private:
    void lock_contended() noexcept {
        for (int i = 0; i < 64; ++i) {
            std::uint32_t current = state_.load(std::memory_order_relaxed);
            if (current == kContended) {
                break;
            }
            if (current == kUnlocked &&
                state_.compare_exchange_weak(current, kLocked, std::memory_order_acquire,
                                             std::memory_order_relaxed)) {
                return;
            }
            platform::cpu_relax();
        }
        // Marking the lock contended makes the holder wake one sleeper on unlock.
        while (state_.exchange(kContended, std::memory_order_acquire) != kUnlocked) {
            platform::wait_on_word(state_, kContended);
        }
    }

    static constexpr std::uint32_t kUnlocked = 0;
    static constexpr std::uint32_t kLocked = 1;
    static constexpr std::uint32_t kContended = 2;
    std::atomic<std::uint32_t> state_{kUnlocked};
};

}  // namespace torvan::engine::detail
