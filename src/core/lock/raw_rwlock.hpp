#pragma once
// A reader-writer lock on one 64-bit word, with writer preference: once a
// writer waits, new readers queue behind it, except a "recursive" reader (one
// whose thread already holds some read lock) while the lock is held shared,
// so that a thread re-reading cannot deadlock against a writer queued behind
// its own earlier read.
//
// The lock word (state_):
//
//   bits 0..59  readers holding the lock through the word
//   bit 61      kWriterDraining  a writer has the lock to come and waits for
//                                the readers (word and slots) to leave
//   bit 62      kWriterWaiting   a writer waits: new readers queue, except a
//                                recursive one while the lock is held shared
//   bit 63      kWriterHeld      a writer holds the lock (no readers then)
//
//   0                 free
//   n                 held shared by n word readers (and any slot readers)
//   n | Draining      a writer waits for the n readers and the slots to drain
//   Held              held exclusive
//   ... | Waiting     any of the above, and another writer waits
//
//   reader              free or n -> n + 1 unless a writer bit turns it away
//   writer              no Held, no Draining -> | Draining; else -> | Waiting
//   drained             n == 0, slots empty: Draining -> Held (clears Waiting;
//                       parked writers set it again when woken)
//   unlock_exclusive    clears Held; wakes parked readers and one writer
//   interrupted writer  clears Draining (its own) or Waiting (shared: parked
//                       writers set it again when woken); wakes parked
//                       readers and one writer
//
// Sleeping threads park on sequence words (readers, writers, and the one
// draining writer), bumped by the releases that may admit them; the parked
// counters let a release skip the wake-up call when nobody sleeps.
//
// Optionally the lock has reader slots: per-thread counters on lines of their
// own (a thread's slot is fixed at its first read; several threads may share
// one). While the word is zero, a reader only counts itself in its thread's
// slot and reads the word, so readers on different threads touch no common
// line for writing. A writer first claims the word (draining or held), which
// turns new slot readers back to the word, and then waits until the slots
// are empty. Each side writes its own counter before reading the other's,
// both sequentially consistent, so at least one of them sees the other.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/sync/cache_line.hpp"

namespace torvan::lock {

namespace detail {
inline constexpr std::uint32_t kNoSlot = ~std::uint32_t{0};
inline thread_local std::uint32_t t_reader_slot __attribute__((tls_model("initial-exec"))) = kNoSlot;
std::uint32_t assign_reader_slot() noexcept;
}  // namespace detail

// Counters of readers that hold a lock through its slots, one line each.
class ReaderSlots {
public:
    static constexpr std::uint32_t kCount = 8;

    // The slot of the calling thread: threads take slots in turn, so a few
    // threads reading the same lock never share one.
    static std::uint32_t index_for_this_thread() noexcept {
        std::uint32_t slot = detail::t_reader_slot;
        return slot != detail::kNoSlot ? slot : detail::assign_reader_slot();
    }

    std::atomic<std::uint64_t>& operator[](std::uint32_t index) noexcept { return slots_[index].value; }
    bool all_empty() const noexcept;
    std::uint64_t total() const noexcept;

private:
    using Slot = sync::CachePadded<std::atomic<std::uint64_t>>;
    static_assert(sizeof(Slot) == sync::kCacheLine, "one slot a line");
    Slot slots_[kCount];
};

// Where a read acquisition was counted; given back to unlock_shared.
struct ReadTicket {
    static constexpr std::uint32_t kWord = ~std::uint32_t{0};
    std::uint32_t slot = kWord;

    static constexpr ReadTicket word() noexcept { return ReadTicket{}; }
};

class RawRwLock {
public:
    static constexpr std::uint64_t kMaxReaders = (std::uint64_t{1} << 60) - 1;

    // Without reader slots every reader counts itself in the lock word.
    RawRwLock() noexcept = default;
    // With reader slots, which must outlive the lock.
    explicit RawRwLock(ReaderSlots* slots) noexcept : slots_(slots) {}
    // A lock already held shared by `readers` holders, so that tests can
    // reach the reader limit.
    struct PresetReaders {
        std::uint64_t readers;
    };
    explicit RawRwLock(PresetReaders preset, ReaderSlots* slots = nullptr) noexcept
        : state_(preset.readers & kReaderMask), slots_(slots) {}
    RawRwLock(const RawRwLock&) = delete;
    RawRwLock& operator=(const RawRwLock&) = delete;

