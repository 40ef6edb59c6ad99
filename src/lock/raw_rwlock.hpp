#pragma once
// A reader-writer lock on one 64-bit word, with writer preference: once a
// writer waits, new readers queue behind it, except a "recursive" reader (one
// whose thread already holds some read lock) while the lock is held shared,
// so that a thread re-reading cannot deadlock against a writer queued behind
// its own earlier read.
//
// Lock word: bits 0..59 count shared holders, bit 62 says a writer waits,
// bit 63 says a writer holds the lock. Sleeping threads park on two separate
// 32-bit sequence words (one for readers, one for writers), bumped by the
// releases that may admit them; the parked counters let a release skip the
// wake-up call when nobody sleeps.

#include <atomic>
#include <cstdint>

namespace torvan::lock {

class RawRwLock {
public:
    static constexpr std::uint64_t kMaxReaders = (std::uint64_t{1} << 60) - 1;

    RawRwLock() noexcept = default;
    // A lock already held shared by `readers` holders, so that tests can
    // reach the reader limit.
    struct PresetReaders {
        std::uint64_t readers;
    };
    explicit RawRwLock(PresetReaders preset) noexcept : state_(preset.readers & kReaderMask) {}
    RawRwLock(const RawRwLock&) = delete;
    RawRwLock& operator=(const RawRwLock&) = delete;

    // Shared access without waiting: retries while only contention makes the
    // compare-and-swap fail, and gives up only when writer preference refuses
    // the reader. A native failure at the reader limit.
    bool try_lock_shared(bool recursive);
    // Shared access, waiting as long as it takes.
    void lock_shared(bool recursive);
    void unlock_shared() noexcept;

    // Exclusive access without waiting: one compare-and-swap from free.
    bool try_lock_exclusive() noexcept {
        std::uint64_t expected = 0;
        return state_.compare_exchange_strong(expected, kWriterHeld, std::memory_order_acquire,
                                              std::memory_order_relaxed);
    }
    // Exclusive access, waiting as long as it takes.
    void lock_exclusive() noexcept;
    void unlock_exclusive() noexcept;

    // Snapshots, for tests and sanity checks; stale as soon as they return.
    std::uint64_t readers() const noexcept { return state_.load(std::memory_order_relaxed) & kReaderMask; }
    bool is_locked_exclusive() const noexcept { return (state_.load(std::memory_order_relaxed) & kWriterHeld) != 0; }
    bool has_waiting_writer() const noexcept {
        return (state_.load(std::memory_order_relaxed) & kWriterWaiting) != 0;
    }

private:
    static constexpr std::uint64_t kReaderMask = kMaxReaders;
    static constexpr std::uint64_t kWriterWaiting = std::uint64_t{1} << 62;
    static constexpr std::uint64_t kWriterHeld = std::uint64_t{1} << 63;

    static bool admits_reader(std::uint64_t state, bool recursive) noexcept {
        if ((state & kWriterHeld) != 0) {
            return false;
        }
        if ((state & kWriterWaiting) == 0) {
            return true;
        }
        return recursive && (state & kReaderMask) != 0;
    }
    static bool has_holder(std::uint64_t state) noexcept { return (state & (kWriterHeld | kReaderMask)) != 0; }

    void wake_writer() noexcept;
    void wake_readers() noexcept;

    std::atomic<std::uint64_t> state_{0};
    std::atomic<std::uint32_t> reader_sequence_{0};
    std::atomic<std::uint32_t> writer_sequence_{0};
    std::atomic<std::uint32_t> readers_parked_{0};
    std::atomic<std::uint32_t> writers_parked_{0};
};

}  // namespace torvan::lock
