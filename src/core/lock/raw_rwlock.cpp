#include "core/lock/raw_rwlock.hpp"

#include "core/failure.hpp"
#include "core/platform/park.hpp"
#include "core/sync/spin_wait.hpp"

namespace torvan::lock {

// Waiters spin for a moment before parking (LockSpinWait): critical sections
// are usually short, and a sleep and wake-up costs far more.

namespace {
std::atomic<std::uint32_t> next_slot{0};
}  // namespace

std::uint32_t detail::assign_reader_slot() noexcept {
    // Relaxed: spreads threads over the slots; it publishes nothing.
    t_reader_slot = next_slot.fetch_add(1, std::memory_order_relaxed) % ReaderSlots::kCount;
    return t_reader_slot;
}

bool ReaderSlots::all_empty() const noexcept {
    for (const Slot& slot : slots_) {
        if (slot.value.load(std::memory_order_seq_cst) != 0) {
            return false;
        }
    }
    return true;
}

std::uint64_t ReaderSlots::total() const noexcept {
    std::uint64_t sum = 0;
    for (const Slot& slot : slots_) {
        sum += slot.value.load(std::memory_order_relaxed);  // a snapshot for tests; nothing is read through it
    }
    return sum;
}

std::optional<ReadTicket> RawRwLock::try_lock_shared_in_word(bool recursive) {
    // Guess "free" for the first compare-and-swap: right, it takes the lock
    // in one exchange with the other cores; wrong, it reads the word anyway.
    // Acquire on success (here and below): pairs with the writer's release in
    // unlock_exclusive; a failed CAS only reads the word for the next try.
    std::uint64_t state = 0;
    if (state_.compare_exchange_strong(state, 1, std::memory_order_acquire, std::memory_order_relaxed)) {
        return ReadTicket::word();
    }
    while (admits_reader(state, recursive)) {
        if ((state & kReaderMask) == kMaxReaders) {
            fail("RwLock reader count overflow");
        }
        if (state_.compare_exchange_weak(state, state + 1, std::memory_order_acquire, std::memory_order_relaxed)) {
            return ReadTicket::word();
        }
    }
    return std::nullopt;
}

// A waiting reader holds nothing, so an interrupted one just leaves.
std::optional<ReadTicket> RawRwLock::wait_shared(bool recursive, bool interruptible) {
    sync::LockSpinWait spin;
    for (;;) {
        if (std::optional<ReadTicket> ticket = try_lock_shared(recursive)) {
            return ticket;
        }
        if (spin.spin()) {
            continue;
        }
        // Announce the sleeper, then re-check: a release either sees the
        // announcement and bumps the sequence, or came before the re-check.
        std::uint32_t sequence = reader_sequence_.load(std::memory_order_seq_cst);
        readers_parked_.fetch_add(1, std::memory_order_seq_cst);
        platform::WaitStatus status = platform::WaitStatus::Woken;
        if (!admits_reader(state_.load(std::memory_order_seq_cst), recursive)) {
            status = platform::wait_on_word(reader_sequence_, sequence, platform::Deadline::never(), interruptible);
        }
        // Relaxed: the count only lets releases skip a wake when it is zero; seen
        // late, it costs a spare wake. The next announcement is seq_cst again.
        readers_parked_.fetch_sub(1, std::memory_order_relaxed);
        if (status == platform::WaitStatus::Interrupted) {
            return std::nullopt;
        }
    }
}

void RawRwLock::unlock_shared_in_word() noexcept {
    std::uint64_t previous = state_.fetch_sub(1, std::memory_order_seq_cst);
    // Readers only ever hold up the draining writer, so only the last word
    // reader leaving in front of it has anyone to wake.
    if ((previous & kReaderMask) == 1 && (previous & kWriterDraining) != 0) {
        wake_drainer();
    }
}

bool RawRwLock::try_lock_exclusive() noexcept {
    std::uint64_t expected = 0;
    if (!state_.compare_exchange_strong(expected, kWriterHeld, std::memory_order_seq_cst,
                                        std::memory_order_relaxed)) {  // failure reads nothing
        return false;
    }
    if (slots_ == nullptr || slots_->all_empty()) {
        return true;
    }
    // A slot reader came in before the word turned: give the lock back.
    unlock_exclusive();
    return false;
}

bool RawRwLock::wait_exclusive(bool interruptible) noexcept {
    sync::LockSpinWait spin;
    for (;;) {
        // Relaxed: a guess for the CAS below, which decides.
        std::uint64_t state = state_.load(std::memory_order_relaxed);
        if ((state & (kWriterHeld | kWriterDraining)) == 0) {
            // Claim the drain: from now on new readers queue, except
            // recursive ones joining a lock still held shared.
            if (state_.compare_exchange_weak(state, state | kWriterDraining, std::memory_order_seq_cst,
                                             std::memory_order_relaxed)) {
                return drain_readers(interruptible);
            }
            continue;
        }
        if ((state & kWriterWaiting) == 0) {
            // Stop new readers at once, before spinning. Relaxed: a flag that
            // only turns readers away; it hands over no memory.
            state_.compare_exchange_weak(state, state | kWriterWaiting, std::memory_order_relaxed,
                                         std::memory_order_relaxed);
            continue;
        }
        if (spin.spin()) {
            continue;
        }
        std::uint32_t sequence = writer_sequence_.load(std::memory_order_seq_cst);
        writers_parked_.fetch_add(1, std::memory_order_seq_cst);
        state = state_.load(std::memory_order_seq_cst);
        platform::WaitStatus status = platform::WaitStatus::Woken;
        // Another writer holds or drains: its unlock_exclusive wakes us.
        if ((state & (kWriterHeld | kWriterDraining)) != 0 && (state & kWriterWaiting) != 0) {
            status = platform::wait_on_word(writer_sequence_, sequence, platform::Deadline::never(), interruptible);
        }
        writers_parked_.fetch_sub(1, std::memory_order_relaxed);  // as readers_parked_ in lock_shared
        if (status == platform::WaitStatus::Interrupted) {
            // The waiting bit may hold readers back for this writer alone.
            state_.fetch_and(~kWriterWaiting, std::memory_order_seq_cst);
            give_up_waiting();
            return false;
        }
    }
}

// A writer that stops waiting wakes whom its bits held back: the readers,
// and one writer, which sets the waiting bit again if it must wait on.
void RawRwLock::give_up_waiting() noexcept {
    wake_readers();
    wake_writer();
}

// With the drain bit ours (only its owner clears it), waits until no reader
// is left in the word or the slots, then turns the bit into the held bit.
// Taking the lock clears the waiting bit; writers still parked set it again
// when the release wakes them. Interrupted, it gives the drain bit up.
bool RawRwLock::drain_readers(bool interruptible) noexcept {
    sync::LockSpinWait spin;
    for (;;) {
        std::uint64_t state = state_.load(std::memory_order_seq_cst);
        if (is_drained(state)) {
            // Fails if a recursive reader joined the word meanwhile. Acquire:
            // pairs with the word readers' release decrements (the slot readers'
            // were acquired by is_drained's sequentially consistent loads).
            if (state_.compare_exchange_weak(state, kWriterHeld, std::memory_order_acquire,
                                             std::memory_order_relaxed)) {
                return true;
            }
            continue;
        }
        if (spin.spin()) {
            continue;
        }
        std::uint32_t sequence = drain_sequence_.load(std::memory_order_seq_cst);
        drainer_parked_.store(1, std::memory_order_seq_cst);
        platform::WaitStatus status = platform::WaitStatus::Woken;
        if (!is_drained(state_.load(std::memory_order_seq_cst))) {
            status = platform::wait_on_word(drain_sequence_, sequence, platform::Deadline::never(), interruptible);
        }
        drainer_parked_.store(0, std::memory_order_relaxed);  // as readers_parked_ in lock_shared
        if (status == platform::WaitStatus::Interrupted) {
            state_.fetch_and(~kWriterDraining, std::memory_order_seq_cst);
            give_up_waiting();
            return false;
        }
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

void RawRwLock::wake_drainer() noexcept {
    if (drainer_parked_.load(std::memory_order_seq_cst) != 0) {
        drain_sequence_.fetch_add(1, std::memory_order_seq_cst);
        platform::wake_one(drain_sequence_);
    }
}

}  // namespace torvan::lock
