#include "lock/raw_rwlock.hpp"

#include "binding/failure.hpp"
#include "platform/park.hpp"

namespace torvan::lock {

namespace {
// Brief spinning before parking: critical sections are usually short, and a
// sleep and wake-up costs far more than a few hundred pause instructions.
constexpr int kSpinLimit = 100;
}  // namespace

bool RawRwLock::try_lock_shared(bool recursive) {
    // Guess "free" for the first compare-and-swap: right, it takes the lock
    // in one exchange with the other cores; wrong, it reads the word anyway.
    std::uint64_t state = 0;
    if (state_.compare_exchange_strong(state, 1, std::memory_order_acquire, std::memory_order_relaxed)) {
        return true;
    }
    while (admits_reader(state, recursive)) {
        if ((state & kReaderMask) == kMaxReaders) {
            fail("RwLock reader count overflow");
        }
        if (state_.compare_exchange_weak(state, state + 1, std::memory_order_acquire, std::memory_order_relaxed)) {
            return true;
        }
    }
    return false;
}

void RawRwLock::lock_shared(bool recursive) {
    for (int spins = 0;;) {
        if (try_lock_shared(recursive)) {
            return;
        }
        if (spins < kSpinLimit) {
            ++spins;
            platform::cpu_relax();
            continue;
        }
        // Announce the sleeper, then re-check: a release either sees the
        // announcement and bumps the sequence, or came before the re-check.
        std::uint32_t sequence = reader_sequence_.load(std::memory_order_seq_cst);
        readers_parked_.fetch_add(1, std::memory_order_seq_cst);
        if (!admits_reader(state_.load(std::memory_order_seq_cst), recursive)) {
            platform::wait_on_word(reader_sequence_, sequence);
        }
        readers_parked_.fetch_sub(1, std::memory_order_relaxed);
    }
}

void RawRwLock::unlock_shared() noexcept {
    std::uint64_t previous = state_.fetch_sub(1, std::memory_order_seq_cst);
    // Readers only ever wait for a writer, so only the last reader leaving
    // in front of a waiting writer has anyone to wake.
    if ((previous & kReaderMask) == 1 && (previous & kWriterWaiting) != 0) {
        wake_writer();
    }
}

void RawRwLock::lock_exclusive() noexcept {
    for (int spins = 0;;) {
        std::uint64_t state = state_.load(std::memory_order_relaxed);
        if (!has_holder(state)) {
            // Taking the lock clears the waiting bit; writers still parked set
            // it again when the release wakes them.
            if (state_.compare_exchange_weak(state, kWriterHeld, std::memory_order_acquire,
                                             std::memory_order_relaxed)) {
                return;
            }
            continue;
        }
        if ((state & kWriterWaiting) == 0) {
            // Stop new readers at once, before spinning.
            state_.compare_exchange_weak(state, state | kWriterWaiting, std::memory_order_relaxed,
                                         std::memory_order_relaxed);
            continue;
        }
        if (spins < kSpinLimit) {
            ++spins;
            platform::cpu_relax();
            continue;
        }
        std::uint32_t sequence = writer_sequence_.load(std::memory_order_seq_cst);
        writers_parked_.fetch_add(1, std::memory_order_seq_cst);
        state = state_.load(std::memory_order_seq_cst);
        // Sleep only while the waiting bit is ours to rely on: the release
        // that frees the lock then sees it (or the parked count) and wakes us.
        if (has_holder(state) && (state & kWriterWaiting) != 0) {
            platform::wait_on_word(writer_sequence_, sequence);
        }
        writers_parked_.fetch_sub(1, std::memory_order_relaxed);
    }
}

void RawRwLock::unlock_exclusive() noexcept {
    state_.fetch_and(~kWriterHeld, std::memory_order_seq_cst);
    wake_readers();
    wake_writer();
}

void RawRwLock::wake_writer() noexcept {
    if (writers_parked_.load(std::memory_order_seq_cst) != 0) {
        writer_sequence_.fetch_add(1, std::memory_order_seq_cst);
        platform::wake_one(writer_sequence_);
    }
}

void RawRwLock::wake_readers() noexcept {
    if (readers_parked_.load(std::memory_order_seq_cst) != 0) {
        reader_sequence_.fetch_add(1, std::memory_order_seq_cst);
        platform::wake_all(reader_sequence_);
    }
}

}  // namespace torvan::lock
