#pragma once
// A small non-recursive mutex on one 32-bit word, for critical sections that
// never wait for anything else (a channel's waiter lists, a map shard's
// table). Uncontended, acquiring is one compare-and-swap and releasing one
// exchange; a thread that finds it taken spins for a moment (LockSpinWait),
// then parks on the word until the holder wakes it.
//
// The word:
//
//   kUnlocked   free
//   kLocked     held, nobody parked: unlock wakes nobody
//   kContended  held, someone may be parked: unlock wakes one
//
//   kUnlocked  -> kLocked     lock(), try_lock(), or a spinning waiter
//   kLocked    -> kContended  a waiter about to park
//   kUnlocked  -> kContended  a waiter that was parked, or gave up spinning,
//                             takes the lock: others may still be parked
//   held       -> kUnlocked   unlock(); from kContended it wakes one waiter
//
// Acquiring is sequentially consistent, so that a writer that has taken the
// lock and then looks for readers (map/read_section.hpp) and a reader that
// has announced itself and then looks at the lock cannot both miss each
// other. (On x86 every compare-and-swap is that strong anyway.)
//
// Satisfies Lockable, so std::lock_guard and std::unique_lock work with it.

#include <atomic>
#include <cstdint>

namespace torvan::sync {

class WordMutex {
public:
    WordMutex() noexcept = default;
    WordMutex(const WordMutex&) = delete;
    WordMutex& operator=(const WordMutex&) = delete;

    void lock() noexcept {
        if (!try_lock()) {
            lock_contended();
        }
    }

    bool try_lock() noexcept {
        std::uint32_t expected = kUnlocked;
        // A failed attempt reads nothing the lock protects: relaxed.
        return state_.compare_exchange_strong(expected, kLocked, std::memory_order_seq_cst,
                                              std::memory_order_relaxed);
    }

    // For a reader inside a read section: nobody holds the lock.
    bool is_free() const noexcept { return state_.load(std::memory_order_seq_cst) == kUnlocked; }

    void unlock() noexcept {
        // Only a holder that saw (or caused) contention pays for a wake-up.
        // Release: pairs with the acquiring CASes (sequentially consistent,
        // so acquire too); a failed CAS reads nothing and is relaxed.
        if (state_.exchange(kUnlocked, std::memory_order_release) == kContended) {
            wake_waiter();
        }
    }

private:
    static constexpr std::uint32_t kUnlocked = 0;
    static constexpr std::uint32_t kLocked = 1;
    static constexpr std::uint32_t kContended = 2;

    // Out of line: only the two calls above belong on the fast path.
    void lock_contended() noexcept;
    void wake_waiter() noexcept;

    std::atomic<std::uint32_t> state_{kUnlocked};
};

}  // namespace torvan::sync