    // Shared access without waiting: retries while only contention makes the
    // compare-and-swap fail, and gives up only when writer preference refuses
    // the reader. A native failure at the reader limit. Inline, like the
    // release, since every read takes this path.
    std::optional<ReadTicket> try_lock_shared(bool recursive) {
        if (slots_ != nullptr) {
            std::uint32_t slot = ReaderSlots::index_for_this_thread();
            (*slots_)[slot].fetch_add(1, std::memory_order_seq_cst);
            // Only an untouched word lets a slot reader in: any writer bit
            // turns it away, and while readers count in the word new ones
            // join them there.
            if (state_.load(std::memory_order_seq_cst) == 0) {
                return ReadTicket{slot};
            }
            leave_slot(slot);
        }
        return try_lock_shared_in_word(recursive);
    }
    // Shared access, waiting as long as it takes.
    ReadTicket lock_shared(bool recursive) { return *wait_shared(recursive, false); }
    // The same, but a signal that arrives while the thread sleeps ends the
    // wait with nothing held (nothing, then), so that the caller can run the
    // signal handlers and try again.
    std::optional<ReadTicket> lock_shared_interruptibly(bool recursive) { return wait_shared(recursive, true); }
    void unlock_shared(ReadTicket ticket) noexcept {
        if (ticket.slot != ReadTicket::kWord) {
            leave_slot(ticket.slot);
        } else {
            unlock_shared_in_word();
        }
    }

    // Exclusive access without waiting: one compare-and-swap from free (and,
    // with slots, a look at them, giving the lock back if a reader holds one).
    bool try_lock_exclusive() noexcept;
    // Exclusive access, waiting as long as it takes.
    void lock_exclusive() noexcept { (void)wait_exclusive(false); }
    // The same, but a signal ends the wait with nothing held (false); the
    // place the writer had in the queue is given up, and those it held back
    // are woken.
    bool lock_exclusive_interruptibly() noexcept { return wait_exclusive(true); }
    void unlock_exclusive() noexcept;

    // Snapshots, for tests and sanity checks; stale as soon as they return.
    // Relaxed: nothing is read on their word.
    std::uint64_t readers() const noexcept {
        std::uint64_t in_word = state_.load(std::memory_order_relaxed) & kReaderMask;
        return slots_ != nullptr ? in_word + slots_->total() : in_word;
    }
    bool is_locked_exclusive() const noexcept { return (state_.load(std::memory_order_relaxed) & kWriterHeld) != 0; }
    bool has_waiting_writer() const noexcept {
        return (state_.load(std::memory_order_relaxed) & (kWriterWaiting | kWriterDraining)) != 0;
    }

private:
    static constexpr std::uint64_t kReaderMask = kMaxReaders;
    static constexpr std::uint64_t kWriterDraining = std::uint64_t{1} << 61;
    static constexpr std::uint64_t kWriterWaiting = std::uint64_t{1} << 62;
    static constexpr std::uint64_t kWriterHeld = std::uint64_t{1} << 63;
    static constexpr std::uint64_t kWriterBits = kWriterDraining | kWriterWaiting | kWriterHeld;

    bool admits_reader(std::uint64_t state, bool recursive) const noexcept {
        if ((state & kWriterHeld) != 0) {
            return false;
        }
        if ((state & kWriterBits) == 0) {
            return true;
        }
        return recursive && is_held_shared(state);
    }
    bool is_held_shared(std::uint64_t state) const noexcept {
        return (state & kReaderMask) != 0 || (slots_ != nullptr && !slots_->all_empty());
    }
    // No holder at all: nothing in the word, nothing in the slots.
    bool is_drained(std::uint64_t state) const noexcept {
        return (state & kReaderMask) == 0 && (slots_ == nullptr || slots_->all_empty());
    }

    std::optional<ReadTicket> try_lock_shared_in_word(bool recursive);
    std::optional<ReadTicket> wait_shared(bool recursive, bool interruptible);
    bool wait_exclusive(bool interruptible) noexcept;
    void give_up_waiting() noexcept;
    void unlock_shared_in_word() noexcept;
    void leave_slot(std::uint32_t slot) noexcept {
        (*slots_)[slot].fetch_sub(1, std::memory_order_seq_cst);
        if ((state_.load(std::memory_order_seq_cst) & kWriterDraining) != 0) {
            wake_drainer();
        }
    }
    bool drain_readers(bool interruptible) noexcept;

    void wake_writer() noexcept;
    void wake_readers() noexcept;
    void wake_drainer() noexcept;

    std::atomic<std::uint64_t> state_{0};
    std::atomic<std::uint32_t> reader_sequence_{0};
    std::atomic<std::uint32_t> writer_sequence_{0};
    std::atomic<std::uint32_t> drain_sequence_{0};
    std::atomic<std::uint32_t> readers_parked_{0};
    std::atomic<std::uint32_t> writers_parked_{0};
    std::atomic<std::uint32_t> drainer_parked_{0};
    ReaderSlots* const slots_ = nullptr;
};

}  // namespace torvan::lock
