#include "core/sync/shard_mutex.hpp"

#include "core/platform/park.hpp"

namespace torvan::map {

namespace {
// Critical sections are a table lookup and a few increments, so a holder is
// usually gone within this many polls; parking costs two system calls.
constexpr int kSpinLimit = 100;
}  // namespace

void ShardMutex::lock_contended() noexcept {
    for (int spin = 0; spin < kSpinLimit; ++spin) {
        std::uint32_t seen = state_.load(std::memory_order_relaxed);
        if (seen == kUnlocked) {
            if (state_.compare_exchange_weak(seen, kLocked, std::memory_order_seq_cst, std::memory_order_relaxed)) {
                return;
            }
        } else if (seen == kContended) {
            break;  // others are parked already; queue behind them
        }
        platform::cpu_relax();
    }
    // Marking the word contended before parking makes the holder's unlock
    // wake us; taking it this way keeps the mark, since others may be parked.
    while (state_.exchange(kContended, std::memory_order_seq_cst) != kUnlocked) {
        platform::wait_on_word(state_, kContended);
    }
}

void ShardMutex::wake_waiter() noexcept { platform::wake_one(state_); }

}  // namespace torvan::map
