#pragma once
// What the calling thread holds through its entered read guards: the read
// depth (reads held over all locks together), which decides whether a new
// read may pass a waiting writer, and the reads held per lock, which tell a
// thread that would wait for itself.
//
// A thread rarely reads more than a few locks at once: those entries live in
// plain initial-exec thread-local storage and are settled inline, the rest
// spill into a vector, out of line. An inline entry whose count drops to zero
// keeps its lock, so that the next read of the same lock (every `with
// lock.read():` in a loop) finds it in place; it is taken over by another
// lock when no entry is free.

#include <cstddef>
#include <cstdint>

namespace torvan::lock::thread_reads {

namespace detail {

struct Entry {
    std::uint64_t lock_id;  // 0: never used
    std::uint64_t count;
};

inline constexpr std::size_t kInlineEntries = 4;

struct Record {
    std::uint64_t depth;
    std::size_t spilled;  // entries in the vector, so that it is touched only when used
    Entry entries[kInlineEntries];
};

inline constinit thread_local Record t_record __attribute__((tls_model("initial-exec"))) = {};

inline Entry* find_inline(std::uint64_t lock_id) noexcept {
    for (Entry& entry : t_record.entries) {
        if (entry.lock_id == lock_id) {
            return &entry;
        }
    }
    return nullptr;
}

// Out of line: the spilled entries, and a lock the inline entries lack.
Entry* find_spilled(std::uint64_t lock_id) noexcept;
void note_acquired_new(std::uint64_t lock_id);
void note_released_spilled(std::uint64_t lock_id) noexcept;

}  // namespace detail

// Reads this thread holds, over all locks.
inline std::uint64_t depth() noexcept { return detail::t_record.depth; }

// Records one more read of the lock; may fail to allocate, recording nothing.
inline void note_acquired(std::uint64_t lock_id) {
    if (detail::Entry* entry = detail::find_inline(lock_id)) [[likely]] {
        ++entry->count;
        ++detail::t_record.depth;
        return;
    }
    detail::note_acquired_new(lock_id);
}

// Records one read less (never below zero).
inline void note_released(std::uint64_t lock_id) noexcept {
    detail::Record& record = detail::t_record;
    if (record.depth != 0) {
        --record.depth;
    }
    if (detail::Entry* entry = detail::find_inline(lock_id)) [[likely]] {
        if (entry->count != 0) {
            --entry->count;
        }
        return;
    }
    detail::note_released_spilled(lock_id);
}

// Reads of this lock this thread holds, as far as it knows.
std::uint64_t held_on(std::uint64_t lock_id) noexcept;
// Forgets up to `reads` recorded reads of the lock (another thread released
// them) and lowers the depth to match.
void forget(std::uint64_t lock_id, std::uint64_t reads) noexcept;

}  // namespace torvan::lock::thread_reads
