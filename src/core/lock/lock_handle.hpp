#pragma once
// The shared handle to one reader-writer lock. The RwLock object and every
// guard made from it hold a reference, so the lock lives until the last of
// them is gone. Counting is atomic: references may be taken and dropped on
// any thread, attached or not.

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "core/lock/raw_rwlock.hpp"
#include "core/lock/reading_threads.hpp"
#include "core/sync/cache_line.hpp"
#include "core/sync/ref_count.hpp"

namespace torvan::lock {

// The lock word, which every acquisition reads, shares the handle's first
// line with the reference count only; the reader slots, each written by its own threads, follow on lines of
// their own at the end.
class alignas(sync::kCacheLine) LockHandle : public sync::RefCounted<LockHandle, std::uint64_t> {
public:
    RawRwLock lock{&reader_slots_};
    // The thread holding exclusive access (0 when none), so that a thread
    // re-entering its own lock fails instead of waiting for itself. Only
    // compared against the reader's own id, so relaxed ordering suffices.
    std::atomic<std::uint64_t> writer_thread{0};

    // Distinct for every lock of the process, unlike its address, which a
    // later lock may reuse.
    std::uint64_t id() const noexcept { return id_; }

    // Reads released by another thread on behalf of `owner` (an entered read
    // guard destroyed there), kept until the owner asks, because only the
    // owner may correct its own bookkeeping. A thread that has ended never
    // asks: no note is kept for it, and those kept for threads that have ended
    // since go. Best effort: without memory the note is lost and the owner
    // keeps believing it reads.
    void note_foreign_release(std::uint64_t owner) noexcept {
        try {
            std::lock_guard<std::mutex> guard(foreign_mutex_);
            std::erase_if(foreign_releases_, [](const auto& entry) { return !reading_threads::alive(entry.first); });
            if (reading_threads::alive(owner)) {
                auto entry = std::find_if(foreign_releases_.begin(), foreign_releases_.end(),
                                          [owner](const auto& candidate) { return candidate.first == owner; });
                if (entry != foreign_releases_.end()) {
                    ++entry->second;
                } else {
                    foreign_releases_.emplace_back(owner, 1);
                }
            }
            // Release (here and in take_foreign_releases): pairs with the owner's
            // acquire of the flag before it takes the mutex, which orders the list.
            has_foreign_releases_.store(!foreign_releases_.empty(), std::memory_order_release);
        } catch (...) {
        }
    }
    // Notes kept, for tests.
    std::size_t foreign_release_notes() noexcept {
        std::lock_guard<std::mutex> guard(foreign_mutex_);
        return foreign_releases_.size();
    }
    // How many of `owner`'s reads other threads released since it last asked.
    std::uint64_t take_foreign_releases(std::uint64_t owner) noexcept {
        if (!has_foreign_releases_.load(std::memory_order_acquire)) {
            return 0;
        }
        std::lock_guard<std::mutex> guard(foreign_mutex_);
        for (auto entry = foreign_releases_.begin(); entry != foreign_releases_.end(); ++entry) {
            if (entry->first == owner) {
                std::uint64_t reads = entry->second;
                foreign_releases_.erase(entry);
                has_foreign_releases_.store(!foreign_releases_.empty(), std::memory_order_release);
                return reads;
            }
        }
        return 0;
    }

private:
    friend class sync::CountedRef<LockHandle>;
    friend class sync::RefCounted<LockHandle, std::uint64_t>;
    LockHandle() noexcept : id_(next_id_.fetch_add(1, std::memory_order_relaxed)) {}  // a unique number only
    ~LockHandle() = default;

    const std::uint64_t id_;
    static inline std::atomic<std::uint64_t> next_id_{1};

    // Rarely used: off the line that every acquisition touches.
    alignas(sync::kCacheLine) std::atomic<bool> has_foreign_releases_{false};
    std::mutex foreign_mutex_;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> foreign_releases_;  // (owner thread, reads)

    ReaderSlots reader_slots_;
};

// One counted reference to a LockHandle (LockRef::make() creates one).
using LockRef = sync::CountedRef<LockHandle>;

}  // namespace torvan::lock
