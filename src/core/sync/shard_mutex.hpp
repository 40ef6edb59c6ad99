#pragma once
// A small non-recursive mutex for critical sections that never wait for
// anything else (a map shard's table). Uncontended, acquiring is one
// compare-and-swap and releasing one exchange; a thread that finds it taken
// spins briefly, then parks on the word until the holder wakes it.
//
// Acquiring is sequentially consistent, so that a writer that has taken the
// lock and then looks for readers (read_section.hpp) and a reader that has
// announced itself and then looks at the lock cannot both miss each other.
//
// Satisfies Lockable, so std::lock_guard and std::unique_lock work with it.

#include <atomic>
#include <cstdint>

namespace torvan::map {

class ShardMutex {
public:
    ShardMutex() noexcept = default;
    ShardMutex(const ShardMutex&) = delete;
    ShardMutex& operator=(const ShardMutex&) = delete;

    void lock() noexcept {
        std::uint32_t expected = kUnlocked;
        if (!state_.compare_exchange_strong(expected, kLocked, std::memory_order_seq_cst,
                                            std::memory_order_relaxed)) {
            lock_contended();
        }
    }

    bool try_lock() noexcept {
        std::uint32_t expected = kUnlocked;
        return state_.compare_exchange_strong(expected, kLocked, std::memory_order_seq_cst,
                                              std::memory_order_relaxed);
    }

    // For a reader inside a read section: nobody holds the lock.
    bool is_free() const noexcept { return state_.load(std::memory_order_seq_cst) == kUnlocked; }

    void unlock() noexcept {
        // Only a holder that saw (or caused) contention pays for a wake-up.
        if (state_.exchange(kUnlocked, std::memory_order_release) == kContended) {
            wake_waiter();
        }
    }

private:
    static constexpr std::uint32_t kUnlocked = 0;
    static constexpr std::uint32_t kLocked = 1;     // held, nobody parked
    static constexpr std::uint32_t kContended = 2;  // held, someone may be parked

    void lock_contended() noexcept;
    void wake_waiter() noexcept;

    std::atomic<std::uint32_t> state_{kUnlocked};
};

}  // namespace torvan::map
