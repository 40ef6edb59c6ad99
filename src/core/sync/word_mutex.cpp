#include "core/sync/word_mutex.hpp"

#include "core/platform/park.hpp"
#include "core/sync/spin_wait.hpp"

namespace torvan::sync {

void WordMutex::lock_contended() noexcept {
    LockSpinWait spin;
    do {
        std::uint32_t seen = state_.load(std::memory_order_relaxed);  // a guess; the CAS decides
        if (seen == kUnlocked) {
            if (state_.compare_exchange_weak(seen, kLocked, std::memory_order_seq_cst, std::memory_order_relaxed)) {
                return;
            }
        } else if (seen == kContended) {
            break;  // others are parked already; queue behind them
        }
    } while (spin.spin());
    // Marking the word contended before parking makes the holder's unlock
    // wake us; taking it this way keeps the mark, since others may be parked.
    while (state_.exchange(kContended, std::memory_order_seq_cst) != kUnlocked) {
        platform::wait_on_word(state_, kContended);
    }
}

void WordMutex::wake_waiter() noexcept { platform::wake_one(state_); }

}  // namespace torvan::sync
